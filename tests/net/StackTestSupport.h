// Test support for the socket layer: a use of the stack for a test's
// lifetime, and a raw socket that is closed when it goes out of scope.
#pragma once

#include "net/IdStack.h"

struct TStackUse {
    TStackUse() { TIdStack::IncUsage(); }
    ~TStackUse() { TIdStack::DecUsage(); }
    TStackUse(const TStackUse&) = delete;
    TStackUse& operator=(const TStackUse&) = delete;
};

class TSocket {
public:
    explicit TSocket(TIdIPVersion version = Id_IPv4)
        : socket_(TIdStack::Instance().CreateSocket(Id_SOCK_STREAM, 0, version)) {}
    explicit TSocket(TIdStackSocketHandle socket) : socket_(socket) {}
    ~TSocket() { Close(); }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    TIdStackSocketHandle Get() const { return socket_; }
    void Close() {
        if (socket_ != InvalidSocket) {
            TIdStack::Instance().Disconnect(socket_);
            socket_ = InvalidSocket;
        }
    }

private:
    TIdStackSocketHandle socket_;
};
