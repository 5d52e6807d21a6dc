// IdStackBSDBase: the BSD-socket-style stack shared by every platform.
// It implements TIdStack over a raw layer of single platform calls (one
// virtual per call) that TIdStackPosix and TIdStackWindows supply, and does
// the address conversions and error translation in one place.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "net/IdStack.h"

struct sockaddr;

class TIdStackBSDBase : public TIdStack {
public:
    TIdStackBSDBase();
    ~TIdStackBSDBase() override;

    TIdStackSocketHandle CreateSocket(int32_t socketType, int32_t protocol, TIdIPVersion ipVersion,
                                      bool overlapped = false) override;
    void Bind(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
              TIdIPVersion ipVersion) override;
    void Listen(TIdStackSocketHandle socket, int32_t backlog) override;
    using TIdStack::Accept;
    TIdStackSocketHandle Accept(TIdStackSocketHandle listening, std::string& peerIP, int32_t& peerPort,
                                TIdIPVersion& peerVersion, TIdAcceptFault* fault) override;
    void Connect(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                 TIdIPVersion ipVersion) override;
    bool ConnectWithin(TIdStackSocketHandle socket, const std::string& ip, int32_t port, TIdIPVersion ipVersion,
                       int32_t timeoutMs) override;
    using TIdStack::Receive;
    using TIdStack::Send;
    int32_t Send(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) override;
    int32_t Receive(TIdStackSocketHandle socket, uint8_t* data, int32_t size) override;
    void Disconnect(TIdStackSocketHandle socket) override;
    void CloseAtOnce(TIdStackSocketHandle socket) override;
    void WakeAndShutdown(TIdStackSocketHandle socket) override;
    void ShutdownSending(TIdStackSocketHandle socket) override;
    void SetAbortiveClose(TIdStackSocketHandle socket) override;
    void LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                       TIdIPVersion& ipVersion) override;
    void PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                      TIdIPVersion& ipVersion) override;
    void SetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name, int32_t value) override;
    int32_t GetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name) override;
    int32_t PendingError(TIdStackSocketHandle socket) override;

    std::string LookupHost(const std::string& name, TIdIPVersion ipVersion) override;
    std::vector<std::string> LookupHostAll(const std::string& name, TIdIPVersion ipVersion, size_t limit) override;
    std::vector<TIdIPAddress> LookupAddresses(const std::string& name, size_t limit) override;
    std::vector<std::string> LocalAddresses() override;
    bool HasIPv6() override;
    int32_t LastErrorNumber() override;

    // Address bytes in network order (4 for IPv4, 16 for IPv6) to text, as
    // IPAddressText writes it.
    static std::string AddressToText(const uint8_t* address, TIdIPVersion ipVersion);
    // The reverse, read as the socket layer reads text (blanks and leading
    // zeros tolerated in IPv4). A text that is no address of that version
    // raises.
    static TIdBytes TextToAddress(const std::string& text, TIdIPVersion ipVersion);

protected:
    // Called by the platform constructor once its socket library is ready.
    void ReadLocalHostName();

    // --- Raw layer: one platform call each, result as the platform gives it
    // (-1 or InvalidSocket on failure, the error left for LastPlatformError).
    virtual TIdStackSocketHandle RawSocket(int32_t family, int32_t type, int32_t protocol,
                                           bool overlapped) = 0;
    virtual int32_t RawClose(TIdStackSocketHandle socket) = 0;
    virtual int32_t RawBind(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) = 0;
    virtual int32_t RawListen(TIdStackSocketHandle socket, int32_t backlog) = 0;
    virtual TIdStackSocketHandle RawAccept(TIdStackSocketHandle socket, sockaddr* address,
                                           int32_t* length) = 0;
    virtual int32_t RawConnect(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) = 0;
    virtual int32_t RawRecv(TIdStackSocketHandle socket, void* data, int32_t size) = 0;
    virtual int32_t RawSend(TIdStackSocketHandle socket, const void* data, int32_t size) = 0;
    virtual int32_t RawShutdown(TIdStackSocketHandle socket, int32_t how) = 0;
    virtual int32_t RawGetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name, void* value,
                                  int32_t* length) = 0;
    virtual int32_t RawSetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name,
                                  const void* value, int32_t length) = 0;
    virtual int32_t RawGetSockName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) = 0;
    virtual int32_t RawGetPeerName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) = 0;
    // The calling thread's last socket error in the platform's numbering.
    virtual int32_t LastPlatformError() = 0;
    // Platform error number -> the table's number (identity on Winsock).
    virtual int32_t MapPlatformError(int32_t platformError) = 0;
    // Non-zero result of the address-info lookup -> the table's number.
    virtual int32_t MapLookupError(int32_t lookupError) = 0;
    // What a failed accept's platform error means for the listener.
    virtual TIdAcceptFault AcceptFaultOf(int32_t platformError) = 0;

private:
    // Raises the socket error when socket is InvalidSocket; returns it otherwise.
    TIdStackSocketHandle CheckSocket(TIdStackSocketHandle socket);
    // The address-info answers of one family (AF_UNSPEC: both), each
    // address once, in the resolver's order.
    std::vector<TIdIPAddress> ResolveAll(const std::string& name, int32_t family, size_t limit);
    std::vector<std::string> ResolveTexts(const std::string& name, TIdIPVersion ipVersion, size_t limit);

    std::atomic<int> hasIPv6_{-1};  // -1 not yet probed, else 0/1
};

// Creates the stack of the platform the program was built for
// (TIdStackPosix or TIdStackWindows); used by TIdStack::IncUsage.
std::unique_ptr<TIdStack> IdCreatePlatformStack();
