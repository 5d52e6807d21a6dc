// IdCustomTCPServer: activation, listener passes and deactivation.
#include "server/IdCustomTCPServer.h"

#include <algorithm>
#include <utility>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "io/IdIOHandlerSocket.h"
#include "net/IdStack.h"
#include "server/IdSchedulerOfThreadDefault.h"

// ------------------------------------------------------- TIdListenerThread

namespace {

int32_t MsUntil(std::chrono::steady_clock::time_point moment) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - std::chrono::steady_clock::now()).count();
    return static_cast<int32_t>(std::clamp<long long>(left, 0, TIdListenerThread::MaxPauseMs));
}

}  // namespace

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer& server, TIdSocketHandle& binding, std::string name)
    : TIdThread(true, true, std::move(name)), server_(server), binding_(binding) {}

TIdListenerThread::~TIdListenerThread() { StopAndJoin(); }

void TIdListenerThread::EnterRun() {
    if (ListenerStartEvent) {
        ListenerStartEvent(*this);
    }
}

void TIdListenerThread::LeaveRun() {
    DropSpare();
    refused_.CloseAll();
    binding_.ReleaseSocket();
}

void TIdListenerThread::DropSpare() {
    TIdYarn* spare = std::exchange(spare_, nullptr);
    TIdScheduler* scheduler = server_.Scheduler();
    if (spare == nullptr || scheduler == nullptr) {
        return;
    }
    // Touch the idle worker only while its yarn is still listed.
    auto locked = scheduler->LiveYarns().LockList();
    for (TIdYarn* listed : locked) {
        if (listed == spare) {
            scheduler->EndYarn(spare);
            break;
        }
    }
}

void TIdListenerThread::RunOnce() {
    try {
        const int32_t pauseLeft = MsUntil(resumeAt_);
        if (pauseLeft > 0) {
            // The listening socket stays readable while the fault lasts, so
            // only the refused clients are waited on meanwhile.
            const int32_t slice = std::min(pauseLeft, StopCheckMs);
            if (refused_.Empty()) {
                SleepMs(slice);
            } else {
                refused_.Serve(InvalidSocket, slice);
            }
            return;
        }
        AcceptOne();
    } catch (const std::exception& error) {
        // Whatever failed here may well fail again at once.
        PauseAfterFault();
        if (dynamic_cast<const EAbort*>(&error) == nullptr && server_.OnListenException) {
            server_.OnListenException(*this, error);
        }
    }
}

void TIdListenerThread::AcceptOne() {
    int32_t waitMs = StopCheckMs;
    if (!refused_.Empty()) {
        if (!refused_.Serve(binding_.HasSocket() ? binding_.Socket() : InvalidSocket, StopCheckMs)) {
            return;
        }
        waitMs = 0;
    }
    TIdScheduler* scheduler = server_.Scheduler();
    if (spare_ == nullptr) {
        try {
            spare_ = scheduler->ObtainYarn();
        } catch (const std::exception&) {
            // No thread to be had, or the thread limit: the next client is
            // let go at once below rather than left waiting for a worker
            // that may never come.
            spare_ = nullptr;
        }
    }
    TIdAcceptFault fault = TIdAcceptFault::None;
    std::unique_ptr<TIdIOHandler> handler = server_.IOHandler()->AcceptConnection(binding_, *this, waitMs, fault);
    if (!handler) {
        switch (fault) {
        case TIdAcceptFault::None:
            break;
        case TIdAcceptFault::Retry:
            if (++retriesInRow_ >= MaxRetriesInRow) {
                retriesInRow_ = 0;
                PauseAfterFault();
            }
            break;
        case TIdAcceptFault::Exhausted:
            PauseAfterFault();
            break;
        case TIdAcceptFault::Closed:
            // Nothing will come from this binding any more.
            Halt();
            break;
        }
        return;
    }
    retriesInRow_ = 0;

    const int32_t maxConnections = server_.MaxConnections();
    if (maxConnections > 0 && !server_.LiveContexts().IsCountLessThan(maxConnections)) {
        Refuse(std::move(handler));
        pauseMs_ = 0;
        return;
    }

    auto connection = std::make_unique<TIdTCPConnection>();
    connection->AdoptIOHandler(std::move(handler));
    TIdYarn* yarn = std::exchange(spare_, nullptr);
    if (yarn == nullptr) {
        connection->Disconnect();
        PauseAfterFault();
        return;
    }
    std::unique_ptr<TIdContext> context;
    try {
        context = std::make_unique<TIdContext>(std::move(connection), yarn, &server_.LiveContexts());
        TIdCustomTCPServer* server = &server_;
        context->StartHook = [server](TIdContext& c) { server->ContextStarted(c); };
        context->StepHook = [server](TIdContext& c) { return server->ExecuteStep(c); };
        context->EndHook = [server](TIdContext& c) { server->ContextEnded(c); };
        server_.ContextMade(*context);
    } catch (...) {
        context.reset();
        // Touch the idle worker only while its yarn is still listed.
        auto locked = scheduler->LiveYarns().LockList();
        for (TIdYarn* listed : locked) {
            if (listed == yarn) {
                scheduler->EndYarn(yarn);
                break;
            }
        }
        throw;
    }
    // The worker owns the yarn from here; it may be gone at any moment.
    scheduler->BeginYarn(yarn, std::move(context));
    pauseMs_ = 0;
}

void TIdListenerThread::Refuse(std::unique_ptr<TIdIOHandler> handler) {
    auto* socketHandler = dynamic_cast<TIdIOHandlerSocket*>(handler.get());
    if (socketHandler == nullptr || socketHandler->Binding() == nullptr || !socketHandler->Binding()->HasSocket()) {
        // A transport without a socket of its own cannot be answered
        // without waiting; freeing it closes it unanswered.
        return;
    }
    const std::string answer = server_.OverLimitAnswer();
    TIdSocketHandle& accepted = *socketHandler->Binding();
    const TIdStackSocketHandle socket = accepted.Socket();
    const std::string peer = accepted.PeerIP();
    accepted.ResetHandle();  // refused_ owns the socket from here
    refused_.Add(socket, answer);
    // Only queued: whatever the report does, this thread must not wait
    // for it.
    server_.ReportRefusal(
        TIdRefusal{peer, static_cast<int32_t>(answer.size()), std::chrono::system_clock::now()});
}

void TIdListenerThread::PauseAfterFault() {
    pauseMs_ = pauseMs_ == 0 ? FirstPauseMs : std::min(pauseMs_ * 2, MaxPauseMs);
    resumeAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(pauseMs_);
}

// ------------------------------------------------------ TIdCustomTCPServer

TIdCustomTCPServer::TIdCustomTCPServer() = default;

TIdCustomTCPServer::~TIdCustomTCPServer() {
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw.
    }
    if (ioHandler_ != nullptr) {
        ioHandler_->RemoveFreeNotification(this);
    }
    if (scheduler_ != nullptr) {
        scheduler_->RemoveFreeNotification(this);
    }
    if (intercept_ != nullptr) {
        intercept_->RemoveFreeNotification(this);
    }
    ioHandler_ = nullptr;
    ownIOHandler_.reset();
}

void TIdCustomTCPServer::Notification(TIdComponent* component) {
    if (component == scheduler_) {
        scheduler_ = nullptr;
    } else if (component == ioHandler_) {
        ioHandler_ = nullptr;
    } else if (component == intercept_) {
        intercept_ = nullptr;
    }
}

void TIdCustomTCPServer::SetActive(bool value) {
    if (value == active_.load()) {
        return;
    }
    if (value) {
        CheckCanActivate();
        OpenServer();
    } else {
        CloseServer();
    }
}

void TIdCustomTCPServer::SetIntercept(TIdServerIntercept* value) {
    if (intercept_ != nullptr) {
        intercept_->RemoveFreeNotification(this);
    }
    intercept_ = value;
    if (intercept_ != nullptr) {
        intercept_->FreeNotification(this);
    }
}

void TIdCustomTCPServer::SetScheduler(TIdScheduler* value) {
    if (active_.load()) {
        throw EIdException("Cannot change the scheduler while the server is Active.");
    }
    if (scheduler_ != nullptr) {
        scheduler_->RemoveFreeNotification(this);
    }
    scheduler_ = nullptr;
    ownScheduler_.reset();
    scheduler_ = value;
    if (scheduler_ != nullptr) {
        scheduler_->FreeNotification(this);
    }
    if (ioHandler_ != nullptr) {
        ioHandler_->SetScheduler(value);
    }
}

void TIdCustomTCPServer::SetIOHandler(TIdServerIOHandler* value) {
    if (ioHandler_ != nullptr) {
        ioHandler_->RemoveFreeNotification(this);
    }
    ioHandler_ = nullptr;
    ownIOHandler_.reset();
    ioHandler_ = value;
    if (ioHandler_ != nullptr) {
        ioHandler_->FreeNotification(this);
        ioHandler_->SetScheduler(scheduler_);
    }
}

size_t TIdCustomTCPServer::ListenerCount() {
    std::scoped_lock lock(listenersLock_);
    return listeners_.size();
}

void TIdCustomTCPServer::OpenServer() {
    if (bindings_.Count() == 0) {
        bindings_.Add();
        if (TIdStack::Instance().HasIPv6()) {
            bindings_.Add().SetIPVersion(Id_IPv6);
        }
    }
    if (ioHandler_ == nullptr) {
        auto own = std::make_unique<TIdServerIOHandlerStack>();
        SetIOHandler(own.get());
        ownIOHandler_ = std::move(own);
    }
    ioHandler_->Prepare();
    if (scheduler_ == nullptr) {
        auto own = std::make_unique<TIdSchedulerOfThreadDefault>();
        own->SetName(Name() + "Scheduler");
        SetScheduler(own.get());
        ownScheduler_ = std::move(own);
    }
    scheduler_->Prepare();

    auto failActivation = [this](int32_t upTo) {
        for (int32_t j = upTo; j >= 0; --j) {
            bindings_[j].ReleaseSocket();
        }
        active_ = true;
        SetActive(false);
    };
    int32_t i = 0;
    try {
        for (; i < bindings_.Count(); ++i) {
            TIdSocketHandle& binding = bindings_[i];
            binding.OpenSocket(Id_SOCK_STREAM, 0);
            if (reuseSocket_ == rsTrue ||
                (reuseSocket_ == rsOSDependent && TIdStack::Instance().ReuseAddressByDefault())) {
                binding.SetIntOption(Id_SOL_SOCKET, Id_SO_REUSEADDR, 1);
            }
            binding.Bind();
        }
    } catch (...) {
        failActivation(std::min(i, bindings_.Count() - 1));
        throw;
    }
    NotifyAfterBind();
    try {
        reporter_ = std::make_unique<TIdRefusalReporter>(
            [this](const TIdRefusal& refusal) { RefusedOverLimit(refusal); }, refusalQueueLimit_,
            Name() + " Reporter");
        reporter_->Launch();
        for (i = 0; i < bindings_.Count(); ++i) {
            TIdSocketHandle& binding = bindings_[i];
            binding.Listen(listenQueue_);
            auto listener = std::make_unique<TIdListenerThread>(*this, binding,
                                                                Name() + " Listener #" + std::to_string(i + 1));
            listener->ListenerStartEvent = OnBeforeListenerRun;
            TIdListenerThread* started = listener.get();
            {
                std::scoped_lock lock(listenersLock_);
                listeners_.push_back(std::move(listener));
            }
            started->Launch();
        }
    } catch (...) {
        failActivation(bindings_.Count() - 1);
        throw;
    }
    active_ = true;
}

void TIdCustomTCPServer::StopListeners() {
    std::vector<std::unique_ptr<TIdListenerThread>> stopping;
    {
        std::scoped_lock lock(listenersLock_);
        stopping.swap(listeners_);
    }
    // Request all first so that the listeners' 250 ms waits run out together.
    for (auto& listener : stopping) {
        listener->RequestTerminate();
    }
    for (auto& listener : stopping) {
        // The listener closes its own socket when its pass ends, so no other
        // thread closes a socket it is still waiting on.
        listener->WaitFor();
        listener->ListenBinding().ReleaseSocket();
    }
}

void TIdCustomTCPServer::CloseServer() {
    active_ = false;
    StopListeners();
    try {
        {
            auto locked = liveContexts_.LockList();
            for (TIdContext* context : locked) {
                context->WakeConnection();
            }
        }
        if (scheduler_ != nullptr) {
            scheduler_->EndAllYarns();
        }
        // A self-freeing worker frees its context (which then leaves
        // LiveContexts) only after it dropped its yarn; the list dies with
        // the server, so wait for those last few steps too.
        while (liveContexts_.Count() != 0) {
            SleepMs(1);
        }
    } catch (...) {
        StopReporter();
        if (ownScheduler_) {
            SetScheduler(nullptr);
        }
        throw;
    }
    // After the clients: a report that waits must not keep them open.
    StopReporter();
    if (ownScheduler_) {
        SetScheduler(nullptr);
    }
}

void TIdCustomTCPServer::ReportRefusal(TIdRefusal refusal) {
    if (reporter_ == nullptr || !reporter_->Push(std::move(refusal))) {
        refusalsDropped_.fetch_add(1);
    }
}

void TIdCustomTCPServer::StopReporter() {
    // The listeners have stopped, so nothing pushes any more.
    if (reporter_ != nullptr) {
        reporter_->Stop();
        reporter_.reset();
    }
}

void TIdCustomTCPServer::ContextStarted(TIdContext& context) {
    if (intercept_ != nullptr && context.Connection()->IOHandler() != nullptr) {
        TIdConnectionIntercept* connectionIntercept = intercept_->Accept(context.Connection());
        context.Connection()->IOHandler()->SetIntercept(connectionIntercept);
        if (connectionIntercept != nullptr) {
            connectionIntercept->Connect(context.Connection());
        }
    }
    NotifyConnect(context);
}

void TIdCustomTCPServer::ContextEnded(TIdContext& context) {
    NotifyDisconnect(context);
    TIdIOHandler* handler = context.Connection()->IOHandler();
    if (handler != nullptr && handler->Intercept() != nullptr) {
        TIdConnectionIntercept* connectionIntercept = handler->Intercept();
        connectionIntercept->Disconnect();
        handler->SetIntercept(nullptr);
        delete connectionIntercept;
    }
}

void TIdCustomTCPServer::NotifyAfterBind() {
    if (OnAfterBind) {
        OnAfterBind(*this);
    }
}

void TIdCustomTCPServer::NotifyConnect(TIdContext& context) {
    if (OnConnect) {
        OnConnect(context);
    }
}

void TIdCustomTCPServer::NotifyDisconnect(TIdContext& context) {
    if (OnDisconnect) {
        OnDisconnect(context);
    }
}

bool TIdCustomTCPServer::ExecuteStep(TIdContext& context) {
    if (OnExecute) {
        OnExecute(context);
    }
    return context.Connection() != nullptr && context.Connection()->IsConnected();
}

void TIdCustomTCPServer::SendGreetingTo(TIdContext& context, const TStrings& lines) {
    context.ClientConnection().IOHandler()->WriteLines(lines);
}
