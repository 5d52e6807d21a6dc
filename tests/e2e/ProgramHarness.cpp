// ProgramHarness: child processes, the private program copy, the loopback
// origin server and the raw clients of the end-to-end tests.
#ifndef _WIN32

#include "tests/e2e/ProgramHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Ms Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    return left.count() > 0 ? left : Ms{0};
}

int PollFor(int fd, short events, Ms limit) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = poll(&entry, 1, static_cast<int>(limit.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready;
    }
}

bool SendAll(int fd, const std::string& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        offset += static_cast<size_t>(sent);
    }
    return true;
}

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int ConnectLoopback(int port, const std::string& ip = "127.0.0.1") {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ip.find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof v6;
        if (inet_pton(AF_INET6, ip.c_str(), &v6.sin6_addr) != 1) {
            return -1;
        }
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof v4;
        if (inet_pton(AF_INET, ip.c_str(), &v4.sin_addr) != 1) {
            return -1;
        }
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

std::string Repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

std::string WordAt(const std::string& line, int index) {
    std::istringstream words(line);
    std::string word;
    for (int i = 0; i <= index; ++i) {
        if (!(words >> word)) {
            return {};
        }
    }
    return word;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, Ms limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(Ms{10});
    }
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string{};
    }
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        struct stat info{};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

// ------------------------------------------------------------- TTempDir

TTempDir::TTempDir() {
    std::string pattern = "/tmp/vtl-e2e.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TTempDir::~TTempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

// -------------------------------------------------------- TChildProcess

TChildProcess::TChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, int stderrFd,
                             const std::vector<std::string>& extraEnvironment) {
    if (argv.empty()) {
        return;
    }
    const std::string program = FindProgram(argv[0]);
    if (program.empty()) {
        return;
    }
    // Everything the child needs is built before fork: between fork and
    // exec only async-signal-safe calls are allowed (other threads of this
    // process may hold the allocator's locks).
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnvironment) {
            replaced = replaced || extra.compare(0, key.size(), key) == 0;
        }
        if (!replaced) {
            environment.push_back(text);
        }
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(stdinFd >= 0 ? stdinFd : null, STDIN_FILENO);
        dup2(stdoutFd >= 0 ? stdoutFd : null, STDOUT_FILENO);
        dup2(stderrFd >= 0 ? stderrFd : null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
        // A runner may have left these ignored, and ignored signals stay
        // ignored across exec: start the child as a shell would.
        struct sigaction byDefault{};
        byDefault.sa_handler = SIG_DFL;
        for (const int signalNumber : {SIGPIPE, SIGINT, SIGTERM}) {
            sigaction(signalNumber, &byDefault, nullptr);
        }
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    pid_ = pid;
}

TChildProcess::~TChildProcess() {
    if (pid_ > 0 && !HasExited()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool TChildProcess::HasExited() {
    if (pid_ <= 0 || reaped_) {
        return true;
    }
    const pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
    }
    return reaped_;
}

bool TChildProcess::WaitExit(Ms limit) {
    return WaitUntil([this] { return HasExited(); }, limit);
}

int TChildProcess::ExitCode() const {
    if (!reaped_ || !WIFEXITED(status_)) {
        return -1;
    }
    return WEXITSTATUS(status_);
}

void TChildProcess::Signal(int signalNumber) {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signalNumber);
    }
}

long TChildProcess::CpuTicks() const {
    const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid_) + "/stat");
    // The command name in parentheses may hold blanks: count from its end.
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    // Fields 3 (state) to 15 (stime) of proc(5).
    for (int number = 3; number <= 15 && (fields >> field); ++number) {
        if (number == 14) {
            utime = std::stol(field);
        } else if (number == 15) {
            stime = std::stol(field);
        }
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

TToolResult RunTool(const std::vector<std::string>& argv, Ms limit) {
    TToolResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    TChildProcess child(argv, -1, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    const auto deadline = Clock::now() + limit;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openPipes = child.Started() ? 2 : 0;
    while (openPipes > 0 && Remaining(deadline).count() > 0) {
        const int ready = poll(fds, 2, static_cast<int>(Remaining(deadline).count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buffer[16384];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (child.Started() && child.WaitExit(Remaining(deadline))) {
        result.finished = true;
        result.exitCode = child.ExitCode();
    }
    return result;
}

// ------------------------------------------------------------ sockets

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool CanConnect(int port, const std::string& address) {
    const int fd = ConnectLoopback(port, address);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

bool HasIPv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

THeldPort::THeldPort(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

THeldPort::~THeldPort() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

TClientSocket::TClientSocket(int port, const std::string& address) : fd_(ConnectLoopback(port, address)) {}

TClientSocket::~TClientSocket() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool TClientSocket::Send(const std::string& bytes) {
    return fd_ >= 0 && SendAll(fd_, bytes);
}

bool TClientSocket::ReadSome(Ms limit) {
    if (fd_ < 0 || PollFor(fd_, POLLIN, limit) <= 0) {
        return false;
    }
    char buffer[16384];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) {
        return false;
    }
    received_.append(buffer, static_cast<size_t>(got));
    return true;
}

bool TClientSocket::ReadUntil(const std::string& text, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (received_.find(text) == std::string::npos) {
        if (Remaining(deadline).count() == 0 || !ReadSome(Remaining(deadline))) {
            return received_.find(text) != std::string::npos;
        }
    }
    return true;
}

bool TClientSocket::ReadUntilClosed(Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (fd_ >= 0 && Remaining(deadline).count() > 0) {
        if (PollFor(fd_, POLLIN, Remaining(deadline)) <= 0) {
            return false;
        }
        char buffer[16384];
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return true;
        }
        received_.append(buffer, static_cast<size_t>(got));
    }
    return false;
}

std::string ExchangeWithProxy(int port, const std::string& request, Ms limit) {
    TClientSocket client(port);
    if (!client.Send(request)) {
        return {};
    }
    client.ReadUntilClosed(limit);
    return client.Received();
}

// ---------------------------------------------------------- TOriginServer

TOriginServer::TOriginServer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TOriginServer::~TOriginServer() {
    {
        // Under the lock, so that no held answer misses the wake-up.
        std::scoped_lock guard(lock_);
        stopping_.store(true);
    }
    arrived_.notify_all();
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

std::vector<TOriginRequest> TOriginServer::Requests() const {
    std::scoped_lock guard(lock_);
    return requests_;
}

void TOriginServer::HoldAnswersUntil(size_t requestCount) {
    std::scoped_lock guard(lock_);
    holdUntil_ = requestCount;
}

std::string TOriginServer::BodyFor(const std::string& path) {
    if (path.rfind("/size/", 0) == 0) {
        const int size = std::atoi(path.c_str() + 6);
        std::string body;
        for (int i = 0; i < size; ++i) {
            body += static_cast<char>('a' + i % 26);
        }
        return body;
    }
    return OriginGreeting;
}

void TOriginServer::AcceptLoop() {
    while (!stopping_.load()) {
        if (PollFor(listenFd_, POLLIN, Ms{50}) <= 0) {
            continue;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            workers_.emplace_back([this, fd] { Serve(fd); });
        }
    }
}

void TOriginServer::Serve(int fd) {
    const auto deadline = Clock::now() + Ms{5000};
    std::string received;
    size_t headEnd = std::string::npos;
    auto readMore = [&]() {
        if (stopping_.load() || PollFor(fd, POLLIN, std::min(Remaining(deadline), Ms{50})) <= 0) {
            return !stopping_.load() && Remaining(deadline).count() > 0;
        }
        char buffer[16384];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        received.append(buffer, static_cast<size_t>(got));
        return true;
    };
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos && readMore()) {
    }
    if (headEnd == std::string::npos) {
        close(fd);
        return;
    }
    TOriginRequest request;
    std::istringstream head(received.substr(0, headEnd));
    std::getline(head, request.requestLine);
    if (!request.requestLine.empty() && request.requestLine.back() == '\r') {
        request.requestLine.pop_back();
    }
    size_t bodyLength = 0;
    for (std::string line; std::getline(head, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
            bodyLength = static_cast<size_t>(std::strtoul(line.c_str() + 15, nullptr, 10));
        }
        request.headers.push_back(line);
    }
    while (received.size() < headEnd + 4 + bodyLength && readMore()) {
    }
    request.body = received.substr(headEnd + 4, bodyLength);

    const std::string method = WordAt(request.requestLine, 0);
    std::string body = BodyFor(WordAt(request.requestLine, 1));
    if (method == "POST") {
        body = "posted:" + request.body;
    }
    const bool withLength = WordAt(request.requestLine, 1).find("nolength") == std::string::npos;
    std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n" +
                         (withLength ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : std::string()) +
                         "Connection: close\r\nX-Origin: vtl-e2e\r\n\r\n";
    if (method != "HEAD") {
        answer += body;
    }
    {
        std::unique_lock guard(lock_);
        requests_.push_back(std::move(request));
        arrived_.notify_all();
        arrived_.wait_until(guard, deadline, [this] { return requests_.size() >= holdUntil_ || stopping_.load(); });
    }
    SendAll(fd, answer);
    // Closing with unread input would reset the connection and could
    // destroy the answer in flight: end the sending side and wait (bounded)
    // for the peer to close first.
    shutdown(fd, SHUT_WR);
    while (readMore()) {
    }
    close(fd);
}

// ------------------------------------------------------------- TProgram

TProgram::TProgram(const std::optional<std::string>& ini) {
    const std::string binary = dir_.File("vantrel");
    std::error_code error;
    fs::copy_file(VTL_BINARY_PATH, binary, fs::copy_options::overwrite_existing, error);
    chmod(binary.c_str(), 0755);
    if (ini) {
        WriteWholeFile(dir_.File("vtl.ini"), *ini);
    }
}

TProgram::~TProgram() = default;

void TProgram::Start(const std::vector<std::string>& arguments) {
    const int out = open(dir_.File("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(dir_.File("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> argv{dir_.File("vantrel")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<TChildProcess>(argv, -1, out, err);
    close(out);
    close(err);
}

void TProgram::StartOnTerminal(int terminalFd) {
    process_ = std::make_unique<TChildProcess>(std::vector<std::string>{dir_.File("vantrel")}, -1, terminalFd,
                                               terminalFd, std::vector<std::string>{"TERM=xterm"});
}

bool TProgram::WaitListening(int port, Ms limit, const std::string& address) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (!Running()) {
            return false;
        }
        if (CanConnect(port, address)) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Ms{20});
    }
}

std::string TProgram::Stdout() const {
    return ReadWholeFile(dir_.File("stdout.txt"));
}

std::string TProgram::Stderr() const {
    return ReadWholeFile(dir_.File("stderr.txt"));
}

bool TProgram::WaitForStdout(const std::string& text, Ms limit) {
    return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, limit);
}

int TProgram::StopWith(int signalNumber, Ms limit) {
    if (!process_) {
        return -1;
    }
    process_->Signal(signalNumber);
    if (!process_->WaitExit(limit)) {
        return -1;
    }
    return process_->ExitCode();
}

// ---------------------------------------------------------- expected text

std::string BannerText() {
    // U+2554 U+2550 U+2557 U+2551 U+255A U+255D in UTF-8.
    const std::string topLeft = "\xE2\x95\x94";
    const std::string horizontal = "\xE2\x95\x90";
    const std::string topRight = "\xE2\x95\x97";
    const std::string vertical = "\xE2\x95\x91";
    const std::string bottomLeft = "\xE2\x95\x9A";
    const std::string bottomRight = "\xE2\x95\x9D";
    auto framed = [&vertical](std::string text) {
        text.resize(41, ' ');
        return vertical + text + vertical + "\n";
    };
    return topLeft + Repeated(horizontal, 41) + topRight + "\n" + framed(" Vantrel v0.3") + framed("") +
           framed(" HTTP/1.0 forward proxy with CONNECT") + framed(" Settings: vtl.ini beside the program") +
           framed(" Stop: Ctrl+C") + bottomLeft + Repeated(horizontal, 41) + bottomRight + "\n";
}

std::string StartupText(const std::string& statusLine) {
    return BannerText() + "\nReading settings... \n" + statusLine + "\nStarting proxy server...\n";
}

std::string ActiveText() {
    return "\nProxy server is active...\n";
}

std::string Cleaned(const std::string& text) {
    std::string clean = text;
    for (char& c : clean) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 || code == 127 || (code >= 128 && code <= 159)) {
            c = '?';
        }
    }
    return clean;
}

std::string LogEntry(const std::string& request, const std::string& from, const std::string& size) {
    return "Request: " + request + "\nFrom: " + from + "\nSize: " + size + "\n";
}

bool ReadTerminalUntil(int masterFd, std::string& collected, const std::string& text, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (collected.find(text) == std::string::npos) {
        if (Remaining(deadline).count() == 0 || PollFor(masterFd, POLLIN, Remaining(deadline)) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t got = read(masterFd, buffer, sizeof buffer);
        if (got <= 0) {
            // EIO: every slave descriptor is closed, the program has ended.
            break;
        }
        collected.append(buffer, static_cast<size_t>(got));
    }
    return collected.find(text) != std::string::npos;
}

}  // namespace e2e

#endif  // _WIN32
