// ConnectionLimitsTest: the real vantrel executable at its limits on
// loopback. Flooded past its open-file limit it stays near idle instead of
// spinning on the accept that cannot succeed, and serves again on its own
// once the flood has gone; past MaxConnections new clients get 503 while
// those already connected stay, and nothing is printed for either, also
// while every write to the access log waits.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/soak/SoakContent.h"
#include "tests/support/Answers.h"

namespace {

using namespace vtltest;

const std::string OkAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string OkRelayed = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n") + "ok";

class ConnectionLimitsTest : public ::testing::Test {
protected:
    ConnectionLimitsTest()
        : origin_([](TLoopbackSocket& socket) {
              std::string request;
              TEnd end = TEnd::Closed;
              const auto deadline = After(Ms(10000));
              if (socket.ReadUntil(request, "\r\n\r\n", deadline, end)) {
                  socket.SendAll(OkAnswer, deadline);
              }
          }) {}

    // Use as ASSERT_NO_FATAL_FAILURE(Start(...)). The clients here stay
    // silent on purpose, so the request limit is out of their way.
    void Start(const std::string& connectionLines, const std::string& generalLines = "") {
        TProxySettings options;
        options.requestTimeout = 60;
        options.idleTimeout = 60;
        options.moreConnection = connectionLines;
        options.moreGeneral = generalLines;
        std::string error;
        ASSERT_TRUE(proxy_.StartServing(options, error)) << error;
        // The start-up text is complete with the line end after it.
        ASSERT_TRUE(WaitUntil(
            [&] {
                console_ = proxy_.Stdout();
                return console_.find("Proxy server is active...\n") != std::string::npos;
            },
            Ms(5000)));
    }

    // A GET through the proxy to the origin: the answer, and how it ended.
    std::string Get(TEnd& end) {
        TLoopbackSocket client;
        std::string answer;
        end = TEnd::Failed;
        if (client.Connect(proxy_.Port())) {
            const auto deadline = After(Ms(10000));
            client.SendAll("GET http://127.0.0.1:" + std::to_string(origin_.Port()) + "/x HTTP/1.0\r\n\r\n", deadline);
            end = client.ReadToEnd(answer, deadline);
        }
        return answer;
    }

    // Nothing on the console or on standard error since the start.
    void ExpectNothingPrinted() {
        EXPECT_EQ(proxy_.Stdout(), console_);
        EXPECT_EQ(proxy_.Stderr(), "");
    }

    TOriginServer origin_;
    TProgram proxy_;
    std::string console_;
};

TEST_F(ConnectionLimitsTest, PastItsOpenFileLimitTheProxyIdlesAndServesAgainOnceTheFloodLeaves) {
#ifdef __SANITIZE_ADDRESS__
    // The undefined-behaviour checks of this build test memory through a
    // pipe, and with no descriptor free they report sound objects as bad.
    GTEST_SKIP() << "needs descriptors the sanitizer runtime takes for its own checks";
#endif
    ASSERT_NO_FATAL_FAILURE(Start(""));
    // The program raises its own limit at start, so it is lowered on the
    // running process: a few dozen descriptors to go, then none.
    constexpr int Headroom = 40;
    const int fds = proxy_.FdCount();
    ASSERT_GT(fds, 0);
    const rlimit low{static_cast<rlim_t>(fds + Headroom), static_cast<rlim_t>(fds + Headroom)};
    ASSERT_EQ(::prlimit(proxy_.Pid(), RLIMIT_NOFILE, &low, nullptr), 0) << std::strerror(errno);

    // Ten more than it can take: those wait in its listen queue (which
    // holds 16), so every connect completes.
    std::vector<TLoopbackSocket> flood(Headroom + 10);
    for (TLoopbackSocket& client : flood) {
        ASSERT_TRUE(client.Connect(proxy_.Port()));
    }
    ASSERT_TRUE(WaitUntil([&] { return proxy_.FdCount() >= fds + Headroom; }, Ms(10000)))
        << "fds: " << proxy_.FdCount() << " of " << fds + Headroom;

    constexpr double Seconds = 3;
    const double before = proxy_.CpuSeconds();
    std::this_thread::sleep_for(Ms(static_cast<int>(Seconds * 1000)));
    const double used = proxy_.CpuSeconds() - before;
    EXPECT_LT(used, 0.2 * Seconds) << "CPU seconds used over " << Seconds << " s at the limit";
    ExpectNothingPrinted();

    flood.clear();
    const auto start = Clock::now();
    TEnd end = TEnd::Failed;
    EXPECT_EQ(Get(end), OkRelayed);
    EXPECT_EQ(end, TEnd::Closed) << EndName(end);
    EXPECT_LT(SecondsSince(start), 3.0) << "served only long after the flood left";
    EXPECT_TRUE(proxy_.Running());
}

TEST_F(ConnectionLimitsTest, PastMaxConnectionsNewClientsGet503AndTheOthersStay) {
    constexpr int Limit = 50;
    constexpr int Extra = 10;
    ASSERT_NO_FATAL_FAILURE(Start("MaxConnections=" + std::to_string(Limit) + "\n"));
    const int fds = proxy_.FdCount();
    const std::string partial = "GET http://127.0.0.1:" + std::to_string(origin_.Port()) + "/x HTTP/1.0\r\n";

    // One after the other, so the proxy takes them in this order; every
    // other one sends part of a request, the rest nothing.
    std::vector<TLoopbackSocket> clients(Limit + Extra);
    for (size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i].Connect(proxy_.Port())) << "client " << i;
        if (i % 2 == 1) {
            ASSERT_TRUE(clients[i].SendAll(partial, After(Ms(5000))));
        }
    }
    for (size_t i = Limit; i < clients.size(); ++i) {
        std::string answer;
        const TEnd end = clients[i].ReadToEnd(answer, After(Ms(5000)));
        EXPECT_TRUE(IsProxyAnswer(answer, 503)) << "client " << i;
        EXPECT_EQ(end, TEnd::Closed) << "client " << i << ": " << EndName(end);
    }
    for (size_t i = 0; i < Limit; ++i) {
        EXPECT_FALSE(clients[i].WaitReadable(After(Ms(i == 0 ? 200 : 0)))) << "client " << i << " was answered";
    }
    ExpectNothingPrinted();

    clients.clear();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.FdCount() <= fds; }, Ms(10000)))
        << "fds: " << proxy_.FdCount() << ", at start " << fds;
    TEnd end = TEnd::Failed;
    EXPECT_EQ(Get(end), OkRelayed);
    EXPECT_EQ(end, TEnd::Closed) << EndName(end);
}

// Closes a descriptor of the test at the end of its scope.
class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// The access log is a FIFO whose pipe is full and which nobody reads, so
// every line the program writes there waits. Clients past MaxConnections
// are answered at once all the same (the listener never writes a line
// itself), and their lines follow once the log is read again.
TEST_F(ConnectionLimitsTest, PastMaxConnectionsClientsAreAnsweredWhileTheLogStalls) {
    constexpr int Limit = 4;
    constexpr int Refused = 5;
    const std::string fifo = proxy_.Directory() + "/access.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    // Opening a FIFO for writing waits for a reader: this one is there
    // from the start, and reads only at the end.
    const TFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_GE(reader.Get(), 0) << std::strerror(errno);
    // Filled until it takes nothing more, in whole lines (a write within
    // PIPE_BUF goes in whole or not at all).
    const std::string filler = std::string(63, 'x') + "\n";
    size_t filled = 0;
    {
        const TFd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        ASSERT_GE(writer.Get(), 0) << std::strerror(errno);
        while (::write(writer.Get(), filler.data(), filler.size()) == static_cast<ssize_t>(filler.size())) {
            filled += filler.size();
        }
        ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
    }
    ASSERT_NO_FATAL_FAILURE(Start("MaxConnections=" + std::to_string(Limit) + "\n", "LogFile=" + fifo + "\n"));

    // Connected one after the other, so that each counts before the next
    // is accepted; silent, they keep their connections.
    std::vector<TLoopbackSocket> busy(Limit);
    for (TLoopbackSocket& client : busy) {
        ASSERT_TRUE(client.Connect(proxy_.Port()));
    }
    for (int i = 0; i < Refused; ++i) {
        TLoopbackSocket client;
        ASSERT_TRUE(client.Connect(proxy_.Port())) << "refused client " << i;
        const auto start = Clock::now();
        std::string answer;
        const TEnd end = client.ReadToEnd(answer, After(Ms(3000)));
        EXPECT_TRUE(IsProxyAnswer(answer, 503)) << "refused client " << i << ": " << answer;
        EXPECT_EQ(end, TEnd::Closed) << "refused client " << i << ": " << EndName(end);
        EXPECT_LT(SecondsSince(start), 2.0) << "refused client " << i;
    }
    // The log did stall: not a byte of its lines got into the pipe.
    int queued = -1;
    ASSERT_EQ(::ioctl(reader.Get(), FIONREAD, &queued), 0) << std::strerror(errno);
    EXPECT_EQ(queued, static_cast<int>(filled));
    ExpectNothingPrinted();

    // Read again, the log takes the refusals' lines, one for each.
    std::string log;
    const auto lines = [&] { return log.size() <= filled ? 0 : std::count(log.begin() + filled, log.end(), '\n'); };
    EXPECT_TRUE(WaitUntil(
        [&] {
            char buffer[65536];
            const ssize_t got = ::read(reader.Get(), buffer, sizeof buffer);
            if (got > 0) {
                log.append(buffer, static_cast<size_t>(got));
            }
            return lines() >= Refused;
        },
        Ms(10000)))
        << log.substr(std::min(log.size(), filled));
    std::istringstream refusals(log.substr(std::min(log.size(), filled)));
    std::string line;
    int count = 0;
    while (std::getline(refusals, line)) {
        ++count;
        EXPECT_NE(line.find(" 127.0.0.1 - - - 503 "), std::string::npos) << line;
    }
    EXPECT_EQ(count, Refused);

    busy.clear();
    EXPECT_EQ(proxy_.StopWith(SIGTERM), 0);
}

}  // namespace

#endif  // _WIN32
