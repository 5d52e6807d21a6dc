// IdServerIOHandler: one bounded wait for a client and its accept.
#include "server/IdServerIOHandler.h"

#include "io/IdIOHandlerSocket.h"
#include "net/IdStack.h"
#include "server/IdThread.h"

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptConnection(TIdSocketHandle& listenBinding,
                                                                   TIdThread& listenerThread, int32_t waitMs,
                                                                   TIdAcceptFault& fault) {
    (void)listenBinding;
    (void)listenerThread;
    (void)waitMs;
    fault = TIdAcceptFault::Closed;
    return nullptr;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::MakeTransport() {
    return std::make_unique<TIdIOHandlerStack>();
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptConnection(TIdSocketHandle& listenBinding,
                                                                         TIdThread& listenerThread, int32_t waitMs,
                                                                         TIdAcceptFault& fault) {
    fault = TIdAcceptFault::None;
    if (!listenBinding.HasSocket()) {
        fault = TIdAcceptFault::Closed;
        return nullptr;
    }
    if (!listenBinding.PollRead(waitMs) || listenerThread.IsStopped()) {
        return nullptr;
    }
    std::unique_ptr<TIdIOHandler> handler = MakeTransport();
    handler->OpenChannel();
    auto* socketHandler = static_cast<TIdIOHandlerSocket*>(handler.get());
    if (!socketHandler->Binding()->AcceptFrom(listenBinding.Socket(), &fault)) {
        return nullptr;
    }
    handler->OnAccepted();
    return handler;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerStack::MakeTransport() { return std::make_unique<TIdIOHandlerStack>(); }

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerStack::MakeClientIOHandler() {
    return std::make_unique<TIdIOHandlerStack>();
}
