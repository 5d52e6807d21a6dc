// IdThread: the server framework's thread. It wraps a native thread with a
// fixed run structure (enter/step/leave hooks), a stop state under its own
// lock and an outer catch, so that no exception ever leaves a framework
// thread. Listener and connection threads derive from it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "server/IdYarn.h"


class TIdThread;

using TIdThreadErrorEvent = std::function<void(TIdThread& thread, const std::exception& error)>;

// Lifetime promises (the scheduler and the servers rely on them):
//
// - A native thread is reserved from the constructor on (IdNativeThread)
//   and given the body when the start gate opens (Launch). Hooks run only
//   after that, i.e. never on a half-constructed object; a thread that
//   never launches gives its native thread back unused.
// - An owned thread (FreeWhenDone clear) is deleted by its owner, and only
//   when it never launched or after WaitFor/TerminateAndWaitFor returned:
//   by the time the base destructor joins, the derived parts that the
//   running hooks use are already gone.
// - A FreeWhenDone thread deletes itself as the very last action of its
//   native thread, which is then detached; nobody joins it. Until it
//   finishes, another thread may only touch it while something keeps it
//   alive: the scheduler touches a worker (Launch, Halt, delete of a never
//   launched one) only while the worker's yarn is still listed and the
//   list lock is held, and the worker removes its yarn from that list (by
//   freeing ThreadYarn in ReleaseRunResources) before it can get to its end.
//   Deleting a never launched FreeWhenDone thread from outside is allowed:
//   its body never runs, so nothing else frees it.
// - Lock order: a list lock (the scheduler's yarn list) before StateLock.
//   StateLock is never held while a yarn is freed, since freeing a yarn
//   takes the list lock.
class TIdThread {
public:
    // The native thread is reserved at once; with createSuspended the body
    // waits for Launch. A thread created running also gets its body only
    // when its creator calls Launch once the object is fully constructed
    // (the body would otherwise race the derived constructors' vtable
    // setup); it differs from a suspended one only in StoppedFlag.
    // Raises EIdThreadError "Thread creation error: %s" when the platform
    // refuses the thread.
    TIdThread(bool createSuspended = true, bool looping = true, std::string name = {});
    virtual ~TIdThread();
    TIdThread(const TIdThread&) = delete;
    TIdThread& operator=(const TIdThread&) = delete;

    // Opens the gate when the thread is stopped; a thread whose termination
    // was already requested stays stopped and only gets to finish.
    virtual void Launch();
    // Requests termination of a thread that is not stopped.
    virtual void Halt();
    virtual void RequestTerminate();
    // Not for FreeWhenDone threads (they may be gone when the wait ends):
    // raises EIdThreadTerminateAndWaitFor for them.
    virtual void TerminateAndWaitFor();

    // Waits until the thread function has returned (or, with a timeout in
    // milliseconds, at most that long; true when it has). Only for owned
    // threads, and never from the thread itself.
    void WaitFor();
    bool WaitFor(int32_t timeoutMs);

    bool IsStopped();
    bool TerminateRequested() const { return terminateRequested_.load(); }
    // True while the gate is still closed: the thread never launched.
    bool Suspended();
    bool Finished();

    bool FreeWhenDone();
    // Takes effect when set before the thread function returns; the
    // scheduler sets it before Launch.
    void SetFreeWhenDone(bool value);

    bool Looping() const { return looping_; }
    std::string ThreadName();
    void SetThreadName(std::string name);

    TIdYarn* ThreadYarn();
    void SetThreadYarn(std::unique_ptr<TIdYarn> yarn);

    TIdThreadErrorEvent OnThreadError;

protected:
    virtual void LeaveRun() {}
    virtual void LeaveExecute() {}
    virtual void EnterExecute() {}
    virtual void EnterRun() {}
    // Ends every pass (and runs at destruction when a pass was cut short):
    // clears CleanupPending and frees ThreadYarn.
    virtual void ReleaseRunResources();
    virtual void FireThreadError(const std::exception& error);
    // Answers whether an exception of RunOnce is dropped (the step loop
    // goes on) rather than ending the thread.
    virtual bool RunErrorHandled(const std::exception& error);
    virtual void RunOnce() = 0;

    // Requests termination, opens the gate and joins the native thread
    // (not when called on the thread itself). Idempotent. Destructors of
    // derived classes whose members the hooks use call it first.
    void StopAndJoin();

private:
    enum class TGateState { Suspended, Running, Terminated };
    struct TNativeThread;

    static void ThreadEntry(void* arg);
    void RunThread() noexcept;
    void Execute();
    void ExecuteStep();
    void SetCleanupPending(bool value);
    bool IsStoppedLocked() const;
    void RequestTerminateLocked();

    const bool looping_;
    std::atomic<bool> terminateRequested_{false};  // only ever set

    std::mutex stateLock_;                 // StateLock
    std::condition_variable gateChanged_;  // with stateLock_
    std::condition_variable finishedChanged_;  // with stateLock_
    TGateState gate_ = TGateState::Suspended;  // guarded by stateLock_
    bool stoppedFlag_;                     // guarded by stateLock_
    bool cleanupPending_ = false;          // guarded by stateLock_
    bool freeWhenDone_ = false;            // guarded by stateLock_
    bool selfFreeing_ = false;             // guarded by stateLock_
    bool finished_ = false;                // guarded by stateLock_
    std::string threadName_;               // guarded by stateLock_
    std::unique_ptr<TIdYarn> threadYarn_;  // guarded by stateLock_; freed outside it

    std::mutex joinLock_;                  // serialises the one join
    std::unique_ptr<TNativeThread> native_;  // set in the constructor only
};
