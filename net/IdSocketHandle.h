// IdSocketHandle: one socket with its local and peer endpoints, an IP version
// and a local port range for binding (TIdSocketHandle); the owned collection
// of handles a server listens on (TIdSocketHandles); and a small locked set
// of sockets with a readiness wait (TIdSocketList, at most 64 sockets).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/IdGlobal.h"
#include "net/IdPlatform.h"

enum class TIdAcceptFault;  // net/IdStack.h

class TIdSocketList {
public:
    static constexpr int32_t MaxSockets = 64;

    TIdSocketList() = default;
    TIdSocketList(const TIdSocketList&) = delete;
    TIdSocketList& operator=(const TIdSocketList&) = delete;

    // Full set: EIdStackSetSizeExceeded "Set Size Exceeded.".
    void Add(TIdStackSocketHandle socket);
    void Remove(TIdStackSocketHandle socket);
    void Clear();
    int32_t Count() const;
    bool Contains(TIdStackSocketHandle socket) const;
    // Index outside 0..Count-1: EIdStackSetSizeExceeded "Set Size Exceeded.".
    TIdStackSocketHandle Item(int32_t index) const;
    std::unique_ptr<TIdSocketList> Duplicate() const;

    // Copies the set under the lock, waits without it.
    bool WaitRead(int32_t timeoutMs) const;
    // As WaitRead; the ready sockets are written into result (created when null).
    bool WaitReadList(int32_t timeoutMs, std::unique_ptr<TIdSocketList>& result) const;

private:
    mutable std::mutex lock_;  // guards count_ and sockets_
    int32_t count_ = 0;
    TIdStackSocketHandle sockets_[MaxSockets] = {};
};

class TIdSocketHandles;

class TIdSocketHandle {
public:
    explicit TIdSocketHandle(TIdSocketHandles* collection = nullptr);
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Copies IP, Port, PeerIP, PeerPort and IPVersion only.
    void Assign(const TIdSocketHandle& source);

    int32_t ClientPortMin() const { return clientPortMin_; }
    void SetClientPortMin(int32_t value) { clientPortMin_ = value; }
    int32_t ClientPortMax() const { return clientPortMax_; }
    void SetClientPortMax(int32_t value) { clientPortMax_ = value; }
    TIdStackSocketHandle Socket() const { return socket_.load(); }
    bool HasSocket() const { return hasSocket_.load(); }
    const std::string& IP() const { return ip_; }
    void SetIP(const std::string& value) { ip_ = value; }
    const std::string& PeerIP() const { return peerIP_; }
    int32_t Port() const { return port_; }
    void SetPort(int32_t value) { port_ = value; }
    int32_t PeerPort() const { return peerPort_; }
    TIdIPVersion IPVersion() const { return ipVersion_; }
    // A different value while the handle has a socket raises
    // EIdCannotSetIPVersionWhenConnected "Cannot change IPVersion when connected".
    void SetIPVersion(TIdIPVersion value);
    bool Overlapped() const { return overlapped_; }
    const TIdSocketList* ReadList() const { return readList_.get(); }

    // ReleaseSocket, then a new socket of IPVersion.
    void OpenSocket(int32_t socketType = Id_SOCK_STREAM, int32_t protocol = 0);
    // Closes the socket (shutdown of sending, close) under ConnectionLock;
    // HasSocket turns false first. A second call does nothing.
    void ReleaseSocket();
    // Shuts the socket down in both directions without closing it, so that a
    // thread blocked on it wakes; the owning thread closes it later.
    void WakeAndShutdown();
    // Half-close: no more sending, the socket stays open for reading.
    void ShutdownSending();
    // Makes the coming release reset the connection: no end of stream goes
    // out first, so the peer cannot take what it received for the whole.
    void SetAbortiveClose();
    // Port range search from ClientPortMax down when Port is 0 and both ends are set.
    void Bind();
    void Listen(int32_t backlog);
    void Connect();
    // Connect given up after timeoutMs (> 0): false then.
    bool ConnectWithin(int32_t timeoutMs);
    // False when nothing was accepted; fault (when given) tells why.
    bool AcceptFrom(TIdStackSocketHandle listeningSocket, TIdAcceptFault* fault = nullptr);
    int32_t Send(const TIdBytes& bytes, int32_t offset, int32_t size = -1);
    int32_t Send(const uint8_t* data, int32_t size);
    int32_t Receive(TIdBytes& buffer);
    int32_t Receive(uint8_t* data, int32_t size);
    void SetIntOption(int32_t level, int32_t name, int32_t value);
    int32_t GetIntOption(int32_t level, int32_t name);
    void AssignPeer(const std::string& ip, int32_t port, TIdIPVersion ipVersion);
    void AssignLocal(const std::string& ip, int32_t port, TIdIPVersion ipVersion);
    void RefreshLocal();
    void RefreshPeer();
    // Forgets the socket without closing it.
    void ResetHandle(bool resetLocal = true);
    void AssignSocket(TIdStackSocketHandle socket);
    // No socket: EIdConnClosedGracefully "Connection Closed Gracefully.".
    bool WaitReadable(int32_t timeoutMs);
    // The caller makes sure there is a socket.
    bool PollRead(int32_t timeoutMs);

    TIdSocketHandles* Collection() const { return collection_; }

private:
    bool BindOnce();

    TIdSocketHandles* collection_;
    int32_t clientPortMin_ = 0;
    int32_t clientPortMax_ = 0;
    std::atomic<TIdStackSocketHandle> socket_{InvalidSocket};
    std::atomic<bool> hasSocket_{false};
    std::atomic<bool> abortive_{false};  // the release resets instead of ending the stream
    std::string ip_;
    std::string peerIP_;
    int32_t port_ = 0;
    int32_t peerPort_ = 0;
    std::unique_ptr<TIdSocketList> readList_;
    bool overlapped_ = false;
    TIdIPVersion ipVersion_ = Id_IPv4;
    std::mutex connectionLock_;  // serialises ReleaseSocket against the end-of-connect refresh
};

class TIdSocketHandles {
public:
    TIdSocketHandles();
    ~TIdSocketHandles();
    TIdSocketHandles(const TIdSocketHandles&) = delete;
    TIdSocketHandles& operator=(const TIdSocketHandles&) = delete;

    int32_t DefaultPort() const { return defaultPort_; }
    void SetDefaultPort(int32_t value) { defaultPort_ = value; }
    // Adds a handle whose Port is DefaultPort.
    TIdSocketHandle& Add();
    int32_t Count() const { return static_cast<int32_t>(items_.size()); }
    TIdSocketHandle& operator[](int32_t index) { return *items_.at(static_cast<size_t>(index)); }
    const TIdSocketHandle& operator[](int32_t index) const { return *items_.at(static_cast<size_t>(index)); }
    void Clear() { items_.clear(); }
    // Copies the handles' settings (not their sockets) and the default port.
    void Assign(const TIdSocketHandles& source);

private:
    int32_t defaultPort_ = 0;
    std::vector<std::unique_ptr<TIdSocketHandle>> items_;
};
