// IdTCPConnection: handler ownership, connection test and closing.
#include "io/IdTCPConnection.h"

#include "base/IdException.h"

TIdTCPConnection::TIdTCPConnection() = default;

TIdTCPConnection::~TIdTCPConnection() {
    try {
        if (ioHandler_ != nullptr) {
            ioHandler_->CloseChannel();
        }
    } catch (...) {
        // Destructors never throw.
    }
    DetachHandler();
}

void TIdTCPConnection::Notification(TIdComponent* component) {
    if (component == ioHandler_) {
        ioHandler_ = nullptr;
        socketHandler_ = nullptr;
        // An owned handler is only ever destroyed by us, through DetachHandler.
    }
}

void TIdTCPConnection::DetachHandler() {
    if (ioHandler_ != nullptr) {
        ioHandler_->RemoveFreeNotification(this);
        if (ioHandler_->WorkTarget() == this) {
            ioHandler_->SetWorkTarget(nullptr);
        }
    }
    ioHandler_ = nullptr;
    socketHandler_ = nullptr;
    ownedHandler_.reset();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
    if (handler == ioHandler_) {
        return;
    }
    DetachHandler();
    if (handler != nullptr) {
        handler->SetWorkTarget(this);
        socketHandler_ = dynamic_cast<TIdIOHandlerSocket*>(handler);
        handler->FreeNotification(this);
    }
    ioHandler_ = handler;
}

void TIdTCPConnection::AdoptIOHandler(std::unique_ptr<TIdIOHandler> handler) {
    TIdIOHandler* raw = handler.get();
    SetIOHandler(raw);
    ownedHandler_ = std::move(handler);
}

bool TIdTCPConnection::IsConnected() {
    return ioHandler_ != nullptr && ioHandler_->IsConnected();
}

void TIdTCPConnection::Disconnect(bool notifyPeer) {
    auto close = [this] {
        if (ioHandler_ != nullptr && ioHandler_->IsOpened()) {
            DoStatus(hsDisconnecting);
            ioHandler_->CloseChannel();
            FireDisconnected();
            DoStatus(hsDisconnected);
        }
    };
    try {
        if (notifyPeer && IsConnected()) {
            NotifyPeerOfDisconnect();
        }
    } catch (...) {
        close();
        throw;
    }
    close();
}

void TIdTCPConnection::FireDisconnected() {
    if (OnDisconnected) {
        OnDisconnected(*this);
    }
}

bool TIdTCPConnection::CheckPeerClosed(bool raise) {
    if (ioHandler_ == nullptr) {
        if (raise) {
            throw EIdException("Not Connected");
        }
        return true;
    }
    ioHandler_->CheckClosed(raise, false);
    return !ioHandler_->IsConnected();
}

void TIdTCPConnection::RequireHandler() const {
    if (ioHandler_ == nullptr) {
        throw EIdNotConnected("Not connected.");
    }
}

void TIdTCPConnection::WriteResponseLines(const TStrings& lines) {
    RequireHandler();
    ioHandler_->WriteDotStuffedLines(lines, true);
}
