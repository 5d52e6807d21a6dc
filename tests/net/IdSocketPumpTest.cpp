// Tests of the socket pumps over real loopback connections, for the stack's
// own pump (the kernel's on Linux) and the buffered one: every byte moved in
// order, "nothing there" and "peer closed" told apart, and a receiver that
// takes nothing given up on after the write limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

#include "base/IdException.h"
#include "net/IdSocketPump.h"
#include "net/IdStack.h"
#include "tests/net/StackTestSupport.h"
#include "tests/support/SameBytes.h"

namespace {

using vtltest::SameBytes;

// Two connected sockets on loopback: `near` is ours, `far` its peer.
struct TConnection {
    std::unique_ptr<TLoopbackSocket> near;
    std::unique_ptr<TLoopbackSocket> far;
};

TConnection Connect(int32_t receiveBuffer = 0) {
    TIdStack& stack = TIdStack::Instance();
    TLoopbackSocket listener = TLoopbackSocket::Create();
    stack.Bind(listener.Handle(), "127.0.0.1", 0, Id_IPv4);
    stack.Listen(listener.Handle(), 2);
    std::string ip;
    int32_t port = 0;
    TIdIPVersion version = Id_IPv4;
    stack.LocalEndpoint(listener.Handle(), ip, port, version);
    TConnection connection;
    connection.far = std::make_unique<TLoopbackSocket>(TLoopbackSocket::Create());
    if (receiveBuffer > 0) {
        stack.SetIntOption(connection.far->Handle(), Id_SOL_SOCKET, Id_SO_RCVBUF, receiveBuffer);
    }
    stack.Connect(connection.far->Handle(), "127.0.0.1", port, Id_IPv4);
    connection.near = std::make_unique<TLoopbackSocket>(stack.Accept(listener.Handle(), ip, port, version));
    return connection;
}

std::string Pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 31 + i / 997) & 0xFF);
    }
    return text;
}

// Receives everything until the peer closes, on a thread of its own.
class TDrain {
public:
    explicit TDrain(TIdStackSocketHandle socket)
        : worker_([this, socket] {
              uint8_t buffer[65536];
              for (;;) {
                  const int32_t n = TIdStack::Instance().Receive(socket, buffer, sizeof buffer);
                  if (n <= 0) {
                      return;
                  }
                  text_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
              }
          }) {}
    const std::string& Finish() {
        worker_.join();
        return text_;
    }

private:
    std::string text_;
    std::thread worker_;
};

class SocketPumpTest : public ::testing::TestWithParam<int> {
protected:
    std::unique_ptr<TIdSocketPump> MakePump() {
        if (GetParam() == 0) {
            return TIdStack::Instance().CreatePump();
        }
        return std::make_unique<TIdBufferPump>();
    }

    TStackUse use_;
};

TEST_P(SocketPumpTest, MovesEveryByteInOrderAndTellsNothingFromClosed) {
    TConnection in = Connect();
    TConnection out = Connect();
    std::unique_ptr<TIdSocketPump> pump = MakePump();
    pump->Prepare(in.near->Handle(), out.near->Handle());
    EXPECT_EQ(-1, pump->Move(in.near->Handle(), out.near->Handle(), 65536, 2000));

    const std::string body = Pattern(3 * 1024 * 1024 + 17);
    TDrain drain(out.far->Handle());
    std::thread sender([&] {
        TIdStack& stack = TIdStack::Instance();
        for (size_t sent = 0; sent < body.size();) {
            sent += static_cast<size_t>(stack.Send(in.far->Handle(), reinterpret_cast<const uint8_t*>(body.data()) + sent,
                                                   static_cast<int32_t>(body.size() - sent)));
        }
        in.far->Close();
    });
    int64_t moved = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        const int32_t n = pump->Move(in.near->Handle(), out.near->Handle(), 256 * 1024, 2000);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            const TIdStackSocketHandle socket = in.near->Handle();
            TIdStack::Instance().WaitReadable(&socket, 1, 100);
            continue;
        }
        EXPECT_LE(n, 256 * 1024);
        moved += n;
    }
    sender.join();
    EXPECT_EQ(static_cast<int64_t>(body.size()), moved);
    out.near->Close();
    EXPECT_TRUE(SameBytes(drain.Finish(), body));
}

TEST_P(SocketPumpTest, ReceiverThatTakesNothingIsGivenUpOn) {
    TConnection in = Connect();
    TConnection out = Connect(4096);  // its peer never reads
    std::unique_ptr<TIdSocketPump> pump = MakePump();
    pump->Prepare(in.near->Handle(), out.near->Handle());
    const std::string chunk = Pattern(64 * 1024);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        TIdStack& stack = TIdStack::Instance();
        while (!stop.load()) {
            const TIdStackSocketHandle socket = in.far->Handle();
            if (stack.WaitWritable(socket, 50)) {
                stack.SendNoWait(socket, reinterpret_cast<const uint8_t*>(chunk.data()),
                                 static_cast<int32_t>(chunk.size()));
            }
        }
    });
    const auto start = std::chrono::steady_clock::now();
    int32_t error = 0;
    try {
        for (;;) {
            if (pump->Move(in.near->Handle(), out.near->Handle(), 65536, 300) < 0) {
                const TIdStackSocketHandle socket = in.near->Handle();
                TIdStack::Instance().WaitReadable(&socket, 1, 100);
            }
            ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        }
    } catch (const EIdSocketError& e) {
        error = e.LastError();
    }
    stop = true;
    sender.join();
    EXPECT_EQ(IdErr::TimedOut, error);
}

// The receiver's peer has gone: the move fails with an error, and neither
// raises SIGPIPE (which would end this process) nor leaves one waiting.
TEST_P(SocketPumpTest, ReceiverThatLeftFailsTheMoveWithoutASignal) {
    TConnection in = Connect();
    TConnection out = Connect();
    out.far->Close();
    std::unique_ptr<TIdSocketPump> pump = MakePump();
    pump->Prepare(in.near->Handle(), out.near->Handle());
    const std::string chunk = Pattern(1024);
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        TIdStack::Instance().Send(in.far->Handle(), reinterpret_cast<const uint8_t*>(chunk.data()),
                                  static_cast<int32_t>(chunk.size()));
        const TIdStackSocketHandle socket = in.near->Handle();
        TIdStack::Instance().WaitReadable(&socket, 1, 1000);
        try {
            pump->Move(in.near->Handle(), out.near->Handle(), 65536, 1000);
        } catch (const EIdSocketError&) {
            failed = true;
        }
    }
    pump->Finish(in.near->Handle(), out.near->Handle());
    EXPECT_TRUE(failed);
#ifndef _WIN32
    sigset_t pending;
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
#endif
}

INSTANTIATE_TEST_SUITE_P(Pumps, SocketPumpTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == 0 ? std::string("StacksOwn") : std::string("Buffered");
                         });

}  // namespace
