// Test support for the socket layer: the shared stack use and loopback
// socket of tests/support, and (on Linux) a process without a free
// descriptor for a while.
#pragma once

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "net/IdStack.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/StackUse.h"

using vtltest::TLoopbackSocket;
using vtltest::TStackUse;

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
