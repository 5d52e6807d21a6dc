// IdThread: the start gate, the hook sequence of the thread body and the
// self-freeing end of FreeWhenDone threads, over the parked-and-reused
// platform threads of IdNativeThread.
#include "server/IdThread.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "base/IdException.h"
#include "server/IdNativeThread.h"

struct TIdThread::TNativeThread {
    TIdNativeThread thread;
    bool joinable = false;  // guarded by TIdThread::joinLock_
};

TIdThread::TIdThread(bool createSuspended, bool looping, std::string name)
    : looping_(looping),
      stoppedFlag_(createSuspended),
      threadName_(std::move(name)),
      native_(std::make_unique<TNativeThread>()) {
    // The platform thread is taken now (so that a refusal surfaces here)
    // and given the body when the gate first opens.
    const int rc = native_->thread.Reserve();
    if (rc != 0) {
        throw EIdThreadError(
            FormatText("Thread creation error: %s", std::generic_category().message(rc).c_str()));
    }
    native_->joinable = true;
}

TIdThread::~TIdThread() {
    StopAndJoin();
    bool releasePending = false;
    {
        std::scoped_lock lock(stateLock_);
        releasePending = cleanupPending_;
    }
    if (releasePending) {
        // Only the base behaviour is reachable from a destructor.
        TIdThread::ReleaseRunResources();
    }
    std::unique_ptr<TIdYarn> yarn;
    {
        std::scoped_lock lock(stateLock_);
        yarn = std::move(threadYarn_);
    }
    // yarn dies here, outside StateLock (see the lock order in the header).
}

void TIdThread::StopAndJoin() {
    bool onSelf = false;
    {
        std::scoped_lock lock(stateLock_);
        onSelf = selfFreeing_;
        if (!onSelf) {
            // From another thread the owner takes over: a parked
            // FreeWhenDone thread must not free itself behind our back.
            freeWhenDone_ = false;
        }
        RequestTerminateLocked();
        if (gate_ == TGateState::Suspended) {
            // Never launched: the body never gets to run at all.
            gate_ = TGateState::Terminated;
            gateChanged_.notify_all();
            finished_ = true;
            finishedChanged_.notify_all();
        }
    }
    std::scoped_lock joinLock(joinLock_);
    if (!native_->joinable) {
        return;
    }
    native_->joinable = false;
    if (onSelf || native_->thread.IsCurrent()) {
        // Freeing itself at its end, or deleted from one of its own hooks
        // (the entry would then run on a dead object; the lifetime rules
        // forbid it): a thread cannot wait for itself.
        native_->thread.Detach();
        return;
    }
    native_->thread.Join();
}

void TIdThread::ThreadEntry(void* arg) {
    auto* self = static_cast<TIdThread*>(arg);
    self->RunThread();
    bool freeSelf = false;
    {
        std::scoped_lock lock(self->stateLock_);
        self->finished_ = true;
        freeSelf = self->freeWhenDone_;
        self->selfFreeing_ = freeSelf;
        self->finishedChanged_.notify_all();
    }
    if (freeSelf) {
        // Nobody joins a self-freeing thread; the object is owned by this
        // entry from here on and deleting it is the last thing it does.
        std::unique_ptr<TIdThread> owned(self);
    }
}

void TIdThread::RunThread() noexcept {
    bool runBody = false;
    {
        std::unique_lock lock(stateLock_);
        gateChanged_.wait(lock, [this] { return gate_ != TGateState::Suspended; });
        runBody = gate_ == TGateState::Running && !terminateRequested_.load();
    }
    if (!runBody) {
        return;
    }
    try {
        std::string name = ThreadName();
        if (name.empty()) {
            name = "IdThread (unknown)";
        }
        TIdNativeThread::NameCurrentThread(name);
        Execute();
    } catch (const std::exception& error) {
        try {
            FireThreadError(error);
        } catch (...) {
            // An error handler that raises has nobody left to tell.
        }
        RequestTerminate();
    } catch (...) {
        try {
            FireThreadError(EIdException("Unknown exception in thread"));
        } catch (...) {
        }
        RequestTerminate();
    }
}

// The hook sequence. try/catch pairs stand in for guarded blocks: the
// leave hooks and the cleanup run also while an exception passes, and an
// exception from a leave hook replaces the one passing.
void TIdThread::Execute() {
    EnterExecute();
    try {
        while (!TerminateRequested()) {
            SetCleanupPending(true);
            try {
                EnterRun();
                try {
                    if (looping_) {
                        while (!IsStopped()) {
                            ExecuteStep();
                        }
                    } else {
                        ExecuteStep();
                    }
                } catch (...) {
                    LeaveRun();
                    throw;
                }
                LeaveRun();
            } catch (...) {
                RequestTerminate();
                ReleaseRunResources();
                throw;
            }
            ReleaseRunResources();
        }
    } catch (...) {
        LeaveExecute();
        throw;
    }
    LeaveExecute();
}

void TIdThread::ExecuteStep() {
    try {
        RunOnce();
    } catch (const std::exception& error) {
        if (RunErrorHandled(error)) {
            return;
        }
        RequestTerminate();
        throw;
    } catch (...) {
        RequestTerminate();
        throw;
    }
}

void TIdThread::Launch() {
    std::scoped_lock lock(stateLock_);
    if (!IsStoppedLocked()) {
        return;
    }
    stoppedFlag_ = terminateRequested_.load();
    if (gate_ == TGateState::Suspended) {
        gate_ = TGateState::Running;
        gateChanged_.notify_all();
        // The reserved thread cannot be refused any more.
        std::scoped_lock joinLock(joinLock_);
        (void)native_->thread.Start(&TIdThread::ThreadEntry, this);
    }
}

void TIdThread::Halt() {
    std::scoped_lock lock(stateLock_);
    if (IsStoppedLocked()) {
        return;
    }
    RequestTerminateLocked();
}

void TIdThread::RequestTerminate() {
    std::scoped_lock lock(stateLock_);
    RequestTerminateLocked();
}

void TIdThread::RequestTerminateLocked() {
    stoppedFlag_ = true;
    terminateRequested_.store(true);
}

void TIdThread::TerminateAndWaitFor() {
    if (FreeWhenDone()) {
        throw EIdThreadTerminateAndWaitFor("Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
    }
    RequestTerminate();
    Launch();
    WaitFor();
}

void TIdThread::WaitFor() {
    {
        std::unique_lock lock(stateLock_);
        finishedChanged_.wait(lock, [this] { return finished_; });
    }
    // Joining releases the native thread now rather than at destruction.
    std::scoped_lock joinLock(joinLock_);
    if (native_->joinable && !native_->thread.IsCurrent()) {
        native_->joinable = false;
        native_->thread.Join();
    }
}

bool TIdThread::WaitFor(int32_t timeoutMs) {
    {
        std::unique_lock lock(stateLock_);
        if (!finishedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                       [this] { return finished_; })) {
            return false;
        }
    }
    WaitFor();
    return true;
}

bool TIdThread::IsStopped() {
    std::scoped_lock lock(stateLock_);
    return IsStoppedLocked();
}

bool TIdThread::IsStoppedLocked() const {
    return terminateRequested_.load() || stoppedFlag_ || gate_ != TGateState::Running;
}

bool TIdThread::Suspended() {
    std::scoped_lock lock(stateLock_);
    return gate_ == TGateState::Suspended;
}

bool TIdThread::Finished() {
    std::scoped_lock lock(stateLock_);
    return finished_;
}

bool TIdThread::FreeWhenDone() {
    std::scoped_lock lock(stateLock_);
    return freeWhenDone_;
}

void TIdThread::SetFreeWhenDone(bool value) {
    std::scoped_lock lock(stateLock_);
    freeWhenDone_ = value;
}

std::string TIdThread::ThreadName() {
    std::scoped_lock lock(stateLock_);
    return threadName_;
}

void TIdThread::SetThreadName(std::string name) {
    std::scoped_lock lock(stateLock_);
    threadName_ = std::move(name);
}

TIdYarn* TIdThread::ThreadYarn() {
    std::scoped_lock lock(stateLock_);
    return threadYarn_.get();
}

void TIdThread::SetThreadYarn(std::unique_ptr<TIdYarn> yarn) {
    std::unique_ptr<TIdYarn> old;
    {
        std::scoped_lock lock(stateLock_);
        old = std::exchange(threadYarn_, std::move(yarn));
    }
}

void TIdThread::SetCleanupPending(bool value) {
    std::scoped_lock lock(stateLock_);
    cleanupPending_ = value;
}

void TIdThread::ReleaseRunResources() {
    std::unique_ptr<TIdYarn> yarn;
    {
        std::scoped_lock lock(stateLock_);
        cleanupPending_ = false;
        yarn = std::move(threadYarn_);
    }
    // Freed outside StateLock: the yarn's destructor takes the scheduler's
    // list lock, which the scheduler holds while it takes StateLock (Halt).
}

void TIdThread::FireThreadError(const std::exception& error) {
    if (OnThreadError) {
        OnThreadError(*this, error);
    }
}

bool TIdThread::RunErrorHandled(const std::exception& error) {
    (void)error;
    return false;
}
