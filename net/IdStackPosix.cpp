// IdStackPosix: the raw socket calls and readiness waits on POSIX systems.
// Linux errno values differ from the BSD ones the error table is built on,
// so errors are mapped by name rather than by arithmetic.
#include "net/IdStackPosix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "base/IdException.h"
#include "net/IdSocketApi.h"

namespace {

#ifdef MSG_NOSIGNAL
// A peer that went away must give EPIPE, not kill the process.
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0;
#endif

[[maybe_unused]] void SetCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1) {
        (void)fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// Waits on the given poll entries, retrying after signals with the time that
// is left. Returns poll's result (-1 with errno on failure).
int PollRetrying(pollfd* entries, nfds_t count, int32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs < 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
    int waitMs = infinite ? -1 : timeoutMs;
    for (;;) {
        const int rc = poll(entries, count, waitMs);
        if (rc != -1 || errno != EINTR) {
            return rc;
        }
        if (!infinite) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

}  // namespace

TIdStackPosix::TIdStackPosix() {
    ReadLocalHostName();
}

TIdStackPosix::~TIdStackPosix() = default;

int32_t TIdStackPosix::MapErrno(int32_t error) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
        return IdErr::WouldBlock;
    }
    switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT: return 10044;
#endif
    case EOPNOTSUPP: return 10045;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT: return 10046;
#endif
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
#ifdef ESHUTDOWN
    case ESHUTDOWN: return 10058;
#endif
#ifdef ETOOMANYREFS
    case ETOOMANYREFS: return 10059;
#endif
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return 10064;
#endif
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return error;
    }
}

int32_t TIdStackPosix::LastPlatformError() {
    return errno;
}

int32_t TIdStackPosix::MapPlatformError(int32_t platformError) {
    return MapErrno(platformError);
}

int32_t TIdStackPosix::MapLookupError(int32_t lookupError) {
    switch (lookupError) {
    case EAI_SYSTEM:
        return MapErrno(errno);
    case EAI_MEMORY:
        return 10055;
    case EAI_FAMILY:
        return 10047;
    default:
        // EAI_NONAME, EAI_FAIL, EAI_AGAIN, EAI_NODATA and the rest: the
        // name could not be turned into an address.
        return IdErr::HostNotFound;
    }
}

TIdAcceptFault TIdStackPosix::AcceptFaultOf(int32_t platformError) {
    if (platformError == EAGAIN || platformError == EWOULDBLOCK) {
        return TIdAcceptFault::Retry;
    }
    switch (platformError) {
    // Linux hands pending network errors of the new connection to accept;
    // they concern that connection only.
    case ECONNABORTED:
    case ECONNRESET:
    case EINTR:
    case EPROTO:
    case EPERM:
    case ETIMEDOUT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
#ifdef ENONET
    case ENONET:
#endif
        return TIdAcceptFault::Retry;
    case EBADF:
    case ENOTSOCK:
    case EINVAL:  // not listening (any more): shut down, or never listened
    case EOPNOTSUPP:
        return TIdAcceptFault::Closed;
    default:
        // EMFILE, ENFILE, ENOBUFS and ENOMEM, and whatever else may last.
        return TIdAcceptFault::Exhausted;
    }
}

TIdStackSocketHandle TIdStackPosix::RawSocket(int32_t family, int32_t type, int32_t protocol,
                                              bool /*overlapped*/) {
#ifdef SOCK_CLOEXEC
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
#else
    const int fd = ::socket(family, type, protocol);
    if (fd != -1) {
        SetCloseOnExec(fd);
    }
    return fd;
#endif
}

int32_t TIdStackPosix::RawClose(TIdStackSocketHandle socket) {
    // No retry on EINTR: on Linux the descriptor is gone either way, and a
    // second close could hit a descriptor another thread just opened.
    return ::close(socket);
}

int32_t TIdStackPosix::RawBind(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) {
    return ::bind(socket, address, static_cast<socklen_t>(length));
}

int32_t TIdStackPosix::RawListen(TIdStackSocketHandle socket, int32_t backlog) {
    return ::listen(socket, backlog);
}

TIdStackSocketHandle TIdStackPosix::RawAccept(TIdStackSocketHandle socket, sockaddr* address,
                                              int32_t* length) {
    for (;;) {
        auto size = static_cast<socklen_t>(*length);
#if defined(__linux__)
        const int fd = ::accept4(socket, address, &size, SOCK_CLOEXEC);
#else
        const int fd = ::accept(socket, address, &size);
        if (fd != -1) {
            SetCloseOnExec(fd);
        }
#endif
        if (fd != -1 || errno != EINTR) {
            *length = static_cast<int32_t>(size);
            return fd;
        }
    }
}

#ifdef __linux__
// Linux bounds a blocking connect by the send timeout. The handshake with a
// near peer then completes inside the one call, as without a limit, where
// a connect without waiting and a wait for it would cost each connection a
// sleep and a wake-up.
bool TIdStackPosix::ConnectWithin(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                                  TIdIPVersion ipVersion, int32_t timeoutMs) {
    auto setLimit = [socket](int32_t ms) {
        timeval limit{};
        limit.tv_sec = ms / 1000;
        limit.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
        return ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    };
    CheckSocketResult(setLimit(timeoutMs));
    try {
        Connect(socket, ip, port, ipVersion);
    } catch (const EIdSocketError& error) {
        if (error.LastError() == IdErr::InProgress) {
            return false;  // the limit ran out
        }
        throw;
    }
    // Later sends wait as long as their own limits say.
    CheckSocketResult(setLimit(0));
    return true;
}
#endif

int32_t TIdStackPosix::RawConnect(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) {
    const int rc = ::connect(socket, address, static_cast<socklen_t>(length));
    if (rc != -1 || errno != EINTR) {
        return rc;
    }
    // An interrupted connect goes on in the background and may not be
    // restarted; wait for its outcome instead.
    pollfd entry{socket, POLLOUT, 0};
    if (PollRetrying(&entry, 1, -1) == -1) {
        return -1;
    }
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == -1) {
        return -1;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int32_t TIdStackPosix::RawRecv(TIdStackSocketHandle socket, void* data, int32_t size) {
    for (;;) {
        const ssize_t rc = ::recv(socket, data, static_cast<size_t>(size), 0);
        if (rc != -1 || errno != EINTR) {
            return static_cast<int32_t>(rc);
        }
    }
}

int32_t TIdStackPosix::RawSend(TIdStackSocketHandle socket, const void* data, int32_t size) {
    for (;;) {
        const ssize_t rc = ::send(socket, data, static_cast<size_t>(size), SendFlags);
        if (rc != -1 || errno != EINTR) {
            return static_cast<int32_t>(rc);
        }
    }
}

int32_t TIdStackPosix::RawShutdown(TIdStackSocketHandle socket, int32_t how) {
    return ::shutdown(socket, how);
}

int32_t TIdStackPosix::RawGetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name, void* value,
                                     int32_t* length) {
    auto size = static_cast<socklen_t>(*length);
    const int rc = ::getsockopt(socket, level, name, value, &size);
    *length = static_cast<int32_t>(size);
    return rc;
}

int32_t TIdStackPosix::RawSetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name,
                                     const void* value, int32_t length) {
    return ::setsockopt(socket, level, name, value, static_cast<socklen_t>(length));
}

int32_t TIdStackPosix::RawGetSockName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) {
    auto size = static_cast<socklen_t>(*length);
    const int rc = ::getsockname(socket, address, &size);
    *length = static_cast<int32_t>(size);
    return rc;
}

int32_t TIdStackPosix::RawGetPeerName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) {
    auto size = static_cast<socklen_t>(*length);
    const int rc = ::getpeername(socket, address, &size);
    *length = static_cast<int32_t>(size);
    return rc;
}

bool TIdStackPosix::WaitReadable(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                                 bool* ready) {
    if (count < 0 || count > 64) {
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    }
    if (count == 0) {
        return false;
    }
    pollfd entries[64];
    for (int32_t i = 0; i < count; ++i) {
        entries[i] = pollfd{sockets[i], POLLIN, 0};
    }
    CheckSocketResult(PollRetrying(entries, static_cast<nfds_t>(count), timeoutMs));
    // End-of-stream and errors count as readable: the following receive
    // reports them. POLLNVAL (closed under us) too, or a caller waiting
    // without limit would spin on it.
    constexpr short readable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
    bool any = false;
    for (int32_t i = 0; i < count; ++i) {
        const bool isReady = (entries[i].revents & readable) != 0;
        any = any || isReady;
        if (ready != nullptr) {
            ready[i] = isReady;
        }
    }
    return any;
}

bool TIdStackPosix::WaitWritable(TIdStackSocketHandle socket, int32_t timeoutMs) {
    pollfd entry{socket, POLLOUT, 0};
    CheckSocketResult(PollRetrying(&entry, 1, timeoutMs));
    // A failed connect shows as POLLERR/POLLHUP; PendingError tells which.
    return (entry.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

bool TIdStackPosix::WaitConnected(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                                  bool* ready) {
    if (count < 0 || count > 64) {
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    }
    pollfd entries[64];
    for (int32_t i = 0; i < count; ++i) {
        entries[i] = pollfd{sockets[i], POLLOUT, 0};
    }
    CheckSocketResult(PollRetrying(entries, static_cast<nfds_t>(count), timeoutMs));
    bool any = false;
    for (int32_t i = 0; i < count; ++i) {
        ready[i] = (entries[i].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
        any = any || ready[i];
    }
    return any;
}

namespace {

// One call with MSG_DONTWAIT: the count, or -1 when the socket can take or
// give nothing now. The flag makes this one call non-blocking without
// switching the socket's mode back and forth (two fcntl calls otherwise).
template <typename TCall>
int32_t NoWaitCall(TCall call) {
    for (;;) {
        const ssize_t rc = call();
        if (rc >= 0) {
            return static_cast<int32_t>(rc);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return -1;
        }
        TIdStack::ThrowSocketError(TIdStackPosix::MapErrno(errno));
    }
}

}  // namespace

int32_t TIdStackPosix::SendNoWait(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) {
    return NoWaitCall([&] { return ::send(socket, data, static_cast<size_t>(size), SendFlags | MSG_DONTWAIT); });
}

int32_t TIdStackPosix::ReceiveNoWait(TIdStackSocketHandle socket, uint8_t* data, int32_t size) {
    if (size <= 0) {
        throw EIdRangeException("Index out of bounds.");
    }
    return NoWaitCall([&] { return ::recv(socket, data, static_cast<size_t>(size), MSG_DONTWAIT); });
}

bool TIdStackPosix::PeerHasClosed(TIdStackSocketHandle socket) {
    uint8_t byte = 0;
    for (;;) {
        const ssize_t rc = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (rc >= 0) {
            return rc == 0;
        }
        if (errno == EINTR) {
            continue;
        }
        // Nothing there yet; any other failure (a reset) ends the stream too.
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

void TIdStackPosix::SetBlocking(TIdStackSocketHandle socket, bool blocking) {
    const int flags = CheckSocketResult(::fcntl(socket, F_GETFL));
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags) {
        CheckSocketResult(::fcntl(socket, F_SETFL, wanted));
    }
}

#ifdef __linux__
namespace {

// Bytes move from socket to pipe and from pipe to socket inside the kernel
// (splice), never copied into the process. The pipe is made with the first
// bytes, so an idle tunnel holds none, and is drained before Move returns.
class TSplicePump : public TIdSocketPump {
public:
    // Enough for the largest single move; the kernel may keep a pipe smaller.
    static constexpr int PipeSize = 256 * 1024;

    TSplicePump() = default;
    TSplicePump(const TSplicePump&) = delete;
    TSplicePump& operator=(const TSplicePump&) = delete;
    ~TSplicePump() override {
        ReleaseSignals();
        if (pipe_[0] != -1) {
            ::close(pipe_[0]);
            ::close(pipe_[1]);
        }
    }

    void Prepare(TIdStackSocketHandle first, TIdStackSocketHandle second) override {
        TIdStack& stack = TIdStack::Instance();
        stack.SetBlocking(first, false);
        stack.SetBlocking(second, false);
        // splice() into a socket whose peer has gone raises SIGPIPE, as it
        // takes no MSG_NOSIGNAL; the pump learns of it from EPIPE. The
        // signal is held back on this thread while the relay runs.
        sigset_t pending;
        sigemptyset(&brokenPipe_);
        sigaddset(&brokenPipe_, SIGPIPE);
        pipeSignalWaiting_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        signalsHeld_ = pthread_sigmask(SIG_BLOCK, &brokenPipe_, &savedMask_) == 0;
    }

    void Finish(TIdStackSocketHandle first, TIdStackSocketHandle second) override {
        ReleaseSignals();
        TIdStack& stack = TIdStack::Instance();
        for (const TIdStackSocketHandle socket : {first, second}) {
            try {
                stack.SetBlocking(socket, true);
            } catch (const EIdException&) {
                // Closed under us: nothing left to give back.
            }
        }
    }

    int32_t Move(TIdStackSocketHandle from, TIdStackSocketHandle to, int32_t limit, int32_t writeTimeoutMs) override {
        if (pipe_[0] == -1) {
            OpenPipe();
        }
        const auto want = static_cast<size_t>(std::clamp(limit, 1, capacity_));
        ssize_t moved = 0;
        do {
            moved = ::splice(from, nullptr, pipe_[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        } while (moved == -1 && errno == EINTR);
        if (moved == -1) {
            // The pipe is always drained, so "would block" can only mean
            // that nothing has arrived.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return -1;
            }
            TIdStack::ThrowSocketError(TIdStackPosix::MapErrno(errno));
        }
        TIdRoomWait room(to, writeTimeoutMs);
        for (ssize_t left = moved; left > 0;) {
            const ssize_t sent = ::splice(pipe_[0], nullptr, to, nullptr, static_cast<size_t>(left),
                                          SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (sent > 0) {
                left -= sent;
                room.Took();
            } else if (sent == -1 && errno == EINTR) {
                continue;
            } else if (sent == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
                TIdStack::ThrowSocketError(TIdStackPosix::MapErrno(errno));
            } else {
                room.WaitForRoom();
            }
        }
        return static_cast<int32_t>(moved);
    }

private:
    void ReleaseSignals() {
        if (!signalsHeld_) {
            return;
        }
        // Taken back only when the relay raised it: one that waited before
        // is someone else's.
        sigset_t pending;
        const timespec none{0, 0};
        if (!pipeSignalWaiting_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            sigtimedwait(&brokenPipe_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
        signalsHeld_ = false;
    }

    void OpenPipe() {
        if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) == -1) {
            pipe_[0] = pipe_[1] = -1;
            TIdStack::ThrowSocketError(TIdStackPosix::MapErrno(errno));
        }
        // Best effort: the system's limit for pipe sizes may be lower.
        const int size = ::fcntl(pipe_[1], F_SETPIPE_SZ, PipeSize);
        capacity_ = size > 0 ? size : ::fcntl(pipe_[1], F_GETPIPE_SZ);
        if (capacity_ <= 0) {
            capacity_ = 64 * 1024;
        }
    }

    int pipe_[2] = {-1, -1};
    int capacity_ = 0;
    sigset_t brokenPipe_{};
    sigset_t savedMask_{};
    bool signalsHeld_ = false;
    bool pipeSignalWaiting_ = false;
};

}  // namespace

std::unique_ptr<TIdSocketPump> TIdStackPosix::CreatePump() { return std::make_unique<TSplicePump>(); }
#else
std::unique_ptr<TIdSocketPump> TIdStackPosix::CreatePump() { return TIdStackBSDBase::CreatePump(); }
#endif

std::unique_ptr<TIdStack> IdCreatePlatformStack() {
    return std::make_unique<TIdStackPosix>();
}
