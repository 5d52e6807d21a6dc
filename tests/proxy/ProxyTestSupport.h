// Loopback helpers for the proxy tests: owned sockets, a raw client whose
// every read has a deadline, scripted origin servers that accept on their own
// threads and record exactly the bytes they receive, and a fixture that runs
// a TIdHTTPProxyServer on 127.0.0.1 with a port chosen by the system.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "net/IdStack.h"
#include "proxy/HTTPProxyServer.h"

namespace proxytest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

inline constexpr milliseconds kDefaultWait = 10s;

// Keeps the process-wide socket stack alive for the object holding it.
class StackUse {
public:
    StackUse() { TIdStack::IncUsage(); }
    ~StackUse() { TIdStack::DecUsage(); }
    StackUse(const StackUse&) = delete;
    StackUse& operator=(const StackUse&) = delete;
};

// Names TEST_P instances after the case's name field.
struct CaseName {
    template <class P>
    std::string operator()(const ::testing::TestParamInfo<P>& tested) const {
        return tested.param.name;
    }
};

enum class ReadState { Open, Closed, Reset };

inline int32_t MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int32_t>(std::clamp<int64_t>(left, 0, 0x7FFFFFFF));
}

// One owned stream socket; closed when destroyed.
class Socket {
public:
    Socket() = default;
    explicit Socket(TIdStackSocketHandle handle) : handle_(handle) {}
    Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, InvalidSocket)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, InvalidSocket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    bool Valid() const { return handle_ != InvalidSocket; }
    TIdStackSocketHandle Handle() const { return handle_; }

    // Connects to 127.0.0.1:port, from the address `from` when one is
    // given (any of 127.0.0.0/8); an invalid socket when refused.
    static Socket ConnectLoopback(int32_t port, const std::string& from = {}) {
        StackUse use;
        TIdStack& stack = TIdStack::Instance();
        Socket socket(stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4));
        try {
            if (!from.empty()) {
                stack.Bind(socket.Handle(), from, 0, Id_IPv4);
            }
            stack.Connect(socket.Handle(), "127.0.0.1", port, Id_IPv4);
        } catch (const EIdSocketError&) {
            socket.Close();
        }
        return socket;
    }

    static Socket ListenLoopback(int32_t backlog, int32_t& port) {
        StackUse use;
        TIdStack& stack = TIdStack::Instance();
        Socket socket(stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4));
        stack.Bind(socket.Handle(), "127.0.0.1", 0, Id_IPv4);
        stack.Listen(socket.Handle(), backlog);
        std::string ip;
        TIdIPVersion version = Id_IPv4;
        stack.LocalEndpoint(socket.Handle(), ip, port, version);
        return socket;
    }

    void Close() {
        if (handle_ != InvalidSocket) {
            TIdStack::Instance().Disconnect(handle_);
            handle_ = InvalidSocket;
        }
    }

    void ShutdownSending() {
        if (handle_ != InvalidSocket) {
            TIdStack::Instance().ShutdownSending(handle_);
        }
    }

    // Closes with a reset instead of the orderly end.
    void Abort() {
        if (handle_ != InvalidSocket) {
            TIdStack::Instance().SetAbortiveClose(handle_);
            TIdStack::Instance().CloseAtOnce(handle_);
            handle_ = InvalidSocket;
        }
    }

    bool WaitReadable(int32_t ms) const { return TIdStack::Instance().WaitReadable(&handle_, 1, ms); }

    bool SendAll(std::string_view data) {
        TIdStack& stack = TIdStack::Instance();
        size_t offset = 0;
        try {
            while (offset < data.size()) {
                const auto chunk = static_cast<int32_t>(std::min<size_t>(data.size() - offset, 1 << 20));
                const int32_t sent =
                    stack.Send(handle_, reinterpret_cast<const uint8_t*>(data.data()) + offset, chunk);
                if (sent <= 0) {
                    return false;
                }
                offset += static_cast<size_t>(sent);
            }
        } catch (const EIdSocketError&) {
            return false;
        }
        return true;
    }

    // One wait and receive: appends what arrived. Open also when the
    // deadline passed without anything arriving.
    ReadState ReadSome(std::string& into, Clock::time_point deadline) {
        TIdStack& stack = TIdStack::Instance();
        if (!WaitReadable(MsUntil(deadline))) {
            return ReadState::Open;
        }
        uint8_t buffer[64 * 1024];
        try {
            const int32_t n = stack.Receive(handle_, buffer, static_cast<int32_t>(sizeof buffer));
            if (n <= 0) {
                return ReadState::Closed;
            }
            into.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
            return ReadState::Open;
        } catch (const EIdSocketError&) {
            return ReadState::Reset;
        }
    }

private:
    StackUse use_;
    TIdStackSocketHandle handle_ = InvalidSocket;
};

// The test's side of a connection: everything received so far, and how the
// peer ended (if it did).
class RawClient {
public:
    explicit RawClient(int32_t port, const std::string& from = {}) : socket_(Socket::ConnectLoopback(port, from)) {}

    bool Connected() const { return socket_.Valid(); }
    bool Send(std::string_view data) { return socket_.SendAll(data); }
    void ShutdownSending() { socket_.ShutdownSending(); }
    void Close() { socket_.Close(); }

    const std::string& Received() const { return received_; }
    ReadState State() const { return state_; }
    bool PeerClosed() const { return state_ != ReadState::Open; }

    // Reads until done() holds, the peer ends or the wait runs out; answers done().
    bool ReadUntil(const std::function<bool(const std::string&)>& done, milliseconds wait = kDefaultWait) {
        const auto deadline = Clock::now() + wait;
        while (!done(received_) && state_ == ReadState::Open && Clock::now() < deadline) {
            state_ = socket_.ReadSome(received_, deadline);
        }
        return done(received_);
    }
    bool ReadCount(size_t count, milliseconds wait = kDefaultWait) {
        return ReadUntil([count](const std::string& s) { return s.size() >= count; }, wait);
    }
    bool ReadMarker(std::string_view marker, milliseconds wait = kDefaultWait) {
        return ReadUntil([marker](const std::string& s) { return s.find(marker) != std::string::npos; }, wait);
    }
    // Reads until the peer ends the connection; true when it did in time.
    bool ReadToClose(milliseconds wait = kDefaultWait) {
        ReadUntil([](const std::string&) { return false; }, wait);
        return PeerClosed();
    }
    // Waits for the end of the connection, expecting no data at all.
    ::testing::AssertionResult ClosesWithoutData(milliseconds wait = kDefaultWait) {
        if (!ReadToClose(wait)) {
            return ::testing::AssertionFailure() << "still open; received: " << received_;
        }
        if (!received_.empty()) {
            return ::testing::AssertionFailure() << "received: " << received_;
        }
        return ::testing::AssertionSuccess();
    }
    // Drops what has been received so far.
    void Clear() { received_.clear(); }

private:
    Socket socket_;
    std::string received_;
    ReadState state_ = ReadState::Open;
};

// The origin's side of one accepted connection, handed to the script on the
// connection's own thread. Reads end early when the server stops.
class OriginConnection {
public:
    OriginConnection(Socket socket, const std::atomic<bool>& stopping)
        : socket_(std::move(socket)), stopping_(stopping) {}

    bool Send(std::string_view data) { return socket_.SendAll(data); }
    void ShutdownSending() { socket_.ShutdownSending(); }
    void Close() { socket_.Close(); }
    bool PeerClosed() const { return state_ != ReadState::Open; }
    ReadState State() const { return state_; }

    std::string Received() const {
        std::scoped_lock lock(lock_);
        return received_;
    }

    bool ReadUntil(const std::function<bool(const std::string&)>& done, milliseconds wait = kDefaultWait) {
        const auto deadline = Clock::now() + wait;
        std::string snapshot = Received();
        while (!done(snapshot) && state_ == ReadState::Open && Clock::now() < deadline && !stopping_) {
            std::string chunk;
            // Short slices so that a stopping server is noticed.
            state_ = socket_.ReadSome(chunk, std::min(deadline, Clock::now() + 50ms));
            std::scoped_lock lock(lock_);
            received_ += chunk;
            snapshot = received_;
        }
        return done(snapshot);
    }
    // Reads until the end of the request head (the first empty line).
    bool ReadHead(milliseconds wait = kDefaultWait) {
        return ReadUntil([](const std::string& s) { return s.find("\r\n\r\n") != std::string::npos; }, wait);
    }
    bool ReadCount(size_t count, milliseconds wait = kDefaultWait) {
        return ReadUntil([count](const std::string& s) { return s.size() >= count; }, wait);
    }
    bool ReadToClose(milliseconds wait = kDefaultWait) {
        ReadUntil([](const std::string&) { return false; }, wait);
        return PeerClosed();
    }

private:
    Socket socket_;
    const std::atomic<bool>& stopping_;
    mutable std::mutex lock_;  // guards received_ (the test thread reads it)
    std::string received_;
    ReadState state_ = ReadState::Open;
};

// Content-Length of a request head the origin received, 0 when absent.
inline size_t RequestBodyLength(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<size_t>(std::strtoul(lower.c_str() + at + 17, nullptr, 10));
}

// A listening socket on 127.0.0.1 whose accepted connections each run the
// script on their own thread. Destroying it stops accepting, ends every
// script's reads and joins all threads.
class OriginServer {
public:
    using Script = std::function<void(OriginConnection&)>;

    explicit OriginServer(Script script) : script_(std::move(script)) {
        listener_ = Socket::ListenLoopback(256, port_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~OriginServer() { Stop(); }
    OriginServer(const OriginServer&) = delete;
    OriginServer& operator=(const OriginServer&) = delete;

    int32_t Port() const { return port_; }
    std::string Url(std::string_view path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
    }

    // Answers every request with response: reads the request head and its
    // Content-Length body, sends the response, half-closes, and records
    // whatever else arrives until the proxy closes.
    static Script Reply(std::string response) {
        return [response = std::move(response)](OriginConnection& c) {
            if (!c.ReadHead()) {
                return;
            }
            const std::string head = c.Received();
            const size_t headLength = head.find("\r\n\r\n") + 4;
            c.ReadCount(headLength + RequestBodyLength(head.substr(0, headLength)));
            c.Send(response);
            c.ShutdownSending();
            c.ReadToClose();
        };
    }

    // Accepted connections so far.
    size_t Connections() {
        std::scoped_lock lock(lock_);
        return connections_.size();
    }
    // Waits until count scripts have returned.
    bool WaitFinished(size_t count, milliseconds wait = kDefaultWait) {
        std::unique_lock lock(lock_);
        return finishedChanged_.wait_for(lock, wait, [&] { return finished_ >= count; });
    }
    // What connection index received, after its script returned.
    std::string Received(size_t index = 0, milliseconds wait = kDefaultWait) {
        if (!WaitFinished(index + 1, wait)) {
            return "<script of connection " + std::to_string(index) + " still running>";
        }
        std::scoped_lock lock(lock_);
        return index < connections_.size() ? connections_[index]->Received() : std::string("<no connection>");
    }
    // Stops accepting; connections still waiting in the backlog are
    // accepted and counted too, so a connect that was under way is seen.
    size_t StopAndCount() {
        stopAccepting_ = true;
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        while (listener_.Valid() && listener_.WaitReadable(0)) {
            if (!AcceptOne()) {
                break;
            }
        }
        return Connections();
    }

    void Stop() {
        StopAndCount();
        stopping_ = true;
        std::vector<std::thread> threads;
        {
            std::scoped_lock lock(lock_);
            threads.swap(threads_);
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        listener_.Close();
    }

private:
    void AcceptLoop() {
        while (!stopAccepting_) {
            if (listener_.WaitReadable(20)) {
                AcceptOne();
            }
        }
    }

    bool AcceptOne() {
        std::string ip;
        int32_t port = 0;
        TIdIPVersion version = Id_IPv4;
        const TIdStackSocketHandle accepted = TIdStack::Instance().Accept(listener_.Handle(), ip, port, version);
        if (accepted == InvalidSocket) {
            return false;
        }
        auto connection = std::make_unique<OriginConnection>(Socket(accepted), stopping_);
        OriginConnection* raw = connection.get();
        std::scoped_lock lock(lock_);
        connections_.push_back(std::move(connection));
        if (stopAccepting_) {
            // Only counted: the server is going away.
            ++finished_;
            return true;
        }
        threads_.emplace_back([this, raw] {
            try {
                script_(*raw);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "origin script: " << e.what();
            }
            raw->Close();
            std::scoped_lock done(lock_);
            ++finished_;
            finishedChanged_.notify_all();
        });
        return true;
    }

    StackUse use_;
    Script script_;
    Socket listener_;
    int32_t port_ = 0;
    std::atomic<bool> stopAccepting_{false};
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;  // guards connections_, threads_, finished_
    std::condition_variable finishedChanged_;
    std::vector<std::unique_ptr<OriginConnection>> connections_;
    std::vector<std::thread> threads_;
    size_t finished_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline int32_t ClosedLoopbackPort() {
    int32_t port = 0;
    Socket probe = Socket::ListenLoopback(1, port);
    probe.Close();
    return port;
}

inline bool SomethingListensOn(int32_t port) { return Socket::ConnectLoopback(port).Valid(); }

// A port on 127.0.0.1 whose listener never accepts and whose queue is full:
// the system drops further connection attempts, so a connect there waits
// for as long as the connecting side lets it.
class BlackHole {
public:
    BlackHole() : listener_(Socket::ListenLoopback(0, port_)) {
        TIdStack& stack = TIdStack::Instance();
        for (int i = 0; i < 4; ++i) {
            Socket filler(stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4));
            stack.SetBlocking(filler.Handle(), false);
            try {
                stack.Connect(filler.Handle(), "127.0.0.1", port_, Id_IPv4);
            } catch (const EIdSocketError&) {
                // Still under way: it holds its place in the queue or waits.
            }
            fillers_.push_back(std::move(filler));
        }
    }
    int32_t Port() const { return port_; }

private:
    StackUse use_;
    int32_t port_ = 0;
    Socket listener_;
    std::vector<Socket> fillers_;
};

// Whether a connection closed with a reset reaches its peer as one: real
// systems deliver it, wine ends such a socket in order instead. Where it
// does not, a cut-off transfer can only be told by its length.
inline bool ResetReachesPeer() {
    static const bool resets = [] {
        StackUse use;
        int32_t port = 0;
        Socket listener = Socket::ListenLoopback(1, port);
        Socket client = Socket::ConnectLoopback(port);
        std::string ip;
        int32_t peerPort = 0;
        TIdIPVersion version = Id_IPv4;
        Socket accepted(TIdStack::Instance().Accept(listener.Handle(), ip, peerPort, version));
        accepted.Abort();
        std::string got;
        return client.ReadSome(got, Clock::now() + 5s) == ReadState::Reset;
    }();
    return resets;
}

// How a transfer that the proxy cut off ends for its peer.
inline ReadState CutOff() { return ResetReachesPeer() ? ReadState::Reset : ReadState::Closed; }

// A value of /proc/self/status in its own unit (kB for memory); -1 where
// the file or the field is missing.
inline int64_t ProcStatusValue(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() && line[field.size()] == ':') {
            return std::strtoll(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// Polls cond every 10 ms until it holds or the wait runs out.
inline bool Eventually(const std::function<bool()>& cond, milliseconds wait = kDefaultWait) {
    const auto deadline = Clock::now() + wait;
    while (!cond()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// What one OnHTTPDocument call was given.
struct DocumentCall {
    std::string document;
    std::string body;
    std::string firstHeader;
    std::string host;
    uint64_t size = 0;
};

// Runs the proxy on 127.0.0.1 with a system-chosen port; tests configure it
// before StartProxy. Every test ends with the proxy deactivated and no
// context left.
class ProxyTest : public ::testing::Test {
protected:
    void StartProxy() {
        TIdSocketHandle& binding = proxy_.Bindings().Add();
        binding.SetIP("127.0.0.1");
        binding.SetPort(0);
        proxy_.SetActive(true);
        port_ = proxy_.Bindings()[0].Port();
        ASSERT_GT(port_, 0);
    }

    void TearDown() override {
        proxy_.SetActive(false);
        EXPECT_EQ(proxy_.LiveContexts().Count(), 0u);
    }

    // Records every OnHTTPDocument call (they come from worker threads).
    void RecordDocuments() {
        proxy_.OnHTTPDocument = [this](TIdHTTPProxyServer&, const std::string& document,
                                       std::unique_ptr<TStream>& stream, const TIdHeaderList& headers,
                                       const std::string& host, uint64_t size) {
            DocumentCall call{document, {}, headers.Count() > 0 ? headers[0] : "", host, size};
            call.body.resize(static_cast<size_t>(stream->Size()));
            stream->Read(call.body.data(), stream->Size());
            stream->SetPosition(0);
            std::scoped_lock lock(documentsLock_);
            documents_.push_back(std::move(call));
        };
    }
    std::vector<DocumentCall> Documents() {
        std::scoped_lock lock(documentsLock_);
        return documents_;
    }

    RawClient Connect() {
        RawClient client(port_);
        EXPECT_TRUE(client.Connected());
        return client;
    }

    // Sends request and reads until the proxy closes.
    RawClient Exchange(std::string_view request, milliseconds wait = kDefaultWait) {
        RawClient client = Connect();
        EXPECT_TRUE(client.Send(request));
        EXPECT_TRUE(client.ReadToClose(wait)) << "proxy kept the connection open";
        return client;
    }

    TIdHTTPProxyServer proxy_;
    int32_t port_ = 0;
    std::mutex documentsLock_;  // guards documents_
    std::vector<DocumentCall> documents_;
};

inline const std::string kAuthRequired =
    "HTTP/1.0 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"Connection to Vantrel: Authentication Required\"\r\n"
    "\r\n";

// Standard Base64 (RFC 4648), to build credentials independently of the
// decoder under test.
inline std::string Base64(std::string_view data) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<uint8_t>(data[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(data[i + 1])} << 8) | static_cast<uint8_t>(data[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == data.size()) {
        const uint32_t v = uint32_t{static_cast<uint8_t>(data[i])} << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        const uint32_t v = (uint32_t{static_cast<uint8_t>(data[i])} << 16) | (uint32_t{static_cast<uint8_t>(data[i + 1])} << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Deterministic bytes of every value, different for every seed.
inline std::string PatternBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

}  // namespace proxytest
