// IdIOHandlerSocket / IdIOHandlerStack: the socket transport under the
// buffered I/O handler. TIdIOHandlerSocket binds a handler to one socket
// handle and carries the local bind settings and the Nagle switch;
// TIdIOHandlerStack receives into the input queue, sends, detects the peer's
// close and connects (resolution, optional local bind, plain or timed connect).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "io/IdIOHandler.h"
#include "net/IdSocketHandle.h"

using TIdNotifyEvent = std::function<void(TIdComponent& sender)>;

class TIdIOHandlerSocket : public TIdIOHandler {
public:
    TIdIOHandlerSocket();
    ~TIdIOHandlerSocket() override;

    void OpenChannel() override;
    void CloseChannel() override;
    bool IsConnected() override;
    virtual void ConnectToPeer();
    // Opens the channel on a socket connected elsewhere (a race between a
    // host's addresses): the handler owns it from here.
    void OpenOnSocket(TIdStackSocketHandle socket);

    std::string Destination() const override;
    void SetDestination(const std::string& value) override;

    TIdSocketHandle* Binding() const { return binding_.get(); }
    const std::string& BoundIP() const { return boundIP_; }
    void SetBoundIP(const std::string& value) { boundIP_ = value; }
    int32_t BoundPort() const { return boundPort_; }
    void SetBoundPort(int32_t value) { boundPort_ = value; }
    int32_t BoundPortMax() const { return boundPortMax_; }
    void SetBoundPortMax(int32_t value) { boundPortMax_ = value; }
    int32_t BoundPortMin() const { return boundPortMin_; }
    void SetBoundPortMin(int32_t value) { boundPortMin_ = value; }
    int32_t DefaultPort() const { return defaultPort_; }
    void SetDefaultPort(int32_t value) { defaultPort_ = value; }
    bool UseNagle() const { return useNagle_; }
    void SetUseNagle(bool value);
    TIdIPVersion IPVersion() const { return ipVersion_; }
    void SetIPVersion(TIdIPVersion value) { ipVersion_ = value; }

    TIdNotifyEvent OnBeforeBind;
    TIdNotifyEvent OnAfterBind;
    TIdNotifyEvent OnSocketAllocated;

protected:
    void ApplyNagle();
    // Opens the buffered channel with a binding that holds no socket yet.
    void OpenFreshBinding();

    std::unique_ptr<TIdSocketHandle> binding_;

private:
    std::string boundIP_;
    int32_t boundPort_ = 0;
    int32_t boundPortMax_ = 0;
    int32_t boundPortMin_ = 0;
    int32_t defaultPort_ = 0;
    bool useNagle_ = true;
    TIdIPVersion ipVersion_ = Id_IPv4;
};

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
    int32_t FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) override;
    void CheckClosed(bool raise, bool ignoreQueued) override;
    void PollSource(int32_t timeoutMs) override;
    using TIdIOHandler::SendRaw;
    void SendRaw(const uint8_t* data, int32_t size) override;
    bool WaitReadable(int32_t timeoutMs) override;
    bool CanReceiveDirect() const override;
    int32_t ReceiveDirect(uint8_t* dest, int32_t size, int32_t timeoutMs) override;
    bool IsConnected() override;
    void ConnectToPeer() override;

private:
    void TimedConnect();
    // One receive of at most size bytes within timeoutMs (already resolved):
    // the count, 0 when the peer closed, -1 when nothing came in time.
    int32_t ReceiveWithin(uint8_t* dest, int32_t size, int32_t timeoutMs);
    // One send that waits at most timeoutMs for room and never blocks
    // beyond it; returns the count taken.
    int32_t SendWithin(const uint8_t* data, int32_t size, int32_t timeoutMs);
};
