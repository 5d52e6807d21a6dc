// GitPushTest: a `git push` of 3 MB through the real program to a local
// smart-HTTP git server (nginx hands the requests over fcgiwrap to git
// http-backend), skipped where those programs are missing. git sends a pack
// larger than its http.postBuffer (1 MiB) as a chunked POST, and may print
// "Everything up-to-date" when that failed: the test looks into the
// server's repository instead.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

// nginx in the foreground as one process, everything it writes in dir;
// chunked request bodies are read whole and handed on with their length,
// which git http-backend needs.
std::string NginxConfig(const std::string& dir, int port, const std::string& backend) {
    std::string temp;
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        temp += std::string("    ") + kind + "_temp_path " + dir + "/" + kind + ";\n";
    }
    return "daemon off;\nmaster_process off;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
           "/error.log;\nevents { worker_connections 64; }\nhttp {\n    access_log off;\n" + temp +
           "    client_max_body_size 0;\n    server {\n        listen 127.0.0.1:" + std::to_string(port) +
           ";\n        location / {\n            fastcgi_pass unix:" + dir + "/fcgi.sock;\n"
           "            fastcgi_param SCRIPT_FILENAME " + backend + ";\n"
           "            fastcgi_param GIT_PROJECT_ROOT " + dir + ";\n"
           "            fastcgi_param GIT_HTTP_EXPORT_ALL \"\";\n"
           "            fastcgi_param PATH_INFO $uri;\n"
           "            fastcgi_param QUERY_STRING $query_string;\n"
           "            fastcgi_param REQUEST_METHOD $request_method;\n"
           "            fastcgi_param CONTENT_TYPE $content_type;\n"
           "            fastcgi_param CONTENT_LENGTH $content_length;\n"
           "        }\n    }\n}\n";
}

class GitPushTest : public ProgramTest {
protected:
    void SetUp() override {
        const std::string nginx = FindServerProgram("nginx");
        const std::string fcgiwrap = FindServerProgram("fcgiwrap");
        if (FindProgram("git").empty() || nginx.empty() || fcgiwrap.empty()) {
            GTEST_SKIP() << "git, nginx or fcgiwrap is not installed (bash tools/deps.sh tools installs them)";
        }
        const std::string backend = FirstLine(Git({"--exec-path"}).out) + "/git-http-backend";
        ASSERT_TRUE(Git({"init", "--quiet", "--bare", Repository()}).exitCode == 0);
        // Pushes without an authenticated user.
        ASSERT_TRUE(Git({"--git-dir=" + Repository(), "config", "http.receivepack", "true"}).exitCode == 0);
        fcgiwrap_ = std::make_unique<TChildProcess>(
            std::vector<std::string>{fcgiwrap, "-s", "unix:" + server_.File("fcgi.sock")}, -1, -1, -1);
        ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(server_.File("fcgi.sock")); }, StartLimit));
        port_ = FreePort();
        WriteWholeFile(server_.File("nginx.conf"), NginxConfig(server_.Path(), port_, backend));
        nginx_ = std::make_unique<TChildProcess>(
            std::vector<std::string>{nginx, "-p", server_.Path() + "/", "-e", server_.File("error.log"), "-c",
                                     server_.File("nginx.conf")},
            -1, -1, -1);
        ASSERT_TRUE(WaitUntil([&] { return CanConnect(port_) || nginx_->HasExited(); }, StartLimit) &&
                    !nginx_->HasExited())
            << ReadWholeFile(server_.File("error.log"));
    }

    void TearDown() override {
        for (TChildProcess* child : {nginx_.get(), fcgiwrap_.get()}) {
            if (child != nullptr) {
                child->Signal(SIGTERM);
                child->WaitExit(StopLimit);
            }
        }
    }

    // nginx and fcgiwrap live in /usr/sbin, which an ordinary user's PATH lacks.
    static std::string FindServerProgram(const std::string& name) {
        const std::string found = FindProgram(name);
        return found.empty() ? FindProgram("/usr/sbin/" + name) : found;
    }
    static std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
    std::string Repository() const { return server_.File("repo.git"); }

    // git blind to the machine's and the user's settings and proxies.
    TToolResult Git(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"git", "-c", "init.defaultBranch=main", "-c", "user.name=t", "-c",
                                             "user.email=t@example.invalid"});
        return RunTool(arguments,
                       {"HOME=" + home_.Path(), "XDG_CONFIG_HOME=" + home_.Path(), "GIT_CONFIG_NOSYSTEM=1",
                        "GIT_TERMINAL_PROMPT=0", "http_proxy=", "https_proxy=", "all_proxy=", "no_proxy="},
                       Ms{60000});
    }

    TTempDir server_;
    TTempDir home_;
    int port_ = 0;
    std::unique_ptr<TChildProcess> fcgiwrap_;
    std::unique_ptr<TChildProcess> nginx_;
};

TEST_F(GitPushTest, ThreeMegabytesPushedThroughTheProxyArrive) {
    // Random, so that git's compression cannot bring it under http.postBuffer.
    std::string bytes(3'000'000, '\0');
    std::mt19937_64 random{std::random_device{}()};
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    const TTempDir work;
    WriteWholeFile(work.File("random.bin"), bytes);
    ASSERT_EQ(Git({"-C", work.Path(), "init", "--quiet"}).exitCode, 0);
    ASSERT_EQ(Git({"-C", work.Path(), "add", "random.bin"}).exitCode, 0);
    ASSERT_EQ(Git({"-C", work.Path(), "commit", "--quiet", "-m", "3 MB"}).exitCode, 0);
    const std::string commit = FirstLine(Git({"-C", work.Path(), "rev-parse", "HEAD"}).out);
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const TToolResult push = Git({"-C", work.Path(), "-c", "http.proxy=" + ProxyUrl(), "push",
                                  "http://127.0.0.1:" + std::to_string(port_) + "/repo.git", "main"});
    ASSERT_TRUE(push.finished) << "git push did not end in time";
    EXPECT_EQ(push.exitCode, 0) << push.err;
    EXPECT_EQ(FirstLine(Git({"--git-dir=" + Repository(), "rev-parse", "--verify", "--quiet", "main"}).out), commit)
        << "git printed:\n" << push.err << ReadWholeFile(server_.File("error.log"));
    // Through the proxy, not around it.
    EXPECT_TRUE(WaitUntil([&] { return LogOutput().find("Request: 127.0.0.1") != std::string::npos; }));
}

}  // namespace
}  // namespace e2e

#endif  // _WIN32
