// RegressionTest (io): faults the end-to-end soak found, pinned at this
// layer. A write to a peer that stopped reading used to wait for good; the
// handler's WriteTimeout now ends it, while a peer that keeps reading, however
// slowly, still receives every byte.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/IdException.h"
#include "io/IdTCPClient.h"
#include "net/IdStack.h"
#include "tests/support/SameBytes.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtltest::SameBytes;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A TIdTCPClient connected to a raw socket accepted here, which the test
// reads from (or not) as it likes.
class WriteTimeoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        TIdStack::IncUsage();
        TIdStack& stack = TIdStack::Instance();
        listener_ = stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4);
        stack.Bind(listener_, "127.0.0.1", 0, Id_IPv4);
        stack.Listen(listener_, 1);
        std::string ip;
        int32_t port = 0;
        TIdIPVersion version = Id_IPv4;
        stack.LocalEndpoint(listener_, ip, port, version);
        client_.SetHost("127.0.0.1");
        client_.SetPort(port);
        client_.Connect();
        peer_ = stack.Accept(listener_, ip, port, version);
        ASSERT_NE(peer_, InvalidSocket);
        // Small fixed buffers: the writer has to wait for the reader soon,
        // on any platform's defaults.
        client_.SocketHandler()->Binding()->SetIntOption(Id_SOL_SOCKET, Id_SO_SNDBUF, 64 * 1024);
        stack.SetIntOption(peer_, Id_SOL_SOCKET, Id_SO_RCVBUF, 64 * 1024);
    }

    void TearDown() override {
        client_.Disconnect();
        TIdStack& stack = TIdStack::Instance();
        if (peer_ != InvalidSocket) {
            stack.Disconnect(peer_);
        }
        stack.Disconnect(listener_);
        TIdStack::DecUsage();
    }

    TIdStackSocketHandle listener_ = InvalidSocket;
    TIdStackSocketHandle peer_ = InvalidSocket;
    TIdTCPClient client_;
};

TEST_F(WriteTimeoutTest, WriteToAPeerThatNeverReadsEndsAfterTheLimit) {
    client_.IOHandler()->SetWriteTimeout(300);
    const TIdBytes chunk(1 << 20, 'x');
    int64_t written = 0;
    int32_t error = 0;
    const auto start = Clock::now();
    try {
        // Far more than any pair of socket buffers holds.
        for (int i = 0; i < 256; ++i) {
            client_.IOHandler()->WriteBytes(chunk);
            written += static_cast<int64_t>(chunk.size());
        }
    } catch (const EIdSocketError& failure) {
        error = failure.LastError();
    }
    const double took = SecondsSince(start);
    EXPECT_EQ(error, IdErr::TimedOut) << "written " << written;
    EXPECT_GE(took, 0.25);
    EXPECT_LT(took, 15.0);
}

TEST_F(WriteTimeoutTest, PeerThatKeepsReadingSlowlyGetsEveryByte) {
    // The whole write lasts several times the limit; each byte taken
    // restarts it, so it must not fire.
    client_.IOHandler()->SetWriteTimeout(500);
    constexpr size_t Total = 3u << 20;
    TIdBytes data(Total);
    for (size_t i = 0; i < Total; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    }
    TIdBytes received;
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        TIdStack& stack = TIdStack::Instance();
        uint8_t buffer[32 * 1024];
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (received.size() < Total && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!stack.WaitReadable(&peer_, 1, 1000)) {
                continue;
            }
            const int32_t n = stack.Receive(peer_, buffer, sizeof buffer);
            if (n <= 0) {
                failed = true;
                return;
            }
            received.insert(received.end(), buffer, buffer + n);
        }
    });
    const auto start = Clock::now();
    EXPECT_NO_THROW(client_.IOHandler()->WriteBytes(data));
    reader.join();
    EXPECT_FALSE(failed.load());
    EXPECT_TRUE(SameBytes(received, data)) << received.size() << " of " << Total << " bytes";
    EXPECT_GT(SecondsSince(start), 0.5) << "the reader was not slow enough to prove anything";
}

}  // namespace
