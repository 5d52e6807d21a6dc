// Tests of the listening server with an OnExecute work step over real
// loopback connections: bind failures, deactivation with and without
// clients (its duration and what it leaves behind), many short
// connections, re-activation and the default IPv4/IPv6 bindings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "server/IdTCPServer.h"
#include "server/LoopbackClient.h"

namespace {

using ServerTestSupport::BackToBaseline;
using ServerTestSupport::Clock;
using ServerTestSupport::OpenFdCount;
using ServerTestSupport::ThreadCount;
using ServerTestSupport::TLoopbackClient;
using vtltest::WaitUntil;

// A deactivation waits out one listener poll (250 ms) and at most one
// recheck of the worker list (500 ms); anything near 2 s is a hang.
constexpr auto kDeactivationLimit = std::chrono::seconds(2);

class TcpServerTest : public ::testing::Test {
protected:
    TcpServerTest() {
        TIdStack::IncUsage();
        server_ = std::make_unique<TIdTCPServer>();
        server_->OnExecute = [](TIdContext& context) {
            TIdIOHandler& io = *context.ClientConnection().IOHandler();
            io.WriteLine("echo " + io.ReadLine());
        };
        server_->OnConnect = [this](TIdContext&) { ++connects_; };
        server_->OnDisconnect = [this](TIdContext&) { ++disconnects_; };
        // Some runtimes (ThreadSanitizer) start a helper thread at the
        // process's first thread creation; let that happen before counting.
        std::thread([] {}).join();
        baseThreads_ = ThreadCount();
        baseFds_ = OpenFdCount();
    }
    ~TcpServerTest() override {
        server_.reset();
        TIdStack::DecUsage();
    }

    TIdSocketHandle& AddLoopbackBinding(int32_t port = 0) {
        TIdSocketHandle& binding = server_->Bindings().Add();
        binding.SetIP("127.0.0.1");
        binding.SetPort(port);
        return binding;
    }

    void Start() {
        AddLoopbackBinding();
        server_->SetActive(true);
        port_ = server_->Bindings()[0].Port();
        ASSERT_GT(port_, 0);
    }

    static void ExpectEcho(TLoopbackClient& client, const std::string& line) {
        client.SendLine(line);
        EXPECT_EQ(client.ReadLine(), "echo " + line);
    }

    // Runs the deactivation and answers how long it took.
    Clock::duration TimedDeactivation() {
        const Clock::time_point start = Clock::now();
        server_->SetActive(false);
        return Clock::now() - start;
    }

    void ExpectNothingLeft() {
        EXPECT_TRUE(WaitUntil([&] { return server_->LiveContexts().Count() == 0; }));
        ExpectNothingLeftAfterServer();
    }

    void ExpectNothingLeftAfterServer() {
        EXPECT_TRUE(BackToBaseline(ThreadCount, baseThreads_)) << "threads: " << ThreadCount().value_or(-1)
                                                               << " baseline " << baseThreads_.value_or(-1);
        EXPECT_TRUE(BackToBaseline(OpenFdCount, baseFds_)) << "fds: " << OpenFdCount().value_or(-1)
                                                           << " baseline " << baseFds_.value_or(-1);
    }

    std::unique_ptr<TIdTCPServer> server_;
    int32_t port_ = 0;
    std::atomic<int> connects_{0};
    std::atomic<int> disconnects_{0};
    std::optional<int32_t> baseThreads_;
    std::optional<int32_t> baseFds_;
};

// A listening socket holding a loopback port.
class TPortBlocker {
public:
    TPortBlocker() {
        handle_.SetIP("127.0.0.1");
        handle_.OpenSocket();
        handle_.Bind();
        handle_.Listen(1);
    }
    int32_t Port() const { return handle_.Port(); }
    void Release() { handle_.ReleaseSocket(); }

private:
    TIdSocketHandle handle_;
};

// --------------------------------------------------------- bind failures

TEST_F(TcpServerTest, PortInUseFailsActivationAndLeavesNothingRunning) {
    TPortBlocker blocker;
    baseFds_ = OpenFdCount();
    AddLoopbackBinding(blocker.Port());
    try {
        server_->SetActive(true);
        FAIL() << "activation succeeded on a port in use";
    } catch (const EIdCouldNotBindSocket& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(server_->Active());
    EXPECT_EQ(server_->ListenerCount(), 0u);
    EXPECT_FALSE(server_->Bindings()[0].HasSocket());
    ExpectNothingLeft();
}

TEST_F(TcpServerTest, FailureOnSecondBindingReleasesTheFirst) {
    auto blocker = std::make_unique<TPortBlocker>();
    AddLoopbackBinding();
    AddLoopbackBinding(blocker->Port());
    EXPECT_THROW(server_->SetActive(true), EIdCouldNotBindSocket);
    EXPECT_FALSE(server_->Active());
    EXPECT_EQ(server_->ListenerCount(), 0u);
    EXPECT_FALSE(server_->Bindings()[0].HasSocket());
    EXPECT_FALSE(server_->Bindings()[1].HasSocket());

    // With the port free again the same server activates and serves.
    blocker->Release();
    server_->SetActive(true);
    EXPECT_TRUE(server_->Active());
    EXPECT_EQ(server_->ListenerCount(), 2u);
    TLoopbackClient client(server_->Bindings()[1].Port());
    ExpectEcho(client, "second binding");
}

// ----------------------------------------------------------- deactivation

TEST_F(TcpServerTest, DeactivationWithClientMidLineClosesItPromptly) {
    Start();
    TLoopbackClient client(port_);
    ExpectEcho(client, "warm up");
    client.Send("GET /half-a-li");
    EXPECT_LT(TimedDeactivation(), kDeactivationLimit);
    EXPECT_FALSE(server_->Active());
    EXPECT_EQ(server_->ListenerCount(), 0u);
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Pending(), "");
    EXPECT_TRUE(WaitUntil([&] { return disconnects_.load() == 1; }));
    client.Close();
    ExpectNothingLeft();
}

TEST_F(TcpServerTest, DeactivationWithoutClientsIsPromptAndCanBeUndone) {
    Start();
    EXPECT_EQ(server_->ListenerCount(), 1u);
    EXPECT_LT(TimedDeactivation(), kDeactivationLimit);
    EXPECT_EQ(server_->ListenerCount(), 0u);
    EXPECT_FALSE(server_->Bindings()[0].HasSocket());
    // The idle pre-made worker never ran a connection.
    EXPECT_EQ(connects_.load(), 0);
    ExpectNothingLeft();

    // Bound to the port it got the first time.
    server_->SetActive(true);
    EXPECT_EQ(server_->Bindings()[0].Port(), port_);
    TLoopbackClient client(port_);
    ExpectEcho(client, "again");
}

TEST_F(TcpServerTest, ManyShortConnectionsLeaveNothingBehind) {
    constexpr int kClients = 200;
    // Below ListenQueue (15): a fuller backlog drops SYNs, and the
    // client's retransmit would cost a second per batch.
    constexpr int kBatch = 10;
    Start();
    for (int first = 0; first < kClients; first += kBatch) {
        std::vector<std::unique_ptr<TLoopbackClient>> batch;
        for (int i = first; i < first + kBatch; ++i) {
            batch.push_back(std::make_unique<TLoopbackClient>(port_));
            batch.back()->SendLine("client " + std::to_string(i));
        }
        for (int i = first; i < first + kBatch; ++i) {
            ASSERT_EQ(batch[static_cast<size_t>(i - first)]->ReadLine(), "echo client " + std::to_string(i))
                << "no echo";
        }
    }
    EXPECT_EQ(connects_.load(), kClients);
    EXPECT_TRUE(WaitUntil([&] { return disconnects_.load() == kClients; }));
    EXPECT_LT(TimedDeactivation(), kDeactivationLimit);
    ExpectNothingLeft();
}

TEST_F(TcpServerTest, DeactivationWithManyOpenClientsClosesAll) {
    Start();
    std::vector<std::unique_ptr<TLoopbackClient>> clients;
    for (int i = 0; i < 30; ++i) {
        clients.push_back(std::make_unique<TLoopbackClient>(port_));
        ExpectEcho(*clients.back(), "open " + std::to_string(i));
    }
    EXPECT_LT(TimedDeactivation(), kDeactivationLimit);
    for (auto& client : clients) {
        EXPECT_TRUE(client->WaitClosed());
    }
    EXPECT_EQ(disconnects_.load(), 30);
    clients.clear();
    ExpectNothingLeft();
}

// The destructor deactivates; the self-freeing workers must be done with
// everything of the server (its context list, its scheduler) by the time
// it returns, also when their clients left just before.
TEST_F(TcpServerTest, DestructionRightAfterClientsLeftIsSafe) {
    for (int round = 0; round < 5; ++round) {
        server_ = std::make_unique<TIdTCPServer>();
        server_->OnExecute = [](TIdContext& context) {
            TIdIOHandler& io = *context.ClientConnection().IOHandler();
            io.WriteLine("echo " + io.ReadLine());
        };
        Start();
        std::vector<std::unique_ptr<TLoopbackClient>> clients;
        for (int i = 0; i < 10; ++i) {
            clients.push_back(std::make_unique<TLoopbackClient>(port_));
            ExpectEcho(*clients.back(), "round " + std::to_string(round));
        }
        clients.resize(5);  // half of them end on their own...
        server_.reset();    // ...the rest are closed by the deactivation
        for (auto& client : clients) {
            EXPECT_TRUE(client->WaitClosed());
        }
    }
    ExpectNothingLeftAfterServer();
}

// The server closes first, so its port keeps connections waiting out
// TIME_WAIT for a minute; an administrator restarting right away must not
// be told that the port is in use.
TEST_F(TcpServerTest, RestartsOnItsPortRightAfterClosingConnections) {
    server_->OnExecute = [](TIdContext& context) {
        TIdIOHandler& io = *context.ClientConnection().IOHandler();
        io.WriteLine("bye " + io.ReadLine());
        context.ClientConnection().Disconnect();
    };
    Start();
    for (int i = 0; i < 3; ++i) {
        TLoopbackClient client(port_);
        client.SendLine("x");
        EXPECT_EQ(client.ReadLine(), "bye x");
        EXPECT_TRUE(client.WaitClosed());
    }
    server_->SetActive(false);
    server_->Bindings()[0].SetPort(port_);
    EXPECT_NO_THROW(server_->SetActive(true));
    ASSERT_TRUE(server_->Active());
    TLoopbackClient again(port_);
    again.SendLine("y");
    EXPECT_EQ(again.ReadLine(), "bye y");
}

// -------------------------------------------------------- default bindings

TEST_F(TcpServerTest, DefaultBindingsListenOnEveryFamily) {
    int32_t freePort = 0;
    {
        TPortBlocker probe;
        freePort = probe.Port();
    }
    server_->SetDefaultPort(freePort);
    server_->SetActive(true);
    const bool ipv6 = TIdStack::Instance().HasIPv6();
    ASSERT_EQ(server_->Bindings().Count(), ipv6 ? 2 : 1);
    EXPECT_EQ(server_->ListenerCount(), ipv6 ? 2u : 1u);
    EXPECT_EQ(server_->Bindings()[0].IPVersion(), Id_IPv4);
    EXPECT_EQ(server_->Bindings()[0].Port(), freePort);

    TLoopbackClient client4(freePort, Id_IPv4);
    ExpectEcho(client4, "over IPv4");
    if (ipv6) {
        EXPECT_EQ(server_->Bindings()[1].IPVersion(), Id_IPv6);
        EXPECT_EQ(server_->Bindings()[1].Port(), freePort);
        TLoopbackClient client6(freePort, Id_IPv6);
        ExpectEcho(client6, "over IPv6");
    }
}

}  // namespace
