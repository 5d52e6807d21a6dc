// IdServerIOHandler: how a server accepts connections. The socket variant
// waits on the listening socket in 250 ms steps (so a stopped listener
// notices within that time) and wraps each accepted socket in a stack
// I/O handler.
#pragma once

#include <functional>
#include <memory>

#include "io/IdComponent.h"
#include "io/IdIOHandler.h"
#include "net/IdSocketHandle.h"

class TIdThread;
class TIdYarn;
class TIdScheduler;

class TIdServerIOHandler : public TIdComponent {
public:
    // Answers the accepted connection's handler, or none when the listener
    // was stopped.
    virtual std::unique_ptr<TIdIOHandler> AcceptConnection(TIdSocketHandle& listenBinding, TIdThread& listenerThread,
                                                           TIdYarn* yarn);
    virtual std::unique_ptr<TIdIOHandler> MakeClientIOHandler() { return nullptr; }
    virtual void Prepare() {}
    virtual void SetScheduler(TIdScheduler* scheduler) { scheduler_ = scheduler; }
    TIdScheduler* Scheduler() const { return scheduler_; }

private:
    TIdScheduler* scheduler_ = nullptr;
};

class TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
    std::unique_ptr<TIdIOHandler> AcceptConnection(TIdSocketHandle& listenBinding, TIdThread& listenerThread,
                                                   TIdYarn* yarn) override;

protected:
    // Makes the per-connection transport (TIdIOHandlerSocket kind).
    virtual std::unique_ptr<TIdIOHandler> MakeTransport();
};

class TIdServerIOHandlerStack : public TIdServerIOHandlerSocket {
public:
    std::unique_ptr<TIdIOHandler> MakeClientIOHandler() override;

protected:
    std::unique_ptr<TIdIOHandler> MakeTransport() override;
};
