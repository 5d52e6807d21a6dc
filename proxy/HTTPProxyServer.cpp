// HTTPProxyServer: the request's way through the proxy: its line and head,
// the refusals, forwarding with the bodies held or relayed, and the tunnel.
// What is allowed on the wire is decided in HTTPFraming and HTTPChunked,
// the proxy's own answers are made in HTTPAnswers.
#include "proxy/HTTPProxyServer.h"

#include <algorithm>
#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "io/IdRelay.h"
#include "net/IdStack.h"
#include "proxy/HTTPAnswers.h"
#include "proxy/HTTPMessageIO.h"

namespace {

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

const TStrings& ContinueAnswer() {
    static const TStrings lines = [] {
        TStrings result;
        result.Add("HTTP/1.1 100 Continue");
        result.Add("");
        return result;
    }();
    return lines;
}

// The client's address as the document event reports it.
std::string PeerText(TIdTCPConnection& client) {
    if (client.SocketHandler() != nullptr && client.SocketHandler()->Binding() != nullptr) {
        return client.SocketHandler()->Binding()->PeerIP();
    }
    return {};
}

bool IsHelpLine(const std::string& line) {
    return EqualIgnoringCase(std::string_view(line).substr(0, line.find(' ')), "HELP");
}

// The page of a parent's 407: its challenge is for this proxy's own
// credentials, which the client has no business being asked for.
constexpr const char* ParentRefusedUs = "the parent proxy did not accept this proxy's credentials";

// Counts an open tunnel for as long as it lives.
class TTunnelCount {
public:
    explicit TTunnelCount(std::atomic<int64_t>& count) : count_(count) {
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    ~TTunnelCount() { count_.fetch_sub(1, std::memory_order_relaxed); }
    TTunnelCount(const TTunnelCount&) = delete;
    TTunnelCount& operator=(const TTunnelCount&) = delete;

private:
    std::atomic<int64_t>& count_;
};

// Gives up a request whose body went partly to the origin: both sides get a
// reset, as a body cut short must not look whole to either.
void ResetBoth(TIdTCPConnection& first, TIdTCPConnection& second) {
    for (TIdTCPConnection* connection : {&first, &second}) {
        if (connection->SocketHandler() != nullptr && connection->SocketHandler()->Binding() != nullptr) {
            connection->SocketHandler()->Binding()->SetAbortiveClose();
        }
    }
}

// The rules of the request the thread serves, held by ExecuteStep for the
// request's life; a worker serves one connection at a time.
thread_local const TIdProxyRules* servingRules = nullptr;

class TServingRules {
public:
    explicit TServingRules(std::shared_ptr<const TIdProxyRules> rules) : rules_(std::move(rules)) {
        servingRules = rules_.get();
    }
    ~TServingRules() { servingRules = nullptr; }
    TServingRules(const TServingRules&) = delete;
    TServingRules& operator=(const TServingRules&) = delete;

private:
    std::shared_ptr<const TIdProxyRules> rules_;
};

}  // namespace

// ----------------------------------------------------- TIdHTTPProxyServer

TIdHTTPProxyServer::TIdHTTPProxyServer() : rules_(std::make_shared<const TIdProxyRules>()) {
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

std::shared_ptr<const TIdProxyRules> TIdHTTPProxyServer::Rules() const {
    std::scoped_lock lock(rulesLock_);
    return rules_;
}

void TIdHTTPProxyServer::SetRules(TIdProxyRules rules) {
    rules.holdLimit = std::clamp<int64_t>(rules.holdLimit, 0, MaxHoldLimit);
    auto fresh = std::make_shared<const TIdProxyRules>(std::move(rules));
    std::scoped_lock lock(rulesLock_);
    rules_ = std::move(fresh);
}

void TIdHTTPProxyServer::ChangeRules(const std::function<void(TIdProxyRules&)>& change) {
    TIdProxyRules rules = *Rules();
    change(rules);
    SetRules(std::move(rules));
}

const TIdProxyRules& TIdHTTPProxyServer::Serving() const {
    // Outside a request (a test driving a step by hand) the current set
    // serves; it is not replaced while such a caller runs.
    if (servingRules != nullptr) {
        return *servingRules;
    }
    std::scoped_lock lock(rulesLock_);
    return *rules_;
}

void TIdHTTPProxyServer::SetCredentials(const std::string& user, const std::string& password) {
    ChangeRules([&](TIdProxyRules& rules) {
        rules.user = user;
        rules.password = password;
    });
}

void TIdHTTPProxyServer::SetRequestTimeout(int32_t seconds) {
    ChangeRules([&](TIdProxyRules& rules) { rules.requestTimeout = seconds; });
}

void TIdHTTPProxyServer::SetIdleTimeout(int32_t seconds) {
    ChangeRules([&](TIdProxyRules& rules) { rules.idleTimeout = seconds; });
}

void TIdHTTPProxyServer::SetConnectTimeout(int32_t seconds) {
    ChangeRules([&](TIdProxyRules& rules) { rules.connectTimeout = seconds; });
}

void TIdHTTPProxyServer::SetHoldLimit(int64_t bytes) {
    ChangeRules([&](TIdProxyRules& rules) { rules.holdLimit = bytes; });
}

void TIdHTTPProxyServer::SetAllow(std::optional<TIdNetworkList> allow) {
    ChangeRules([&](TIdProxyRules& rules) { rules.allow = std::move(allow); });
}

void TIdHTTPProxyServer::SetConnectPorts(std::optional<TIdPortList> ports) {
    ChangeRules([&](TIdProxyRules& rules) { rules.connectPorts = std::move(ports); });
}

void TIdHTTPProxyServer::SetDeny(TIdNetworkList deny) {
    ChangeRules([&](TIdProxyRules& rules) { rules.deny = std::move(deny); });
}

// The table names the methods HELP lists; every method, listed or not, is
// served the same way.
void TIdHTTPProxyServer::RegisterProxyCommands() {
    TIdCmdTCPServer::RegisterCommands();
    for (const char* method : {"GET", "POST", "HEAD", "CONNECT"}) {
        TIdCommandHandler& handler = CommandHandlers().Add();
        handler.SetCommand(method);
        handler.SetParseParams(true);
        handler.SetDisconnect(true);
        handler.OnCommand = [this](TIdCommand& command) {
            command.SetReplyPending(false);
            Serve(command.ClientContext(), command.Line());
        };
    }
    Greeting().Clear();
}

void TIdHTTPProxyServer::OpenServer() {
    outbound_.Open();
    {
        std::scoped_lock lock(portsLock_);
        listenPorts_.clear();
    }
    TIdCmdTCPServer::OpenServer();
    // Known only now for a binding whose port the system picked.
    std::scoped_lock lock(portsLock_);
    for (int32_t i = 0; i < Bindings().Count(); ++i) {
        listenPorts_.push_back(Bindings()[i].Port());
    }
}

bool TIdHTTPProxyServer::IsOwnEndpoint(const TIdIPAddress& address, int32_t port) {
    {
        std::scoped_lock lock(portsLock_);
        if (std::find(listenPorts_.begin(), listenPorts_.end(), port) == listenPorts_.end()) {
            return false;
        }
    }
    // Loopback, the any-address and every address of an interface: an
    // address is this machine's exactly when a socket can be bound to it.
    const TIdIPAddress plain = Unmapped(address);
    return TIdStack::Instance().IsLocalAddress(IPAddressText(plain), plain.version);
}

std::vector<TIdIPAddress> TIdHTTPProxyServer::ResolveTarget(const std::string& host, int32_t port) {
    // Resolved once, so that the addresses checked are the ones connected
    // to; every address counts, or a name could name a denied place behind
    // an allowed first answer.
    std::vector<TIdIPAddress> addresses;
    AtOrigin([&] {
        addresses = TIdStack::Instance().ResolveAddresses(host);
        CheckAddresses(addresses, port);
    });
    return addresses;
}

void TIdHTTPProxyServer::CheckAddresses(const std::vector<TIdIPAddress>& addresses, int32_t port) {
    for (const TIdIPAddress& address : addresses) {
        // No host has such an address, yet some systems connect it to
        // themselves, past every rule about loopback.
        if (IsUnspecifiedAddress(address) || Serving().deny.Contains(address)) {
            throw EIdHTTPProxyAnswer(403, "the proxy may not go there", TIdRequestOutcome::RefusedDestination);
        }
    }
    for (const TIdIPAddress& address : addresses) {
        if (IsOwnEndpoint(address, port)) {
            // Forwarded, the request would come back to us, once more
            // per hop.
            throw EIdHTTPProxyAnswer(508, "the request would come back to this proxy");
        }
    }
}

std::vector<TIdIPAddress> TIdHTTPProxyServer::ResolveFor(const TForwardTarget& target, bool viaParent,
                                                         int32_t& port) {
    if (!viaParent) {
        port = target.port;
        return ResolveTarget(target.host, target.port);
    }
    TIdIPAddress literal;
    if (TryParseIPAddress(target.host, literal)) {
        CheckAddresses({literal}, target.port);
    }
    const TIdUpstream& parent = Serving().upstream;
    port = parent.port;
    return ResolveTarget(parent.host, parent.port);
}

std::unique_ptr<TIdOutbound> TIdHTTPProxyServer::ConnectTo(const std::vector<TIdIPAddress>& addresses,
                                                           int32_t port) {
    std::unique_ptr<TIdOutbound> outbound;
    AtOrigin([&] {
        // 0 leaves the connect to the system's own limit.
        outbound = std::make_unique<TIdOutbound>(outbound_, addresses, port, std::max(LimitMs(Serving().connectTimeout), 0));
    });
    const TIdNetworkList& deny = Serving().deny;
    if (!deny.Empty() && deny.Contains(outbound->PeerIP())) {
        throw EIdHTTPProxyAnswer(403, "the proxy may not go there", TIdRequestOutcome::RefusedDestination);
    }
    return outbound;
}

void TIdHTTPProxyServer::AtOrigin(const std::function<void()>& step) {
    try {
        step();
    } catch (const EIdHTTPProxyAnswer&) {
        throw;
    } catch (const EIdException& error) {
        if (outbound_.Closing()) {
            throw;
        }
        throw OriginFailure(error);
    }
}

// Deactivation wakes the workers blocked on their clients, and the list
// those waiting on an origin or tunnel target.
void TIdHTTPProxyServer::CloseServer() {
    outbound_.WakeAll();
    TIdCmdTCPServer::CloseServer();
}

void TIdHTTPProxyServer::CheckNotClosing() {
    if (outbound_.Closing()) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
}

int32_t TIdHTTPProxyServer::LimitMs(int32_t seconds) {
    if (seconds <= 0) {
        return -1;
    }
    return std::min(seconds, MaxTimeoutSeconds) * 1000;
}

int32_t TIdHTTPProxyServer::RequestRemainingMs(const TIdContext& context) const {
    const int32_t limit = LimitMs(Serving().requestTimeout);
    if (limit < 0) {
        return -1;
    }
    const int64_t elapsed = TickDiff(context.CreatedTick(), TickCountMs());
    return static_cast<int32_t>(std::clamp<int64_t>(limit - elapsed, 0, limit));
}

int32_t TIdHTTPProxyServer::IdleTimeoutMs() const {
    return LimitMs(Serving().idleTimeout);
}

// ----------------------------------------------------- the request's head

std::string TIdHTTPProxyServer::ReadRequestLine(TIdContext& context) {
    TIdTCPConnection& client = context.ClientConnection();
    // Once the connection is closed (by a time limit, or by the peer),
    // bytes still queued would count as connected input and be read again.
    TIdIOHandlerSocket* socket = client.SocketHandler();
    if (socket == nullptr || socket->Binding() == nullptr || !socket->Binding()->HasSocket()) {
        TIdBuffer* queued = client.IOHandler() != nullptr ? client.IOHandler()->InputQueue() : nullptr;
        if (queued != nullptr) {
            queued->Discard(queued->Used());
        }
        return {};
    }
    // Every answer to this client, a refusal included, is a write that a
    // client that stops reading could block for good.
    client.IOHandler()->SetWriteTimeout(IdleTimeoutMs());
    UseBodyChunks(*client.IOHandler());
    // A client that never completes its request line is disconnected
    // silently: there is nothing to answer yet.
    const int32_t remaining = RequestRemainingMs(context);
    if (remaining == 0) {
        client.Disconnect(false);
        return {};
    }
    try {
        std::string line = client.IOHandler()->ReadLine(remaining < 0 ? TimeoutDefault : remaining);
        if (client.IOHandler()->LineTimedOut()) {
            client.Disconnect(false);
            return {};
        }
        return line;
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
        TIdRequestTrace trace(OnRequestDone, context, TRequestLine{});
        Refuse(context, trace,
               ProxyAnswer(414, {}, "the request line is longer than " +
                                        std::to_string(client.IOHandler()->MaxLineLength()) + " bytes"),
               TIdRequestOutcome::RefusedFraming);
        return {};
    }
}

bool TIdHTTPProxyServer::ExecuteStep(TIdContext& context) {
    const TServingRules serving(Rules());
    TIdTCPConnection& client = context.ClientConnection();
    std::string line = ReadRequestLine(context);
    if (line.empty()) {
        // Empty lines before the request line are skipped (RFC 9112 2.2).
        return client.IsConnected();
    }
    // HELP is the command server's own listing, for those who may use the
    // proxy; every other line is served as a request.
    const bool help = IsHelpLine(line);
    if (help && Allowed(context)) {
        TRequestLine request;
        ParseRequestLine(line, request);
        TIdRequestTrace trace(OnRequestDone, context, request);
        trace.SetStatus(100);
        CommandHandlers().DispatchLine(context, line);
    } else if (help || !CommandHandlers().DispatchLine(context, line)) {
        Serve(context, line);
    }
    client.Disconnect(false);
    return false;
}

bool TIdHTTPProxyServer::Allowed(TIdContext& context) {
    const std::optional<TIdNetworkList>& allow = Serving().allow;
    return !allow || allow->Contains(context.PeerIP());
}

bool TIdHTTPProxyServer::ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers) {
    return ReadHead(*context.ClientConnection().IOHandler(), headers,
                    [this, &context] { return RequestRemainingMs(context); });
}

void TIdHTTPProxyServer::Refuse(TIdContext& context, TIdRequestTrace& trace, const std::string& answer,
                                TIdRequestOutcome outcome) {
    trace.SetStatus(StatusCodeOf(answer));
    trace.SetOutcome(outcome);
    AnswerAndClose(context.ClientConnection(), answer);
}

void TIdHTTPProxyServer::CheckAuthorized(TIdContext& context, const TIdHeaderList& headers,
                                         TIdRequestTrace& trace) {
    const TIdProxyRules& rules = Serving();
    if (rules.user.empty()) {
        return;
    }
    // Logged whether the check passes or fails, so that failed logins can
    // be told from requests that brought no credentials.
    const std::string credentials = headers.ValueOf("Proxy-Authorization");
    trace.SetUser(ProxyUserName(credentials));
    // An address that keeps failing waits for its turn; one whose turn is
    // further away than a turn's length (or than its request may last) is
    // refused unchecked, so that parallel guesses gain nothing.
    const int32_t remaining = RequestRemainingMs(context);
    const int32_t maxWait =
        remaining < 0 ? TIdLoginThrottle::DelayMs : std::min(remaining, TIdLoginThrottle::DelayMs);
    const int32_t wait = loginThrottle_.Admit(context.PeerIP(), TickCountMs(), maxWait);
    if (wait < 0) {
        throw EIdHTTPProxyAnswer(407, "the proxy needs valid credentials");
    }
    // The wait runs on the connection's own thread and ends early when
    // the server is being stopped.
    const uint32_t start = TickCountMs();
    while (TickDiff(start, TickCountMs()) < static_cast<uint32_t>(wait) && Active()) {
        SleepMs(20);
    }
    if (IsProxyAuthorized(credentials, rules.user, rules.password)) {
        return;
    }
    loginThrottle_.Failed(context.PeerIP(), TickCountMs());
    throw EIdHTTPProxyAnswer(407, "the proxy needs valid credentials");
}

// Every request starts alike: its head is read whole, then it is refused
// before any origin is contacted when the client may not use the proxy,
// lacks credentials or sent a head that could be read two ways.
void TIdHTTPProxyServer::Serve(TIdContext& context, const std::string& line) {
    TRequestLine request;
    const bool isRequest = ParseRequestLine(line, request);
    TIdRequestTrace trace(OnRequestDone, context, isRequest ? request : TRequestLine{});
    try {
        TIdHeaderList headers;
        // The head of a line that is no request is not read: whatever
        // follows is dropped with the refusal.
        const bool complete = isRequest && ReadRequestHeaders(context, headers);
        if (!Allowed(context)) {
            throw EIdHTTPProxyAnswer(403, "this client may not use the proxy");
        }
        if (!isRequest) {
            throw EIdHTTPProxyAnswer(400, "the line is not an HTTP request line");
        }
        if (!complete) {
            throw EIdHTTPProxyAnswer(431, "the request head is larger than " + std::to_string(MaxHeadLines) +
                                              " lines, " + std::to_string(MaxHeadBytes) +
                                              " bytes, or a line of it longer than " +
                                              std::to_string(context.ClientConnection().IOHandler()->MaxLineLength()) +
                                              " bytes");
        }
        CheckAuthorized(context, headers, trace);
        const TRequestFraming framing = FrameRequest(headers);
        if (framing.refusal) {
            throw EIdHTTPProxyAnswer(framing.refusal.status, framing.refusal.reason);
        }
        if (request.target.empty()) {
            throw EIdHTTPProxyAnswer(400, "the request has no target");
        }
        if (request.method == "CONNECT") {
            Tunnel(context, request, trace);
        } else if (request.method == "TRACE") {
            // An origin would echo the request, the client's cookies and
            // credentials included, to whatever script sent it.
            throw EIdHTTPProxyAnswer(405, "the proxy does not forward TRACE");
        } else {
            Forward(context, request, headers, framing, trace);
        }
    } catch (const EIdHTTPProxyAnswer& answer) {
        if (trace.Answered()) {
            throw;
        }
        Refuse(context, trace,
               ProxyAnswer(answer.Status(), TargetForLog(request.target), answer.Message(),
                           answer.Status() == 407 ? ProxyAuthenticateLine : std::string_view()),
               answer.Outcome());
    }
}

// ------------------------------------------------------------- forwarding

void TIdHTTPProxyServer::Forward(TIdContext& context, const TRequestLine& request, const TIdHeaderList& headers,
                                 const TRequestFraming& framing, TIdRequestTrace& trace) {
    TForwardTarget target;
    if (!ParseForwardTarget(request.target, target)) {
        throw EIdHTTPProxyAnswer(400, "the target is not an absolute http:// URL with a usable host and port");
    }
    if (AnswersOptionsItself(request, headers)) {
        Refuse(context, trace, ProxyAnswer(200, request.target, "Max-Forwards is 0: the proxy answers"),
               TIdRequestOutcome::None);
        return;
    }
    TIdTCPConnection& client = context.ClientConnection();
    const TIdUpstream& parent = Serving().upstream;
    const bool viaParent = parent.Serves(target.host);
    trace.SetViaParent(viaParent);
    int32_t port = 0;
    const std::vector<TIdIPAddress> addresses = ResolveFor(target, viaParent, port);

    // The body is held whole when it fits in HoldLimit, and passed on as it
    // arrives when it does not. A declared length past the limit is asked
    // for (100 Continue) only once the origin is there to take it; a
    // chunked body, whose size is known only at its end, at once.
    const bool sendContinue = framing.body != TBodyKind::None && ExpectsContinue(request.version, headers);
    TOriginHeadOptions options;
    const int64_t holdLimit = Serving().holdLimit;
    options.dropProxyAuthorization = !Serving().user.empty();
    options.toParent = viaParent;
    if (viaParent && !parent.user.empty()) {
        options.parentAuthorization = BasicCredentials(parent.user, parent.password);
    }
    std::unique_ptr<TMemoryStream> body;
    THTTPChunkDecoder decoder;
    bool relay = false;
    if (sendContinue && !(framing.body == TBodyKind::Length && framing.bodyLength > holdLimit)) {
        client.IOHandler()->WriteLines(ContinueAnswer());
    }
    if (framing.body == TBodyKind::Length) {
        relay = framing.bodyLength > holdLimit;
        if (!relay) {
            body = ReadBody(*client.IOHandler(), framing.bodyLength, IdleTimeoutMs());
        }
    } else if (framing.body == TBodyKind::Chunked) {
        body = ReadChunkedBody(client, decoder);
        relay = !decoder.Done();
        options.relayChunked = relay;
        options.heldChunkedLength = relay ? -1 : body->Size();
    }

    const std::unique_ptr<TIdOutbound> outbound = ConnectTo(addresses, port);
    TIdIOHandler& origin = outbound->IO();
    origin.SetReadTimeout(IdleTimeoutMs());
    origin.SetWriteTimeout(IdleTimeoutMs());
    UseBodyChunks(origin);
    const TStrings head = OriginRequestHead(request, target, headers, options);
    AtOrigin([&] {
        // One send for the head (and a small body): with Nagle on, separate
        // small sends would wait for the origin's delayed acknowledgement.
        // A large body is not copied to join it; a relayed one goes as its
        // own chunk.
        const int64_t held = body ? body->Size() : 0;
        SendGathered(origin, held > 0 && held <= GatheredBodyLimit, [&] {
            origin.WriteLines(head);
            if (held == 0) {
                return;
            }
            if (options.relayChunked) {
                origin.WriteText(ChunkSizeLine(static_cast<uint64_t>(held)));
            }
            origin.WriteFromStream(*body, 0);
            if (options.relayChunked) {
                origin.WriteText(ChunkDataEnd);
            }
        });
    });
    body.reset();
    if (relay && framing.body == TBodyKind::Chunked) {
        try {
            RelayChunks(*client.IOHandler(), origin, decoder, IdleTimeoutMs());
        } catch (const EIdException&) {
            // Part of the body is at the origin already: no answer can make
            // the exchange whole, so both sides learn of it by a reset.
            ResetBoth(client, outbound->Client());
            throw EAbort("the chunked body was cut off");
        }
    } else if (relay) {
        if (sendContinue) {
            client.IOHandler()->WriteLines(ContinueAnswer());
        }
        TIdRelay pass(client, outbound->Client(), IdleTimeoutMs());
        pass.Pass(client, framing.bodyLength);
    }

    TIdHeaderList answer;
    TResponseFraming response;
    AtOrigin([&] { response = ReadAnswerHead(origin, request.method, answer); });
    if (viaParent && response.status == 407) {
        throw EIdHTTPProxyAnswer(502, ParentRefusedUs, TIdRequestOutcome::FailedParentAuth);
    }
    trace.SetStatus(response.status);
    if (request.method == "HEAD") {
        client.IOHandler()->WriteLines(ClientResponseHead(answer));
    } else {
        ForwardResponseBody(outbound->Client(), client, response.bodyLength, answer, target.host);
    }
    // The client has everything: let it go before the origin's
    // connection is taken down, rather than after.
    client.Disconnect(false);
}

TResponseFraming TIdHTTPProxyServer::ReadAnswerHead(TIdIOHandler& origin, const std::string& method,
                                                    TIdHeaderList& headers) {
    for (int interim = 0;; ++interim) {
        headers.Clear();
        if (!ReadHead(origin, headers, [] { return -1; })) {
            throw EIdHTTPProxyAnswer(502, "the origin's answer head is larger than a head may be");
        }
        TResponseFraming framing = FrameResponse(method, headers);
        if (!framing.problem.empty()) {
            throw EIdHTTPProxyAnswer(502, framing.problem);
        }
        // RFC 9110 15.2: the client asked for none of these (its Expect
        // was answered here and not passed on); only the final answer is
        // its own.
        if (framing.status >= 200) {
            return framing;
        }
        if (interim >= MaxInterimAnswers) {
            throw EIdHTTPProxyAnswer(502, "the origin sent interim answers without end");
        }
    }
}

std::unique_ptr<TMemoryStream> TIdHTTPProxyServer::ReadChunkedBody(TIdTCPConnection& client,
                                                                   THTTPChunkDecoder& decoder) {
    auto body = std::make_unique<TMemoryStream>();
    DecodeChunks(*client.IOHandler(), decoder, IdleTimeoutMs(), [&](std::string_view data) {
        body->Write(data.data(), static_cast<int64_t>(data.size()));
        return body->Size() <= Serving().holdLimit;
    });
    return body;
}

void TIdHTTPProxyServer::ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int64_t length,
                                             const TIdHeaderList& headers, const std::string& host) {
    TIdIOHandler& origin = *outbound.IOHandler();
    TIdIOHandler& to = *client.IOHandler();
    const TStrings head = ClientResponseHead(headers);
    const int64_t holdLimit = Serving().holdLimit;
    // Reports a held body, then sends whatever the handler left in its place.
    auto deliver = [&](std::unique_ptr<TStream> stream) {
        stream->SetPosition(0);
        const auto size = static_cast<uint64_t>(stream->Size());
        FireHTTPDocument(host, stream, headers, PeerText(client), size);
        if (stream) {
            to.WriteFromStream(*stream, 0);
        }
    };

    if (length >= 0 && length <= holdLimit) {
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
        const bool ended = origin.ReadUntilCloseWithin(*stream, holdLimit + 1, HoldWindowMs);
        if (ended) {
            CheckNotClosing();
        }
        if (ended && stream->Size() <= holdLimit) {
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

// Bodies move straight between the sockets and the body's memory, so
// larger chunks cost no buffer: they only save calls, and acknowledgements
// that on one machine make the sender do its work on our time.
void TIdHTTPProxyServer::UseBodyChunks(TIdIOHandler& handler) {
    handler.SetRecvBufferSize(BodyChunk);
    handler.SetSendBufferSize(BodyChunk);
}

void TIdHTTPProxyServer::FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                                          const TIdHeaderList& headers, const std::string& host, uint64_t size) {
    if (OnHTTPDocument) {
        OnHTTPDocument(*this, document, stream, headers, host, size);
    }
}

// ------------------------------------------------------------------ tunnel

void TIdHTTPProxyServer::Tunnel(TIdContext& context, const TRequestLine& request, TIdRequestTrace& trace) {
    TIdTCPConnection& client = context.ClientConnection();
    TForwardTarget target;
    if (!ParseTunnelTarget(request.target, target)) {
        throw EIdHTTPProxyAnswer(400, "the target is not host:port");
    }
    const std::optional<TIdPortList>& connectPorts = Serving().connectPorts;
    if (connectPorts && !connectPorts->Contains(target.port)) {
        throw EIdHTTPProxyAnswer(403, "the proxy opens no tunnel to port " + std::to_string(target.port),
                                 TIdRequestOutcome::RefusedDestination);
    }
    const bool viaParent = Serving().upstream.Serves(target.host);
    trace.SetViaParent(viaParent);
    int32_t port = 0;
    const std::vector<TIdIPAddress> addresses = ResolveFor(target, viaParent, port);
    const std::unique_ptr<TIdOutbound> outbound = ConnectTo(addresses, port);
    // A target that stops reading must not hold the tunnel for good.
    outbound->IO().SetWriteTimeout(IdleTimeoutMs());
    if (viaParent && !OpenParentTunnel(context, *outbound, target, trace)) {
        return;
    }
    // No empty line before the status line: clients read it as the end
    // of an empty answer (curl: "CONNECT tunnel failed, response 0").
    trace.SetStatus(200);
    TStrings established;
    established.Add("HTTP/1.0 200 Connection established");
    established.Add("Proxy-agent: Vantrel/1.1");
    established.Add("");
    client.IOHandler()->WriteLines(established);
    TIdRelay relay(client, outbound->Client(), IdleTimeoutMs());
    const TTunnelCount counted(activeTunnels_);
    relay.Tunnel();
}

bool TIdHTTPProxyServer::OpenParentTunnel(TIdContext& context, TIdOutbound& parent, const TForwardTarget& target,
                                          TIdRequestTrace& trace) {
    TIdIOHandler& io = parent.IO();
    io.SetReadTimeout(IdleTimeoutMs());
    const TIdUpstream& upstream = Serving().upstream;
    TStrings head;
    head.Add("CONNECT " + target.authority + " HTTP/1.1");
    head.Add("Host: " + target.authority);
    if (!upstream.user.empty()) {
        head.Add("Proxy-Authorization: " + BasicCredentials(upstream.user, upstream.password));
    }
    head.Add("");
    TIdHeaderList answer;
    TResponseFraming response;
    AtOrigin([&] {
        io.WriteLines(head);
        response = ReadAnswerHead(io, "CONNECT", answer);
    });
    if (response.status >= 200 && response.status < 300) {
        // What the target sent behind the parent's answer waits in the
        // input queue; the relay passes it on first.
        return true;
    }
    if (response.status == 407) {
        throw EIdHTTPProxyAnswer(502, ParentRefusedUs, TIdRequestOutcome::FailedParentAuth);
    }
    // The parent's refusal (a 403 of its rules, a 502 of its own connect)
    // is the client's answer, head and page.
    trace.SetStatus(response.status);
    ForwardResponseBody(parent.Client(), context.ClientConnection(), response.bodyLength, answer, target.host);
    return false;
}

// -------------------------------------------------------- connection limit

// Clients over MaxConnections speak HTTP too: they are told so in HTTP
// rather than with the command server's "300" line.
std::string TIdHTTPProxyServer::OverLimitAnswer() {
    return ProxyAnswer(503, {}, "the proxy serves as many clients as it may at once; try again later");
}

// Refused before a word of the request was read: the record knows the
// client and the answer only. On the reporter thread, so OnRequestDone may
// wait here (on a stalled log) without stopping the listeners.
void TIdHTTPProxyServer::RefusedOverLimit(const TIdRefusal& refusal) {
    if (!OnRequestDone) {
        return;
    }
    TIdRequestRecord record;
    record.started = refusal.when;
    record.client = refusal.peerIP;
    record.status = 503;
    record.bytesToClient = static_cast<uint64_t>(refusal.answerBytes);
    record.outcome = TIdRequestOutcome::RefusedLimit;
    try {
        OnRequestDone(record);
    } catch (...) {
        // The reports after this one go on whatever its fate.
    }
}
