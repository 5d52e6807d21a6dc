// IdTCPClient: the outbound connection. The proxy makes one per request,
// sets Host and Port, connects, talks through its I/O handler and frees it.
// A failed Connect leaves the client unconnected and reusable.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "io/IdIOHandlerSocket.h"
#include "io/IdTCPConnection.h"

class TIdTCPClientCustom : public TIdTCPConnection {
public:
    TIdTCPClientCustom();
    ~TIdTCPClientCustom() override;

    virtual void Connect();
    // Takes a socket connected elsewhere (a race between a host's
    // addresses) as this client's connection, through the handler Connect
    // would use; the socket is closed when that fails.
    void ConnectOnSocket(TIdStackSocketHandle socket);

    void SetIOHandler(TIdIOHandler* handler) override;

    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value);
    int32_t Port() const { return port_; }
    void SetPort(int32_t value);
    int32_t ConnectTimeout() const { return connectTimeout_; }
    void SetConnectTimeout(int32_t value);
    int32_t ReadTimeout() const;
    void SetReadTimeout(int32_t value);
    const std::string& BoundIP() const { return boundIP_; }
    void SetBoundIP(const std::string& value);
    int32_t BoundPort() const { return boundPort_; }
    void SetBoundPort(int32_t value);
    int32_t BoundPortMin() const { return boundPortMin_; }
    void SetBoundPortMin(int32_t value);
    int32_t BoundPortMax() const { return boundPortMax_; }
    void SetBoundPortMax(int32_t value);
    TIdIPVersion IPVersion() const { return ipVersion_; }
    void SetIPVersion(TIdIPVersion value);
    const std::string& DestinationText() const { return destination_; }
    void SetDestinationText(const std::string& value) { destination_ = value; }

    TIdNotifyEvent OnConnected;
    TIdNotifyEvent OnBeforeBind;
    TIdNotifyEvent OnAfterBind;

protected:
    virtual std::unique_ptr<TIdIOHandler> MakeImplicitIOHandler();
    virtual void DoOnConnected();

private:
    // The implicit handler when the client has none.
    void EnsureIOHandler();
    void CopySocketSettings(TIdIOHandlerSocket& handler) const;
    // Port, host, timeouts and, for a socket handler, the bind settings.
    void CopySettingsTo(TIdIOHandler& handler) const;

    std::string boundIP_;
    int32_t boundPort_ = 0;
    int32_t boundPortMax_ = 0;
    int32_t boundPortMin_ = 0;
    int32_t connectTimeout_ = 0;
    std::string destination_;
    std::string host_;
    TIdIPVersion ipVersion_ = Id_IPv4;
    int32_t port_ = 0;
    int32_t readTimeout_ = -1;
};

class TIdTCPClient : public TIdTCPClientCustom {};

// The I/O handler class every client without one gets (TIdIOHandlerStack).
using TIdIOHandlerFactory = std::function<std::unique_ptr<TIdIOHandler>()>;
void SetDefaultIOHandlerFactory(TIdIOHandlerFactory factory);
std::unique_ptr<TIdIOHandler> MakeDefaultIOHandler();
