// IdCustomTCPServer: a set of socket bindings turned into a running TCP
// service. Activation binds and listens on every binding and starts one
// listener thread per binding; each listener accepts connections and hands
// each, wrapped in a context, to a worker thread from the scheduler.
// Deactivation stops the listeners, wakes every client connection and waits
// until all worker threads have ended.
//
// Limits: a client past MaxConnections gets OverLimitAnswer and is closed
// by the listener itself, without a worker; the refusal is reported
// (RefusedOverLimit) on a reporter thread, so that a report that waits
// never holds up the listener. When an accept fails for want
// of descriptors or memory, or no worker can be made, the listener pauses
// (10 ms, doubled each time up to 1 s) instead of trying again at once,
// and goes on as before once resources are back.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/IdComponent.h"
#include "io/IdIntercept.h"
#include "net/IdSocketHandle.h"
#include "server/IdContext.h"
#include "server/IdRefusalReporter.h"
#include "server/IdRefusedConnections.h"
#include "server/IdScheduler.h"
#include "server/IdServerIOHandler.h"
#include "server/IdThread.h"

class TIdCustomTCPServer;

enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

using TIdServerThreadEvent = std::function<void(TIdContext& context)>;
using TIdListenExceptionEvent = std::function<void(TIdThread& thread, const std::exception& error)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread& thread)>;
using TIdServerNotifyEvent = std::function<void(TIdCustomTCPServer& sender)>;

// Accepts on one binding. Owned by the server's listener list.
class TIdListenerThread : public TIdThread {
public:
    // The pause after a fault that may last: the first, and the longest
    // that repeated faults make it. A client placed again ends the series.
    static constexpr int32_t FirstPauseMs = 10;
    static constexpr int32_t MaxPauseMs = 1000;
    // The longest single wait, so that a stopped listener notices soon.
    static constexpr int32_t StopCheckMs = 250;
    // Accepts that failed for one connection only, in a row, after which
    // the listener pauses all the same: a platform that keeps reporting
    // such a failure must not keep it spinning.
    static constexpr int32_t MaxRetriesInRow = 64;

    TIdListenerThread(TIdCustomTCPServer& server, TIdSocketHandle& binding, std::string name);
    ~TIdListenerThread() override;

    TIdSocketHandle& ListenBinding() const { return binding_; }
    TIdCustomTCPServer& OwnerServer() const { return server_; }
    TIdNotifyThreadEvent ListenerStartEvent;

protected:
    void EnterRun() override;
    void LeaveRun() override;
    void RunOnce() override;

private:
    // Takes the next client, when one comes within StopCheckMs, and hands
    // it to a worker, or refuses it when the server is full.
    void AcceptOne();
    // Gives the client over MaxConnections the server's answer and leaves
    // it to refused_.
    void Refuse(std::unique_ptr<TIdIOHandler> handler);
    void PauseAfterFault();
    // Ends the spare worker, if it is still listed.
    void DropSpare();

    TIdCustomTCPServer& server_;
    TIdSocketHandle& binding_;
    TIdRefusedConnections refused_;
    int32_t pauseMs_ = 0;      // the last pause; 0 once a client was placed
    int32_t retriesInRow_ = 0;
    std::chrono::steady_clock::time_point resumeAt_{};  // no accept before
    // The next client's worker, made while waiting for that client: made
    // after the accept, under load its creation would delay every client.
    TIdYarn* spare_ = nullptr;
};

class TIdCustomTCPServer : public TIdComponent {
public:
    TIdCustomTCPServer();
    ~TIdCustomTCPServer() override;

    bool Active() const { return active_.load(); }
    virtual void SetActive(bool value);

    TIdSocketHandles& Bindings() { return bindings_; }
    void SetBindings(const TIdSocketHandles& value) { bindings_.Assign(value); }
    int32_t DefaultPort() const { return bindings_.DefaultPort(); }
    void SetDefaultPort(int32_t value) { bindings_.SetDefaultPort(value); }
    TIdServerIntercept* Intercept() const { return intercept_; }
    void SetIntercept(TIdServerIntercept* value);
    TIdServerIOHandler* IOHandler() const { return ioHandler_; }
    void SetIOHandler(TIdServerIOHandler* value);
    int32_t ListenQueue() const { return listenQueue_; }
    void SetListenQueue(int32_t value) { listenQueue_ = value; }
    // Live connections at most; 0 (or less) for no limit. May change while
    // active: the next client accepted is held to the new value, those
    // already served stay.
    int32_t MaxConnections() const { return maxConnections_.load(std::memory_order_relaxed); }
    void SetMaxConnections(int32_t value) { maxConnections_.store(value, std::memory_order_relaxed); }
    // Refusal reports waiting for RefusedOverLimit at most; past it they
    // are dropped and counted. Set it before activation.
    size_t RefusalQueueLimit() const { return refusalQueueLimit_; }
    void SetRefusalQueueLimit(size_t value) { refusalQueueLimit_ = value; }
    // Refusals never reported because the queue was full, since creation.
    uint64_t RefusalsDropped() const { return refusalsDropped_.load(); }
    TIdReuseSocket ReuseSocket() const { return reuseSocket_; }
    void SetReuseSocket(TIdReuseSocket value) { reuseSocket_ = value; }
    TIdScheduler* Scheduler() const { return scheduler_; }
    void SetScheduler(TIdScheduler* value);

    TIdContextThreadList& LiveContexts() { return liveContexts_; }
    // Number of running listener threads (0 while inactive).
    size_t ListenerCount();

    TIdServerNotifyEvent OnAfterBind;
    TIdNotifyThreadEvent OnBeforeListenerRun;
    TIdServerThreadEvent OnConnect;
    TIdServerThreadEvent OnDisconnect;
    TIdListenExceptionEvent OnListenException;
    TIdServerThreadEvent OnExecute;

protected:
    friend class TIdListenerThread;

    void Notification(TIdComponent* component) override;

    virtual void CheckCanActivate() {}
    virtual void ContextMade(TIdContext& context) { (void)context; }
    virtual void ContextStarted(TIdContext& context);
    virtual void ContextEnded(TIdContext& context);
    virtual void NotifyAfterBind();
    virtual void NotifyConnect(TIdContext& context);
    virtual void NotifyDisconnect(TIdContext& context);
    virtual bool ExecuteStep(TIdContext& context);
    // What a client over MaxConnections is sent before its connection is
    // closed; nothing by default. Asked on the listener thread, which must
    // not wait: the answer goes out only as far as the socket takes it at
    // once, so it must be short (a few hundred bytes always fit).
    virtual std::string OverLimitAnswer() { return {}; }
    // Once for each client past MaxConnections that was given
    // OverLimitAnswer, in the order they were refused, on the server's
    // reporter thread (never a listener): it may wait, on a slow log say,
    // while the listeners go on. Reports that find RefusalQueueLimit of
    // them waiting are dropped (RefusalsDropped); those still waiting at
    // deactivation are made before it ends.
    virtual void RefusedOverLimit(const TIdRefusal& refusal) { (void)refusal; }
    virtual void SendGreetingTo(TIdContext& context, const TStrings& lines);
    virtual void OpenServer();
    virtual void CloseServer();
    void StopListeners();

    std::atomic<bool> active_{false};

private:
    // From a listener: queues the report, or counts it as dropped.
    void ReportRefusal(TIdRefusal refusal);
    // Makes the reports still queued and ends the reporter thread.
    void StopReporter();

    TIdSocketHandles bindings_;
    TIdServerIntercept* intercept_ = nullptr;
    TIdServerIOHandler* ioHandler_ = nullptr;
    std::unique_ptr<TIdServerIOHandler> ownIOHandler_;  // OwnsIOHandler
    int32_t listenQueue_ = 15;
    std::atomic<int32_t> maxConnections_{0};
    TIdReuseSocket reuseSocket_ = rsOSDependent;
    TIdScheduler* scheduler_ = nullptr;
    std::unique_ptr<TIdScheduler> ownScheduler_;  // OwnsScheduler

    TIdContextThreadList liveContexts_;
    std::mutex listenersLock_;  // guards listeners_
    std::vector<std::unique_ptr<TIdListenerThread>> listeners_;
    size_t refusalQueueLimit_ = TIdRefusalReporter::DefaultLimit;
    // Made at activation, before the listeners start (the limit may be set
    // while active), and ended after they have stopped.
    std::unique_ptr<TIdRefusalReporter> reporter_;
    std::atomic<uint64_t> refusalsDropped_{0};
};
