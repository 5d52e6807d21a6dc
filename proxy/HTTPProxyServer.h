// HTTPProxyServer: the HTTP forward proxy on top of the line-command server.
// Each request line is a command: GET, POST and HEAD are forwarded to the
// origin as HTTP/1.0 (one request per connection), CONNECT opens a byte
// tunnel. Optional Basic proxy authentication guards every method; every
// relayed response body is reported through OnHTTPDocument.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/IdStream.h"
#include "io/IdTCPClient.h"
#include "proxy/HTTPFraming.h"
#include "proxy/IdAccessList.h"
#include "proxy/IdHeaderList.h"
#include "proxy/IdRequestRecord.h"
#include "proxy/ProxyAuthorization.h"
#include "server/IdCmdTCPServer.h"

class TIdHTTPProxyServer;

// Fired once for every GET or POST answer body that reached the client
// whole, on the request's worker thread; a body cut off in the middle is
// not reported. Despite their names, document carries the name of the
// origin host the request went to and host the client's address (the names
// stay for the handlers written against them). size: the body's bytes.
// A held body (one within HoldLimit) is reported before it is sent: stream
// holds it, positioned at its start, and a handler may put another stream
// in its place, which is then sent instead (the replaced one becomes the
// handler's). A relayed body (larger, or without a length and still coming
// after a moment) is reported once its last byte has been passed on:
// stream is then an empty stream, size is what was relayed, and whatever
// the handler leaves in the variable is freed unsent.
using TOnHTTPDocument =
    std::function<void(TIdHTTPProxyServer& sender, const std::string& document, std::unique_ptr<TStream>& stream,
                       const TIdHeaderList& headers, const std::string& host, uint64_t size)>;

// Fired once for every request that ends, served, refused or cut off (an
// unknown method's line too), on the request's worker thread.
using TOnRequestDone = std::function<void(const TIdRequestRecord& record)>;

class TIdHTTPProxyServer : public TIdCmdTCPServer {
public:
    TIdHTTPProxyServer();
    ~TIdHTTPProxyServer() override;

    // Authentication is on when User is not empty.
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    void SetCredentials(const std::string& user, const std::string& password);
    // Seconds; 0 = no limit. RequestTimeout bounds the request line and
    // header block from the connection's start; IdleTimeout bounds each wait
    // on a peer, for its next byte or for it to take ours, while a request
    // is relayed or a tunnel is open.
    int32_t RequestTimeout() const { return requestTimeout_; }
    void SetRequestTimeout(int32_t seconds) { requestTimeout_ = seconds; }
    int32_t IdleTimeout() const { return idleTimeout_; }
    void SetIdleTimeout(int32_t seconds) { idleTimeout_ = seconds; }
    // Bytes: a request or answer body up to this size is held whole before
    // it is sent on; a larger one, or one without a length that is still
    // coming after HoldWindowMs, is relayed as it arrives.
    // Seconds each connect to an origin or tunnel target may take; 0 = the
    // system's own limit.
    int32_t ConnectTimeout() const { return connectTimeout_; }
    void SetConnectTimeout(int32_t seconds) { connectTimeout_ = seconds; }
    int64_t HoldLimit() const { return holdLimit_; }
    void SetHoldLimit(int64_t bytes) { holdLimit_ = bytes < 0 ? 0 : bytes; }
    static constexpr int64_t DefaultHoldLimit = 1024 * 1024;
    static constexpr int32_t HoldWindowMs = 500;

    // Who may use the proxy (nothing: everyone), the ports CONNECT may open
    // (nothing: all) and where neither requests nor tunnels may go. Each
    // refusal is "403 Forbidden". Set before activation.
    const std::optional<TIdNetworkList>& Allow() const { return allow_; }
    void SetAllow(std::optional<TIdNetworkList> allow) { allow_ = std::move(allow); }
    const std::optional<TIdPortList>& ConnectPorts() const { return connectPorts_; }
    void SetConnectPorts(std::optional<TIdPortList> ports) { connectPorts_ = std::move(ports); }
    const TIdNetworkList& Deny() const { return deny_; }
    void SetDeny(TIdNetworkList deny) { deny_ = std::move(deny); }

    TOnHTTPDocument OnHTTPDocument;
    TOnRequestDone OnRequestDone;

protected:
    void RegisterCommands() override { RegisterProxyCommands(); }
    void OpenServer() override;
    void CloseServer() override;
    virtual void RegisterProxyCommands();
    std::string ReadRequestLine(TIdContext& context) override;
    void ReplyUnknown(TIdContext& context, const std::string& line) override;
    std::string OverLimitAnswer() override;
    void RefusedOverLimit(const std::string& peerIP, int32_t answerBytes) override;

    void ServeGet(TIdCommand& command);
    void ServePost(TIdCommand& command);
    void ServeHead(TIdCommand& command);
    void ServeConnect(TIdCommand& command);

    // The answer after its head was read: the head, then the body, held
    // or relayed by its length (-1: until the origin closes).
    void ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int64_t length,
                             const TIdHeaderList& headers, const std::string& host);
    void FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                          const TIdHeaderList& headers, const std::string& host, uint64_t size);

private:
    // One request's record for OnRequestDone: begun once its line has been
    // read, told its answer's status on the way, reported when it ends,
    // however it ends.
    class TRequestTrace {
    public:
        TRequestTrace(TIdHTTPProxyServer& server, TIdContext& context, const std::string& line);
        ~TRequestTrace();
        TRequestTrace(const TRequestTrace&) = delete;
        TRequestTrace& operator=(const TRequestTrace&) = delete;
        void SetStatus(int status) { record_.status = status; }

    private:
        TIdHTTPProxyServer& server_;
        TIdContext& context_;
        TIdRequestRecord record_;
    };

    // The connection to an origin or tunnel target for one request: made
    // and listed (so that deactivation can wake a worker waiting on it) on
    // construction, taken off the list and closed on destruction.
    class TOutbound {
    public:
        TOutbound(TIdHTTPProxyServer& server, const std::string& address, int32_t port);
        ~TOutbound();
        TOutbound(const TOutbound&) = delete;
        TOutbound& operator=(const TOutbound&) = delete;
        TIdTCPClient& Client() { return client_; }
        TIdIOHandler& IO() { return *client_.IOHandler(); }

    private:
        TIdHTTPProxyServer& server_;
        TIdTCPClient client_;
    };

    void Forward(TIdCommand& command, THTTPMethod method);
    // Clears ReplyPending, reads the header block and checks it; false when
    // the request was refused (and the connection closed).
    bool BeginRequest(TIdCommand& command, TIdHeaderList& requestHeaders, TRequestTrace& trace);
    // The request line, or nothing when the client is outside Allow (then
    // refused with 403 after its head was read).
    std::string CheckAllowed(TIdContext& context, std::string line);
    // Reads the client's header block within the request deadline; raises
    // EIdReadTimeout when it does not complete in time.
    void ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers);
    // Answers 407 and closes when authentication is on and the headers carry
    // no valid credentials; true when the request may go on.
    bool CheckAuthorized(TIdContext& context, const TIdHeaderList& headers, TRequestTrace& trace);
    // Writes a refusal (its status line first), then lets the client finish
    // sending before closing so that the answer is not lost to a reset.
    void RefuseAndClose(TIdContext& context, TRequestTrace& trace, const TStrings& answer);
    int32_t RequestRemainingMs(const TIdContext& context) const;
    int32_t IdleTimeoutMs() const;
    // The address to connect to for host:port, resolved once; nothing
    // when the request was refused (508 for a target that is this proxy).
    std::optional<std::string> ResolveTarget(TIdContext& context, const std::string& host, int32_t port,
                                             TRequestTrace& trace);
    // Raises when the connected peer is in Deny (a check of what was
    // reached, behind the check of what was asked for).
    void CheckReached(TOutbound& outbound);
    // Whether address:port is where this server listens.
    bool IsOwnEndpoint(const std::string& address, int32_t port);
    // A request body within HoldLimit, read whole from the client.
    std::unique_ptr<TMemoryStream> ReadRequestBody(TIdTCPConnection& client, int64_t length, bool sendContinue);
    // Sends the origin its request: the head, then the body, either held
    // (body) or relayed from the client as it arrives (relayedLength bytes).
    void SendRequest(TOutbound& outbound, TIdTCPConnection& client, const TStrings& head, TMemoryStream* body,
                     int64_t relayedLength, bool sendContinue);
    // Reports a relayed body once it has passed whole.
    void ReportRelayed(TIdTCPConnection& client, const TIdHeaderList& headers, const std::string& host,
                       uint64_t size);
    // Raises when deactivation has begun: a body that ended because we shut
    // its origin down is not a whole body.
    void CheckNotClosing();
    // Lists the outbound connection so that deactivation can wake a worker
    // waiting on it; raises when deactivation began.
    void ConnectOutbound(TIdTCPClient& outbound);
    // Takes the connection off the list, then closes it.
    void ReleaseOutbound(TIdTCPClient& outbound);
    // Sets the chunk sizes in which the handler moves bodies.
    static void UseBodyChunks(TIdIOHandler& handler);
    // Runs writes on handler, gathered into one send when gather is set.
    static void SendGathered(TIdIOHandler& handler, bool gather, const std::function<void()>& writes);

    std::string user_;
    std::string password_;
    int32_t requestTimeout_ = 60;
    int32_t idleTimeout_ = 300;
    int32_t connectTimeout_ = 30;
    int64_t holdLimit_ = DefaultHoldLimit;
    TIdLoginThrottle loginThrottle_;
    std::optional<TIdNetworkList> allow_;
    std::optional<TIdPortList> connectPorts_;
    TIdNetworkList deny_;

    std::mutex outboundLock_;  // guards outbound_, closing_ and listenPorts_
    std::vector<TIdTCPClient*> outbound_;
    bool closing_ = false;
    std::vector<int32_t> listenPorts_;
};
