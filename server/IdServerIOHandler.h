// IdServerIOHandler: how a server accepts connections. The socket variant
// waits on the listening socket for at most the time it is given (the
// listener gives 250 ms, so that a stopped listener notices within that
// time) and wraps each accepted socket in a stack I/O handler.
#pragma once

#include <functional>
#include <memory>

#include "io/IdComponent.h"
#include "io/IdIOHandler.h"
#include "net/IdSocketHandle.h"

class TIdThread;
class TIdScheduler;
enum class TIdAcceptFault;  // net/IdStack.h

class TIdServerIOHandler : public TIdComponent {
public:
    // Waits up to waitMs for a client and accepts it. Answers its handler,
    // or none: when no client came in that time or the listener was stopped
    // (fault None), or when the accept failed (fault tells why; Closed also
    // when the binding has no socket).
    virtual std::unique_ptr<TIdIOHandler> AcceptConnection(TIdSocketHandle& listenBinding, TIdThread& listenerThread,
                                                           int32_t waitMs, TIdAcceptFault& fault);
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
                                                   int32_t waitMs, TIdAcceptFault& fault) override;

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
