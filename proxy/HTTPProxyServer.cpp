// HTTPProxyServer: command registration, authentication, request
// forwarding and the CONNECT tunnel.
#include "proxy/HTTPProxyServer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <vector>

#include "io/IdException.h"
#include "io/IdGlobal.h"
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
// An idle tunnel sleeps this long at most between looks at its sockets and
// its idle limit; a peer's bytes or close, and deactivation, wake it sooner.
constexpr int32_t RelayTurnMs = 500;
// How long the relay looks again for bytes before it sleeps.
constexpr auto RelayLookAgain = std::chrono::microseconds(50);
// The receive and send chunk of bodies on the proxy's connections.
constexpr int32_t BodyChunk = 256 * 1024;
// Bodies up to this size leave in one send with their head; larger ones
// would have to be copied to join it.
constexpr int64_t GatheredBodyLimit = 64 * 1024;
constexpr int32_t RelayChunk = 256 * 1024;
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

// A request Content-Length must be plain decimal digits (RFC 9110 8.6);
// anything else could make us and the origin disagree on where the body ends.
bool ParseContentLength(const std::string& text, int32_t& length) {
    const std::string trimmed = TrimText(text);
    if (trimmed.empty() || !std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    return TryTextToInt(trimmed, length) && length >= 0;
}

bool IsHeaderNamed(const TIdHeaderList& headers, int index, std::string_view name) {
    return EqualIgnoringCase(headers.LineName(index), name);
}

// A NUL, or a CR anywhere but at a line's end (where reading already took
// it off), ends a line early for some parsers and not for others: passed on,
// the origin could read another request than the one we checked (RFC 9110
// 5.5: reject or replace). Such a request is refused.
bool HasUnsafeBytes(const std::string& requestLine, const TIdHeaderList& headers) {
    auto unsafe = [](const std::string& line) {
        return line.find_first_of(std::string_view("\0\r", 2)) != std::string::npos;
    };
    if (unsafe(requestLine)) {
        return true;
    }
    for (int i = 0; i < headers.Count(); ++i) {
        if (unsafe(headers[i])) {
            return true;
        }
    }
    return false;
}

}  // namespace

// ------------------------------------------------------------ credentials

std::string DecodeBase64Text(std::string_view text) {
    constexpr int Skip = -2;
    constexpr int Pad = -1;
    auto value = [](unsigned char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        if (c == '+') {
            return 62;
        }
        if (c == '/') {
            return 63;
        }
        if (c == '=') {
            return Pad;
        }
        return Skip;
    };
    // A pad in the first or second place takes part as the 16-bit 0xFFFF.
    auto arithmetic = [](int v) -> uint32_t { return v == Pad ? 0xFFFFu : static_cast<uint32_t>(v); };
    std::string out;
    out.reserve(text.size() * 3 / 4);
    int group[4];
    int count = 0;
    for (const char ch : text) {
        const int v = value(static_cast<unsigned char>(ch));
        if (v == Skip) {
            continue;
        }
        group[count++] = v;
        if (count < 4) {
            continue;
        }
        count = 0;
        const uint32_t q0 = arithmetic(group[0]);
        const uint32_t q1 = arithmetic(group[1]);
        out.push_back(static_cast<char>(((q0 << 2) | (q1 >> 4)) & 0xFF));
        if (group[2] == Pad) {
            return out;
        }
        const auto q2 = static_cast<uint32_t>(group[2]);
        out.push_back(static_cast<char>(((q1 << 4) | (q2 >> 2)) & 0xFF));
        if (group[3] == Pad) {
            return out;
        }
        const auto q3 = static_cast<uint32_t>(group[3]);
        out.push_back(static_cast<char>(((q2 << 6) | q3) & 0xFF));
    }
    return out;
}

bool IsProxyAuthorized(std::string_view value, const std::string& user, const std::string& password) {
    std::string rest = TrimText(value);
    const std::string scheme = UpperCaseAscii(TrimText(CutField(rest, " ")));
    if (scheme != "BASIC") {
        return false;
    }
    std::string decoded = DecodeBase64Text(rest);
    const std::string userName = CutField(decoded, ":");
    return userName == user && decoded == password;
}

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
    }
    TIdCmdTCPServer::OpenServer();
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
        return client.IOHandler()->ReadLine();
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
    return line;
}

void TIdHTTPProxyServer::ReadRequestHeaders(TIdContext& context, TIdHeaderList& headers) {
    CaptureHeaderBlock(*context.ClientConnection().IOHandler(), headers,
                       [this, &context] { return RequestRemainingMs(context); });
}

void TIdHTTPProxyServer::RefuseAndClose(TIdContext& context, const TStrings& answer) {
    TIdTCPConnection& client = context.ClientConnection();
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
                budget -= n;
            }
        }
    } catch (const EIdException&) {
        // The client went away first; there is nobody left to answer.
    }
    client.Disconnect(false);
}

bool TIdHTTPProxyServer::CheckAuthorized(TIdContext& context, const TIdHeaderList& headers) {
    if (user_.empty() || IsProxyAuthorized(headers.ValueOf(ProxyAuthorizationName), user_, password_)) {
        return true;
    }
    RefuseAndClose(context, Lines({"HTTP/1.0 407 Proxy Authentication Required",
                                   "Proxy-Authenticate: Basic realm=\"Connection to Vantrel: Authentication Required\"",
                                   ""}));
    return false;
}

// Every method starts alike: the handler answers for itself, reads the
// header block, and refuses before any origin is contacted when the
// credentials are missing or the request carries unsafe bytes.
bool TIdHTTPProxyServer::BeginRequest(TIdCommand& command, TIdHeaderList& requestHeaders) {
    command.SetReplyPending(false);
    TIdContext& context = command.ClientContext();
    ReadRequestHeaders(context, requestHeaders);
    if (!CheckAuthorized(context, requestHeaders)) {
        return false;
    }
    if (HasUnsafeBytes(command.Line(), requestHeaders)) {
        RefuseAndClose(context, Lines({"HTTP/1.0 400 Bad Request", ""}));
        return false;
    }
    return true;
}

void TIdHTTPProxyServer::ServeGet(TIdCommand& command) { Forward(command, TMethod::Get); }

void TIdHTTPProxyServer::ServePost(TIdCommand& command) { Forward(command, TMethod::Post); }

void TIdHTTPProxyServer::ServeHead(TIdCommand& command) { Forward(command, TMethod::Head); }

void TIdHTTPProxyServer::Forward(TIdCommand& command, TMethod method) {
    TIdContext& context = command.ClientContext();
    TIdTCPConnection& client = context.ClientConnection();
    TIdHeaderList requestHeaders;
    if (!BeginRequest(command, requestHeaders)) {
        return;
    }

    std::unique_ptr<TMemoryStream> body;
    if (method == TMethod::Post) {
        // Only a body whose end both sides agree on is relayed: one
        // Content-Length (or several equal ones) of plain digits and no
        // Transfer-Encoding (RFC 9112 6.3: both together are a smuggling risk).
        bool hasLength = false;
        bool hasTransferEncoding = false;
        bool valid = true;
        int32_t length = 0;
        for (int i = 0; i < requestHeaders.Count(); ++i) {
            if (IsHeaderNamed(requestHeaders, i, "Content-Length")) {
                int32_t value = 0;
                if (!ParseContentLength(requestHeaders.LineValue(i), value) || (hasLength && value != length)) {
                    valid = false;
                }
                hasLength = true;
                length = value;
            } else if (IsHeaderNamed(requestHeaders, i, "Transfer-Encoding")) {
                hasTransferEncoding = true;
            }
        }
        if (!valid || (hasLength && hasTransferEncoding)) {
            RefuseAndClose(context, Lines({"HTTP/1.0 400 Bad Request", ""}));
            return;
        }
        if (hasTransferEncoding) {
            RefuseAndClose(context, Lines({"HTTP/1.0 411 Length Required", ""}));
            return;
        }
        body = std::make_unique<TMemoryStream>();
        if (length > 0) {
            TIdIOHandler* handler = client.IOHandler();
            const int32_t savedTimeout = handler->ReadTimeout();
            handler->SetReadTimeout(IdleTimeoutMs());
            handler->ReadIntoStream(*body, length, false);
            handler->SetReadTimeout(savedTimeout);
            if (body->Size() != length) {
                // The client closed mid-body: forwarding a short body under
                // its declared length would leave the origin waiting.
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
        }
    }

    const std::string target = command.ParamList()[0];
    std::string host;
    int32_t port = 80;
    std::string path;
    {
        TIdURI uri(target);
        host = uri.HostName();
        port = TextToIntDef(uri.PortText(), 80);
        path = uri.Directory() + uri.LeafName() + uri.QueryPart();
    }

    auto outbound = std::make_unique<TIdTCPClient>();
    outbound->SetPort(port);
    outbound->SetHost(host);
    ConnectOutbound(*outbound);
    try {
        TIdIOHandler& origin = *outbound->IOHandler();
        origin.SetReadTimeout(IdleTimeoutMs());
        origin.SetWriteTimeout(IdleTimeoutMs());
        UseBodyChunks(origin);

        static constexpr const char* MethodNames[] = {"GET ", "POST ", "HEAD "};
        TStrings request;
        request.Lines().reserve(static_cast<size_t>(requestHeaders.Count()) + 2);
        request.Add(MethodNames[static_cast<int>(method)] + path + " HTTP/1.0");
        const bool authenticating = !user_.empty();
        for (int i = 0; i < requestHeaders.Count(); ++i) {
            // The proxy's own credentials are not the origin's business.
            if (authenticating && IsHeaderNamed(requestHeaders, i, ProxyAuthorizationName)) {
                while (i + 1 < requestHeaders.Count() && !requestHeaders[i + 1].empty() &&
                       (requestHeaders[i + 1][0] == ' ' || requestHeaders[i + 1][0] == '\t')) {
                    ++i;
                }
                continue;
            }
            request.Add(requestHeaders[i]);
        }
        request.Add("");
        // One send for the request head (and a small body): with Nagle on,
        // separate small sends would wait for the origin's delayed
        // acknowledgement. A large body is not copied to join it.
        const bool smallBody = body && body->Size() > 0 && body->Size() <= GatheredBodyLimit;
        SendGathered(origin, smallBody, [&] {
            origin.WriteLines(request);
            if (body && body->Size() > 0) {
                origin.WriteFromStream(*body, 0);
            }
        });
        body.reset();

        TIdHeaderList responseHeaders;
        CaptureHeaderBlock(origin, responseHeaders, [] { return -1; });
        TStrings head;
        head.Lines().reserve(static_cast<size_t>(responseHeaders.Count()) + 1);
        for (const std::string& line : responseHeaders) {
            head.Add(line);
        }
        head.Add("");
        int32_t length = -1;
        if (method != TMethod::Head) {
            length = TextToIntDef(responseHeaders.ValueOf("Content-Length"), -1);
            if (length < 0) {
                length = -1;  // no usable length: the body ends when the origin closes
            }
        }
        // An answer whose body came in with its head (most small ones) goes
        // to the client in one send: the client is woken once, and what it
        // sees is unchanged, since the head would only wait for bytes that
        // are already here.
        const TIdBuffer* queued = origin.InputQueue();
        const bool arrivedWhole = method == TMethod::Head ||
                                  (length >= 0 && length <= GatheredBodyLimit && queued != nullptr &&
                                   queued->Used() >= length);
        SendGathered(*client.IOHandler(), arrivedWhole, [&] {
            client.IOHandler()->WriteLines(head);
            if (method != TMethod::Head) {
                ForwardResponseBody(*outbound, client, length, responseHeaders, outbound->Host());
            }
        });
        // The client has everything: let it go before the origin's
        // connection is taken down, rather than after.
        client.Disconnect(false);
    } catch (...) {
        ReleaseOutbound(*outbound);
        throw;
    }
    ReleaseOutbound(*outbound);
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

void TIdHTTPProxyServer::ForwardResponseBody(TIdTCPClient& outbound, TIdTCPConnection& client, int32_t length,
                                             const TIdHeaderList& headers, const std::string& host) {
    std::unique_ptr<TStream> stream = std::make_unique<TMemoryStream>();
    outbound.IOHandler()->ReadIntoStream(*stream, length, length == -1);
    stream->SetPosition(0);
    std::string peer;
    if (client.SocketHandler() != nullptr && client.SocketHandler()->Binding() != nullptr) {
        peer = client.SocketHandler()->Binding()->PeerIP();
    }
    FireHTTPDocument(host, stream, headers, peer, static_cast<uint32_t>(stream->Size()));
    if (stream) {
        client.IOHandler()->WriteFromStream(*stream, 0);
    }
}

void TIdHTTPProxyServer::FireHTTPDocument(const std::string& document, std::unique_ptr<TStream>& stream,
                                          const TIdHeaderList& headers, const std::string& host, uint32_t size) {
    if (OnHTTPDocument) {
        OnHTTPDocument(*this, document, stream, headers, host, size);
    }
}

// ------------------------------------------------------------------ tunnel

void TIdHTTPProxyServer::ServeConnect(TIdCommand& command) {
    TIdContext& context = command.ClientContext();
    TIdTCPConnection& client = context.ClientConnection();
    TIdHeaderList requestHeaders;
    if (!BeginRequest(command, requestHeaders)) {
        return;
    }

    std::string portText = command.ParamList()[0];
    const std::string host = CutField(portText, ":");
    auto outbound = std::make_unique<TIdTCPClient>();
    outbound->SetHost(host);
    outbound->SetPort(TextToIntDef(portText, 443));
    ConnectOutbound(*outbound);
    try {
        // A target that stops reading must not hold the tunnel for good.
        outbound->IOHandler()->SetWriteTimeout(IdleTimeoutMs());
        // No empty line before the status line: clients read it as the end
        // of an empty answer (curl: "CONNECT tunnel failed, response 0").
        client.IOHandler()->WriteLines(
            Lines({"HTTP/1.0 200 Connection established", "Proxy-agent: Vantrel/1.1", ""}));
        Relay(client, *outbound);
    } catch (...) {
        ReleaseOutbound(*outbound);
        throw;
    }
    ReleaseOutbound(*outbound);
}

// Forwards whatever arrives on either side straight away, so neither
// direction paces the other. Every byte taken from one side is handed to the
// other before anything else happens; when either side closes, what it sent
// before closing has therefore already been passed on. Between messages the
// loop looks again for a moment before it sleeps on both sockets at once:
// in a conversation the answer is usually that close.
void TIdHTTPProxyServer::Relay(TIdTCPConnection& client, TIdTCPClient& outbound) {
    TIdIOHandler& clientIO = *client.IOHandler();
    TIdIOHandler& originIO = *outbound.IOHandler();
    // Bytes that arrived right behind the request go first.
    if (!clientIO.InputIsEmpty()) {
        TIdBytes queued;
        clientIO.InputQueue()->TakeBytes(queued, -1, false);
        originIO.WriteBytes(queued);
    }
    if (!originIO.InputIsEmpty()) {
        TIdBytes queued;
        originIO.InputQueue()->TakeBytes(queued, -1, false);
        clientIO.WriteBytes(queued);
    }
    if (client.SocketHandler() == nullptr || outbound.SocketHandler() == nullptr || clientIO.PeerClosed()) {
        return;
    }
    TIdSocketHandle& clientSide = *client.SocketHandler()->Binding();
    TIdSocketHandle& originSide = *outbound.SocketHandler()->Binding();
    TIdIOHandler* writers[2] = {&originIO, &clientIO};
    TIdSocketHandle* readers[2] = {&clientSide, &originSide};
    TIdStack& stack = TIdStack::Instance();
    // An intercept must see every byte, so with one the bytes go through the
    // handlers; otherwise the stack's pump moves them (inside the kernel
    // where the platform can).
    std::unique_ptr<TIdSocketPump> pump;
    std::unique_ptr<uint8_t[]> chunk;
    if (clientIO.Intercept() == nullptr && originIO.Intercept() == nullptr) {
        pump = stack.CreatePump();
        pump->Prepare(clientSide.Socket(), originSide.Socket());
    } else {
        chunk = std::make_unique_for_overwrite<uint8_t[]>(RelayChunk);
    }
    // > 0 bytes moved from that side, 0 it closed, -1 nothing there.
    auto moveFrom = [&](int side) -> int32_t {
        if (pump) {
            return pump->Move(readers[side]->Socket(), readers[1 - side]->Socket(), RelayChunk,
                              writers[side]->WriteTimeout());
        }
        const int32_t n = stack.ReceiveNoWait(readers[side]->Socket(), chunk.get(), RelayChunk);
        if (n > 0) {
            writers[side]->WriteData(chunk.get(), n);
        }
        return n;
    };
    const int32_t idleMs = IdleTimeoutMs();
    uint32_t lastActivity = TickCountMs();
    TIdLookAgain look(RelayLookAgain);
    // Sides worth a move: at first both, then those the last wait reported
    // and those that just moved bytes (more may be there).
    bool ready[2] = {true, true};
    for (;;) {
        if (!clientSide.HasSocket() || !originSide.HasSocket()) {
            return;
        }
        bool moved = false;
        for (int side = 0; side < 2; ++side) {
            if (!ready[side]) {
                continue;
            }
            const int32_t n = moveFrom(side);
            if (n == 0) {
                return;  // that side closed; everything it sent is already across
            }
            ready[side] = n > 0;
            moved = moved || n > 0;
        }
        if (moved) {
            lastActivity = TickCountMs();
            look.Restart();
            continue;
        }
        int32_t wait = RelayTurnMs;
        if (idleMs >= 0) {
            const auto idle = static_cast<int64_t>(TickDiff(lastActivity, TickCountMs()));
            if (idle >= idleMs) {
                return;
            }
            wait = static_cast<int32_t>(std::min<int64_t>(wait, idleMs - idle));
        }
        // While looking again, one zero wait on both sockets per look.
        const TIdStackSocketHandle sockets[2] = {clientSide.Socket(), originSide.Socket()};
        stack.WaitReadable(sockets, 2, look.Next() ? 0 : wait, ready);
    }
}
