// IdStackWindows: the socket stack on Windows (Winsock 2.2). Starts Winsock
// once per process, supplies the raw Winsock calls and the select()-based
// readiness waits; Winsock's error numbers are already the table's.
#pragma once

#include <mutex>
#include <set>

#include "net/IdStackBSDBase.h"

class TIdStackWindows : public TIdStackBSDBase {
public:
    // Raises EIdStackInitializationFailed "Winsock Initialization Error."
    // when Winsock cannot be started.
    TIdStackWindows();
    ~TIdStackWindows() override;

    bool WaitReadable(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                      bool* ready = nullptr) override;
    bool WaitWritable(TIdStackSocketHandle socket, int32_t timeoutMs) override;
    bool WaitConnected(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                       bool* ready) override;
    void SetBlocking(TIdStackSocketHandle socket, bool blocking) override;
    int32_t SendNoWait(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) override;
    int32_t ReceiveNoWait(TIdStackSocketHandle socket, uint8_t* data, int32_t size) override;
    bool PeerHasClosed(TIdStackSocketHandle socket) override;
    bool ReuseAddressByDefault() const override { return false; }
    // Winsock does not wake a wait or receive blocked on a socket that is
    // shut down locally; this one cancels it and marks the socket so that
    // waits report it readable until it is closed.
    void WakeAndShutdown(TIdStackSocketHandle socket) override;

protected:
    TIdStackSocketHandle RawSocket(int32_t family, int32_t type, int32_t protocol, bool overlapped) override;
    int32_t RawClose(TIdStackSocketHandle socket) override;
    int32_t RawBind(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) override;
    int32_t RawListen(TIdStackSocketHandle socket, int32_t backlog) override;
    TIdStackSocketHandle RawAccept(TIdStackSocketHandle socket, sockaddr* address, int32_t* length) override;
    int32_t RawConnect(TIdStackSocketHandle socket, const sockaddr* address, int32_t length) override;
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

private:
    // Marks the woken sockets among sockets in ready; true when any is.
    bool AnyWoken(const TIdStackSocketHandle* sockets, int32_t count, bool* ready);

    std::mutex wokenLock_;
    // Sockets shut down by WakeAndShutdown and not yet closed; guarded by wokenLock_.
    std::set<TIdStackSocketHandle> woken_;
};
