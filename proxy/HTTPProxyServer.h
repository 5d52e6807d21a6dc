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
#include <string>
#include <string_view>
#include <vector>

#include "io/IdStream.h"
#include "io/IdTCPClient.h"
#include "proxy/IdHeaderList.h"
#include "server/IdCmdTCPServer.h"

class TIdHTTPProxyServer;

// stream: the response body, positioned at its start; a handler may put
// another stream in its place (the replaced one is then the handler's).
using TOnHTTPDocument =
    std::function<void(TIdHTTPProxyServer& sender, const std::string& document, std::unique_ptr<TStream>& stream,
                       const TIdHeaderList& headers, const std::string& host, uint32_t size)>;

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

    TOnHTTPDocument OnHTTPDocument;

protected:
    void RegisterCommands() override { RegisterProxyCommands(); }
    void OpenServer() override;
    void CloseServer() override;
    virtual void RegisterProxyCommands();
    std::string ReadRequestLine(TIdContext& context) override;

    void ServeGet(TIdCommand& command);
    void ServePost(TIdCommand& command);
    void ServeHead(TIdCommand& command);
    void ServeConnect(TIdCommand& command);

    void ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int32_t length,
                             const TIdHeaderList& headers, const std::string& host);
    void FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                          const TIdHeaderList& headers, const std::string& host, uint32_t size);

private:
    enum class TMethod { Get, Post, Head };

    void Forward(TIdCommand& command, TMethod method);
    // Clears ReplyPending, reads the header block and checks it; false when
    // the request was refused (and the connection closed).
    bool BeginRequest(TIdCommand& command, TIdHeaderList& requestHeaders);
    // Reads the client's header block within the request deadline; false
    // (connection closed) when it did not complete in time.
    void ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers);
    // Answers 407 and closes when authentication is on and the headers carry
    // no valid credentials; true when the request may go on.
    bool CheckAuthorized(TIdContext& context, const TIdHeaderList& headers);
    // Writes a refusal, then lets the client finish sending before closing so
    // that the answer is not lost to a reset.
    void RefuseAndClose(TIdContext& context, const TStrings& answer);
    int32_t RequestRemainingMs(const TIdContext& context) const;
    int32_t IdleTimeoutMs() const;
    void Relay(TIdTCPConnection& client, TIdTCPClient& outbound);
    // Connects and lists the outbound connection so that deactivation can
    // wake a worker waiting on an origin; raises when deactivation began.
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

    std::mutex outboundLock_;  // guards outbound_ and closing_
    std::vector<TIdTCPClient*> outbound_;
    bool closing_ = false;
};

// The Base64 decoder of the credential check: characters outside the
// alphabet are skipped, a pad in the third or fourth place of a group ends
// decoding, an incomplete final group is dropped.
std::string DecodeBase64Text(std::string_view text);

// True when value is a Basic credential (scheme in any case) for exactly
// user and password.
bool IsProxyAuthorized(std::string_view value, const std::string& user, const std::string& password);
