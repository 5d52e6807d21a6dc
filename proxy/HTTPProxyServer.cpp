// HTTPProxyServer: command registration, authentication, request
// forwarding and the CONNECT tunnel.
#include "proxy/HTTPProxyServer.h"

#include <algorithm>
#include <optional>
#include <initializer_list>
#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "io/IdRelay.h"
#include "net/IdStack.h"
#include "proxy/IdURI.h"

namespace {

constexpr char ProxyAuthorizationName[] = "Proxy-Authorization";
// A header block is a few kilobytes; these bound what a peer that never
// ends its block can make us hold before the deadline cuts it off.
constexpr size_t MaxHeaderBlockBytes = 1024 * 1024;
constexpr int32_t MaxHeaderLines = 1000;
// After a refusal the client may still be sending (a request body): read and
// drop that for a short while so that closing does not reset the connection
// and destroy the answer before the client has read it.
constexpr int32_t RefusalDrainMs = 2000;
constexpr int32_t RefusalDrainBytes = 1024 * 1024;
// The receive and send chunk of bodies on the proxy's connections.
constexpr int32_t BodyChunk = 256 * 1024;
// Bodies up to this size leave in one send with their head; larger ones
// would have to be copied to join it.
constexpr int64_t GatheredBodyLimit = 64 * 1024;
// Browsers open connections in bursts. With the framework's backlog of 15
// the kernel's half-open queue overflows under a few hundred clients; it then
// answers with SYN cookies, and a client whose request spans more than one
// segment has its connection reset (seen as lost POSTs under load). The
// system caps the value at its own limit (net.core.somaxconn on Linux).
constexpr int32_t ProxyListenQueue = 1024;

TStrings Lines(std::initializer_list<const char*> lines) {
    TStrings result;
    for (const char* line : lines) {
        result.Add(line);
    }
    return result;
}

// Reads lines up to the empty line into headers (dropping the first of two
// leading dots, as every header capture does). waitMs gives the wait for the
// next line: -1 = the handler's own timeout. A wait that runs out ends the
// request with EIdReadTimeout.
void CaptureHeaderBlock(TIdIOHandler& handler, TIdHeaderList& headers, const std::function<int32_t()>& waitMs) {
    size_t total = 0;
    for (;;) {
        const int32_t wait = waitMs();
        if (wait == 0) {
            throw EIdReadTimeout("Read Timeout");
        }
        std::string line = handler.ReadLine(wait < 0 ? TimeoutDefault : wait);
        if (handler.LineTimedOut()) {
            throw EIdReadTimeout("Read Timeout");
        }
        if (line.empty()) {
            return;
        }
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.') {
            line.erase(0, 1);
        }
        total += line.size() + 2;
        if (total > MaxHeaderBlockBytes || headers.Count() >= MaxHeaderLines) {
            throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
        }
        headers.Add(std::move(line));
    }
}

// The answer's head as the client gets it: the origin's lines unchanged
// and the empty line that ends them.
TStrings ResponseHead(const TIdHeaderList& headers) {
    TStrings head;
    head.Lines().reserve(static_cast<size_t>(headers.Count()) + 1);
    for (const std::string& line : headers) {
        head.Add(line);
    }
    head.Add("");
    return head;
}

// The client's address as the document event reports it.
std::string PeerText(TIdTCPConnection& client) {
    if (client.SocketHandler() != nullptr && client.SocketHandler()->Binding() != nullptr) {
        return client.SocketHandler()->Binding()->PeerIP();
    }
    return {};
}

}  // namespace

// ----------------------------------------------------- TIdHTTPProxyServer

TIdHTTPProxyServer::TIdHTTPProxyServer() {
    SetDefaultPort(8080);
    SetListenQueue(ProxyListenQueue);
    Greeting().Text().Clear();
    ReplyUnknownCommand().Text().Clear();
}

TIdHTTPProxyServer::~TIdHTTPProxyServer() {
    // Workers run our handlers: stop them while this object is whole.
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw.
    }
}

void TIdHTTPProxyServer::SetCredentials(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
}

void TIdHTTPProxyServer::RegisterProxyCommands() {
    TIdCmdTCPServer::RegisterCommands();
    struct Entry {
        const char* command;
        void (TIdHTTPProxyServer::*serve)(TIdCommand&);
    };
    const Entry entries[] = {{"GET", &TIdHTTPProxyServer::ServeGet},
                             {"POST", &TIdHTTPProxyServer::ServePost},
                             {"HEAD", &TIdHTTPProxyServer::ServeHead},
                             {"CONNECT", &TIdHTTPProxyServer::ServeConnect}};
    for (const Entry& entry : entries) {
        TIdCommandHandler& handler = CommandHandlers().Add();
        handler.SetCommand(entry.command);
        handler.SetParseParams(true);
        handler.SetDisconnect(true);
        auto serve = entry.serve;
        handler.OnCommand = [this, serve](TIdCommand& command) { (this->*serve)(command); };
    }
    Greeting().Clear();
}

void TIdHTTPProxyServer::OpenServer() {
    {
        std::scoped_lock lock(outboundLock_);
        closing_ = false;
        listenPorts_.clear();
    }
    TIdCmdTCPServer::OpenServer();
    // Known only now for a binding whose port the system picked.
    std::scoped_lock lock(outboundLock_);
    for (int32_t i = 0; i < Bindings().Count(); ++i) {
        listenPorts_.push_back(Bindings()[i].Port());
    }
}

bool TIdHTTPProxyServer::IsOwnEndpoint(const std::string& address, int32_t port) {
    {
        std::scoped_lock lock(outboundLock_);
        if (std::find(listenPorts_.begin(), listenPorts_.end(), port) == listenPorts_.end()) {
            return false;
        }
    }
    // Loopback, the any-address and every address of an interface: an
    // address is this machine's exactly when a socket can be bound to it.
    return TIdStack::Instance().IsLocalAddress(address, Id_IPv4);
}

std::optional<std::string> TIdHTTPProxyServer::ResolveTarget(TIdContext& context, const std::string& host,
                                                             int32_t port, TRequestTrace& trace) {
    if (host.empty()) {
        throw EIdHostRequired();
    }
    // Resolved once, so that the addresses checked are the ones connected
    // to; every address counts, or a name could name a denied place behind
    // an allowed first answer.
    const std::vector<std::string> addresses = TIdStack::Instance().ResolveIPv4(host);
    for (const std::string& address : addresses) {
        if (deny_.Contains(address)) {
            RefuseAndClose(context, trace, Lines({"HTTP/1.0 403 Forbidden", ""}));
            return std::nullopt;
        }
    }
    if (IsOwnEndpoint(addresses.front(), port)) {
        // Forwarded, the request would come back to us, once more per hop.
        RefuseAndClose(context, trace, Lines({"HTTP/1.0 508 Loop Detected", ""}));
        return std::nullopt;
    }
    return addresses.front();
}

void TIdHTTPProxyServer::CheckReached(TOutbound& outbound) {
    const TIdIOHandlerSocket* handler = outbound.Client().SocketHandler();
    if (!deny_.Empty() && handler != nullptr && handler->Binding() != nullptr &&
        deny_.Contains(handler->Binding()->PeerIP())) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
}

// ------------------------------------------------------------ the record

TIdHTTPProxyServer::TRequestTrace::TRequestTrace(TIdHTTPProxyServer& server, TIdContext& context,
                                                 const std::string& line)
    : server_(server), context_(context) {
    if (!server_.OnRequestDone) {
        return;
    }
    // The request began with its connection.
    const auto age = std::chrono::milliseconds(TickDiff(context.CreatedTick(), TickCountMs()));
    record_.started = std::chrono::system_clock::now() - age;
    record_.client = PeerText(context.ClientConnection());
    std::string rest = line;
    record_.method = CutField(rest, " ");
    record_.target = TargetForLog(CutField(rest, " "));
}

TIdHTTPProxyServer::TRequestTrace::~TRequestTrace() {
    if (!server_.OnRequestDone) {
        return;
    }
    try {
        const TIdIOHandler* handler = context_.ClientConnection().IOHandler();
        if (handler != nullptr) {
            record_.bytesToClient = static_cast<uint64_t>(handler->BytesSent());
            record_.bytesFromClient = static_cast<uint64_t>(handler->BytesReceived());
        }
        const auto age = std::chrono::milliseconds(TickDiff(context_.CreatedTick(), TickCountMs()));
        record_.durationMs = age.count();
        server_.OnRequestDone(record_);
    } catch (...) {
        // A record that cannot be written must not end anything else.
    }
}

void TIdHTTPProxyServer::ReplyUnknown(TIdContext& context, const std::string& line) {
    TRequestTrace trace(*this, context, line);
    trace.SetStatus(400);
    TIdCmdTCPServer::ReplyUnknown(context, line);
}

// Deactivation wakes the workers blocked on their clients; one waiting on
// an origin or tunnel target would otherwise hold it up until that peer
// speaks or the idle limit runs out.
void TIdHTTPProxyServer::CloseServer() {
    {
        std::scoped_lock lock(outboundLock_);
        closing_ = true;
        for (TIdTCPClient* outbound : outbound_) {
            outbound->SocketHandler()->Binding()->WakeAndShutdown();
        }
    }
    TIdCmdTCPServer::CloseServer();
}

void TIdHTTPProxyServer::ConnectOutbound(TIdTCPClient& outbound) {
    outbound.Connect();
    // Listed only once connected: the binding no longer changes then.
    std::scoped_lock lock(outboundLock_);
    if (closing_ || outbound.SocketHandler() == nullptr || outbound.SocketHandler()->Binding() == nullptr) {
        outbound.Disconnect();
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    outbound_.push_back(&outbound);
}

void TIdHTTPProxyServer::ReleaseOutbound(TIdTCPClient& outbound) {
    {
        std::scoped_lock lock(outboundLock_);
        outbound_.erase(std::remove(outbound_.begin(), outbound_.end(), &outbound), outbound_.end());
    }
    // Nothing is told to the origin on the way out, so no receive is spent
    // asking whether it is still there.
    outbound.Disconnect(false);
}

int32_t TIdHTTPProxyServer::RequestRemainingMs(const TIdContext& context) const {
    if (requestTimeout_ <= 0) {
        return -1;
    }
    const int64_t limit = static_cast<int64_t>(requestTimeout_) * 1000;
    const int64_t elapsed = TickDiff(context.CreatedTick(), TickCountMs());
    return static_cast<int32_t>(std::clamp<int64_t>(limit - elapsed, 0, 0x7FFFFFFF));
}

int32_t TIdHTTPProxyServer::IdleTimeoutMs() const {
    if (idleTimeout_ <= 0) {
        return -1;
    }
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(idleTimeout_) * 1000, 0x7FFFFFFF));
}

std::string TIdHTTPProxyServer::ReadRequestLine(TIdContext& context) {
    TIdTCPConnection& client = context.ClientConnection();
    // Once the connection is closed (after its one request, or by the
    // peer), bytes still queued behind it, such as a pipelined second
    // request, would count as connected input: serving them would send a
    // request to an origin on behalf of a client nobody can answer.
    TIdIOHandlerSocket* socket = client.SocketHandler();
    if (socket == nullptr || socket->Binding() == nullptr || !socket->Binding()->HasSocket()) {
        TIdBuffer* queued = client.IOHandler() != nullptr ? client.IOHandler()->InputQueue() : nullptr;
        if (queued != nullptr) {
            queued->Discard(queued->Used());
        }
        return {};
    }
    // Every answer to this client, the 400 of an unknown line included, is
    // a write that a client that stops reading could block for good.
    client.IOHandler()->SetWriteTimeout(IdleTimeoutMs());
    UseBodyChunks(*client.IOHandler());
    const int32_t remaining = RequestRemainingMs(context);
    if (remaining < 0) {
        return CheckAllowed(context, client.IOHandler()->ReadLine());
    }
    // A client that never completes its request is disconnected silently.
    if (remaining == 0) {
        client.Disconnect(false);
        return {};
    }
    std::string line = client.IOHandler()->ReadLine(remaining);
    if (client.IOHandler()->LineTimedOut()) {
        client.Disconnect(false);
        return {};
    }
    return CheckAllowed(context, std::move(line));
}

// A client outside Allow is refused whatever it asks: its request head is
// read (the answer would be lost to a reset otherwise, and the log tells
// what was asked), nothing else.
std::string TIdHTTPProxyServer::CheckAllowed(TIdContext& context, std::string line) {
    if (!allow_ || line.empty() || allow_->Contains(PeerText(context.ClientConnection()))) {
        return line;
    }
    TRequestTrace trace(*this, context, line);
    TIdHeaderList headers;
    try {
        ReadRequestHeaders(context, headers);
    } catch (const EIdException&) {
        context.ClientConnection().Disconnect(false);
        return {};
    }
    RefuseAndClose(context, trace, Lines({"HTTP/1.0 403 Forbidden", ""}));
    return {};
}

void TIdHTTPProxyServer::ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers) {
    CaptureHeaderBlock(*context.ClientConnection().IOHandler(), headers,
                       [this, &context] { return RequestRemainingMs(context); });
}

void TIdHTTPProxyServer::RefuseAndClose(TIdContext& context, TRequestTrace& trace, const TStrings& answer) {
    TIdTCPConnection& client = context.ClientConnection();
    trace.SetStatus(answer.Count() > 0 ? StatusCodeOf(answer[0]) : -1);
    try {
        client.IOHandler()->WriteLines(answer);
        TIdIOHandlerSocket* handler = client.SocketHandler();
        TIdSocketHandle* binding = handler != nullptr ? handler->Binding() : nullptr;
        if (binding != nullptr && binding->HasSocket()) {
            binding->ShutdownSending();
            if (!handler->InputIsEmpty()) {
                handler->InputQueue()->Discard(handler->InputQueue()->Used());
            }
            std::vector<uint8_t> scratch(16 * 1024);
            const uint32_t start = TickCountMs();
            int32_t budget = RefusalDrainBytes;
            while (budget > 0) {
                const auto elapsed = static_cast<int32_t>(TickDiff(start, TickCountMs()));
                if (elapsed >= RefusalDrainMs || !binding->WaitReadable(RefusalDrainMs - elapsed)) {
                    break;
                }
                const int32_t n = binding->Receive(scratch.data(), static_cast<int32_t>(scratch.size()));
                if (n <= 0) {
                    break;
                }
                handler->CountReceived(n);
                budget -= n;
            }
        }
    } catch (const EIdException&) {
        // The client went away first; there is nobody left to answer.
    }
    client.Disconnect(false);
}

bool TIdHTTPProxyServer::CheckAuthorized(TIdContext& context, const TIdHeaderList& headers, TRequestTrace& trace) {
    if (user_.empty() || IsProxyAuthorized(headers.ValueOf(ProxyAuthorizationName), user_, password_)) {
        return true;
    }
    // The wait runs on the connection's own thread and ends early when
    // the server is being stopped.
    const int32_t delay = loginThrottle_.Failed(PeerText(context.ClientConnection()), TickCountMs());
    const uint32_t start = TickCountMs();
    while (delay > 0 && TickDiff(start, TickCountMs()) < static_cast<uint32_t>(delay) && Active()) {
        SleepMs(20);
    }
    RefuseAndClose(context, trace,
                   Lines({"HTTP/1.0 407 Proxy Authentication Required",
                                   "Proxy-Authenticate: Basic realm=\"Connection to Vantrel: Authentication Required\"",
                                   ""}));
    return false;
}

// Every method starts alike: the handler answers for itself, reads the
// header block, and refuses before any origin is contacted when the
// credentials are missing or the request carries unsafe bytes.
bool TIdHTTPProxyServer::BeginRequest(TIdCommand& command, TIdHeaderList& requestHeaders, TRequestTrace& trace) {
    command.SetReplyPending(false);
    TIdContext& context = command.ClientContext();
    ReadRequestHeaders(context, requestHeaders);
    if (!CheckAuthorized(context, requestHeaders, trace)) {
        return false;
    }
    if (!IsWellFormedRequest(command.Line(), requestHeaders)) {
        RefuseAndClose(context, trace, Lines({"HTTP/1.0 400 Bad Request", ""}));
        return false;
    }
    return true;
}

void TIdHTTPProxyServer::ServeGet(TIdCommand& command) { Forward(command, THTTPMethod::Get); }

void TIdHTTPProxyServer::ServePost(TIdCommand& command) { Forward(command, THTTPMethod::Post); }

void TIdHTTPProxyServer::ServeHead(TIdCommand& command) { Forward(command, THTTPMethod::Head); }

// ------------------------------------------------------------- forwarding

TIdHTTPProxyServer::TOutbound::TOutbound(TIdHTTPProxyServer& server, const std::string& address, int32_t port)
    : server_(server) {
    client_.SetHost(address);
    client_.SetPort(port);
    client_.SetConnectTimeout(server.connectTimeout_ > 0 ? server.connectTimeout_ * 1000 : 0);
    server_.ConnectOutbound(client_);
}

TIdHTTPProxyServer::TOutbound::~TOutbound() {
    try {
        server_.ReleaseOutbound(client_);
    } catch (...) {
        // Destructors never throw; the connection is closed either way.
    }
}

// The request's way through the proxy: framing decides whether it goes on
// and with how much body, the body is held or relayed, and the answer comes
// back the same way.
void TIdHTTPProxyServer::Forward(TIdCommand& command, THTTPMethod method) {
    TIdContext& context = command.ClientContext();
    TIdTCPConnection& client = context.ClientConnection();
    TRequestTrace trace(*this, context, command.Line());
    TIdHeaderList requestHeaders;
    if (!BeginRequest(command, requestHeaders, trace)) {
        return;
    }
    const TRequestFraming framing = FrameRequest(requestHeaders);
    if (framing.verdict == TRequestFraming::BadRequest) {
        RefuseAndClose(context, trace, Lines({"HTTP/1.0 400 Bad Request", ""}));
        return;
    }
    if (framing.verdict == TRequestFraming::LengthRequired) {
        RefuseAndClose(context, trace, Lines({"HTTP/1.0 411 Length Required", ""}));
        return;
    }
    const TStrings& params = command.ParamList();
    std::string host;
    int32_t port = 80;
    std::string path;
    {
        TIdURI uri(params[0]);
        host = uri.HostName();
        port = TextToIntDef(uri.PortText(), 80);
        path = uri.Directory() + uri.LeafName() + uri.QueryPart();
    }
    const std::optional<std::string> address = ResolveTarget(context, host, port, trace);
    if (!address) {
        return;
    }

    const bool sendContinue =
        framing.bodyLength > 0 && ExpectsContinue(params.Count() > 1 ? params[1] : "", requestHeaders);
    const bool relayUpload = framing.bodyLength > holdLimit_;
    std::unique_ptr<TMemoryStream> body;
    if (!relayUpload && framing.bodyLength > 0) {
        body = ReadRequestBody(client, framing.bodyLength, sendContinue);
    }
    TOutbound outbound(*this, *address, port);
    CheckReached(outbound);
    TIdIOHandler& origin = outbound.IO();
    origin.SetReadTimeout(IdleTimeoutMs());
    origin.SetWriteTimeout(IdleTimeoutMs());
    UseBodyChunks(origin);
    SendRequest(outbound, client, OriginRequestHead(method, path, requestHeaders, !user_.empty()), body.get(),
                relayUpload ? framing.bodyLength : 0, sendContinue);
    body.reset();

    TIdHeaderList responseHeaders;
    CaptureHeaderBlock(origin, responseHeaders, [] { return -1; });
    const int64_t length = FrameResponse(method, responseHeaders);
    trace.SetStatus(StatusCodeOf(responseHeaders.Count() > 0 ? responseHeaders[0] : std::string()));
    if (method == THTTPMethod::Head) {
        client.IOHandler()->WriteLines(ResponseHead(responseHeaders));
    } else {
        ForwardResponseBody(outbound.Client(), client, length, responseHeaders, host);
    }
    // The client has everything: let it go before the origin's
    // connection is taken down, rather than after.
    client.Disconnect(false);
}

std::unique_ptr<TMemoryStream> TIdHTTPProxyServer::ReadRequestBody(TIdTCPConnection& client, int64_t length,
                                                                   bool sendContinue) {
    TIdIOHandler& handler = *client.IOHandler();
    if (sendContinue) {
        handler.WriteLines(Lines({"HTTP/1.1 100 Continue", ""}));
    }
    auto body = std::make_unique<TMemoryStream>();
    const int32_t savedTimeout = handler.ReadTimeout();
    handler.SetReadTimeout(IdleTimeoutMs());
    handler.ReadIntoStream(*body, length, false);
    handler.SetReadTimeout(savedTimeout);
    if (body->Size() != length) {
        // The client closed mid-body: forwarding a short body under its
        // declared length would leave the origin waiting.
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return body;
}

void TIdHTTPProxyServer::SendRequest(TOutbound& outbound, TIdTCPConnection& client, const TStrings& head,
                                     TMemoryStream* body, int64_t relayedLength, bool sendContinue) {
    TIdIOHandler& origin = outbound.IO();
    // One send for the request head (and a small body): with Nagle on,
    // separate small sends would wait for the origin's delayed
    // acknowledgement. A large body is not copied to join it.
    const bool smallBody = body != nullptr && body->Size() > 0 && body->Size() <= GatheredBodyLimit;
    SendGathered(origin, smallBody, [&] {
        origin.WriteLines(head);
        if (body != nullptr && body->Size() > 0) {
            origin.WriteFromStream(*body, 0);
        }
    });
    if (relayedLength > 0) {
        // Asked for only now that the origin is there to take the body.
        if (sendContinue) {
            client.IOHandler()->WriteLines(Lines({"HTTP/1.1 100 Continue", ""}));
        }
        TIdRelay relay(client, outbound.Client(), IdleTimeoutMs());
        relay.Pass(client, relayedLength);
    }
}

void TIdHTTPProxyServer::ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int64_t length,
                                             const TIdHeaderList& headers, const std::string& host) {
    TIdIOHandler& origin = *outbound.IOHandler();
    TIdIOHandler& to = *client.IOHandler();
    const TStrings head = ResponseHead(headers);
    // Reports a held body, then sends whatever the handler left in its place.
    auto deliver = [&](std::unique_ptr<TStream> stream) {
        stream->SetPosition(0);
        const auto size = static_cast<uint64_t>(stream->Size());
        FireHTTPDocument(host, stream, headers, PeerText(client), size);
        if (stream) {
            to.WriteFromStream(*stream, 0);
        }
    };

    if (length >= 0 && length <= holdLimit_) {
        // An answer whose body came in with its head (most small ones) goes
        // to the client in one send: the client is woken once, and what it
        // sees is unchanged, since the head would only wait for bytes that
        // are already here.
        const TIdBuffer* queued = origin.InputQueue();
        const bool arrivedWhole = length <= GatheredBodyLimit && queued != nullptr && queued->Used() >= length;
        SendGathered(to, arrivedWhole, [&] {
            to.WriteLines(head);
            auto stream = std::make_unique<TMemoryStream>();
            origin.ReadIntoStream(*stream, length, false);
            if (stream->Size() != length) {
                // Short of its declared length: the client sees the
                // connection end before the body does.
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
            deliver(std::move(stream));
        });
        return;
    }

    if (length < 0) {
        // Without a length the body is held while it is small and comes
        // quickly; a stream that goes on (a live feed, a long download from
        // a server that sends no length) is passed on as it arrives. The
        // head waits for that decision, so nothing reaches the client when
        // the hold fails.
        auto stream = std::make_unique<TMemoryStream>();
        const bool ended = origin.ReadUntilCloseWithin(*stream, holdLimit_ + 1, HoldWindowMs);
        if (ended) {
            CheckNotClosing();
        }
        if (ended && stream->Size() <= holdLimit_) {
            SendGathered(to, stream->Size() <= GatheredBodyLimit, [&] {
                to.WriteLines(head);
                deliver(std::move(stream));
            });
            return;
        }
        const int64_t held = stream->Size();
        to.WriteLines(head);
        if (held > 0) {
            to.WriteFromStream(*stream, 0);
        }
        stream.reset();
        TIdRelay relay(outbound, client, IdleTimeoutMs());
        const int64_t passed = relay.Pass(outbound, -1);
        try {
            CheckNotClosing();
        } catch (...) {
            relay.Abort();
            throw;
        }
        ReportRelayed(client, headers, host, static_cast<uint64_t>(held + passed));
        return;
    }

    to.WriteLines(head);
    TIdRelay relay(outbound, client, IdleTimeoutMs());
    relay.Pass(outbound, length);
    ReportRelayed(client, headers, host, static_cast<uint64_t>(length));
}

void TIdHTTPProxyServer::ReportRelayed(TIdTCPConnection& client, const TIdHeaderList& headers,
                                       const std::string& host, uint64_t size) {
    std::unique_ptr<TStream> stream = std::make_unique<TMemoryStream>();
    FireHTTPDocument(host, stream, headers, PeerText(client), size);
}

void TIdHTTPProxyServer::CheckNotClosing() {
    std::scoped_lock lock(outboundLock_);
    if (closing_) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
}

// Bodies move straight between the sockets and the body's memory, so
// larger chunks cost no buffer: they only save calls, and acknowledgements
// that on one machine make the sender do its work on our time.
void TIdHTTPProxyServer::UseBodyChunks(TIdIOHandler& handler) {
    handler.SetRecvBufferSize(BodyChunk);
    handler.SetSendBufferSize(BodyChunk);
}

void TIdHTTPProxyServer::SendGathered(TIdIOHandler& handler, bool gather, const std::function<void()>& writes) {
    if (!gather) {
        writes();
        return;
    }
    handler.BeginWriteBuffering();
    try {
        writes();
    } catch (...) {
        // What was written before the failure leaves as it would have
        // without the gathering.
        try {
            handler.EndWriteBuffering();
        } catch (const EIdException&) {
            // The peer is gone; the first error is the one to report.
        }
        throw;
    }
    handler.EndWriteBuffering();
}

void TIdHTTPProxyServer::FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                                          const TIdHeaderList& headers, const std::string& host, uint64_t size) {
    if (OnHTTPDocument) {
        OnHTTPDocument(*this, document, stream, headers, host, size);
    }
}

// ------------------------------------------------------------------ tunnel

void TIdHTTPProxyServer::ServeConnect(TIdCommand& command) {
    TIdContext& context = command.ClientContext();
    TIdTCPConnection& client = context.ClientConnection();
    TRequestTrace trace(*this, context, command.Line());
    TIdHeaderList requestHeaders;
    if (!BeginRequest(command, requestHeaders, trace)) {
        return;
    }

    std::string portText = command.ParamList()[0];
    const std::string host = CutField(portText, ":");
    const int32_t port = TextToIntDef(portText, 443);
    if (connectPorts_ && !connectPorts_->Contains(port)) {
        RefuseAndClose(context, trace, Lines({"HTTP/1.0 403 Forbidden", ""}));
        return;
    }
    const std::optional<std::string> address = ResolveTarget(context, host, port, trace);
    if (!address) {
        return;
    }
    TOutbound outbound(*this, *address, port);
    CheckReached(outbound);
    // A target that stops reading must not hold the tunnel for good.
    outbound.IO().SetWriteTimeout(IdleTimeoutMs());
    // No empty line before the status line: clients read it as the end
    // of an empty answer (curl: "CONNECT tunnel failed, response 0").
    trace.SetStatus(200);
    client.IOHandler()->WriteLines(Lines({"HTTP/1.0 200 Connection established", "Proxy-agent: Vantrel/1.1", ""}));
    TIdRelay relay(client, outbound.Client(), IdleTimeoutMs());
    relay.Tunnel();
}

// -------------------------------------------------------- connection limit

// Clients over MaxConnections speak HTTP too: they are told so in HTTP
// rather than with the command server's "300" line.
std::string TIdHTTPProxyServer::OverLimitAnswer() { return "HTTP/1.0 503 Service Unavailable\r\n\r\n"; }

// Refused before a word of the request was read: the record knows the
// client and the answer only.
void TIdHTTPProxyServer::RefusedOverLimit(const std::string& peerIP, int32_t answerBytes) {
    if (!OnRequestDone) {
        return;
    }
    TIdRequestRecord record;
    record.started = std::chrono::system_clock::now();
    record.client = peerIP;
    record.status = 503;
    record.bytesToClient = static_cast<uint64_t>(answerBytes);
    try {
        OnRequestDone(record);
    } catch (...) {
        // The listener goes on whatever the record's fate.
    }
}
