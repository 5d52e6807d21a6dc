// TGitHttpServer: the repository, the nginx settings and the two server
// processes, each wait bounded.
#ifndef _WIN32

#include "tests/e2e/GitServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/Wait.h"

namespace e2e {

namespace {

// nginx and fcgiwrap live in /usr/sbin, which an ordinary user's PATH lacks.
std::string FindServerProgram(const std::string& name) {
    const std::string found = FindProgram(name);
    return found.empty() ? FindProgram("/usr/sbin/" + name) : found;
}

bool CanConnectUnix(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// A child whose output goes to a log file in the server's directory.
std::unique_ptr<TChildProcess> StartLogged(const std::vector<std::string>& argv, const std::string& log) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    auto child = std::make_unique<TChildProcess>(argv, -1, fd, fd);
    if (fd >= 0) {
        close(fd);
    }
    return child;
}

std::string NginxConfig(const std::string& dir, int port, const std::string& backend) {
    return
        // One process in the foreground: it is the test's child and ends
        // with it, and as root it keeps root's rights instead of handing the
        // requests to a worker user that may not write in dir.
        "daemon off;\n"
        "master_process off;\n"
        "pid " + dir + "/nginx.pid;\n"
        "error_log " + dir + "/error.log;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "    log_format git '$request_method $uri $status te=$http_transfer_encoding cl=$content_length';\n"
        "    access_log " + dir + "/access.log git;\n"
        // Every temporary path is compiled in under /var/lib/nginx, which
        // only root may write and which nginx creates at start.
        "    client_body_temp_path " + dir + "/body;\n"
        "    proxy_temp_path " + dir + "/proxy;\n"
        "    fastcgi_temp_path " + dir + "/fastcgi;\n"
        "    uwsgi_temp_path " + dir + "/uwsgi;\n"
        "    scgi_temp_path " + dir + "/scgi;\n"
        // A push is one request body of any size. nginx reads a chunked one
        // whole before it calls the backend and then passes its length as
        // CONTENT_LENGTH, which git http-backend needs.
        "    client_max_body_size 0;\n"
        "    server {\n"
        "        listen 127.0.0.1:" + std::to_string(port) + ";\n"
        "        location / {\n"
        "            fastcgi_pass unix:" + dir + "/fcgiwrap.sock;\n"
        "            fastcgi_param SCRIPT_FILENAME " + backend + ";\n"
        "            fastcgi_param GIT_PROJECT_ROOT " + dir + "/repos;\n"
        "            fastcgi_param GIT_HTTP_EXPORT_ALL \"\";\n"
        "            fastcgi_param GIT_CONFIG_NOSYSTEM 1;\n"
        "            fastcgi_param PATH_INFO $uri;\n"
        "            fastcgi_param QUERY_STRING $query_string;\n"
        "            fastcgi_param REQUEST_METHOD $request_method;\n"
        "            fastcgi_param CONTENT_TYPE $content_type;\n"
        "            fastcgi_param CONTENT_LENGTH $content_length;\n"
        "            fastcgi_param REMOTE_USER $remote_user;\n"
        "            fastcgi_param REMOTE_ADDR $remote_addr;\n"
        "        }\n"
        "    }\n"
        "}\n";
}

}  // namespace

std::vector<std::string> IsolatedGitEnvironment(const std::string& home) {
    return {"HOME=" + home, "XDG_CONFIG_HOME=" + home, "GIT_CONFIG_NOSYSTEM=1", "GIT_TERMINAL_PROMPT=0",
            "LC_ALL=C", "http_proxy=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY=",
            "no_proxy=", "NO_PROXY="};
}

TGitHttpServer::TGitHttpServer() {
    if (FindProgram("git").empty()) {
        skipReason_ = "git is not installed";
    }
    std::string backend;
    if (skipReason_.empty()) {
        const TToolResult execPath = RunTool({"git", "--exec-path"}, IsolatedGitEnvironment(dir_.Path()));
        backend = execPath.out.substr(0, execPath.out.find('\n')) + "/git-http-backend";
        if (FindProgram(backend).empty()) {
            skipReason_ = "git http-backend is not installed";
        }
    }
    const std::string nginx = FindServerProgram("nginx");
    const std::string fcgiwrap = FindServerProgram("fcgiwrap");
    if (skipReason_.empty() && nginx.empty()) {
        skipReason_ = "nginx is not installed";
    }
    if (skipReason_.empty() && fcgiwrap.empty()) {
        skipReason_ = "fcgiwrap is not installed";
    }
    if (!skipReason_.empty()) {
        skipReason_ += " (bash tools/deps.sh tools installs it); the git server needs it";
        return;
    }
    Start(nginx, fcgiwrap, backend);
}

TGitHttpServer::~TGitHttpServer() {
    // nginx first, so that no request of its reaches a stopped fcgiwrap.
    for (TChildProcess* child : {nginx_.get(), fcgiwrap_.get()}) {
        if (child != nullptr) {
            child->Signal(SIGTERM);
            child->WaitExit(StopLimit);
        }
    }
}

std::string TGitHttpServer::RepositoryUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/repo.git";
}

void TGitHttpServer::Start(const std::string& nginx, const std::string& fcgiwrap, const std::string& backend) {
    if (dir_.Path().empty()) {
        error_ = "no temporary directory";
        return;
    }
    const std::vector<std::string> environment = IsolatedGitEnvironment(dir_.Path());
    const std::vector<std::vector<std::string>> commands{
        {"git", "-c", "init.defaultBranch=main", "init", "--quiet", "--bare", RepositoryDir()},
        // Lets pushes in without an authenticated user.
        {"git", "--git-dir=" + RepositoryDir(), "config", "http.receivepack", "true"}};
    for (const std::vector<std::string>& command : commands) {
        const TToolResult git = RunTool(command, environment);
        if (!git.finished || git.exitCode != 0) {
            error_ = "git could not create the repository: " + git.err;
            return;
        }
    }

    const std::string socket = dir_.File("fcgiwrap.sock");
    fcgiwrap_ = StartLogged({fcgiwrap, "-s", "unix:" + socket}, dir_.File("fcgiwrap.log"));
    if (!WaitUntil([&] { return fcgiwrap_->HasExited() || CanConnectUnix(socket); }, StartLimit, Ms{10}) ||
        fcgiwrap_->HasExited()) {
        error_ = "fcgiwrap did not start\n" + Logs();
        return;
    }

    port_ = FreePort();
    WriteWholeFile(dir_.File("nginx.conf"), NginxConfig(dir_.Path(), port_, backend));
    nginx_ = StartLogged({nginx, "-p", dir_.Path() + "/", "-e", dir_.File("error.log"), "-c", dir_.File("nginx.conf")},
                         dir_.File("error.log"));
    if (!WaitUntil([&] { return nginx_->HasExited() || CanConnect(port_); }, StartLimit, Ms{10}) ||
        nginx_->HasExited()) {
        error_ = "nginx did not start listening on 127.0.0.1:" + std::to_string(port_) + "\n" + Logs();
        return;
    }
    started_ = true;
}

std::string TGitHttpServer::Logs() const {
    return "nginx error log:\n" + ReadWholeFile(dir_.File("error.log")) + "fcgiwrap log:\n" +
           ReadWholeFile(dir_.File("fcgiwrap.log"));
}

}  // namespace e2e

#endif  // _WIN32
