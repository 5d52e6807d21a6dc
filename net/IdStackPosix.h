// IdStackPosix: the socket stack on Linux and other POSIX systems. Supplies
// the raw BSD calls (close-on-exec sockets, no SIGPIPE, EINTR retried), the
// poll()-based readiness waits and the errno -> socket error table mapping.
#pragma once

#include "net/IdStackBSDBase.h"

class TIdStackPosix : public TIdStackBSDBase {
public:
    TIdStackPosix();
    ~TIdStackPosix() override;

    bool WaitReadable(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                      bool* ready = nullptr) override;
    bool WaitWritable(TIdStackSocketHandle socket, int32_t timeoutMs) override;
    bool WaitConnected(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                       bool* ready) override;
    void SetBlocking(TIdStackSocketHandle socket, bool blocking) override;
    int32_t SendNoWait(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) override;
    int32_t ReceiveNoWait(TIdStackSocketHandle socket, uint8_t* data, int32_t size) override;
    bool PeerHasClosed(TIdStackSocketHandle socket) override;
    bool ReuseAddressByDefault() const override { return true; }
    std::unique_ptr<TIdSocketPump> CreatePump() override;

    // errno value -> the table's number (10000 + the BSD number of the same
    // name); an errno without a table entry is returned unchanged.
    static int32_t MapErrno(int32_t error);

protected:
    TIdStackSocketHandle RawSocket(int32_t family, int32_t type, int32_t protocol, bool overlapped) override;
    int32_t RawClose(TIdStackSocketHandle socket) override;
    int32_t RawBind(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) override;
    int32_t RawListen(TIdStackSocketHandle socket, int32_t backlog) override;
    TIdStackSocketHandle RawAccept(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) override;
    int32_t RawConnect(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) override;
#ifdef __linux__
    bool ConnectWithin(TIdStackSocketHandle socket, const std::string& ip, int32_t port, TIdIPVersion ipVersion,
                       int32_t timeoutMs) override;
#endif
    int32_t RawRecv(TIdStackSocketHandle socket, void* data, int32_t size) override;
    int32_t RawSend(TIdStackSocketHandle socket, const void* data, int32_t size) override;
    int32_t RawShutdown(TIdStackSocketHandle socket, int32_t how) override;
    int32_t RawGetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name, void* value,
                          int32_t* length) override;
    int32_t RawSetSockOpt(TIdStackSocketHandle socket, int32_t level, int32_t name, const void* value,
                          int32_t length) override;
    int32_t RawGetSockName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) override;
    int32_t RawGetPeerName(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) override;
    int32_t LastPlatformError() override;
    int32_t MapPlatformError(int32_t platformError) override;
    int32_t MapLookupError(int32_t lookupError) override;
    TIdAcceptFault AcceptFaultOf(int32_t platformError) override;
};
