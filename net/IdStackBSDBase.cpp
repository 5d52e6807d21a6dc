// IdStackBSDBase: socket operations, name lookups and address text forms
// written once over the raw platform layer; every failing call is turned
// into EIdSocketError with the table's number here.
#include "net/IdStackBSDBase.h"

#include <algorithm>
#include <cstring>

#include "base/IdException.h"
#include "base/IdIPAddress.h"
#include "net/IdSocketApi.h"

namespace {

[[noreturn]] void ThrowIPVersionUnsupported() {
    throw EIdIPVersionUnsupported("The requested IPVersion / Address family is not supported.");
}

int32_t FamilyOf(TIdIPVersion ipVersion) {
    switch (ipVersion) {
    case Id_IPv4:
        return AF_INET;
    case Id_IPv6:
        return AF_INET6;
    }
    ThrowIPVersionUnsupported();
}

void CheckPort(int32_t port) {
    if (port < 0 || port > 65535) {
        throw EIdRangeException(FormatText("Port %d is out of range (0 - 65535)", static_cast<int>(port)));
    }
}

// A socket address of either family, sized for the larger one.
struct TSockAddr {
    sockaddr_storage storage{};
    int32_t length = sizeof(sockaddr_storage);

    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&storage); }
};

TSockAddr MakeSockAddr(const std::string& ip, int32_t port, TIdIPVersion ipVersion) {
    CheckPort(port);
    TSockAddr result;
    switch (ipVersion) {
    case Id_IPv4: {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (!ip.empty()) {
            const TIdBytes bytes = TIdStackBSDBase::TextToAddress(ip, Id_IPv4);
            std::memcpy(&address.sin_addr, bytes.data(), 4);
        }
        std::memcpy(&result.storage, &address, sizeof(address));
        result.length = sizeof(address);
        return result;
    }
    case Id_IPv6: {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (!ip.empty()) {
            const TIdBytes bytes = TIdStackBSDBase::TextToAddress(ip, Id_IPv6);
            std::memcpy(&address.sin6_addr, bytes.data(), 16);
        }
        std::memcpy(&result.storage, &address, sizeof(address));
        result.length = sizeof(address);
        return result;
    }
    }
    ThrowIPVersionUnsupported();
}

// Reads an address the platform filled in; false for a family other than
// IPv4 and IPv6.
bool DecodeSockAddr(const sockaddr_storage& storage, TIdIPAddress& address, int32_t& port) {
    address = TIdIPAddress{};
    if (storage.ss_family == AF_INET) {
        sockaddr_in plain{};
        std::memcpy(&plain, &storage, sizeof(plain));
        std::memcpy(address.bytes.data(), &plain.sin_addr, 4);
        port = ntohs(plain.sin_port);
        return true;
    }
    if (storage.ss_family == AF_INET6) {
        sockaddr_in6 plain{};
        std::memcpy(&plain, &storage, sizeof(plain));
        address.version = Id_IPv6;
        std::memcpy(address.bytes.data(), &plain.sin6_addr, 16);
        port = ntohs(plain.sin6_port);
        return true;
    }
    return false;
}

bool DecodeSockAddr(const sockaddr_storage& storage, std::string& ip, int32_t& port, TIdIPVersion& ipVersion) {
    TIdIPAddress address;
    if (!DecodeSockAddr(storage, address, port)) {
        return false;
    }
    ip = IPAddressText(address);
    ipVersion = address.version;
    return true;
}

struct TAddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

TIdStackBSDBase::TIdStackBSDBase() = default;
TIdStackBSDBase::~TIdStackBSDBase() = default;

void TIdStackBSDBase::ReadLocalHostName() {
    char buffer[250] = {};
    if (gethostname(buffer, static_cast<int>(sizeof(buffer) - 1)) == 0) {
        localHostName_ = buffer;
    }
}

TIdStackSocketHandle TIdStackBSDBase::CheckSocket(TIdStackSocketHandle socket) {
    if (socket == InvalidSocket) {
        ThrowSocketError(LastErrorNumber());
    }
    return socket;
}

TIdStackSocketHandle TIdStackBSDBase::CreateSocket(int32_t socketType, int32_t protocol,
                                                   TIdIPVersion ipVersion, bool overlapped) {
    const int32_t family = FamilyOf(ipVersion);
    return CheckSocket(RawSocket(family, socketType, protocol, overlapped));
}

void TIdStackBSDBase::Bind(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                           TIdIPVersion ipVersion) {
    TSockAddr address = MakeSockAddr(ip, port, ipVersion);
    if (ipVersion == Id_IPv6) {
        // An IPv6 listener must not claim the IPv4 side of its port: the
        // server binds IPv4 and IPv6 separately on the same port (Linux
        // defaults to dual-stack, Windows does not).
        const int on = 1;
        CheckSocketResult(RawSetSockOpt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)));
    }
    CheckSocketResult(RawBind(socket, address.Get(), address.length));
}

void TIdStackBSDBase::Listen(TIdStackSocketHandle socket, int32_t backlog) {
    CheckSocketResult(RawListen(socket, backlog));
}

TIdStackSocketHandle TIdStackBSDBase::Accept(TIdStackSocketHandle listening, std::string& peerIP,
                                             int32_t& peerPort, TIdIPVersion& peerVersion, TIdAcceptFault* fault) {
    TSockAddr address;
    const TIdStackSocketHandle accepted = RawAccept(listening, address.Get(), &address.length);
    if (accepted == InvalidSocket) {
        // Read before anything else can overwrite the thread's last error.
        const int32_t error = LastPlatformError();
        if (fault != nullptr) {
            *fault = AcceptFaultOf(error);
        }
        return InvalidSocket;
    }
    if (fault != nullptr) {
        *fault = TIdAcceptFault::None;
    }
    if (!DecodeSockAddr(address.storage, peerIP, peerPort, peerVersion)) {
        peerIP.clear();
        peerPort = 0;
    }
    return accepted;
}

void TIdStackBSDBase::Connect(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                              TIdIPVersion ipVersion) {
    TSockAddr address = MakeSockAddr(ip, port, ipVersion);
    CheckSocketResult(RawConnect(socket, address.Get(), address.length));
}

// A connect without waiting, then a wait for its outcome.
bool TIdStackBSDBase::ConnectWithin(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                                    TIdIPVersion ipVersion, int32_t timeoutMs) {
    SetBlocking(socket, false);
    try {
        Connect(socket, ip, port, ipVersion);
    } catch (const EIdSocketError& error) {
        if (error.LastError() != IdErr::WouldBlock && error.LastError() != IdErr::InProgress) {
            throw;
        }
        if (!WaitWritable(socket, timeoutMs)) {
            return false;
        }
        const int32_t pending = PendingError(socket);
        if (pending != 0) {
            ThrowSocketError(pending);
        }
    }
    SetBlocking(socket, true);
    return true;
}

int32_t TIdStackBSDBase::Send(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) {
    if (size < 0) {
        throw EIdRangeException("Index out of bounds.");
    }
    return CheckSocketResult(RawSend(socket, data, size));
}

int32_t TIdStackBSDBase::Receive(TIdStackSocketHandle socket, uint8_t* data, int32_t size) {
    if (size <= 0) {
        // A zero-length receive would return 0 and read as "peer closed".
        throw EIdRangeException("Index out of bounds.");
    }
    return CheckSocketResult(RawRecv(socket, data, size));
}

void TIdStackBSDBase::Disconnect(TIdStackSocketHandle socket) {
    (void)RawShutdown(socket, IdSocketApi::ShutSend);
    (void)RawClose(socket);
}

void TIdStackBSDBase::CloseAtOnce(TIdStackSocketHandle socket) { (void)RawClose(socket); }

void TIdStackBSDBase::WakeAndShutdown(TIdStackSocketHandle socket) {
    (void)RawShutdown(socket, IdSocketApi::ShutBoth);
}

void TIdStackBSDBase::SetAbortiveClose(TIdStackSocketHandle socket) {
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
    (void)RawSetSockOpt(socket, SOL_SOCKET, SO_LINGER, &value, static_cast<int32_t>(sizeof(value)));
}

void TIdStackBSDBase::ShutdownSending(TIdStackSocketHandle socket) {
    (void)RawShutdown(socket, IdSocketApi::ShutSend);
}

void TIdStackBSDBase::LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                                    TIdIPVersion& ipVersion) {
    TSockAddr address;
    CheckSocketResult(RawGetSockName(socket, address.Get(), &address.length));
    if (!DecodeSockAddr(address.storage, ip, port, ipVersion)) {
        ThrowIPVersionUnsupported();
    }
}

void TIdStackBSDBase::PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                                   TIdIPVersion& ipVersion) {
    TSockAddr address;
    CheckSocketResult(RawGetPeerName(socket, address.Get(), &address.length));
    if (!DecodeSockAddr(address.storage, ip, port, ipVersion)) {
        ThrowIPVersionUnsupported();
    }
}

void TIdStackBSDBase::SetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name, int32_t value) {
    const int option = value;
    CheckSocketResult(RawSetSockOpt(socket, level, name, &option, sizeof(option)));
}

int32_t TIdStackBSDBase::GetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name) {
    int option = 0;
    int32_t length = sizeof(option);
    CheckSocketResult(RawGetSockOpt(socket, level, name, &option, &length));
    return option;
}

int32_t TIdStackBSDBase::PendingError(TIdStackSocketHandle socket) {
    const int32_t error = GetIntOption(socket, SOL_SOCKET, SO_ERROR);
    return error == 0 ? 0 : MapPlatformError(error);
}

int32_t TIdStackBSDBase::LastErrorNumber() {
    return MapPlatformError(LastPlatformError());
}

std::vector<TIdIPAddress> TIdStackBSDBase::ResolveAll(const std::string& name, int32_t family, size_t limit) {
    if (name.find('\0') != std::string::npos) {
        // The C lookup would stop at the NUL and resolve a different name
        // than the one the caller checked or logged.
        ThrowSocketError(IdErr::HostNotFound);
    }
    if (IsReservedInvalidName(name)) {
        // RFC 6761 6.4: such a name never resolves, so no resolver is asked.
        ThrowSocketError(IdErr::HostNotFound);
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &raw);
    if (rc != 0) {
        ThrowSocketError(MapLookupError(rc));
    }
    const std::unique_ptr<addrinfo, TAddrInfoDeleter> list(raw);
    std::vector<TIdIPAddress> result;
    for (const addrinfo* entry = list.get(); entry != nullptr && result.size() < limit;
         entry = entry->ai_next) {
        if ((family != AF_UNSPEC && entry->ai_family != family) || entry->ai_addr == nullptr ||
            entry->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        sockaddr_storage storage{};
        std::memcpy(&storage, entry->ai_addr, entry->ai_addrlen);
        TIdIPAddress address;
        int32_t port = 0;
        // One answer per address: the resolver repeats an address for
        // every socket type it was not asked to leave out.
        if (DecodeSockAddr(storage, address, port) &&
            std::find(result.begin(), result.end(), address) == result.end()) {
            result.push_back(address);
        }
    }
    if (result.empty()) {
        ThrowSocketError(IdErr::HostNotFound);
    }
    return result;
}

std::vector<std::string> TIdStackBSDBase::ResolveTexts(const std::string& name, TIdIPVersion ipVersion,
                                                       size_t limit) {
    std::vector<std::string> texts;
    for (const TIdIPAddress& address : ResolveAll(name, FamilyOf(ipVersion), limit)) {
        texts.push_back(IPAddressText(address));
    }
    return texts;
}

std::string TIdStackBSDBase::LookupHost(const std::string& name, TIdIPVersion ipVersion) {
    return ResolveTexts(name, ipVersion, 1).front();
}

std::vector<std::string> TIdStackBSDBase::LookupHostAll(const std::string& name, TIdIPVersion ipVersion,
                                                        size_t limit) {
    return ResolveTexts(name, ipVersion, limit);
}

std::vector<TIdIPAddress> TIdStackBSDBase::LookupAddresses(const std::string& name, size_t limit) {
    return ResolveAll(name, HasIPv6() ? AF_UNSPEC : AF_INET, limit);
}

std::vector<std::string> TIdStackBSDBase::LocalAddresses() {
    return ResolveTexts(localHostName_, Id_IPv4, 251);
}

bool TIdStackBSDBase::HasIPv6() {
    int known = hasIPv6_.load();
    if (known < 0) {
        // No protocol enumeration on POSIX: an IPv6 stream socket that can be
        // created is the answer on both platforms.
        const TIdStackSocketHandle probe = RawSocket(AF_INET6, SOCK_STREAM, 0, false);
        known = probe != InvalidSocket ? 1 : 0;
        if (probe != InvalidSocket) {
            (void)RawClose(probe);
        }
        hasIPv6_.store(known);
    }
    return known == 1;
}

std::string TIdStackBSDBase::AddressToText(const uint8_t* address, TIdIPVersion ipVersion) {
    TIdIPAddress value;
    switch (ipVersion) {
    case Id_IPv4:
        std::copy_n(address, 4, value.bytes.begin());
        return IPAddressText(value);
    case Id_IPv6:
        value.version = Id_IPv6;
        std::copy_n(address, 16, value.bytes.begin());
        return IPAddressText(value);
    }
    ThrowIPVersionUnsupported();
}

TIdBytes TIdStackBSDBase::TextToAddress(const std::string& text, TIdIPVersion ipVersion) {
    if (ipVersion != Id_IPv4 && ipVersion != Id_IPv6) {
        ThrowIPVersionUnsupported();
    }
    TIdIPAddress address;
    if (!TryParseIPAddress(text, address, TIdAddressReading::Tolerant) || address.version != ipVersion) {
        if (ipVersion == Id_IPv6) {
            throw EIdInvalidIPv6Address(text + " is not a valid IPv6 address");
        }
        ThrowSocketError(IdErr::InvalidArgument);
    }
    return TIdBytes(address.bytes.begin(), address.bytes.begin() + (ipVersion == Id_IPv4 ? 4 : 16));
}
