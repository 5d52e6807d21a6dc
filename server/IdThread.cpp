// IdThread: native thread creation with a small stack, the start gate, the
// hook sequence of the thread body and the self-freeing end of
// FreeWhenDone threads.
#include "server/IdThread.h"

#include <pthread.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <system_error>
#include <utility>

#include "io/IdException.h"

namespace {

// Connection threads are many and shallow; buffers live on the heap.
constexpr size_t kThreadStackSize = 256 * 1024;

// Linux truncates nothing and refuses names longer than this.
constexpr size_t kMaxNativeNameLength = 15;

// Every framework thread starts here. std::thread cannot size its stack;
// the pthread attribute works on Linux and on mingw-w64's posix model
// alike. Answers 0 or the error number.
int StartNativeThread(pthread_t& handle, void* (*entry)(void*), void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    size_t stackSize = kThreadStackSize;
#ifdef PTHREAD_STACK_MIN
    // glibc may define it as a run-time sysconf value; winpthreads lacks it.
    if (stackSize < static_cast<size_t>(PTHREAD_STACK_MIN)) {
        stackSize = static_cast<size_t>(PTHREAD_STACK_MIN);
    }
#endif
    rc = pthread_attr_setstacksize(&attr, stackSize);
    if (rc == 0) {
        rc = pthread_create(&handle, &attr, entry, arg);
    }
    pthread_attr_destroy(&attr);
    return rc;
}

// Lets a debugger show the thread by name; winpthreads raises the Windows
// thread-naming exception itself when a debugger is attached. Failure only
// loses the label.
void AnnounceThreadName(const std::string& name) {
    const std::string shortName = name.substr(0, kMaxNativeNameLength);
    (void)pthread_setname_np(pthread_self(), shortName.c_str());
}

}  // namespace

struct TIdThread::TNativeThread {
    pthread_t handle{};
    bool joinable = false;  // guarded by TIdThread::joinLock_
};

TIdThread::TIdThread(bool createSuspended, bool looping, std::string name)
    : looping_(looping),
      stoppedFlag_(createSuspended),
      threadName_(std::move(name)),
      native_(std::make_unique<TNativeThread>()) {
    const int rc = StartNativeThread(native_->handle, &TIdThread::ThreadEntry, this);
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
            gate_ = TGateState::Terminated;
            gateChanged_.notify_all();
        }
    }
    std::scoped_lock joinLock(joinLock_);
    if (!native_->joinable) {
        return;
    }
    native_->joinable = false;
    if (onSelf) {
        return;  // the entry detached this thread before freeing the object
    }
    if (pthread_equal(pthread_self(), native_->handle) != 0) {
        // Deleted from one of its own hooks: cannot join itself. The entry
        // would then run on a dead object; the lifetime rules forbid it.
        pthread_detach(native_->handle);
        return;
    }
    pthread_join(native_->handle, nullptr);
}

void* TIdThread::ThreadEntry(void* arg) {
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
        pthread_detach(pthread_self());
        std::unique_ptr<TIdThread> owned(self);
    }
    return nullptr;
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
        AnnounceThreadName(name);
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
    if (native_->joinable && pthread_equal(pthread_self(), native_->handle) == 0) {
        native_->joinable = false;
        pthread_join(native_->handle, nullptr);
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

TThreadPriority TIdThread::Priority() {
    std::scoped_lock lock(stateLock_);
    return priority_;
}

void TIdThread::SetPriority(TThreadPriority value) {
    std::scoped_lock lock(stateLock_);
    priority_ = value;
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
