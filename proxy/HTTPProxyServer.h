// HTTPProxyServer: the HTTP forward proxy on top of the line-command server.
// Each connection carries one request: CONNECT opens a byte tunnel, every
// other method is forwarded to the origin as HTTP/1.0, HELP is the command
// server's own listing. Optional Basic proxy authentication guards every
// method; every relayed response body is reported through OnHTTPDocument.
#pragma once

#include <algorithm>
#include <atomic>
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
#include "proxy/HTTPChunked.h"
#include "proxy/HTTPFraming.h"
#include "proxy/IdAccessList.h"
#include "proxy/IdHeaderList.h"
#include "proxy/IdOutboundList.h"
#include "proxy/IdRequestRecord.h"
#include "proxy/ProxyAuthorization.h"
#include "server/IdCmdTCPServer.h"

class TIdHTTPProxyServer;

// Fired once for every forwarded answer body (not HEAD's) that reached the client
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

// A parent proxy: requests and tunnels go through it, except those for
// destinations in direct, which go straight to their origin.
struct TIdUpstream {
    std::string host;  // a name or an address without brackets; "": no parent
    int32_t port = 0;
    // Basic credentials for the parent (never the client's); none when user
    // is empty.
    std::string user;
    std::string password;
    TIdDirectList direct;

    bool Serves(std::string_view target) const { return !host.empty() && !direct.Contains(target); }
};

// What a request is served by. The server holds one set at a time and a
// request takes it when its connection starts, so that a change of settings
// while the server runs (a reload) reaches new requests at once and never a
// request or tunnel in flight, which keeps the set it started with.
struct TIdProxyRules {
    // Authentication is on when user is not empty.
    std::string user;
    std::string password;
    // Seconds; 0 = no limit (see the accessors of TIdHTTPProxyServer).
    int32_t requestTimeout = 60;
    int32_t idleTimeout = 300;
    int32_t connectTimeout = 30;
    // Bytes, within 0 to TIdHTTPProxyServer::MaxHoldLimit.
    int64_t holdLimit = 1024 * 1024;
    std::optional<TIdNetworkList> allow;
    std::optional<TIdPortList> connectPorts;
    TIdNetworkList deny;
    TIdUpstream upstream;
};

class TIdHTTPProxyServer : public TIdCmdTCPServer {
public:
    TIdHTTPProxyServer();
    ~TIdHTTPProxyServer() override;

    // The rules new requests are served by; replacing them leaves every
    // request already begun with the set it took.
    std::shared_ptr<const TIdProxyRules> Rules() const;
    void SetRules(TIdProxyRules rules);

    // Each accessor below reads or changes one of the current rules.
    // Authentication is on when User is not empty.
    std::string User() const { return Rules()->user; }
    std::string Password() const { return Rules()->password; }
    void SetCredentials(const std::string& user, const std::string& password);
    // Seconds; 0 = no limit. RequestTimeout bounds the request line and
    // header block from the connection's start; IdleTimeout bounds each wait
    // on a peer, for its next byte or for it to take ours, while a request
    // is relayed or a tunnel is open. Waits are given in int32
    // milliseconds, so a limit above MaxTimeoutSeconds counts as that.
    static constexpr int32_t MaxTimeoutSeconds = INT32_MAX / 1000;
    int32_t RequestTimeout() const { return Rules()->requestTimeout; }
    void SetRequestTimeout(int32_t seconds);
    int32_t IdleTimeout() const { return Rules()->idleTimeout; }
    void SetIdleTimeout(int32_t seconds);
    // Seconds each connect to an origin or tunnel target may take, at most
    // MaxTimeoutSeconds' worth like the limits above; 0 = the system's own
    // limit.
    int32_t ConnectTimeout() const { return Rules()->connectTimeout; }
    void SetConnectTimeout(int32_t seconds);
    // Bytes: a request or answer body up to this size is held whole before
    // it is sent on; a larger one, or one without a length that is still
    // coming after HoldWindowMs, is relayed as it arrives. Kept within 0 to
    // MaxHoldLimit: a body without a length is read up to one byte past the
    // limit to learn whether it fits.
    static constexpr int64_t MaxHoldLimit = INT64_MAX - 1;
    int64_t HoldLimit() const { return Rules()->holdLimit; }
    void SetHoldLimit(int64_t bytes);
    static constexpr int64_t DefaultHoldLimit = 1024 * 1024;
    static constexpr int32_t HoldWindowMs = 500;

    // Who may use the proxy (nothing: everyone), the ports CONNECT may open
    // (nothing: all) and where neither requests nor tunnels may go. Each
    // refusal is "403 Forbidden".
    std::optional<TIdNetworkList> Allow() const { return Rules()->allow; }
    void SetAllow(std::optional<TIdNetworkList> allow);
    std::optional<TIdPortList> ConnectPorts() const { return Rules()->connectPorts; }
    void SetConnectPorts(std::optional<TIdPortList> ports);
    TIdNetworkList Deny() const { return Rules()->deny; }
    void SetDeny(TIdNetworkList deny);

    // Tunnels open at this moment (from the client's 200 to their end).
    int64_t ActiveTunnels() const { return activeTunnels_.load(std::memory_order_relaxed); }

    TOnHTTPDocument OnHTTPDocument;
    TOnRequestDone OnRequestDone;

protected:
    void RegisterCommands() override { RegisterProxyCommands(); }
    void OpenServer() override;
    void CloseServer() override;
    virtual void RegisterProxyCommands();
    // One request per connection, whatever its first line: it gets one
    // answer and the connection ends with it, so nothing sent behind it (a
    // body that holds a request line, say) is ever read as a request.
    bool ExecuteStep(TIdContext& context) override;
    std::string ReadRequestLine(TIdContext& context) override;
    std::string OverLimitAnswer() override;
    void RefusedOverLimit(const TIdRefusal& refusal) override;

    // Serves one request line and its head: the command table's handlers
    // and every line they do not take come here.
    void Serve(TIdContext& context, const std::string& line);

    // The answer after its head was read: the head, then the body, held
    // or relayed by its length (-1: until the origin closes).
    void ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int64_t length,
                             const TIdHeaderList& headers, const std::string& host);
    void FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                          const TIdHeaderList& headers, const std::string& host, uint64_t size);

private:
    // The request's way to the origin and its answer's way back.
    void Forward(TIdContext& context, const TRequestLine& request, const TIdHeaderList& headers,
                 const TRequestFraming& framing, TIdRequestTrace& trace);
    void Tunnel(TIdContext& context, const TRequestLine& request, TIdRequestTrace& trace);
    bool Allowed(TIdContext& context);
    // Reads the client's header block within the request deadline; false
    // when it is larger than a head may be. Raises EIdReadTimeout when it
    // does not complete in time.
    bool ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers);
    // Raises the 407 refusal when authentication is on and the headers
    // carry no valid credentials; an address that keeps failing waits for
    // its turn first, or is refused unchecked (TIdLoginThrottle). The
    // credentials' user name goes into the trace either way.
    void CheckAuthorized(TIdContext& context, const TIdHeaderList& headers, TIdRequestTrace& trace);
    // Sends one of the proxy's own answers and closes (AnswerAndClose).
    void Refuse(TIdContext& context, TIdRequestTrace& trace, const std::string& answer,
                TIdRequestOutcome outcome);
    int32_t RequestRemainingMs(const TIdContext& context) const;
    int32_t IdleTimeoutMs() const;
    // A limit in seconds as the milliseconds a wait takes, at most
    // MaxTimeoutSeconds' worth; -1 (no limit) for 0 or less.
    static int32_t LimitMs(int32_t seconds);
    // Runs a step on the way to the origin or of waiting for its answer's
    // head; what fails there becomes the client's answer (OriginFailure),
    // unless the server is being stopped.
    void AtOrigin(const std::function<void()>& step);
    // The addresses to try for host:port, resolved once; raises the refusal
    // when any of them is denied or unspecified (403) or is this proxy (508).
    std::vector<TIdIPAddress> ResolveTarget(const std::string& host, int32_t port);
    void CheckAddresses(const std::vector<TIdIPAddress>& addresses, int32_t port);
    // The addresses and port where a request for target goes: the parent
    // proxy's when it serves the target, the target's own otherwise. A
    // target that goes through the parent is not resolved here; only an
    // address written as the target is checked, as the parent's are.
    std::vector<TIdIPAddress> ResolveFor(const TForwardTarget& target, bool viaParent, int32_t& port);
    // Asks the parent for a tunnel to target; true when it opened one.
    // Otherwise the parent's answer has been passed to the client, except a
    // 407 (the parent wants credentials of this proxy, not of the client),
    // which is raised as a 502.
    bool OpenParentTunnel(TIdContext& context, TIdOutbound& parent, const TForwardTarget& target,
                          TIdRequestTrace& trace);
    // Connects to the first of the addresses that takes it (what fails
    // there is the client's answer); raises 403 when the connected peer is
    // in Deny, a check of what was reached behind the check of what was
    // asked for.
    std::unique_ptr<TIdOutbound> ConnectTo(const std::vector<TIdIPAddress>& addresses, int32_t port);
    // Whether address:port is where this server listens.
    bool IsOwnEndpoint(const TIdIPAddress& address, int32_t port);
    // A chunked request body, decoded into the stream while it stays within
    // HoldLimit; the decoder tells whether it ended there.
    std::unique_ptr<TMemoryStream> ReadChunkedBody(TIdTCPConnection& client, THTTPChunkDecoder& decoder);
    // The origin's final answer head; interim answers (1xx) before it are
    // read and dropped. Raises 502 for a head that is not a valid answer.
    TResponseFraming ReadAnswerHead(TIdIOHandler& origin, const std::string& method, TIdHeaderList& headers);
    // Reports a relayed body once it has passed whole.
    void ReportRelayed(TIdTCPConnection& client, const TIdHeaderList& headers, const std::string& host,
                       uint64_t size);
    // Raises when deactivation has begun: a body that ended because we shut
    // its origin down is not a whole body.
    void CheckNotClosing();
    // Sets the chunk sizes in which the handler moves bodies.
    static void UseBodyChunks(TIdIOHandler& handler);

    // The rules of the request this thread serves: the set it took when
    // its connection started (ExecuteStep), else the current one.
    const TIdProxyRules& Serving() const;
    // Changes one rule of a copy of the current set and makes the copy
    // current.
    void ChangeRules(const std::function<void(TIdProxyRules&)>& change);

    mutable std::mutex rulesLock_;  // guards rules_ (the pointer, not the set)
    std::shared_ptr<const TIdProxyRules> rules_;
    TIdLoginThrottle loginThrottle_;

    TIdOutboundList outbound_;
    std::mutex portsLock_;  // guards listenPorts_
    std::vector<int32_t> listenPorts_;
    std::atomic<int64_t> activeTunnels_{0};
};
