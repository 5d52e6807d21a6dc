// Tests of the framework threads: hook order of the thread body, start gate
// and destruction of never-launched threads, tasks, self-freeing threads
// racing the scheduler's Halt, and the lockable list.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/IdException.h"
#include "server/IdTask.h"
#include "server/IdThread.h"
#include "server/IdThreadSafeList.h"
#include "server/IdThreadWithTask.h"
#include "server/IdYarn.h"
#include "tests/support/Wait.h"

namespace {

using vtltest::Ms;
using vtltest::WaitUntil;

constexpr int32_t kDeadlineMs = 20000;

// Runs work on a helper thread so that a hang fails the test instead of
// blocking it forever (the helper is abandoned then).
bool FinishesInTime(std::function<void()> work, int32_t deadlineMs = kDeadlineMs) {
    std::packaged_task<void()> task(std::move(work));
    auto done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::milliseconds(deadlineMs)) != std::future_status::ready) {
        runner.detach();
        return false;
    }
    runner.join();
    return true;
}

enum class THook { EnterExecute, EnterRun, RunOnce, LeaveRun, Release, LeaveExecute, Error };
enum class TStep { Return, Raise, Halt, Terminate };

std::atomic<int> destroyedThreads{0};
std::atomic<int> hooksRun{0};  // outlives the threads that count into it

// Records every hook; RunOnce follows a script, and one hook may raise.
class TScriptedThread : public TIdThread {
public:
    TScriptedThread(bool looping, std::vector<TStep> steps, THook raiseIn = THook::Error, int handledErrors = 0)
        : TIdThread(true, looping, "scripted"),
          steps_(std::move(steps)),
          raiseIn_(raiseIn),
          handledErrors_(handledErrors) {
        OnThreadError = [this](TIdThread&, const std::exception& error) {
            Record(THook::Error);
            std::scoped_lock lock(traceLock_);
            errorText_ = error.what();
        };
    }
    ~TScriptedThread() override {
        StopAndJoin();
        destroyedThreads++;
    }

    std::vector<THook> Trace() {
        std::scoped_lock lock(traceLock_);
        return trace_;
    }
    std::string ErrorText() {
        std::scoped_lock lock(traceLock_);
        return errorText_;
    }
    int StepCount() { return stepCount_.load(); }

protected:
    void EnterExecute() override { Hook(THook::EnterExecute); }
    void EnterRun() override { Hook(THook::EnterRun); }
    void LeaveRun() override { Hook(THook::LeaveRun); }
    void LeaveExecute() override { Hook(THook::LeaveExecute); }
    void ReleaseRunResources() override {
        TIdThread::ReleaseRunResources();
        Hook(THook::Release);
    }
    bool RunErrorHandled(const std::exception&) override { return handledErrors_-- > 0; }
    void RunOnce() override {
        Record(THook::RunOnce);
        const size_t index = static_cast<size_t>(stepCount_++);
        const TStep step = index < steps_.size() ? steps_[index] : TStep::Halt;
        switch (step) {
            case TStep::Return:
                break;
            case TStep::Raise:
                throw EIdException("step failed");
            case TStep::Halt:
                Halt();
                break;
            case TStep::Terminate:
                RequestTerminate();
                break;
        }
    }

private:
    void Record(THook hook) {
        hooksRun++;
        std::scoped_lock lock(traceLock_);
        trace_.push_back(hook);
    }
    void Hook(THook hook) {
        Record(hook);
        if (hook == raiseIn_) {
            throw EIdException("hook failed");
        }
    }

    const std::vector<TStep> steps_;
    const THook raiseIn_;
    int handledErrors_;  // thread-side only
    std::atomic<int> stepCount_{0};
    std::mutex traceLock_;
    std::vector<THook> trace_;  // guarded by traceLock_
    std::string errorText_;     // guarded by traceLock_
};

// Steps until halted from outside.
class TEndlessThread : public TIdThread {
public:
    TEndlessThread() : TIdThread(true, true, {}) {}
    ~TEndlessThread() override {
        StopAndJoin();
        destroyedThreads++;
    }
    int Steps() const { return steps_.load(); }

protected:
    void RunOnce() override {
        steps_++;
        std::this_thread::yield();
    }

private:
    std::atomic<int> steps_{0};
};

// ---------------------------------------------------------------- hook order

struct THookOrderCase {
    const char* name;
    bool looping;
    std::vector<TStep> steps;
    THook raiseIn;
    int handledErrors;
    std::vector<THook> expected;
    const char* errorText;  // nullptr: OnThreadError must stay silent
};

class TIdThreadHookOrderTest : public ::testing::TestWithParam<THookOrderCase> {};

TEST_P(TIdThreadHookOrderTest, RunsHooksInOrder) {
    const THookOrderCase& c = GetParam();
    auto thread = std::make_unique<TScriptedThread>(c.looping, c.steps, c.raiseIn, c.handledErrors);
    thread->Launch();
    ASSERT_TRUE(thread->WaitFor(kDeadlineMs));
    EXPECT_EQ(thread->Trace(), c.expected);
    EXPECT_EQ(thread->ErrorText(), c.errorText == nullptr ? "" : c.errorText);
    EXPECT_TRUE(thread->TerminateRequested());
    EXPECT_TRUE(thread->IsStopped());
    EXPECT_EQ(thread->ThreadYarn(), nullptr);
}

using H = THook;
using S = TStep;
INSTANTIATE_TEST_SUITE_P(
    Scripts, TIdThreadHookOrderTest,
    ::testing::Values(
        THookOrderCase{"FirstStepRaises", true, {S::Raise}, H::Error, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute,
                        H::Error},
                       "step failed"},
        THookOrderCase{"FirstStepHalts", true, {S::Halt}, H::Error, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute},
                       nullptr},
        THookOrderCase{"HandledErrorKeepsStepping", true, {S::Raise, S::Return, S::Halt}, H::Error, 1,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::RunOnce, H::RunOnce, H::LeaveRun, H::Release,
                        H::LeaveExecute},
                       nullptr},
        THookOrderCase{"NonLoopingRunsOneStepPerPass", false, {S::Return, S::Terminate}, H::Error, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::EnterRun,
                        H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute},
                       nullptr},
        THookOrderCase{"EnterRunRaisesSkipsLeaveRun", true, {S::Halt}, H::EnterRun, 0,
                       {H::EnterExecute, H::EnterRun, H::Release, H::LeaveExecute, H::Error}, "hook failed"},
        THookOrderCase{"EnterExecuteRaisesSkipsEverything", true, {S::Halt}, H::EnterExecute, 0,
                       {H::EnterExecute, H::Error}, "hook failed"},
        THookOrderCase{"LeaveRunRaisesStillCleansUp", true, {S::Halt}, H::LeaveRun, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute,
                        H::Error},
                       "hook failed"},
        THookOrderCase{"LeaveRunErrorReplacesStepError", true, {S::Raise}, H::LeaveRun, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute,
                        H::Error},
                       "hook failed"},
        THookOrderCase{"ReleaseRaisesEndsThread", false, {S::Return}, H::Release, 0,
                       {H::EnterExecute, H::EnterRun, H::RunOnce, H::LeaveRun, H::Release, H::LeaveExecute,
                        H::Error},
                       "hook failed"}),
    [](const ::testing::TestParamInfo<THookOrderCase>& caseInfo) { return std::string(caseInfo.param.name); });

// ------------------------------------------------------------------ lifecycle

class TIdThreadLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        destroyedThreads = 0;
        hooksRun = 0;
    }
};

TEST_F(TIdThreadLifecycleTest, NeverLaunchedThreadIsDestroyedWithoutRunningItsBody) {
    auto* thread = new TScriptedThread(true, {S::Return});
    EXPECT_TRUE(thread->Suspended());
    EXPECT_TRUE(thread->IsStopped());
    ASSERT_TRUE(FinishesInTime([thread] { delete thread; }));
    EXPECT_EQ(hooksRun.load(), 0);
    EXPECT_EQ(destroyedThreads.load(), 1);
}

TEST_F(TIdThreadLifecycleTest, NeverLaunchedFreeWhenDoneThreadCanBeFreedByItsScheduler) {
    // The scheduler frees idle pre-made workers; the parked thread must not
    // free itself as well.
    for (int i = 0; i < 50; ++i) {
        auto* thread = new TEndlessThread();
        thread->SetFreeWhenDone(true);
        ASSERT_TRUE(FinishesInTime([thread] { delete thread; }));
    }
    EXPECT_EQ(destroyedThreads.load(), 50);
}

TEST_F(TIdThreadLifecycleTest, LaunchAfterTerminateOnlyLetsTheThreadFinish) {
    TScriptedThread thread(true, {S::Return});
    thread.RequestTerminate();
    thread.Launch();
    EXPECT_TRUE(thread.IsStopped());
    ASSERT_TRUE(thread.WaitFor(kDeadlineMs));
    EXPECT_TRUE(thread.Trace().empty());
}

TEST_F(TIdThreadLifecycleTest, HaltFromAnotherThreadStopsALoopingThread) {
    TEndlessThread thread;
    thread.Launch();
    ASSERT_TRUE(WaitUntil([&] { return thread.Steps() >= 3; }, Ms(kDeadlineMs)));
    EXPECT_FALSE(thread.IsStopped());
    EXPECT_FALSE(thread.Finished());
    std::thread halter([&] { thread.Halt(); });
    halter.join();
    ASSERT_TRUE(thread.WaitFor(kDeadlineMs));
    EXPECT_TRUE(thread.TerminateRequested());
    const int steps = thread.Steps();
    thread.Launch();  // a terminated thread cannot start again
    EXPECT_EQ(thread.Steps(), steps);
}

TEST_F(TIdThreadLifecycleTest, TerminateAndWaitForEndsAnOwnedThread) {
    TEndlessThread thread;
    thread.Launch();
    ASSERT_TRUE(WaitUntil([&] { return thread.Steps() >= 1; }, Ms(kDeadlineMs)));
    ASSERT_TRUE(FinishesInTime([&] { thread.TerminateAndWaitFor(); }));
    EXPECT_TRUE(thread.Finished());
}

TEST_F(TIdThreadLifecycleTest, TerminateAndWaitForRejectsFreeWhenDoneThreads) {
    auto* thread = new TEndlessThread();
    thread->SetFreeWhenDone(true);
    thread->Launch();
    ASSERT_TRUE(WaitUntil([&] { return thread->Steps() >= 1; }, Ms(kDeadlineMs)));
    try {
        thread->TerminateAndWaitFor();
        FAIL() << "no exception";
    } catch (const EIdThreadTerminateAndWaitFor& error) {
        EXPECT_STREQ(error.what(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
    }
    // Still running: the refusal must not have stopped it.
    const int steps = thread->Steps();
    EXPECT_TRUE(WaitUntil([&] { return thread->Steps() > steps; }, Ms(kDeadlineMs)));
    EXPECT_FALSE(thread->IsStopped());
    thread->Halt();  // from here on the thread may free itself at any moment
    EXPECT_TRUE(WaitUntil([] { return destroyedThreads.load() == 1; }, Ms(kDeadlineMs)));
}

TEST_F(TIdThreadLifecycleTest, ThreadErrorHandlerThatRaisesIsContained) {
    TScriptedThread thread(true, {S::Raise});
    thread.OnThreadError = [](TIdThread&, const std::exception&) { throw EIdException("handler failed"); };
    thread.Launch();
    ASSERT_TRUE(thread.WaitFor(kDeadlineMs));
    EXPECT_TRUE(thread.TerminateRequested());
}

// ---------------------------------------------------------------------- tasks

struct TTaskLog {
    std::mutex lock;
    std::vector<std::string> events;  // guarded by lock
    std::atomic<bool> destroyed{false};
    void Add(std::string event) {
        std::scoped_lock guard(lock);
        events.push_back(std::move(event));
    }
    std::vector<std::string> Events() {
        std::scoped_lock guard(lock);
        return events;
    }
};

class TRecordingTask : public TIdTask {
public:
    TRecordingTask(TTaskLog& log, std::vector<int> answers) : TIdTask(nullptr), log_(log), answers_(std::move(answers)) {}
    ~TRecordingTask() override { log_.destroyed = true; }

protected:
    void DoStart() override { log_.Add("start"); }
    void DoEnd() override { log_.Add("end"); }
    // 1 keeps going, 0 stops, -1 raises; past the script: stop.
    bool DoStep() override {
        log_.Add("step");
        const int answer = next_ < answers_.size() ? answers_[next_++] : 0;
        if (answer < 0) {
            throw EIdException("task failed");
        }
        return answer == 1;
    }

private:
    TTaskLog& log_;
    const std::vector<int> answers_;
    size_t next_ = 0;
};

class TIdThreadWithTaskTest : public ::testing::Test {
protected:
    TTaskLog log_;
    std::atomic<int> errors_{0};

    std::unique_ptr<TIdThreadWithTask> MakeThread(std::vector<int> answers) {
        auto thread = std::make_unique<TIdThreadWithTask>(std::make_unique<TRecordingTask>(log_, std::move(answers)),
                                                          "task");
        thread->OnThreadError = [this](TIdThread&, const std::exception&) { errors_++; };
        return thread;
    }
};

TEST_F(TIdThreadWithTaskTest, StepAnsweringFalseRunsExactlyOneStep) {
    auto thread = MakeThread({0});
    EXPECT_TRUE(thread->Suspended());
    EXPECT_TRUE(thread->Looping());
    thread->Launch();
    ASSERT_TRUE(thread->WaitFor(kDeadlineMs));
    EXPECT_EQ(log_.Events(), (std::vector<std::string>{"start", "step", "end"}));
    EXPECT_EQ(errors_.load(), 0);
}

TEST_F(TIdThreadWithTaskTest, RaisingStepStillEndsTheTaskAndReportsTheError) {
    auto thread = MakeThread({1, -1});
    thread->Launch();
    ASSERT_TRUE(thread->WaitFor(kDeadlineMs));
    EXPECT_EQ(log_.Events(), (std::vector<std::string>{"start", "step", "step", "end"}));
    EXPECT_EQ(errors_.load(), 1);
}

TEST_F(TIdThreadWithTaskTest, DestructionFreesTheTaskOfANeverLaunchedThread) {
    auto thread = MakeThread({1});
    ASSERT_TRUE(FinishesInTime([&] { thread.reset(); }));
    EXPECT_TRUE(log_.destroyed.load());
    EXPECT_TRUE(log_.Events().empty());
}

TEST_F(TIdThreadWithTaskTest, ThreadWithoutTaskEndsQuietly) {
    TIdThreadWithTask thread;
    thread.OnThreadError = [this](TIdThread&, const std::exception&) { errors_++; };
    thread.Launch();
    ASSERT_TRUE(thread.WaitFor(kDeadlineMs));
    EXPECT_EQ(errors_.load(), 0);
}

// ---------------------------------------------------------- self-freeing

// The scheduler's yarn: listed while its thread may be touched, and it
// leaves the list when the thread frees it.
class TListedYarn : public TIdYarn {
public:
    TListedYarn(TIdThreadSafeList<TListedYarn>& list, TIdThread* thread) : list_(list), thread_(thread) {
        list_.Add(this);
    }
    ~TListedYarn() override { list_.Remove(this); }
    TIdThread* Thread() const { return thread_; }

private:
    TIdThreadSafeList<TListedYarn>& list_;
    TIdThread* thread_;
};

class TIdThreadFreeWhenDoneTest : public ::testing::Test {
protected:
    void SetUp() override { destroyedThreads = 0; }
};

TEST_F(TIdThreadFreeWhenDoneTest, FinishedThreadsFreeThemselves) {
    constexpr int kThreads = 200;
    for (int i = 0; i < kThreads; ++i) {
        // Alternate the ways a thread ends: its own halt, an error, one pass.
        const TStep step = i % 3 == 0 ? S::Halt : (i % 3 == 1 ? S::Raise : S::Terminate);
        auto* thread = new TScriptedThread(i % 3 != 2, {step});
        thread->SetFreeWhenDone(true);
        thread->Launch();
    }
    EXPECT_TRUE(WaitUntil([] { return destroyedThreads.load() == kThreads; }, Ms(kDeadlineMs)));
}

TEST_F(TIdThreadFreeWhenDoneTest, SchedulerHaltRacesThreadsEndingOnTheirOwn) {
    // What the scheduler's EndAllYarns does at shutdown: under the list
    // lock, free never-launched workers and halt the others, while those
    // end and free themselves on their own.
    constexpr int kRounds = 10;
    constexpr int kThreads = 40;
    for (int round = 0; round < kRounds; ++round) {
        destroyedThreads = 0;
        TIdThreadSafeList<TListedYarn> yarns;
        for (int i = 0; i < kThreads; ++i) {
            // Some end by themselves after a few steps, some run until halted.
            TIdThread* thread = nullptr;
            if (i % 2 == 0) {
                thread = new TEndlessThread();
            } else {
                thread = new TScriptedThread(true, std::vector<TStep>(static_cast<size_t>(i % 7), S::Return));
            }
            thread->SetThreadYarn(std::make_unique<TListedYarn>(yarns, thread));
            thread->SetFreeWhenDone(true);
            if (i % 4 != 3) {
                thread->Launch();
            }
        }
        const bool emptied = WaitUntil([&] {
            auto locked = yarns.LockList();
            for (size_t i = locked.Count(); i-- > 0;) {
                TIdThread* thread = locked[i]->Thread();
                if (thread->Suspended()) {
                    delete thread;  // its yarn leaves the list we are walking
                } else {
                    thread->Halt();
                }
            }
            return locked.Count() == 0;
        }, Ms(kDeadlineMs));
        ASSERT_TRUE(emptied);
        ASSERT_TRUE(WaitUntil([] { return destroyedThreads.load() == kThreads; }, Ms(kDeadlineMs)));
    }
}

// ------------------------------------------------------------------ the list

struct TListEntry {
    TListEntry(TIdThreadSafeList<TListEntry>* list, std::atomic<int>& freed) : list_(list), freed_(freed) {
        if (list_ != nullptr) {
            list_->Add(this);
        }
    }
    ~TListEntry() {
        if (list_ != nullptr) {
            list_->Remove(this);
        }
        freed_++;
    }
    TIdThreadSafeList<TListEntry>* list_;
    std::atomic<int>& freed_;
};

TEST(TIdThreadSafeListTest, EntriesMayRemoveThemselvesWhileTheListIsWalkedUnderItsLock) {
    std::atomic<int> freed{0};
    TIdThreadSafeList<TListEntry> list;
    for (int i = 0; i < 5; ++i) {
        new TListEntry(&list, freed);
    }
    ASSERT_TRUE(FinishesInTime([&] {
        auto locked = list.LockList();
        for (size_t i = locked.Count(); i-- > 0;) {
            delete locked[i];
        }
        EXPECT_EQ(locked.Count(), 0u);
    }));
    EXPECT_EQ(freed.load(), 5);
}

TEST(TIdThreadSafeListTest, OwningListFreesEveryEntryOnDestruction) {
    std::atomic<int> freed{0};
    {
        auto list = std::make_unique<TIdThreadSafeList<TListEntry>>();
        EXPECT_FALSE(list->OwnsObjects());
        list->SetOwnsObjects(true);
        new TListEntry(list.get(), freed);       // removes itself as it dies
        list->Add(new TListEntry(nullptr, freed));  // plain entry
        list->Add(new TListEntry(nullptr, freed));
        list.reset();
    }
    EXPECT_EQ(freed.load(), 3);
    TListEntry kept(nullptr, freed);
    {
        TIdThreadSafeList<TListEntry> borrowing;
        borrowing.Add(&kept);
        EXPECT_TRUE(borrowing.Contains(&kept));
        EXPECT_TRUE(borrowing.Remove(&kept));
        EXPECT_FALSE(borrowing.Remove(&kept));
        borrowing.Add(&kept);
    }
    EXPECT_EQ(freed.load(), 3);
}

TEST(TIdThreadSafeListTest, ConcurrentAddsAndRemovesKeepEveryEntry) {
    TIdThreadSafeList<int> list;
    std::vector<int> values(4000);
    std::vector<std::thread> writers;
    for (size_t w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (size_t i = 0; i < 1000; ++i) {
                int* value = &values[w * 1000 + i];
                list.Add(value);
                if (i % 2 == 1) {
                    list.Remove(value);
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(list.Count(), 2000u);
}

struct TCountCase {
    int entries;
    int64_t limit;
    bool less;
};

class TIdThreadSafeListCountTest : public ::testing::TestWithParam<TCountCase> {};

TEST_P(TIdThreadSafeListCountTest, IsCountLessThan) {
    TIdThreadSafeList<int> list;
    std::vector<int> values(static_cast<size_t>(GetParam().entries));
    for (auto& value : values) {
        list.Add(&value);
    }
    EXPECT_EQ(list.IsCountLessThan(GetParam().limit), GetParam().less);
    EXPECT_EQ(IsCountLessThan(&list, GetParam().limit), GetParam().less);
    EXPECT_TRUE(IsCountLessThan<int>(nullptr, GetParam().limit));
}

INSTANTIATE_TEST_SUITE_P(Limits, TIdThreadSafeListCountTest,
                         ::testing::Values(TCountCase{0, 0, false}, TCountCase{0, 1, true}, TCountCase{2, 2, false},
                                           TCountCase{2, 3, true}, TCountCase{3, 2, false},
                                           TCountCase{1, -1, false}));

}  // namespace
