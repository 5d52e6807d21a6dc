// IdContext: per-connection task of the servers.
#include "server/IdContext.h"

#include "base/IdGlobal.h"
#include "io/IdIOHandlerSocket.h"

TIdContext::TIdContext(std::unique_ptr<TIdTCPConnection> connection, TIdYarn* yarn, TIdContextThreadList* list)
    : TIdTask(yarn), connection_(std::move(connection)), list_(list), createdTick_(TickCountMs()) {
    if (list_ != nullptr) {
        list_->Add(this);
    }
}

TIdContext::~TIdContext() {
    // Leave the list before the connection goes: the deactivating thread
    // walks the list under its lock and touches each listed connection.
    if (list_ != nullptr) {
        list_->Remove(this);
    }
}

std::string TIdContext::PeerIP() const {
    TIdIOHandlerSocket* handler = connection_ ? connection_->SocketHandler() : nullptr;
    if (handler != nullptr && handler->Binding() != nullptr) {
        return handler->Binding()->PeerIP();
    }
    return {};
}

void TIdContext::WakeConnection() {
    TIdIOHandlerSocket* handler = connection_ ? connection_->SocketHandler() : nullptr;
    if (handler != nullptr && handler->Binding() != nullptr) {
        handler->Binding()->WakeAndShutdown();
    }
}

void TIdContext::DoStart() {
    if (StartHook) {
        StartHook(*this);
    }
}

bool TIdContext::DoStep() { return StepHook ? StepHook(*this) : true; }

void TIdContext::DoEnd() {
    if (EndHook) {
        EndHook(*this);
    }
}
