// IdTCPClient: connect with an implicit stack handler, settings forwarded
// to the handler.
#include "io/IdTCPClient.h"

#include <mutex>

#include "base/IdException.h"
#include "io/IdIntercept.h"
#include "net/IdStack.h"

namespace {
std::mutex factoryLock;  // guards defaultFactory
TIdIOHandlerFactory defaultFactory;
}  // namespace

void SetDefaultIOHandlerFactory(TIdIOHandlerFactory factory) {
    std::scoped_lock lock(factoryLock);
    defaultFactory = std::move(factory);
}

std::unique_ptr<TIdIOHandler> MakeDefaultIOHandler() {
    {
        std::scoped_lock lock(factoryLock);
        if (defaultFactory) {
            return defaultFactory();
        }
    }
    return std::make_unique<TIdIOHandlerStack>();
}

TIdTCPClientCustom::TIdTCPClientCustom() = default;

TIdTCPClientCustom::~TIdTCPClientCustom() = default;

std::unique_ptr<TIdIOHandler> TIdTCPClientCustom::MakeImplicitIOHandler() { return MakeDefaultIOHandler(); }

void TIdTCPClientCustom::DoOnConnected() {
    if (OnConnected) {
        OnConnected(*this);
    }
}

void TIdTCPClientCustom::CopySocketSettings(TIdIOHandlerSocket& handler) const {
    handler.SetBoundIP(boundIP_);
    handler.SetBoundPort(boundPort_);
    handler.SetBoundPortMin(boundPortMin_);
    handler.SetBoundPortMax(boundPortMax_);
    handler.SetIPVersion(ipVersion_);
    handler.OnBeforeBind = OnBeforeBind;
    handler.OnAfterBind = OnAfterBind;
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* handler) {
    TIdTCPConnection::SetIOHandler(handler);
    if (handler != nullptr) {
        CopySettingsTo(*handler);
    }
}

void TIdTCPClientCustom::CopySettingsTo(TIdIOHandler& handler) const {
    handler.SetPort(port_);
    handler.SetHost(host_);
    handler.SetConnectTimeout(connectTimeout_);
    handler.SetReadTimeout(readTimeout_);
    if (SocketHandler() != nullptr) {
        CopySocketSettings(*SocketHandler());
    }
}

void TIdTCPClientCustom::SetHost(const std::string& value) {
    host_ = value;
    if (IOHandler() != nullptr) {
        IOHandler()->SetHost(value);
    }
}

void TIdTCPClientCustom::SetPort(int32_t value) {
    port_ = value;
    if (IOHandler() != nullptr) {
        IOHandler()->SetPort(value);
    }
}

void TIdTCPClientCustom::SetConnectTimeout(int32_t value) {
    connectTimeout_ = value;
    if (IOHandler() != nullptr) {
        IOHandler()->SetConnectTimeout(value);
    }
}

int32_t TIdTCPClientCustom::ReadTimeout() const {
    return IOHandler() != nullptr ? IOHandler()->ReadTimeout() : readTimeout_;
}

void TIdTCPClientCustom::SetReadTimeout(int32_t value) {
    readTimeout_ = value;
    if (IOHandler() != nullptr) {
        IOHandler()->SetReadTimeout(value);
    }
}

void TIdTCPClientCustom::SetBoundIP(const std::string& value) {
    boundIP_ = value;
    if (SocketHandler() != nullptr) {
        SocketHandler()->SetBoundIP(value);
    }
}

void TIdTCPClientCustom::SetBoundPort(int32_t value) {
    boundPort_ = value;
    if (SocketHandler() != nullptr) {
        SocketHandler()->SetBoundPort(value);
    }
}

void TIdTCPClientCustom::SetBoundPortMin(int32_t value) {
    boundPortMin_ = value;
    if (SocketHandler() != nullptr) {
        SocketHandler()->SetBoundPortMin(value);
    }
}

void TIdTCPClientCustom::SetBoundPortMax(int32_t value) {
    boundPortMax_ = value;
    if (SocketHandler() != nullptr) {
        SocketHandler()->SetBoundPortMax(value);
    }
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion value) {
    ipVersion_ = value;
    if (SocketHandler() != nullptr) {
        SocketHandler()->SetIPVersion(value);
    }
}

void TIdTCPClientCustom::EnsureIOHandler() {
    if (IOHandler() == nullptr) {
        AdoptIOHandler(MakeImplicitIOHandler());
        IOHandler()->OnStatus = OnStatus;
    }
}

void TIdTCPClientCustom::Connect() {
    if (IsConnected()) {
        throw EIdAlreadyConnected("Already connected.");
    }
    if (host_.empty()) {
        throw EIdHostRequired();
    }
    if (port_ == 0) {
        throw EIdPortRequired();
    }
    EnsureIOHandler();
    TIdIOHandler* handler = IOHandler();
    try {
        if (!destination_.empty()) {
            handler->SetDestination(destination_);
        }
        CopySettingsTo(*handler);
        handler->OpenChannel();
        if (handler->Intercept() != nullptr) {
            handler->Intercept()->Connect(this);
        }
        DoStatus(hsConnected);
        DoOnConnected();
    } catch (...) {
        if (IOHandler() != nullptr) {
            try {
                IOHandler()->CloseChannel();
            } catch (...) {
                // The connect error is the one to report.
            }
            if (OwnsHandler()) {
                SetIOHandler(nullptr);
            }
        }
        throw;
    }
}

void TIdTCPClientCustom::ConnectOnSocket(TIdStackSocketHandle socket) {
    if (IsConnected()) {
        TIdStack::Instance().CloseAtOnce(socket);
        throw EIdAlreadyConnected("Already connected.");
    }
    try {
        EnsureIOHandler();
    } catch (...) {
        TIdStack::Instance().CloseAtOnce(socket);
        throw;
    }
    auto* handler = dynamic_cast<TIdIOHandlerSocket*>(IOHandler());
    if (handler == nullptr) {
        TIdStack::Instance().CloseAtOnce(socket);
        throw EIdException("Not Connected");
    }
    try {
        CopySettingsTo(*handler);
        handler->OpenOnSocket(socket);
        DoStatus(hsConnected);
        DoOnConnected();
    } catch (...) {
        // Once the binding holds the socket, closing the channel closes it.
        if (handler->Binding() == nullptr || handler->Binding()->Socket() != socket) {
            TIdStack::Instance().CloseAtOnce(socket);
        }
        try {
            handler->CloseChannel();
        } catch (...) {
            // The first error is the one to report.
        }
        if (OwnsHandler()) {
            SetIOHandler(nullptr);
        }
        throw;
    }
}
