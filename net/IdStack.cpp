// IdStack: the platform-independent part of the socket stack: the
// process-wide lifetime counted by StackUsers, the socket error table and
// its exceptions, and the address text checks used before any lookup.
#include "net/IdStack.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>

#include "base/IdException.h"
#include "net/IdStackBSDBase.h"

namespace {

// Lock order: stackUsersLock is a leaf; nothing else is taken under it apart
// from what the platform stack's constructor and destructor do.
std::mutex stackUsersLock;
int32_t stackUsers = 0;                   // guarded by stackUsersLock
std::unique_ptr<TIdStack> stackOwner;     // guarded by stackUsersLock
// Published copy of stackOwner for the hot path (every send and receive);
// it changes only while no user exists, so readers holding a use see a
// stable value.
std::atomic<TIdStack*> stackInstance{nullptr};

struct TSocketErrorEntry {
    int32_t code;
    const char* text;
};

constexpr TSocketErrorEntry SocketErrors[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Buffer fault."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block."},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

}  // namespace

TIdStack::TIdStack() = default;
TIdStack::~TIdStack() = default;

void TIdStack::IncUsage() {
    std::scoped_lock lock(stackUsersLock);
    if (stackUsers == 0) {
        if (stackOwner) {
            throw EIdException("Stack already created.");
        }
        // A failing creation (Winsock start-up) leaves the counter at 0, so
        // the next user tries again.
        std::unique_ptr<TIdStack> stack = IdCreatePlatformStack();
        stackInstance.store(stack.get(), std::memory_order_release);
        stackOwner = std::move(stack);
    }
    ++stackUsers;
}

void TIdStack::DecUsage() {
    std::scoped_lock lock(stackUsersLock);
    if (stackUsers == 0) {
        return;
    }
    if (--stackUsers == 0) {
        // Freed under the lock so that a new first user cannot create a
        // second stack while this one is still being torn down.
        stackInstance.store(nullptr, std::memory_order_release);
        stackOwner.reset();
    }
}

int32_t TIdStack::Users() {
    std::scoped_lock lock(stackUsersLock);
    return stackUsers;
}

std::unique_ptr<TIdSocketPump> TIdStack::CreatePump() { return std::make_unique<TIdBufferPump>(); }

TIdStack& TIdStack::Instance() {
    TIdStack* stack = stackInstance.load(std::memory_order_acquire);
    if (stack == nullptr) {
        throw EIdStackError("No socket stack in use (TIdStack::IncUsage missing).");
    }
    return *stack;
}

int32_t TIdStack::Send(TIdStackSocketHandle socket, const TIdBytes& bytes, int32_t offset, int32_t size) {
    const auto length = static_cast<int32_t>(
        std::min<size_t>(bytes.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
    if (length == 0 || offset < 0 || offset >= length) {
        throw EIdRangeException("Index out of bounds.");
    }
    const int32_t available = length - offset;
    if (size < 0 || size > available) {
        size = available;
    }
    return Send(socket, bytes.data() + offset, size);
}

int32_t TIdStack::Receive(TIdStackSocketHandle socket, TIdBytes& buffer) {
    if (buffer.empty()) {
        // A zero-length receive would return 0 and read as "peer closed".
        throw EIdRangeException("Index out of bounds.");
    }
    const auto size = static_cast<int32_t>(
        std::min<size_t>(buffer.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
    return Receive(socket, buffer.data(), size);
}

std::vector<TIdIPAddress> TIdStack::ResolveAddresses(const std::string& host) {
    if (UpperCaseAscii(host) == "LOCALHOST") {
        // The IPv4 loopback first, as this name always gave it.
        std::vector<TIdIPAddress> loopback(1);
        loopback[0].bytes = {127, 0, 0, 1};
        if (HasIPv6()) {
            loopback.emplace_back().version = Id_IPv6;
            loopback.back().bytes[15] = 1;
        }
        return loopback;
    }
    std::string_view text = host;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    TIdIPAddress literal;
    // The same reading a connect gives it ("0127.000.0.1" is 127.0.0.1).
    if (TryParseIPAddress(text, literal, TIdAddressReading::Tolerant)) {
        return {literal};
    }
    return LookupAddresses(host, 64);
}

bool TIdStack::IsLocalAddress(const std::string& ip, TIdIPVersion ipVersion) {
    const TIdStackSocketHandle probe = CreateSocket(Id_SOCK_STREAM, 0, ipVersion);
    bool local = true;
    try {
        Bind(probe, ip, 0, ipVersion);
    } catch (const EIdException&) {
        local = false;
    }
    CloseAtOnce(probe);
    return local;
}

std::string TIdStack::HostToIP(const std::string& host, TIdIPVersion ipVersion) {
    switch (ipVersion) {
    case Id_IPv4:
        if (UpperCaseAscii(host) == "LOCALHOST") {
            return "127.0.0.1";
        }
        if (IsIPv4Text(host)) {
            return host;
        }
        return LookupHost(host, Id_IPv4);
    case Id_IPv6: {
        std::string canonical = CanonicalIPv6Text(host);
        if (!canonical.empty()) {
            return canonical;
        }
        return LookupHost(host, Id_IPv6);
    }
    }
    throw EIdIPVersionUnsupported("The requested IPVersion / Address family is not supported.");
}

bool TIdStack::IsReservedInvalidName(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    constexpr std::string_view Suffix = ".invalid";
    return EqualIgnoringCase(name, Suffix.substr(1)) ||
           (name.size() > Suffix.size() && EqualIgnoringCase(name.substr(name.size() - Suffix.size()), Suffix));
}

bool TIdStack::IsIPv4Text(std::string_view text) {
    TIdIPAddress address;
    return TryParseIPAddress(text, address, TIdAddressReading::Tolerant) && address.version == Id_IPv4;
}

std::string TIdStack::SocketErrorText(int32_t code) {
    const char* text = "";
    for (const TSocketErrorEntry& entry : SocketErrors) {
        if (entry.code == code) {
            text = entry.text;
            break;
        }
    }
    return FormatText("Socket Error # %d\r\n%s", code, text);
}

void TIdStack::ThrowSocketError(int32_t code) {
    if (code == IdErr::NotASocket) {
        throw EIdNotASocket(code, SocketErrorText(code));
    }
    throw EIdSocketError(code, SocketErrorText(code));
}

int32_t TIdStack::CheckSocketResult(int32_t result) {
    if (result == -1) {
        ThrowSocketError(LastErrorNumber());
    }
    return result;
}
