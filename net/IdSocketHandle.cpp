// IdSocketHandle: socket lists with their readiness wait, the socket handle
// (open, bind with port ranges, connect, accept, release) and the handle
// collection a server binds. All platform work goes through TIdStack.
#include "net/IdSocketHandle.h"

#include <algorithm>

#include "base/IdException.h"
#include "net/IdStack.h"

namespace {

[[noreturn]] void ThrowSetSizeExceeded() {
    throw EIdStackSetSizeExceeded("Set Size Exceeded.");
}

}  // namespace

// ---------------------------------------------------------------- TIdSocketList

void TIdSocketList::Add(TIdStackSocketHandle socket) {
    std::scoped_lock lock(lock_);
    if (count_ >= MaxSockets) {
        ThrowSetSizeExceeded();
    }
    sockets_[count_++] = socket;
}

void TIdSocketList::Remove(TIdStackSocketHandle socket) {
    std::scoped_lock lock(lock_);
    for (int32_t i = 0; i < count_; ++i) {
        if (sockets_[i] == socket) {
            // Order does not matter to a readiness set; the last entry fills the gap.
            sockets_[i] = sockets_[count_ - 1];
            --count_;
            return;
        }
    }
}

void TIdSocketList::Clear() {
    std::scoped_lock lock(lock_);
    count_ = 0;
}

int32_t TIdSocketList::Count() const {
    std::scoped_lock lock(lock_);
    return count_;
}

bool TIdSocketList::Contains(TIdStackSocketHandle socket) const {
    std::scoped_lock lock(lock_);
    return std::find(sockets_, sockets_ + count_, socket) != sockets_ + count_;
}

TIdStackSocketHandle TIdSocketList::Item(int32_t index) const {
    std::scoped_lock lock(lock_);
    if (index < 0 || index >= count_) {
        ThrowSetSizeExceeded();
    }
    return sockets_[index];
}

std::unique_ptr<TIdSocketList> TIdSocketList::Duplicate() const {
    auto copy = std::make_unique<TIdSocketList>();
    std::scoped_lock lock(lock_);
    std::copy(sockets_, sockets_ + count_, copy->sockets_);
    copy->count_ = count_;
    return copy;
}

bool TIdSocketList::WaitRead(int32_t timeoutMs) const {
    TIdStackSocketHandle copy[MaxSockets];
    int32_t count = 0;
    {
        // The lock covers only the copy: two threads may wait on one list.
        std::scoped_lock lock(lock_);
        count = count_;
        std::copy(sockets_, sockets_ + count_, copy);
    }
    return TIdStack::Instance().WaitReadable(copy, count, timeoutMs);
}

bool TIdSocketList::WaitReadList(int32_t timeoutMs, std::unique_ptr<TIdSocketList>& result) const {
    TIdStackSocketHandle copy[MaxSockets];
    int32_t count = 0;
    {
        std::scoped_lock lock(lock_);
        count = count_;
        std::copy(sockets_, sockets_ + count_, copy);
    }
    bool ready[MaxSockets] = {};
    if (!TIdStack::Instance().WaitReadable(copy, count, timeoutMs, ready)) {
        return false;
    }
    if (!result) {
        result = std::make_unique<TIdSocketList>();
    }
    std::scoped_lock lock(result->lock_);
    result->count_ = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (ready[i]) {
            result->sockets_[result->count_++] = copy[i];
        }
    }
    return true;
}

// -------------------------------------------------------------- TIdSocketHandle

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* collection)
    : collection_(collection), port_(collection != nullptr ? collection->DefaultPort() : 0) {}

TIdSocketHandle::~TIdSocketHandle() {
    try {
        ReleaseSocket();
    } catch (...) {
        // Destructors never throw; the socket is forgotten either way.
    }
}

void TIdSocketHandle::Assign(const TIdSocketHandle& source) {
    if (&source == this) {
        return;
    }
    ip_ = source.ip_;
    port_ = source.port_;
    peerIP_ = source.peerIP_;
    peerPort_ = source.peerPort_;
    ipVersion_ = source.ipVersion_;
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion value) {
    if (value == ipVersion_) {
        return;
    }
    if (value != Id_IPv4 && value != Id_IPv6) {
        throw EIdIPVersionUnsupported("The requested IPVersion / Address family is not supported.");
    }
    if (HasSocket()) {
        throw EIdCannotSetIPVersionWhenConnected("Cannot change IPVersion when connected");
    }
    ipVersion_ = value;
}

void TIdSocketHandle::OpenSocket(int32_t socketType, int32_t protocol) {
    ReleaseSocket();
    AssignSocket(TIdStack::Instance().CreateSocket(socketType, protocol, ipVersion_, overlapped_));
}

void TIdSocketHandle::ReleaseSocket() {
    // Checked under the lock: a timed connect may release from another
    // thread while the connecting thread refreshes its endpoints.
    std::scoped_lock lock(connectionLock_);
    const TIdStackSocketHandle socket = socket_.load();
    if (socket == InvalidSocket) {
        return;
    }
    // Turned off before the platform calls so that a reader checking
    // HasSocket sees the socket as gone at once.
    hasSocket_.store(false);
    try {
        if (abortive_.exchange(false)) {
            TIdStack::Instance().CloseAtOnce(socket);
        } else {
            TIdStack::Instance().Disconnect(socket);
        }
    } catch (...) {
        AssignSocket(InvalidSocket);
        throw;
    }
    AssignSocket(InvalidSocket);
}

void TIdSocketHandle::SetAbortiveClose() {
    std::scoped_lock lock(connectionLock_);
    const TIdStackSocketHandle socket = socket_.load();
    if (socket != InvalidSocket) {
        TIdStack::Instance().SetAbortiveClose(socket);
        abortive_.store(true);
    }
}

void TIdSocketHandle::WakeAndShutdown() {
    // Under the lock: once ReleaseSocket has closed the socket its number
    // may belong to a new socket elsewhere, which must not be shut down.
    std::scoped_lock lock(connectionLock_);
    const TIdStackSocketHandle socket = socket_.load();
    if (socket != InvalidSocket) {
        TIdStack::Instance().WakeAndShutdown(socket);
    }
}

void TIdSocketHandle::ShutdownSending() {
    std::scoped_lock lock(connectionLock_);
    const TIdStackSocketHandle socket = socket_.load();
    if (socket != InvalidSocket) {
        TIdStack::Instance().ShutdownSending(socket);
    }
}

bool TIdSocketHandle::BindOnce() {
    try {
        TIdStack::Instance().Bind(Socket(), ip_, port_, ipVersion_);
        RefreshLocal();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TIdSocketHandle::Bind() {
    if (port_ != 0 || clientPortMin_ == 0 || clientPortMax_ == 0) {
        if (!BindOnce()) {
            // The same words whatever the platform's reason was.
            throw EIdCouldNotBindSocket("Could not bind socket. Address and port are already in use.");
        }
        return;
    }
    if (clientPortMin_ > clientPortMax_) {
        throw EIdInvalidPortRange(FormatText("Invalid Port Range (%d - %d)", static_cast<int>(clientPortMin_),
                                             static_cast<int>(clientPortMax_)));
    }
    // Only real port numbers are tried: a range reaching far below 1 would
    // otherwise run for billions of failing binds (and overflow at the bottom).
    const int32_t high = std::min<int32_t>(clientPortMax_, 65535);
    const int32_t low = std::max<int32_t>(clientPortMin_, 1);
    for (int32_t port = high; port >= low; --port) {
        port_ = port;
        if (BindOnce()) {
            return;
        }
    }
    throw EIdCanNotBindPortInRange(FormatText("Can not bind in port range (%d - %d)",
                                              static_cast<int>(clientPortMin_),
                                              static_cast<int>(clientPortMax_)));
}

void TIdSocketHandle::Listen(int32_t backlog) {
    TIdStack::Instance().Listen(Socket(), backlog);
}

void TIdSocketHandle::Connect() {
    TIdStack::Instance().Connect(Socket(), peerIP_, peerPort_, ipVersion_);
    std::scoped_lock lock(connectionLock_);
    // Another thread may have closed the socket to cut the connect short.
    if (HasSocket()) {
        RefreshLocal();
        RefreshPeer();
    }
}

bool TIdSocketHandle::ConnectWithin(int32_t timeoutMs) {
    if (!TIdStack::Instance().ConnectWithin(Socket(), peerIP_, peerPort_, ipVersion_, timeoutMs)) {
        return false;
    }
    std::scoped_lock lock(connectionLock_);
    // Another thread may have closed the socket to cut the connect short.
    if (HasSocket()) {
        RefreshLocal();
        RefreshPeer();
    }
    return true;
}

bool TIdSocketHandle::AcceptFrom(TIdStackSocketHandle listeningSocket, TIdAcceptFault* fault) {
    ResetHandle(true);
    TIdIPVersion peerVersion = Id_IPv4;
    const TIdStackSocketHandle accepted =
        TIdStack::Instance().Accept(listeningSocket, peerIP_, peerPort_, peerVersion, fault);
    if (accepted == InvalidSocket) {
        return false;
    }
    ipVersion_ = peerVersion;
    AssignSocket(accepted);
    // The peer is the one the accept reported; asking again costs a call.
    RefreshLocal();
    return true;
}

int32_t TIdSocketHandle::Send(const TIdBytes& bytes, int32_t offset, int32_t size) {
    return TIdStack::Instance().Send(Socket(), bytes, offset, size);
}

int32_t TIdSocketHandle::Send(const uint8_t* data, int32_t size) {
    return TIdStack::Instance().Send(Socket(), data, size);
}

int32_t TIdSocketHandle::Receive(TIdBytes& buffer) {
    return TIdStack::Instance().Receive(Socket(), buffer);
}

int32_t TIdSocketHandle::Receive(uint8_t* data, int32_t size) {
    return TIdStack::Instance().Receive(Socket(), data, size);
}

void TIdSocketHandle::SetIntOption(int32_t level, int32_t name, int32_t value) {
    TIdStack::Instance().SetIntOption(Socket(), level, name, value);
}

int32_t TIdSocketHandle::GetIntOption(int32_t level, int32_t name) {
    return TIdStack::Instance().GetIntOption(Socket(), level, name);
}

void TIdSocketHandle::AssignPeer(const std::string& ip, int32_t port, TIdIPVersion ipVersion) {
    peerIP_ = ip;
    peerPort_ = port;
    ipVersion_ = ipVersion;
}

void TIdSocketHandle::AssignLocal(const std::string& ip, int32_t port, TIdIPVersion ipVersion) {
    ip_ = ip;
    port_ = port;
    ipVersion_ = ipVersion;
}

void TIdSocketHandle::RefreshLocal() {
    TIdIPVersion version = ipVersion_;
    TIdStack::Instance().LocalEndpoint(Socket(), ip_, port_, version);
}

void TIdSocketHandle::RefreshPeer() {
    TIdIPVersion version = ipVersion_;
    TIdStack::Instance().PeerEndpoint(Socket(), peerIP_, peerPort_, version);
}

void TIdSocketHandle::ResetHandle(bool resetLocal) {
    AssignSocket(InvalidSocket);
    if (resetLocal) {
        ip_.clear();
        port_ = 0;
    }
    peerIP_.clear();
    peerPort_ = 0;
    ipVersion_ = Id_IPv4;
}

void TIdSocketHandle::AssignSocket(TIdStackSocketHandle socket) {
    abortive_.store(false);
    if (socket == InvalidSocket) {
        hasSocket_.store(false);
        socket_.store(InvalidSocket);
        readList_.reset();
        return;
    }
    auto readList = std::make_unique<TIdSocketList>();
    readList->Add(socket);
    readList_ = std::move(readList);
    socket_.store(socket);
    hasSocket_.store(true);
}

bool TIdSocketHandle::WaitReadable(int32_t timeoutMs) {
    if (!HasSocket()) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return PollRead(timeoutMs);
}

bool TIdSocketHandle::PollRead(int32_t timeoutMs) {
    if (!readList_) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return readList_->WaitRead(timeoutMs);
}

// ------------------------------------------------------------- TIdSocketHandles

TIdSocketHandles::TIdSocketHandles() = default;
TIdSocketHandles::~TIdSocketHandles() = default;

TIdSocketHandle& TIdSocketHandles::Add() {
    items_.push_back(std::make_unique<TIdSocketHandle>(this));
    return *items_.back();
}

void TIdSocketHandles::Assign(const TIdSocketHandles& source) {
    if (&source == this) {
        return;
    }
    defaultPort_ = source.defaultPort_;
    items_.clear();
    for (const auto& item : source.items_) {
        Add().Assign(*item);
    }
}
