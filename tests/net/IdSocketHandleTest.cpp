// Tests of socket handles and socket lists over real loopback sockets:
// binding (port 0, port ranges, failures), connect and accept, readiness
// waits with their timeouts and wake-ups, release, and IPv4/IPv6 together.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs a blocking call on another thread and lets the test ask, with a
// deadline, whether it has returned yet.
class TBackgroundCall {
public:
    explicit TBackgroundCall(std::function<bool()> call)
        : thread_([this, call = std::move(call)] {
              bool value = false;
              std::string error;
              try {
                  value = call();
              } catch (const std::exception& e) {
                  error = e.what();
              }
              std::scoped_lock lock(mutex_);
              result_ = value;
              error_ = error;
              done_ = true;
              changed_.notify_all();
          }) {}
    ~TBackgroundCall() { thread_.join(); }
    TBackgroundCall(const TBackgroundCall&) = delete;
    TBackgroundCall& operator=(const TBackgroundCall&) = delete;

    bool WaitDone(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return done_; });
    }
    bool Result() {
        std::scoped_lock lock(mutex_);
        return result_;
    }
    std::string Error() {
        std::scoped_lock lock(mutex_);
        return error_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;       // guarded by mutex_
    bool result_ = false;     // guarded by mutex_
    std::string error_;       // guarded by mutex_
    std::thread thread_;
};

class SocketHandleTest : public ::testing::Test {
protected:
    SocketHandleTest() { TIdStack::IncUsage(); }
    ~SocketHandleTest() override {
        handles_.clear();
        TIdStack::DecUsage();
    }

    TIdSocketHandle& NewHandle(TIdIPVersion version = Id_IPv4) {
        handles_.push_back(std::make_unique<TIdSocketHandle>());
        handles_.back()->SetIPVersion(version);
        return *handles_.back();
    }

    TIdSocketHandle& Listener(const std::string& ip = "127.0.0.1", int32_t port = 0,
                              TIdIPVersion version = Id_IPv4) {
        TIdSocketHandle& handle = NewHandle(version);
        handle.OpenSocket();
        handle.SetIP(ip);
        handle.SetPort(port);
        handle.Bind();
        handle.Listen(5);
        return handle;
    }

    // A connected pair over loopback: {client, server side}.
    std::pair<TIdSocketHandle*, TIdSocketHandle*> Pair(TIdIPVersion version = Id_IPv4) {
        const std::string loopback = version == Id_IPv4 ? "127.0.0.1" : "::1";
        TIdSocketHandle& listener = Listener(loopback, 0, version);
        TIdSocketHandle& client = NewHandle(version);
        client.OpenSocket();
        client.AssignPeer(loopback, listener.Port(), version);
        client.Connect();
        TIdSocketHandle& server = NewHandle();
        EXPECT_TRUE(server.AcceptFrom(listener.Socket()));
        return {&client, &server};
    }

    // Three consecutive ports that are all free on 127.0.0.1 right now;
    // returns the top one.
    int32_t FindFreeRange() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            TIdSocketHandle probe;
            probe.OpenSocket();
            probe.SetIP("127.0.0.1");
            probe.Bind();
            const int32_t top = probe.Port();
            probe.ReleaseSocket();
            if (top < 1026) {
                continue;
            }
            bool allFree = true;
            std::vector<std::unique_ptr<TIdSocketHandle>> held;
            for (int32_t port = top; port > top - 3 && allFree; --port) {
                held.push_back(std::make_unique<TIdSocketHandle>());
                held.back()->OpenSocket();
                held.back()->SetIP("127.0.0.1");
                held.back()->SetPort(port);
                try {
                    held.back()->Bind();
                } catch (const EIdCouldNotBindSocket&) {
                    allFree = false;
                }
            }
            if (allFree) {
                return top;
            }
        }
        ADD_FAILURE() << "no three free consecutive ports found";
        return 0;
    }

    std::vector<std::unique_ptr<TIdSocketHandle>> handles_;
};

// ------------------------------------------------------------------ binding

TEST_F(SocketHandleTest, PortZeroReportsThePlatformsChoice) {
    TIdSocketHandle& handle = NewHandle();
    handle.OpenSocket();
    handle.SetIP("127.0.0.1");
    handle.Bind();
    EXPECT_GT(handle.Port(), 0);
    EXPECT_EQ(handle.IP(), "127.0.0.1");

    // Only one end of a range set: the range is ignored.
    TIdSocketHandle& oneEnd = NewHandle();
    oneEnd.OpenSocket();
    oneEnd.SetClientPortMin(6000);
    oneEnd.Bind();
    EXPECT_GT(oneEnd.Port(), 0);
    EXPECT_EQ(oneEnd.IP(), "0.0.0.0");
}

TEST_F(SocketHandleTest, PortRangeIsSearchedFromTheTop) {
    const int32_t top = FindFreeRange();
    ASSERT_GT(top, 0);
    {
        TIdSocketHandle& all = NewHandle();
        all.OpenSocket();
        all.SetIP("127.0.0.1");
        all.SetClientPortMin(top - 2);
        all.SetClientPortMax(top);
        all.Bind();
        EXPECT_EQ(all.Port(), top);
        all.ReleaseSocket();
    }
    TIdSocketHandle& busy = NewHandle();
    busy.OpenSocket();
    busy.SetIP("127.0.0.1");
    busy.SetPort(top);
    busy.Bind();

    TIdSocketHandle& ranged = NewHandle();
    ranged.OpenSocket();
    ranged.SetIP("127.0.0.1");
    ranged.SetClientPortMin(top - 2);
    ranged.SetClientPortMax(top);
    ranged.Bind();
    EXPECT_EQ(ranged.Port(), top - 1);

    TIdSocketHandle& last = NewHandle();
    last.OpenSocket();
    last.SetIP("127.0.0.1");
    last.SetClientPortMin(top - 1);
    last.SetClientPortMax(top);
    try {
        last.Bind();
        FAIL() << "bound inside a fully used range";
    } catch (const EIdCanNotBindPortInRange& e) {
        EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(top - 1) + " - " +
                                   std::to_string(top) + ")");
    }
    EXPECT_TRUE(last.HasSocket()) << "a failed bind keeps the socket";
}

TEST_F(SocketHandleTest, BindFailuresUseTheirMessages) {
    TIdSocketHandle& handle = NewHandle();
    handle.OpenSocket();
    handle.SetClientPortMin(6000);
    handle.SetClientPortMax(5000);
    try {
        handle.Bind();
        FAIL() << "inverted range accepted";
    } catch (const EIdInvalidPortRange& e) {
        EXPECT_EQ(e.Message(), "Invalid Port Range (6000 - 5000)");
    }
    // No real port in the range: fails at once instead of trying 2^31 numbers.
    handle.SetClientPortMin(-2147483647);
    handle.SetClientPortMax(-1);
    EXPECT_THROW(handle.Bind(), EIdCanNotBindPortInRange);

    TIdSocketHandle& listener = Listener();
    TIdSocketHandle& second = NewHandle();
    second.OpenSocket();
    second.SetIP("127.0.0.1");
    second.SetPort(listener.Port());
    try {
        second.Bind();
        FAIL() << "bound a port in use";
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
    }
}

TEST_F(SocketHandleTest, IPv4AndIPv6ListenersShareAPort) {
    if (!TIdStack::Instance().HasIPv6()) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    TIdSocketHandle& v4 = Listener("", 0, Id_IPv4);
    EXPECT_EQ(v4.IP(), "0.0.0.0");
    TIdSocketHandle& v6 = Listener("", v4.Port(), Id_IPv6);
    EXPECT_EQ(v6.IP(), "::");
    EXPECT_EQ(v6.Port(), v4.Port());

    for (TIdIPVersion version : {Id_IPv4, Id_IPv6}) {
        TIdSocketHandle& client = NewHandle(version);
        client.OpenSocket();
        client.AssignPeer(version == Id_IPv4 ? "127.0.0.1" : "::1", v4.Port(), version);
        client.Connect();
        TIdSocketHandle& accepted = NewHandle();
        TIdSocketHandle& listener = version == Id_IPv4 ? v4 : v6;
        ASSERT_TRUE(listener.PollRead(5000));
        ASSERT_TRUE(accepted.AcceptFrom(listener.Socket()));
        EXPECT_EQ(accepted.IPVersion(), version);
        EXPECT_EQ(accepted.PeerPort(), client.Port());
        EXPECT_EQ(accepted.PeerIP(), client.IP());
        EXPECT_EQ(client.PeerIP(), version == Id_IPv4 ? "127.0.0.1" : "::1");
    }
}

// ---------------------------------------------------------- connect, accept

TEST_F(SocketHandleTest, ConnectRefreshesBothEndpoints) {
    auto [client, server] = Pair();
    EXPECT_EQ(client->IP(), "127.0.0.1");
    EXPECT_GT(client->Port(), 0);
    EXPECT_EQ(client->PeerPort(), server->Port());
    EXPECT_EQ(server->PeerPort(), client->Port());
    EXPECT_EQ(server->PeerIP(), "127.0.0.1");

    TIdBytes data = TextToBytes("ping");
    EXPECT_EQ(client->Send(data, 0), 4);
    TIdBytes buffer(16);
    ASSERT_TRUE(server->WaitReadable(5000));
    EXPECT_EQ(BytesToText(buffer, 0, server->Receive(buffer)), "ping");
}

TEST_F(SocketHandleTest, RefusedConnectKeepsTheSocket) {
    TIdSocketHandle& closedPort = NewHandle();
    closedPort.OpenSocket();
    closedPort.SetIP("127.0.0.1");
    closedPort.Bind();
    TIdSocketHandle& client = NewHandle();
    client.OpenSocket();
    client.AssignPeer("127.0.0.1", closedPort.Port(), Id_IPv4);
    try {
        client.Connect();
        FAIL() << "connected to a port without listener";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdErr::ConnectionRefused);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_TRUE(client.HasSocket());
}

TEST_F(SocketHandleTest, ReleaseTwiceAndVersionChanges) {
    TIdSocketHandle& handle = NewHandle();
    handle.OpenSocket();
    ASSERT_NE(handle.ReadList(), nullptr);
    EXPECT_TRUE(handle.ReadList()->Contains(handle.Socket()));
    handle.SetIPVersion(Id_IPv4);  // same value: allowed while open
    try {
        handle.SetIPVersion(Id_IPv6);
        FAIL() << "version changed on an open handle";
    } catch (const EIdCannotSetIPVersionWhenConnected& e) {
        EXPECT_EQ(e.Message(), "Cannot change IPVersion when connected");
    }
    handle.ReleaseSocket();
    EXPECT_FALSE(handle.HasSocket());
    EXPECT_EQ(handle.Socket(), InvalidSocket);
    EXPECT_EQ(handle.ReadList(), nullptr);
    handle.ReleaseSocket();
    EXPECT_FALSE(handle.HasSocket());
    handle.SetIPVersion(Id_IPv6);
    EXPECT_EQ(handle.IPVersion(), Id_IPv6);
}

// --------------------------------------------------------- readiness waits

TEST_F(SocketHandleTest, WaitReadableTimeouts) {
    auto [client, server] = Pair();
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(server->WaitReadable(0));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));

    const Clock::time_point timed = Clock::now();
    EXPECT_FALSE(server->WaitReadable(150));
    const auto elapsed = Clock::now() - timed;
    EXPECT_GE(elapsed, std::chrono::milliseconds(130));
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    server->ReleaseSocket();
    try {
        server->WaitReadable(0);
        FAIL() << "waiting on a released handle returned";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
}

TEST_F(SocketHandleTest, InfiniteWaitEndsWhenDataArrives) {
    auto [client, server] = Pair();
    TIdSocketHandle* reader = server;
    TBackgroundCall wait([reader] { return reader->WaitReadable(TimeoutInfinite); });
    EXPECT_FALSE(wait.WaitDone(std::chrono::milliseconds(50))) << "returned without data: " << wait.Error();
    client->Send(TextToBytes("x"), 0);
    const bool woken = wait.WaitDone(std::chrono::seconds(5));
    if (!woken) {
        client->ReleaseSocket();  // let the reader go so that the test can end
    }
    ASSERT_TRUE(woken);
    EXPECT_TRUE(wait.Result()) << wait.Error();
}

TEST_F(SocketHandleTest, WakeAndShutdownWakesABlockedReader) {
    auto [client, server] = Pair();
    TIdSocketHandle* reader = server;
    TBackgroundCall wait([reader] {
        if (!reader->WaitReadable(TimeoutInfinite)) {
            return false;
        }
        TIdBytes buffer(16);
        return reader->Receive(buffer) == 0;  // wakes as end-of-stream
    });
    EXPECT_FALSE(wait.WaitDone(std::chrono::milliseconds(50))) << "returned early: " << wait.Error();
    server->WakeAndShutdown();
    const bool woken = wait.WaitDone(std::chrono::seconds(2));
    if (!woken) {
        client->ReleaseSocket();  // let the reader go so that the test can end
    }
    ASSERT_TRUE(woken) << "reader still blocked";
    EXPECT_TRUE(wait.Result()) << wait.Error();
    EXPECT_TRUE(server->HasSocket()) << "the owner closes, not the waker";
    EXPECT_TRUE(server->WaitReadable(0)) << "a woken socket stays readable";
}

TEST_F(SocketHandleTest, WaitAfterWakeAndShutdownReturnsAtOnce) {
    auto [client, server] = Pair();
    server->WakeAndShutdown();
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(server->WaitReadable(10000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    TIdBytes buffer(16);
    EXPECT_EQ(server->Receive(buffer), 0);
    // Closing after the wake must drop what the wake left behind: a new
    // socket that may get the same number is not readable.
    server->ReleaseSocket();
    auto [client2, server2] = Pair();
    EXPECT_FALSE(server2->WaitReadable(0));
    (void)client;
    (void)client2;
}

// ------------------------------------------------------------- socket lists

TEST_F(SocketHandleTest, SocketListHoldsAtMost64) {
    TIdSocketList list;
    for (int i = 1; i <= TIdSocketList::MaxSockets; ++i) {
        list.Add(static_cast<TIdStackSocketHandle>(i));
    }
    try {
        list.Add(static_cast<TIdStackSocketHandle>(65));
        FAIL() << "65th socket accepted";
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
    EXPECT_THROW(list.Item(64), EIdStackSetSizeExceeded);
    EXPECT_THROW(list.Item(-1), EIdStackSetSizeExceeded);

    list.Remove(static_cast<TIdStackSocketHandle>(1000));
    EXPECT_EQ(list.Count(), 64);
    list.Remove(static_cast<TIdStackSocketHandle>(2));
    EXPECT_EQ(list.Count(), 63);
    EXPECT_FALSE(list.Contains(static_cast<TIdStackSocketHandle>(2)));
    EXPECT_EQ(list.Item(1), static_cast<TIdStackSocketHandle>(64)) << "last entry fills the gap";

    const std::unique_ptr<TIdSocketList> copy = list.Duplicate();
    EXPECT_EQ(copy->Count(), 63);
    EXPECT_EQ(copy->Item(62), list.Item(62));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(copy->Count(), 63);
}

TEST_F(SocketHandleTest, WaitReadListKeepsOnlyReadySockets) {
    auto [clientA, serverA] = Pair();
    auto [clientB, serverB] = Pair();
    TIdSocketList list;
    list.Add(serverA->Socket());
    list.Add(serverB->Socket());
    std::unique_ptr<TIdSocketList> ready;
    EXPECT_FALSE(list.WaitReadList(0, ready));
    EXPECT_EQ(ready, nullptr);

    clientB->Send(TextToBytes("b"), 0);
    ASSERT_TRUE(list.WaitReadList(5000, ready));
    ASSERT_NE(ready, nullptr);
    EXPECT_EQ(ready->Count(), 1);
    EXPECT_TRUE(ready->Contains(serverB->Socket()));
    EXPECT_EQ(list.Count(), 2) << "the waited list is unchanged";
    (void)clientA;
}

// -------------------------------------------------------------- collections

TEST_F(SocketHandleTest, HandlesStartAtTheDefaultPortAndCopySettingsOnly) {
    TIdSocketHandles bindings;
    bindings.SetDefaultPort(3128);
    TIdSocketHandle& first = bindings.Add();
    EXPECT_EQ(first.Port(), 3128);
    EXPECT_EQ(first.Collection(), &bindings);
    first.SetIP("127.0.0.1");
    first.SetClientPortMin(10);
    first.OpenSocket();
    TIdSocketHandle& second = bindings.Add();
    second.AssignPeer("::1", 80, Id_IPv6);

    TIdSocketHandles copy;
    copy.Assign(bindings);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.DefaultPort(), 3128);
    EXPECT_EQ(copy[0].IP(), "127.0.0.1");
    EXPECT_EQ(copy[0].Port(), 3128);
    EXPECT_EQ(copy[0].ClientPortMin(), 0) << "port range is not copied";
    EXPECT_FALSE(copy[0].HasSocket()) << "sockets are not copied";
    EXPECT_EQ(copy[1].PeerIP(), "::1");
    EXPECT_EQ(copy[1].PeerPort(), 80);
    EXPECT_EQ(copy[1].IPVersion(), Id_IPv6);
}

}  // namespace
