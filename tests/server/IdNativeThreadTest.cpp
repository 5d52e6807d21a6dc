// Tests of the platform threads under TIdThread: a body runs on a thread of
// its own, Join waits for its end, a parked thread carries the next body,
// an unused reservation goes back to the park, many bodies at once each run
// exactly once, and a parked thread shows as idle to process listings.
#include "server/IdNativeThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/server/WorkingThreads.h"
#include "tests/support/Wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtltest::WaitUntil;

// What a body saw: the thread it ran on, and whether it was told it was
// current. Bodies get a pointer to one of these.
struct TRun {
    std::atomic<bool> started{false};
    std::atomic<bool> release{true};  // the body waits until this holds
    std::atomic<bool> finished{false};
    std::thread::id ranOn;
    const TIdNativeThread* handle = nullptr;
    bool sawItselfCurrent = false;
};

void RecordBody(void* arg) {
    auto* run = static_cast<TRun*>(arg);
    run->ranOn = std::this_thread::get_id();
    if (run->handle != nullptr) {
        run->sawItselfCurrent = run->handle->IsCurrent();
    }
    run->started = true;
    while (!run->release.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    run->finished = true;
}

TEST(IdNativeThreadTest, BodyRunsOnItsOwnThreadAndJoinWaitsForIt) {
    TRun run;
    run.release = false;
    TIdNativeThread thread;
    run.handle = &thread;
    ASSERT_EQ(0, thread.Start(&RecordBody, &run));
    ASSERT_TRUE(WaitUntil([&] { return run.started.load(); }));
    EXPECT_NE(run.ranOn, std::this_thread::get_id());
    EXPECT_TRUE(run.sawItselfCurrent);
    EXPECT_FALSE(thread.IsCurrent());

    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        thread.Join();
        joined = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(joined.load()) << "Join returned while the body still ran";
    run.release = true;
    joiner.join();
    EXPECT_TRUE(run.finished.load());
}

TEST(IdNativeThreadTest, ParkedThreadCarriesTheNextBody) {
    TRun first;
    first.release = false;
    TIdNativeThread one;
    ASSERT_EQ(0, one.Start(&RecordBody, &first));
    ASSERT_TRUE(WaitUntil([&] { return first.started.load(); }));
    const size_t before = TIdNativeThread::ParkedCount();
    first.release = true;
    one.Join();
    // Parked right after its body, last in line; the next start takes it.
    ASSERT_TRUE(WaitUntil([before] { return TIdNativeThread::ParkedCount() == before + 1; }));
    TRun second;
    TIdNativeThread two;
    ASSERT_EQ(0, two.Start(&RecordBody, &second));
    two.Join();
    EXPECT_EQ(first.ranOn, second.ranOn);
}

TEST(IdNativeThreadTest, UnusedReservationGoesBackToThePark) {
    TRun warm;
    TIdNativeThread warmer;
    ASSERT_EQ(0, warmer.Start(&RecordBody, &warm));
    warmer.Join();
    ASSERT_TRUE(WaitUntil([] { return TIdNativeThread::ParkedCount() > 0; }));
    const size_t parked = TIdNativeThread::ParkedCount();
    {
        TIdNativeThread reserved;
        ASSERT_EQ(0, reserved.Reserve());
        EXPECT_EQ(parked - 1, TIdNativeThread::ParkedCount());
        EXPECT_FALSE(reserved.IsCurrent());
        reserved.Join();  // no body: nothing to wait for
    }
    EXPECT_EQ(parked, TIdNativeThread::ParkedCount());
}

TEST(IdNativeThreadTest, ManyBodiesAtOnceEachRunExactlyOnce) {
    constexpr int Count = 40;
    std::vector<TRun> runs(Count);
    std::vector<TIdNativeThread> threads(Count);
    for (int i = 0; i < Count; ++i) {
        runs[static_cast<size_t>(i)].release = false;
        ASSERT_EQ(0, threads[static_cast<size_t>(i)].Start(&RecordBody, &runs[static_cast<size_t>(i)]));
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (const TRun& run : runs) {
            if (!run.started.load()) {
                return false;
            }
        }
        return true;
    }));
    std::set<std::thread::id> distinct;
    for (TRun& run : runs) {
        distinct.insert(run.ranOn);
        run.release = true;
    }
    EXPECT_EQ(static_cast<size_t>(Count), distinct.size()) << "two running bodies shared a thread";
    for (TIdNativeThread& thread : threads) {
        thread.Join();
    }
    for (const TRun& run : runs) {
        EXPECT_TRUE(run.finished.load());
    }
}

// A detached body that deletes what refers to it, as self-freeing workers do.
struct TSelfFreeing {
    TIdNativeThread thread;
    std::atomic<bool>* done = nullptr;
};

void FreeItself(void* arg) {
    auto* self = static_cast<TSelfFreeing*>(arg);
    std::atomic<bool>* done = self->done;
    self->thread.Detach();
    delete self;
    done->store(true);
}

TEST(IdNativeThreadTest, BodyMayDetachAndFreeItsOwnHandle) {
    std::atomic<bool> done{false};
    auto* self = new TSelfFreeing();
    self->done = &done;
    ASSERT_EQ(0, self->thread.Start(&FreeItself, self));
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    // The thread is free for the next body.
    TRun next;
    TIdNativeThread thread;
    ASSERT_EQ(0, thread.Start(&RecordBody, &next));
    thread.Join();
    EXPECT_TRUE(next.finished.load());
}

#ifdef __linux__
TEST(IdNativeThreadTest, ParkedThreadIsNamedIdleAndNotCountedAsWorking) {
    TRun run;
    run.release = false;
    TIdNativeThread thread;
    ASSERT_EQ(0, thread.Start(&RecordBody, &run));
    ASSERT_TRUE(WaitUntil([&] { return run.started.load(); }));
    const auto working = ServerTestSupport::CountWorkingThreads("/proc/self/task");
    ASSERT_TRUE(working.has_value());
    run.release = true;
    thread.Join();
    EXPECT_TRUE(WaitUntil([&] {
        return ServerTestSupport::CountWorkingThreads("/proc/self/task").value_or(0) < *working;
    })) << "the parked thread still counts as working";
}
#endif

}  // namespace
