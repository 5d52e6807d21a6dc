// IdStackWindows: the raw Winsock calls and readiness waits on Windows.
// Winsock is started once per process by the first stack and cleaned up at
// process exit, however often the stack itself is created and freed.
#include "net/IdStackWindows.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "base/IdException.h"
#include "net/IdSocketApi.h"

namespace {

// Not std::call_once: libstdc++'s call_once cannot be retried after the
// callable threw, and a failed start-up must be retried by the next user.
std::mutex winsockLock;
bool winsockStarted = false;  // guarded by winsockLock

struct TWinsockCleanup {
    ~TWinsockCleanup() { WSACleanup(); }
};

void StartWinsock() {
    std::scoped_lock lock(winsockLock);
    if (winsockStarted) {
        return;
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw EIdStackInitializationFailed("Winsock Initialization Error.");
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        throw EIdStackInitializationFailed("Winsock Initialization Error.");
    }
    winsockStarted = true;
    // Runs once at process exit, after every stack is gone.
    static TWinsockCleanup cleanup;
}

// How long a wait without limit sleeps before it looks again whether one of
// its sockets was woken: the cancel in WakeAndShutdown misses a wait that
// had not yet started.
constexpr int32_t WakeCheckMs = 500;

SOCKET AsSocket(TIdStackSocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

timeval MakeTimeval(int32_t timeoutMs) {
    timeval result{};
    result.tv_sec = timeoutMs / 1000;
    result.tv_usec = (timeoutMs % 1000) * 1000;
    return result;
}

}  // namespace

TIdStackWindows::TIdStackWindows() {
    StartWinsock();
    // gethostname needs a started Winsock.
    ReadLocalHostName();
}

TIdStackWindows::~TIdStackWindows() = default;

int32_t TIdStackWindows::LastPlatformError() {
    return WSAGetLastError();
}

int32_t TIdStackWindows::MapPlatformError(int32_t platformError) {
    switch (platformError) {
    case WSAHOST_NOT_FOUND:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY:
    case WSANO_DATA:
        return IdErr::HostNotFound;
    default:
        return platformError;
    }
}

int32_t TIdStackWindows::MapLookupError(int32_t lookupError) {
    // getaddrinfo reports Winsock numbers (EAI_NONAME is WSAHOST_NOT_FOUND).
    if (lookupError == WSA_NOT_ENOUGH_MEMORY) {
        return 10055;
    }
    return MapPlatformError(lookupError);
}

TIdAcceptFault TIdStackWindows::AcceptFaultOf(int32_t platformError) {
    switch (platformError) {
    case WSAEWOULDBLOCK:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAETIMEDOUT:
        return TIdAcceptFault::Retry;
    case WSAENOTSOCK:
    case WSAEINVAL:  // listen was never called, or the socket was shut down
    case WSAEOPNOTSUPP:
        return TIdAcceptFault::Closed;
    default:
        // WSAEMFILE and WSAENOBUFS, and whatever else may last.
        return TIdAcceptFault::Exhausted;
    }
}

TIdStackSocketHandle TIdStackWindows::RawSocket(int32_t family, int32_t type, int32_t protocol,
                                                bool overlapped) {
    const SOCKET socket = overlapped ? WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED)
                                     : ::socket(family, type, protocol);
    if (socket != INVALID_SOCKET) {
        // The counterpart of close-on-exec: child processes must not keep
        // our sockets (and so our ports) alive.
        SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    return socket;
}

int32_t TIdStackWindows::RawClose(TIdStackSocketHandle socket) {
    {
        // Before the close: afterwards the number may name a new socket.
        std::scoped_lock lock(wokenLock_);
        woken_.erase(socket);
    }
    return ::closesocket(AsSocket(socket));
}

int32_t TIdStackWindows::RawBind(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) {
    return ::bind(AsSocket(socket), address, length);
}

int32_t TIdStackWindows::RawListen(TIdStackSocketHandle socket, int32_t backlog) {
    return ::listen(AsSocket(socket), backlog);
}

TIdStackSocketHandle TIdStackWindows::RawAccept(TIdStackSocketHandle socket, sockaddr* address,
                                                int32_t* length) {
    int size = *length;
    const SOCKET accepted = ::accept(AsSocket(socket), address, &size);
    *length = size;
    if (accepted != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    }
    return accepted;
}

int32_t TIdStackWindows::RawConnect(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) {
    return ::connect(AsSocket(socket), address, length);
}

int32_t TIdStackWindows::RawRecv(TIdStackSocketHandle socket, void* data, int32_t size) {
    const int rc = ::recv(AsSocket(socket), static_cast<char*>(data), size, 0);
    if (rc == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        bool woken = error == WSAESHUTDOWN;
        if (error == WSA_OPERATION_ABORTED) {
            std::scoped_lock lock(wokenLock_);
            woken = woken_.count(socket) != 0;
        }
        if (woken) {
            // Receiving was shut down here (WakeAndShutdown): POSIX reports
            // end of stream for that, and so do we.
            return 0;
        }
        WSASetLastError(error);
    }
    return rc;
}

int32_t TIdStackWindows::RawSend(TIdStackSocketHandle socket, const void* data, int32_t size) {
    return ::send(AsSocket(socket), static_cast<const char*>(data), size, 0);
}

int32_t TIdStackWindows::RawShutdown(TIdStackSocketHandle socket, int32_t how) {
    return ::shutdown(AsSocket(socket), how);
}

int32_t TIdStackWindows::RawGetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name, void* value,
                                       int32_t* length) {
    int size = *length;
    const int rc = ::getsockopt(AsSocket(socket), level, name, static_cast<char*>(value), &size);
    *length = size;
    return rc;
}

int32_t TIdStackWindows::RawSetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name,
                                       const void* value, int32_t length) {
    return ::setsockopt(AsSocket(socket), level, name, static_cast<const char*>(value), length);
}

int32_t TIdStackWindows::RawGetSockName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) {
    int size = *length;
    const int rc = ::getsockname(AsSocket(socket), address, &size);
    *length = size;
    return rc;
}

int32_t TIdStackWindows::RawGetPeerName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) {
    int size = *length;
    const int rc = ::getpeername(AsSocket(socket), address, &size);
    *length = size;
    return rc;
}

bool TIdStackWindows::AnyWoken(const TIdStackSocketHandle* sockets, int32_t count, bool* ready) {
    std::scoped_lock lock(wokenLock_);
    if (woken_.empty()) {
        return false;
    }
    bool any = false;
    for (int32_t i = 0; i < count; ++i) {
        ready[i] = woken_.count(sockets[i]) != 0;
        any = any || ready[i];
    }
    return any;
}

bool TIdStackWindows::WaitReadable(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                                   bool* ready) {
    // select() rather than WSAPoll: WSAPoll misses failed connects on many
    // Windows versions, and one wait style for both directions is simpler.
    if (count < 0 || count > 64 || count > FD_SETSIZE) {
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    }
    if (count == 0) {
        // Winsock rejects a select over empty sets.
        return false;
    }
    bool localReady[64];
    bool* marks = ready != nullptr ? ready : localReady;
    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs < 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
    for (;;) {
        std::fill(marks, marks + count, false);
        // A locally shut-down socket never turns readable in Winsock; the
        // woken mark stands in for the end-of-stream POSIX would report.
        if (AnyWoken(sockets, count, marks)) {
            return true;
        }
        int32_t slice = WakeCheckMs;
        if (!infinite) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            slice = static_cast<int32_t>(std::clamp<long long>(left, 0, WakeCheckMs));
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        for (int32_t i = 0; i < count; ++i) {
            FD_SET(AsSocket(sockets[i]), &readSet);
        }
        timeval limit = MakeTimeval(slice);
        const int rc = ::select(0, &readSet, nullptr, nullptr, &limit);
        if (rc == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSA_OPERATION_ABORTED) {
                continue;  // cancelled by WakeAndShutdown; the woken check reports it
            }
            ThrowSocketError(MapPlatformError(error));
        }
        if (rc > 0) {
            bool any = false;
            for (int32_t i = 0; i < count; ++i) {
                marks[i] = FD_ISSET(AsSocket(sockets[i]), &readSet) != 0;
                any = any || marks[i];
            }
            return any;
        }
        if (!infinite && Clock::now() >= deadline) {
            return false;
        }
    }
}

bool TIdStackWindows::WaitWritable(TIdStackSocketHandle socket, int32_t timeoutMs) {
    fd_set writeSet;
    fd_set errorSet;
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    FD_SET(AsSocket(socket), &writeSet);
    // A failed non-blocking connect is reported in the error set only.
    FD_SET(AsSocket(socket), &errorSet);
    timeval limit = MakeTimeval(timeoutMs < 0 ? 0 : timeoutMs);
    CheckSocketResult(::select(0, nullptr, &writeSet, &errorSet, timeoutMs < 0 ? nullptr : &limit));
    return FD_ISSET(AsSocket(socket), &writeSet) != 0 || FD_ISSET(AsSocket(socket), &errorSet) != 0;
}

bool TIdStackWindows::WaitConnected(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                                    bool* ready) {
    if (count < 0 || count > 64 || count > FD_SETSIZE) {
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    }
    if (count == 0) {
        // Winsock rejects a select over empty sets.
        SleepMs(timeoutMs < 0 ? 0 : timeoutMs);
        return false;
    }
    fd_set writeSet;
    fd_set errorSet;
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    for (int32_t i = 0; i < count; ++i) {
        FD_SET(AsSocket(sockets[i]), &writeSet);
        // A failed non-blocking connect is reported in the error set only.
        FD_SET(AsSocket(sockets[i]), &errorSet);
    }
    timeval limit = MakeTimeval(timeoutMs < 0 ? 0 : timeoutMs);
    CheckSocketResult(::select(0, nullptr, &writeSet, &errorSet, timeoutMs < 0 ? nullptr : &limit));
    bool any = false;
    for (int32_t i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(AsSocket(sockets[i]), &writeSet) != 0 || FD_ISSET(AsSocket(sockets[i]), &errorSet) != 0;
        any = any || ready[i];
    }
    return any;
}

void TIdStackWindows::WakeAndShutdown(TIdStackSocketHandle socket) {
    (void)::shutdown(AsSocket(socket), IdSocketApi::ShutBoth);
    {
        std::scoped_lock lock(wokenLock_);
        woken_.insert(socket);
    }
    // A blocked select or receive is pending I/O on the socket's handle;
    // cancelling it makes the waiter look at the woken mark.
    (void)CancelIoEx(reinterpret_cast<HANDLE>(AsSocket(socket)), nullptr);
}

// Winsock has no per-call non-blocking flag: the socket is switched for
// the one send.
int32_t TIdStackWindows::SendNoWait(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) {
    SetBlocking(socket, false);
    const int32_t rc = RawSend(socket, data, size);
    const int32_t error = rc < 0 ? LastErrorNumber() : 0;
    SetBlocking(socket, true);
    if (rc >= 0) {
        return rc;
    }
    if (error == IdErr::WouldBlock) {
        return -1;
    }
    ThrowSocketError(error);
}

// A zero wait, then the receive: two calls, where switching the socket's
// mode for the one receive would take three.
int32_t TIdStackWindows::ReceiveNoWait(TIdStackSocketHandle socket, uint8_t* data, int32_t size) {
    if (!WaitReadable(&socket, 1, 0)) {
        return -1;
    }
    return Receive(socket, data, size);
}

bool TIdStackWindows::PeerHasClosed(TIdStackSocketHandle socket) {
    if (!WaitReadable(&socket, 1, 0)) {
        return false;
    }
    char byte = 0;
    const int rc = ::recv(AsSocket(socket), &byte, 1, MSG_PEEK);
    if (rc != SOCKET_ERROR) {
        return rc == 0;
    }
    // A reset (or a receive shut down here) ends the stream too.
    return WSAGetLastError() != WSAEWOULDBLOCK;
}

void TIdStackWindows::SetBlocking(TIdStackSocketHandle socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    CheckSocketResult(::ioctlsocket(AsSocket(socket), FIONBIO, &nonBlocking));
}

std::unique_ptr<TIdStack> IdCreatePlatformStack() {
    return std::make_unique<TIdStackWindows>();
}
