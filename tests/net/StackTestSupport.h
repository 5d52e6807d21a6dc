// Test support for the socket layer: a use of the stack for a test's
// lifetime, a raw socket that is closed when it goes out of scope, and (on
// Linux) a process without a free descriptor for a while.
#pragma once

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

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

#ifdef __linux__
// Lowers the process's open-file limit to the lowest free descriptor
// number, so that opening another descriptor fails with EMFILE, until
// Restore or destruction. Sockets made before keep working (a made socket
// can still connect).
class TNoFreeDescriptors {
public:
    TNoFreeDescriptors() {
        if (getrlimit(RLIMIT_NOFILE, &saved_) != 0) {
            return;
        }
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (lowestFree < 0) {
            return;
        }
        close(lowestFree);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        lowered_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~TNoFreeDescriptors() { Restore(); }
    TNoFreeDescriptors(const TNoFreeDescriptors&) = delete;
    TNoFreeDescriptors& operator=(const TNoFreeDescriptors&) = delete;

    bool Lowered() const { return lowered_; }
    void Restore() {
        if (lowered_) {
            setrlimit(RLIMIT_NOFILE, &saved_);
            lowered_ = false;
        }
    }

private:
    rlimit saved_{};
    bool lowered_ = false;
};
#endif
