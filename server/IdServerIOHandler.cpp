// IdServerIOHandler: accepting with a stop check every 250 ms.
#include "server/IdServerIOHandler.h"

#include "io/IdIOHandlerSocket.h"
#include "server/IdThread.h"

namespace {
constexpr int32_t AcceptPollMs = 250;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptConnection(TIdSocketHandle& listenBinding,
                                                                   TIdThread& listenerThread, TIdYarn* yarn) {
    (void)listenBinding;
    (void)listenerThread;
    (void)yarn;
    return nullptr;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::MakeTransport() {
    return std::make_unique<TIdIOHandlerStack>();
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptConnection(TIdSocketHandle& listenBinding,
                                                                         TIdThread& listenerThread, TIdYarn* yarn) {
    (void)yarn;
    std::unique_ptr<TIdIOHandler> handler = MakeTransport();
    handler->OpenChannel();
    auto* socketHandler = static_cast<TIdIOHandlerSocket*>(handler.get());
    while (!listenerThread.IsStopped()) {
        if (!listenBinding.HasSocket()) {
            break;
        }
        if (listenBinding.PollRead(AcceptPollMs) && !listenerThread.IsStopped()) {
            if (socketHandler->Binding()->AcceptFrom(listenBinding.Socket())) {
                handler->OnAccepted();
                return handler;
            }
        }
    }
    return nullptr;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerStack::MakeTransport() { return std::make_unique<TIdIOHandlerStack>(); }

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerStack::MakeClientIOHandler() {
    return std::make_unique<TIdIOHandlerStack>();
}
