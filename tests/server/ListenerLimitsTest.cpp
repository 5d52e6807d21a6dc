// Tests of the listener at its limits, over real loopback connections: a
// client past MaxConnections gets the server's answer and an orderly close
// without costing a thread, and its socket is not held for long; a client
// for which no worker can be made is closed at once; a process out of
// descriptors leaves the listener idle and its clients served, and new
// clients are served once descriptors are back; a refusal's report that
// waits holds up neither the listener nor other refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#endif

#include "net/IdStack.h"
#include "server/IdRefusedConnections.h"
#include "server/IdSchedulerOfThreadDefault.h"
#include "server/IdTCPServer.h"
#include "server/LoopbackClient.h"
#include "tests/net/StackTestSupport.h"

namespace {

using ServerTestSupport::BackToBaseline;
using ServerTestSupport::Clock;
using ServerTestSupport::OpenFdCount;
using ServerTestSupport::ThreadCount;
using ServerTestSupport::TLoopbackClient;
using vtltest::WaitUntil;
using Ms = std::chrono::milliseconds;

const std::string Busy = "busy\r\n";

// An echo server that tells the clients past its limit so, and keeps the
// reports of those refusals; while held, a report waits as one would
// behind a stalled log.
class TLimitedServer : public TIdTCPServer {
public:
    ~TLimitedServer() override {
        // Deactivation makes the reports still queued.
        ReleaseReports();
        // The listener asks OverLimitAnswer until the deactivation ends it.
        try {
            SetActive(false);
        } catch (...) {
        }
    }

    void HoldReports() {
        std::scoped_lock lock(reportsLock_);
        held_ = true;
    }
    void ReleaseReports() {
        {
            std::scoped_lock lock(reportsLock_);
            held_ = false;
        }
        released_.notify_all();
    }
    size_t ReportsBegun() {
        std::scoped_lock lock(reportsLock_);
        return begun_;
    }
    std::vector<TIdRefusal> Reported() {
        std::scoped_lock lock(reportsLock_);
        return reported_;
    }

protected:
    std::string OverLimitAnswer() override { return Busy; }
    void RefusedOverLimit(const TIdRefusal& refusal) override {
        std::unique_lock lock(reportsLock_);
        ++begun_;
        released_.wait(lock, [this] { return !held_; });
        reported_.push_back(refusal);
    }

private:
    std::mutex reportsLock_;
    std::condition_variable released_;  // with reportsLock_
    bool held_ = false;
    size_t begun_ = 0;
    std::vector<TIdRefusal> reported_;
};

class ListenerLimitsTest : public ::testing::Test {
protected:
    ListenerLimitsTest() : server_(std::make_unique<TLimitedServer>()) {
        server_->OnExecute = [](TIdContext& context) {
            TIdIOHandler& io = *context.ClientConnection().IOHandler();
            io.WriteLine("echo " + io.ReadLine());
        };
        server_->Bindings().Add().SetIP("127.0.0.1");
    }
    ~ListenerLimitsTest() override { server_.reset(); }

    void Start() {
        server_->SetActive(true);
        port_ = server_->Bindings()[0].Port();
        ASSERT_GT(port_, 0);
    }

    static void ExpectEcho(TLoopbackClient& client, const std::string& line) {
        client.SendLine(line);
        EXPECT_EQ(client.ReadLine(), "echo " + line);
    }

    TStackUse stack_;
    TIdSchedulerOfThreadDefault scheduler_;  // used where a test sets it
    std::unique_ptr<TLimitedServer> server_;
    int32_t port_ = 0;
};

// ------------------------------------------------------ connection limit

struct TRefusedClient {
    const char* name;
    std::string sends;  // right after connecting, or after waitMs
    int32_t waitMs;
};

void PrintTo(const TRefusedClient& client, std::ostream* out) { *out << client.name; }

class RefusedClientTest : public ListenerLimitsTest, public ::testing::WithParamInterface<TRefusedClient> {};

TEST_P(RefusedClientTest, GetsTheAnswerAndAnOrderlyCloseWithoutAThread) {
    server_->SetMaxConnections(1);
    ASSERT_NO_FATAL_FAILURE(Start());
    TLoopbackClient served(port_);
    ExpectEcho(served, "one");
    const std::optional<int32_t> threads = ThreadCount();

    TLoopbackClient refused(port_);
    std::this_thread::sleep_for(Ms(GetParam().waitMs));
    if (!GetParam().sends.empty()) {
        refused.Send(GetParam().sends);
    }
    EXPECT_TRUE(refused.WaitClosed());
    EXPECT_EQ(refused.Pending(), Busy);
    EXPECT_FALSE(refused.WasReset());
    // A reset would come right behind the request it answers.
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(refused.PendingError(), 0) << "the refused connection was reset";
    if (threads) {
        EXPECT_LE(ThreadCount().value_or(0), *threads) << "a refused client took a thread";
    }
    ExpectEcho(served, "two");
}

INSTANTIATE_TEST_SUITE_P(Clients, RefusedClientTest,
                         ::testing::Values(TRefusedClient{"Silent", "", 0},
                                           TRefusedClient{"RequestAtOnce", "GET / HTTP/1.0\r\n\r\n", 0},
                                           TRefusedClient{"RequestAfterTheAnswer", "GET / HTTP/1.0\r\n\r\n", 300}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ListenerLimitsTest, RefusedClientThatStaysIsLetGoAfterTheDrainTime) {
    server_->SetMaxConnections(1);
    ASSERT_NO_FATAL_FAILURE(Start());
    TLoopbackClient served(port_);
    ExpectEcho(served, "one");
    const std::optional<int32_t> fds = OpenFdCount();

    TLoopbackClient refused(port_);
    EXPECT_TRUE(refused.WaitClosed());
    // Only the client's own descriptor is left once the drain time is over.
    EXPECT_TRUE(BackToBaseline(OpenFdCount, fds ? std::optional<int32_t>(*fds + 1) : std::nullopt,
                               TIdRefusedConnections::DrainMs + 3000))
        << "fds: " << OpenFdCount().value_or(-1) << ", before the refused client " << fds.value_or(-1);
}

// The listener only queues a refusal's report: with the report in progress
// stuck, every further client past the limit is still answered and closed
// at once, the queue keeps RefusalQueueLimit reports and counts the rest,
// and the kept ones follow in order once the stuck one ends.
TEST_F(ListenerLimitsTest, AStuckReportHoldsUpNoRefusalAndTheQueueStaysBounded) {
    constexpr size_t QueueLimit = 2;
    constexpr int Refused = 6;
    server_->SetMaxConnections(1);
    server_->SetRefusalQueueLimit(QueueLimit);
    server_->HoldReports();
    ASSERT_NO_FATAL_FAILURE(Start());
    TLoopbackClient served(port_);
    ExpectEcho(served, "one");

    for (int i = 0; i < Refused; ++i) {
        // Each from an address of its own, so that the reports tell them apart.
        const std::string from = "127.0.0." + std::to_string(2 + i);
        vtltest::TLoopbackSocket client;
        ASSERT_TRUE(client.Connect(port_, false, 0, from)) << from;
        std::string answer;
        EXPECT_EQ(client.ReadToEnd(answer, vtltest::After(Ms(3000))), vtltest::TEnd::Closed) << from;
        EXPECT_EQ(answer, Busy) << from;
        if (i == 0) {
            // The first report is taken out of the queue and stuck from here.
            ASSERT_TRUE(WaitUntil([&] { return server_->ReportsBegun() == 1; }));
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return server_->RefusalsDropped() == Refused - 1 - QueueLimit; }))
        << "dropped: " << server_->RefusalsDropped();
    EXPECT_EQ(server_->ReportsBegun(), 1U);

    server_->ReleaseReports();
    ASSERT_TRUE(WaitUntil([&] { return server_->Reported().size() == 1 + QueueLimit; }));
    const std::vector<TIdRefusal> reported = server_->Reported();
    for (size_t i = 0; i < reported.size(); ++i) {
        EXPECT_EQ(reported[i].peerIP, "127.0.0." + std::to_string(2 + i));
        EXPECT_EQ(reported[i].answerBytes, static_cast<int32_t>(Busy.size()));
    }
    EXPECT_EQ(server_->RefusalsDropped(), static_cast<uint64_t>(Refused - 1 - QueueLimit));
    ExpectEcho(served, "two");
}

// ------------------------------------------------------------- no worker

TEST_F(ListenerLimitsTest, ClientWithoutAWorkerIsClosedAtOnceAndTheNextIsServed) {
    scheduler_.SetMaxThreads(1);
    server_->SetScheduler(&scheduler_);
    ASSERT_NO_FATAL_FAILURE(Start());
    TLoopbackClient served(port_);
    ExpectEcho(served, "one");

    TLoopbackClient unserved(port_);
    EXPECT_TRUE(unserved.WaitClosed(2000)) << "left waiting for a worker";
    EXPECT_EQ(unserved.Pending(), "");
    ExpectEcho(served, "two");

    served.Close();
    ASSERT_TRUE(WaitUntil([&] { return server_->LiveContexts().Count() == 0; }));
    TLoopbackClient next(port_);
    ExpectEcho(next, "three");
}

// ------------------------------------------------------ no descriptors

#ifdef __linux__
double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& value) {
        return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST_F(ListenerLimitsTest, OutOfDescriptorsTheListenerIdlesKeepsServingAndRecovers) {
#ifdef __SANITIZE_ADDRESS__
    // The undefined-behaviour checks of this build test memory through a
    // pipe, and with no descriptor free they report sound objects as bad.
    GTEST_SKIP() << "needs descriptors the sanitizer runtime takes for its own checks";
#endif
    ASSERT_NO_FATAL_FAILURE(Start());
    TLoopbackClient served(port_);
    ExpectEcho(served, "one");
    // Made now, connected once no descriptor is left: the listener's queue
    // holds them, and the listener cannot take them.
    TLoopbackSocket waiting[3] = {TLoopbackSocket::Create(), TLoopbackSocket::Create(), TLoopbackSocket::Create()};
    {
        TNoFreeDescriptors full;
        ASSERT_TRUE(full.Lowered());
        for (TLoopbackSocket& client : waiting) {
            TIdStack::Instance().Connect(client.Handle(), "127.0.0.1", port_, Id_IPv4);
        }
        const double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(Ms(1000));
        EXPECT_LT(ProcessCpuSeconds() - before, 0.2) << "the listener spins while no descriptor is free";
        ExpectEcho(served, "two");
    }
    // Within about one of the longest pauses, clients are taken again.
    const Clock::time_point start = Clock::now();
    TLoopbackClient late(port_);
    ExpectEcho(late, "three");
    EXPECT_LT(Clock::now() - start, Ms(3000));
}
#endif

}  // namespace
