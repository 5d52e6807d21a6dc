// Loopback helpers for the proxy tests: a raw client whose every read has a
// deadline, ports that refuse or never answer, and a fixture that runs a
// TIdHTTPProxyServer on 127.0.0.1 with a port chosen by the system. The
// origin servers and the waits are the shared ones of tests/support.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "net/IdStack.h"
#include "proxy/HTTPProxyServer.h"
#include "tests/support/Answers.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/OriginServer.h"
#include "tests/support/ProcStatus.h"
#include "tests/support/SameBytes.h"
#include "tests/support/Wait.h"

namespace proxytest {

using namespace vtltest;

using std::chrono::milliseconds;
using namespace std::chrono_literals;

inline constexpr milliseconds kDefaultWait = WaitLimit;

// Names TEST_P instances after the case's name field.
struct CaseName {
    template <class P>
    std::string operator()(const ::testing::TestParamInfo<P>& tested) const {
        return tested.param.name;
    }
};

enum class ReadState { Open, Closed, Reset };

// The test's side of a connection: everything received so far, and how the
// peer ended (if it did).
class RawClient {
public:
    explicit RawClient(int32_t port, const std::string& from = {}) { socket_.Connect(port, false, 0, from); }

    bool Connected() const { return socket_.Valid(); }
    // Bounded generously: a large body goes as fast as the proxy takes it.
    bool Send(std::string_view data) { return socket_.SendAll(data, After(60s)); }
    void ShutdownSending() { socket_.ShutdownWrite(); }
    void Close() { socket_.Close(); }

    const std::string& Received() const { return received_; }
    ReadState State() const { return state_; }
    bool PeerClosed() const { return state_ != ReadState::Open; }

    // Reads until done() holds, the peer ends or the wait runs out; answers done().
    bool ReadUntil(const std::function<bool(const std::string&)>& done, milliseconds wait = kDefaultWait) {
        const auto deadline = Clock::now() + wait;
        while (!done(received_) && state_ == ReadState::Open && Clock::now() < deadline) {
            TEnd end = TEnd::TimedOut;
            if (socket_.ReceiveSome(received_, deadline, end) == 0) {
                state_ = end == TEnd::TimedOut ? ReadState::Open
                         : end == TEnd::Closed ? ReadState::Closed
                                               : ReadState::Reset;
            }
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
    TLoopbackSocket socket_;
    std::string received_;
    ReadState state_ = ReadState::Open;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline int32_t ClosedLoopbackPort() { return FreePort("127.0.0.1"); }

inline bool SomethingListensOn(int32_t port) { return CanConnect(port); }

// Whether a connection closed with a reset reaches its peer as one: real
// systems deliver it, wine ends such a socket in order instead. Where it
// does not, a cut-off transfer can only be told by its length.
inline bool ResetReachesPeer() {
    static const bool resets = [] {
        TLoopbackSocket listener = TLoopbackSocket::Listen("127.0.0.1", 0, 1);
        TLoopbackSocket client;
        client.Connect(listener.LocalPort());
        listener.WaitReadable(After(5s));
        listener.Accept().Abort();
        std::string got;
        TEnd end = TEnd::TimedOut;
        client.ReceiveSome(got, After(5s), end);
        return end == TEnd::Reset;
    }();
    return resets;
}

// How a transfer that the proxy cut off ends for its peer.
inline ReadState CutOff() { return ResetReachesPeer() ? ReadState::Reset : ReadState::Closed; }

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
