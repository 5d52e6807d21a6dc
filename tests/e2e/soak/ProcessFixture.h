// ProcessFixture: runs the real vantrel executable from a scratch folder with
// a vtl.ini of its own, reads its thread, descriptor and memory figures from
// /proc, and offers loopback sockets and threaded origin servers to the
// end-to-end soak and bad-input tests. Linux only; header-only, no gtest.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/server/WorkingThreads.h"

namespace vtltest {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

inline Clock::time_point After(Ms span) { return Clock::now() + span; }

inline int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000000));
}

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls check every step until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& check, Ms limit, Ms step = Ms(50)) {
    const auto deadline = After(limit);
    for (;;) {
        if (check()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
}

// ------------------------------------------------------------ test content

// Deterministic bytes for a seed: the origin serves them and the client
// regenerates them to check what arrived, byte for byte. Appending in pieces
// gives the same bytes as appending at once.
class TPatternStream {
public:
    explicit TPatternStream(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}

    void Append(std::string& out, size_t count) {
        const size_t start = out.size();
        out.resize(start + count);
        for (size_t i = start; i < out.size(); ++i) {
            if (left_ == 0) {
                state_ ^= state_ << 13;
                state_ ^= state_ >> 7;
                state_ ^= state_ << 17;
                word_ = state_;
                left_ = 8;
            }
            out[i] = static_cast<char>(word_ & 0xFF);
            word_ >>= 8;
            --left_;
        }
    }

private:
    uint64_t state_;
    uint64_t word_ = 0;
    int left_ = 0;
};

inline std::string PatternBytes(uint64_t seed, size_t size) {
    std::string out;
    out.reserve(size);
    TPatternStream(seed).Append(out, size);
    return out;
}

inline uint64_t Fnv1a(std::string_view data) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : data) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

inline std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// ----------------------------------------------------------------- sockets

enum class TEnd { Closed, Reset, TimedOut, Failed };

inline const char* EndName(TEnd end) {
    switch (end) {
    case TEnd::Closed:
        return "closed";
    case TEnd::Reset:
        return "reset";
    case TEnd::TimedOut:
        return "timed out";
    case TEnd::Failed:
        return "failed";
    }
    return "?";
}

// One TCP socket, closed on destruction; every wait has a deadline.
class TSocket {
public:
    TSocket() = default;
    explicit TSocket(int fd) : fd_(fd) {}
    ~TSocket() { Close(); }
    TSocket(TSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TSocket& operator=(TSocket&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    int Fd() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

    // A blocking connect to 127.0.0.1 (or ::1); false when refused.
    // receiveBuffer > 0 makes the receive window small from the start;
    // from (an IPv4 loopback address) is the address to connect from.
    bool Connect(int port, bool ipv6 = false, int receiveBuffer = 0, const char* from = nullptr) {
        Close();
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return false;
        }
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (from != nullptr && !ipv6) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            if (::inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
                ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
                Close();
                return false;
            }
        }
        int rc;
        if (ipv6) {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(static_cast<uint16_t>(port));
            address.sin6_addr = in6addr_loopback;
            do {
                rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
            } while (rc != 0 && errno == EINTR);
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            do {
                rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
            } while (rc != 0 && errno == EINTR);
        }
        if (rc != 0) {
            Close();
            return false;
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    bool SendAll(std::string_view data, Clock::time_point deadline) {
        size_t done = 0;
        while (done < data.size()) {
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // One receive of whatever is there within the deadline. Returns the
    // count; 0 with end set when the stream ended or the deadline passed.
    size_t ReceiveSome(std::string& out, Clock::time_point deadline, TEnd& end, size_t limit = 65536) {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                end = TEnd::TimedOut;
                return 0;
            }
            if (ready < 0) {
                end = TEnd::Failed;
                return 0;
            }
            char chunk[65536];
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, limit), MSG_DONTWAIT);
            if (n > 0) {
                out.append(chunk, static_cast<size_t>(n));
                return static_cast<size_t>(n);
            }
            if (n == 0) {
                end = TEnd::Closed;
                return 0;
            }
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            end = errno == ECONNRESET ? TEnd::Reset : TEnd::Failed;
            return 0;
        }
    }

    // Reads until the peer closes (or resets, or the deadline passes).
    TEnd ReadToEnd(std::string& out, Clock::time_point deadline, size_t cap = 64u << 20) {
        TEnd end = TEnd::Closed;
        while (ReceiveSome(out, deadline, end) > 0) {
            if (out.size() > cap) {
                return TEnd::Failed;
            }
        }
        return end;
    }

    // Reads until out holds at least count bytes; false with end set otherwise.
    bool ReadAtLeast(std::string& out, size_t count, Clock::time_point deadline, TEnd& end) {
        while (out.size() < count) {
            if (ReceiveSome(out, deadline, end) == 0) {
                return false;
            }
        }
        return true;
    }

    // Reads until out contains marker; false with end set otherwise.
    bool ReadUntil(std::string& out, std::string_view marker, Clock::time_point deadline, TEnd& end) {
        size_t from = 0;
        while (out.find(marker, from) == std::string::npos) {
            from = out.size() >= marker.size() ? out.size() - marker.size() + 1 : 0;
            if (ReceiveSome(out, deadline, end) == 0) {
                return false;
            }
        }
        return true;
    }

    // Waits, without reading, until there is something to read (or the
    // stream ended).
    bool WaitReadable(Clock::time_point deadline) {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            return ready > 0;
        }
    }

    // Waits, without reading, until the peer has closed its side.
    bool WaitPeerClosed(Clock::time_point deadline) {
        for (;;) {
            pollfd p{fd_, POLLRDHUP, 0};
            const int ready = ::poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
            if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                return true;
            }
        }
    }

    void ShutdownWrite() {
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_WR);
        }
    }

    void Shutdown() {
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_RDWR);
        }
    }

    // Closes with a reset instead of the orderly end.
    void Abort() {
        if (fd_ >= 0) {
            const linger hard{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            Close();
        }
    }

    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

// A port that nobody listens on right now (bound, read, released).
inline int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

// --------------------------------------------------------- origin servers

// A loopback server that runs handler on a thread of its own for every
// accepted connection. Stop (and the destructor) ends the accept loop, shuts
// the open connections down and waits for every handler to return.
class TOriginServer {
public:
    using THandler = std::function<void(TSocket&)>;

    // withIPv6: also listen on [::1] at the same port number when possible,
    // so that a connection the proxy should never make there is seen too.
    // ipv4: the loopback address to listen on.
    explicit TOriginServer(THandler handler, bool withIPv6 = false, const char* ipv4 = "127.0.0.1")
        : handler_(std::move(handler)) {
        listeners_.push_back(Listen(AF_INET, 0, ipv4));
        if (listeners_[0] < 0) {
            std::perror("origin listen");
            std::abort();
        }
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(listeners_[0], reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (withIPv6) {
            const int v6 = Listen(AF_INET6, port_);
            if (v6 >= 0) {
                listeners_.push_back(v6);
            }
        }
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~TOriginServer() { Stop(); }
    TOriginServer(const TOriginServer&) = delete;
    TOriginServer& operator=(const TOriginServer&) = delete;

    int Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }
    bool HasIPv6() const { return listeners_.size() > 1; }

    void Stop() {
        if (stopping_.exchange(true)) {
            return;
        }
        acceptor_.join();
        for (const int fd : listeners_) {
            ::close(fd);
        }
        std::unique_lock lock(lock_);
        for (const int fd : open_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    static int Listen(int family, int port, const char* ipv4 = "127.0.0.1") {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int rc;
        if (family == AF_INET6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(static_cast<uint16_t>(port));
            address.sin6_addr = in6addr_loopback;
            rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, ipv4, &address.sin_addr);
            rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        if (rc != 0 || ::listen(fd, 1024) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void AcceptLoop() {
        std::vector<pollfd> polls;
        for (const int fd : listeners_) {
            polls.push_back({fd, POLLIN, 0});
        }
        while (!stopping_.load()) {
            if (::poll(polls.data(), polls.size(), 100) <= 0) {
                continue;
            }
            for (const pollfd& p : polls) {
                if ((p.revents & POLLIN) == 0) {
                    continue;
                }
                const int fd = ::accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    continue;
                }
                accepted_.fetch_add(1);
                {
                    std::scoped_lock lock(lock_);
                    ++active_;
                    open_.insert(fd);
                }
                std::thread([this, fd] { Serve(fd); }).detach();
            }
        }
    }

    void Serve(int fd) {
        TSocket socket(fd);
        try {
            handler_(socket);
        } catch (...) {
            // A handler's trouble ends its connection only.
        }
        std::scoped_lock lock(lock_);
        open_.erase(fd);
        // Closed under the lock, so that Stop never shuts down a number that
        // was already reused.
        socket.Close();
        if (--active_ == 0) {
            idle_.notify_all();
        }
    }

    THandler handler_;
    std::vector<int> listeners_;
    int port_ = 0;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::mutex lock_;
    std::condition_variable idle_;
    int active_ = 0;
    std::set<int> open_;
};

// The head of an HTTP message as an origin or client reads it.
struct THttpHead {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string raw;  // through the empty line

    std::string Value(std::string_view name) const {
        for (const auto& [key, value] : fields) {
            if (key.size() == name.size() &&
                std::equal(key.begin(), key.end(), name.begin(),
                           [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                       std::tolower(static_cast<unsigned char>(b)); })) {
                return value;
            }
        }
        return {};
    }
};

// Splits text (ending in CR LF CR LF) into a head; the rest stays in text.
inline bool TakeHead(std::string& text, THttpHead& head) {
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    head.raw = text.substr(0, end + 4);
    text.erase(0, end + 4);
    std::istringstream lines(head.raw);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        if (first) {
            head.startLine = line;
            first = false;
            continue;
        }
        const size_t colon = line.find(':');
        std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.erase(0, 1);
        }
        head.fields.emplace_back(line.substr(0, colon), value);
    }
    return true;
}

// ------------------------------------------------------- vantrel process

inline long ProcStatusKb(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, keyLength, key) == 0 && line.size() > keyLength && line[keyLength] == ':') {
            return std::strtol(line.c_str() + keyLength + 1, nullptr, 10);
        }
    }
    return -1;
}

inline int CountEntries(const std::string& folder) {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program reads vtl.ini beside itself, so each run gets a scratch
// folder with its own link (or copy) of the executable and its own ini.
class TVantrelProcess {
public:
    struct TOptions {
        int requestTimeout = 5;
        int idleTimeout = 3;
        int sleepTime = 100;
        std::string user;
        std::string password;
        std::string moreGeneral;  // further [General] lines, each ended by "\n"
        std::string moreIni;      // further sections, after [General]
        std::string moreConnection;  // further [Connection] lines, each ended by "\n"
    };

    TVantrelProcess() = default;
    ~TVantrelProcess() {
        Stop();
        std::error_code ignored;
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    TVantrelProcess(const TVantrelProcess&) = delete;
    TVantrelProcess& operator=(const TVantrelProcess&) = delete;

    // Starts the program and waits until it reports that it serves; false
    // with error set otherwise. A port taken in the meantime is retried.
    bool Start(const std::string& binary, const TOptions& options, std::string& error) {
        if (!Prepare(binary, error)) {
            return false;
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = UnusedPort();
            WriteIni(options);
            if (!Spawn(error)) {
                return false;
            }
            bool exited = false;
            const bool up = WaitUntil(
                [&] {
                    if (!Running()) {
                        exited = true;
                        return true;
                    }
                    return ReadFile(folder_ + "/console.txt").find("Proxy server is active...") != std::string::npos;
                },
                Ms(20000), Ms(20));
            if (up && !exited) {
                return true;
            }
            error = exited ? "vantrel exited at start: " + ReadFile(folder_ + "/stderr.txt")
                           : std::string("vantrel did not report that it serves");
            Stop();
            if (!exited) {
                return false;
            }
        }
        return false;
    }

    // Asks the program to stop (SIGTERM) and waits; kills it after 15 s.
    // Returns the wait status, or -1 when there was no process.
    int Stop() {
        if (pid_ <= 0) {
            return lastStatus_;
        }
        if (!exited_) {
            ::kill(pid_, SIGTERM);
            if (!WaitUntil([this] { return !Running(); }, Ms(15000), Ms(20))) {
                ::kill(pid_, SIGKILL);
                int status = 0;
                ::waitpid(pid_, &status, 0);
                lastStatus_ = -2;
            }
        }
        pid_ = -1;
        exited_ = false;
        return lastStatus_;
    }

    bool Running() {
        if (pid_ <= 0 || exited_) {
            return false;
        }
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            lastStatus_ = status;
            return false;
        }
        return true;
    }

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    const std::string& Folder() const { return folder_; }
    // Threads at work: parked platform threads waiting for a body are not.
    int ThreadCount() const {
        return ServerTestSupport::CountWorkingThreads("/proc/" + std::to_string(pid_) + "/task").value_or(-1);
    }
    int FdCount() const { return CountEntries("/proc/" + std::to_string(pid_) + "/fd"); }
    long RssKb() const { return ProcStatusKb(pid_, "VmRSS"); }
    long PeakRssKb() const { return ProcStatusKb(pid_, "VmHWM"); }
    std::string ErrorOutput() const { return ReadFile(folder_ + "/stderr.txt"); }

    // User plus system time the process has used so far.
    double CpuSeconds() const {
        const std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
        // Fields after the command name (which may hold blanks) start at ')'.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            return -1;
        }
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        unsigned long long user = 0;
        unsigned long long system = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) {
                user = std::strtoull(field.c_str(), nullptr, 10);
            } else if (index == 15) {
                system = std::strtoull(field.c_str(), nullptr, 10);
                break;
            }
        }
        return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    bool Prepare(const std::string& binary, std::string& error) {
        if (!folder_.empty()) {
            return true;
        }
        char pattern[] = "/tmp/vtl-e2e.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            error = "mkdtemp failed";
            return false;
        }
        folder_ = pattern;
        executable_ = folder_ + "/vantrel";
        std::error_code failure;
        std::filesystem::create_hard_link(binary, executable_, failure);
        if (failure) {
            failure.clear();
            std::filesystem::copy_file(binary, executable_, failure);
            if (failure) {
                error = "cannot copy " + binary + ": " + failure.message();
                return false;
            }
            std::filesystem::permissions(executable_, std::filesystem::perms::owner_all, failure);
        }
        return true;
    }

    void WriteIni(const TOptions& options) const {
        std::ofstream ini(folder_ + "/vtl.ini", std::ios::trunc);
        ini << "[Connection]\nPort=" << port_ << "\n"
            << options.moreConnection << "[Authorization]\nUser=" << options.user << "\nPassword=" << options.password
            << "\n[General]\nSleepTime=" << options.sleepTime << "\nRequestTimeout=" << options.requestTimeout
            << "\nIdleTimeout=" << options.idleTimeout << "\n"
            << options.moreGeneral << options.moreIni;
    }

    bool Spawn(std::string& error) {
        // Everything the child needs is made before fork: after it, only
        // async-signal-safe calls.
        const std::string console = folder_ + "/console.txt";
        const std::string errors = folder_ + "/stderr.txt";
        std::vector<char> program(executable_.begin(), executable_.end());
        program.push_back('\0');
        char* const argv[] = {program.data(), nullptr};
        const pid_t pid = ::fork();
        if (pid < 0) {
            error = "fork failed";
            return false;
        }
        if (pid == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0) {
                ::_exit(126);
            }
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            // Descriptors of the test process must not count as the program's.
#ifdef SYS_close_range
            if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
            {
                for (int fd = 3; fd < 65536; ++fd) {
                    ::close(fd);
                }
            }
            ::execv(argv[0], argv);
            ::_exit(127);
        }
        pid_ = pid;
        exited_ = false;
        lastStatus_ = -1;
        return true;
    }

    std::string folder_;
    std::string executable_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int lastStatus_ = -1;
    int port_ = 0;
};

}  // namespace vtltest
