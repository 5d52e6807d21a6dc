// RegressionTest (proxy): faults the end-to-end soak and bad-input runs
// found, pinned at this layer. A client that stopped reading its answer held
// a worker (and the whole body) for good; a NUL or a stray CR in a request
// was passed on to the origin.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "base/IdException.h"
#include "net/IdStack.h"
#include "proxy/HTTPProxyServer.h"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// A raw loopback socket, closed on destruction.
class TRaw {
public:
    explicit TRaw(TIdStackSocketHandle handle = InvalidSocket) : handle_(handle) {}
    ~TRaw() { Close(); }
    TRaw(const TRaw&) = delete;
    TRaw& operator=(const TRaw&) = delete;

    static TRaw Listen(int32_t& port) {
        TIdStack& stack = TIdStack::Instance();
        TRaw raw(stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4));
        stack.Bind(raw.handle_, "127.0.0.1", 0, Id_IPv4);
        stack.Listen(raw.handle_, 8);
        std::string ip;
        TIdIPVersion version = Id_IPv4;
        stack.LocalEndpoint(raw.handle_, ip, port, version);
        return raw;
    }

    static TRaw Connect(int32_t port) {
        TIdStack& stack = TIdStack::Instance();
        TRaw raw(stack.CreateSocket(Id_SOCK_STREAM, 0, Id_IPv4));
        stack.Connect(raw.handle_, "127.0.0.1", port, Id_IPv4);
        return raw;
    }

    TRaw(TRaw&& other) noexcept : handle_(other.handle_) { other.handle_ = InvalidSocket; }
    TRaw& operator=(TRaw&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = InvalidSocket;
        }
        return *this;
    }

    TIdStackSocketHandle Handle() const { return handle_; }

    bool Readable(int32_t ms) const { return TIdStack::Instance().WaitReadable(&handle_, 1, ms); }

    void SendAll(const std::string& data) const {
        size_t done = 0;
        while (done < data.size()) {
            done += static_cast<size_t>(TIdStack::Instance().Send(
                handle_, reinterpret_cast<const uint8_t*>(data.data()) + done, static_cast<int32_t>(data.size() - done)));
        }
    }

    // Everything until the peer ends the stream (a reset counts as an end),
    // or until limitMs passes without a byte.
    std::string ReadToEnd(int32_t limitMs, bool& ended) const {
        std::string got;
        uint8_t buffer[64 * 1024];
        ended = false;
        while (Readable(limitMs)) {
            int32_t n = 0;
            try {
                n = TIdStack::Instance().Receive(handle_, buffer, sizeof buffer);
            } catch (const EIdSocketError&) {
                n = 0;
            }
            if (n <= 0) {
                ended = true;
                break;
            }
            got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
        }
        return got;
    }

    void Close() {
        if (handle_ != InvalidSocket) {
            TIdStack::Instance().Disconnect(handle_);
            handle_ = InvalidSocket;
        }
    }

private:
    TIdStackSocketHandle handle_;
};

// The proxy on 127.0.0.1 with a system-chosen port and short limits, and a
// listening origin socket that the test serves (or leaves alone).
class ProxyRegressionTest : public ::testing::Test {
protected:
    void SetUp() override {
        origin_ = TRaw::Listen(originPort_);
        proxy_.SetIdleTimeout(1);
        proxy_.SetRequestTimeout(5);
        TIdSocketHandle& binding = proxy_.Bindings().Add();
        binding.SetIP("127.0.0.1");
        binding.SetPort(0);
        proxy_.SetActive(true);
        proxyPort_ = proxy_.Bindings()[0].Port();
        ASSERT_GT(proxyPort_, 0);
    }

    void TearDown() override {
        proxy_.SetActive(false);
        EXPECT_EQ(proxy_.LiveContexts().Count(), 0u);
    }

    bool WaitNoContexts(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (proxy_.LiveContexts().Count() != 0) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // First member: the raw sockets below need the stack until they close.
    struct TStackUse {
        TStackUse() { TIdStack::IncUsage(); }
        ~TStackUse() { TIdStack::DecUsage(); }
        TStackUse(const TStackUse&) = delete;
        TStackUse& operator=(const TStackUse&) = delete;
    } stackUse_;
    TRaw origin_;
    int32_t originPort_ = 0;
    TIdHTTPProxyServer proxy_;
    int32_t proxyPort_ = 0;
};

TEST_F(ProxyRegressionTest, ClientThatStopsReadingIsDroppedAfterTheIdleLimit) {
    constexpr size_t BodySize = 16u << 20;  // more than the socket buffers hold
    std::atomic<bool> served{false};
    std::thread origin([&] {
        if (!origin_.Readable(10000)) {
            return;
        }
        std::string ip;
        int32_t port = 0;
        TIdIPVersion version = Id_IPv4;
        TRaw connection(TIdStack::Instance().Accept(origin_.Handle(), ip, port, version));
        uint8_t buffer[4096];
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && connection.Readable(10000)) {
            const int32_t n = TIdStack::Instance().Receive(connection.Handle(), buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            head.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
        }
        served = true;
        // The body is relayed as it comes, so this send stalls with the
        // client; it ends when the proxy gives up on both.
        try {
            connection.SendAll("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(BodySize) + "\r\n\r\n" +
                               std::string(BodySize, 'b'));
        } catch (const EIdSocketError&) {
        }
    });
    TRaw client = TRaw::Connect(proxyPort_);
    client.SendAll("GET http://127.0.0.1:" + std::to_string(originPort_) + "/big HTTP/1.0\r\n\r\n");
    origin.join();
    ASSERT_TRUE(served.load());

    // The client reads nothing: the proxy must give up on it by itself.
    EXPECT_TRUE(WaitNoContexts(std::chrono::seconds(15))) << "the worker still waits on the client";
    bool ended = false;
    const std::string got = client.ReadToEnd(5000, ended);
    EXPECT_TRUE(ended);
    EXPECT_LT(got.size(), BodySize) << "the proxy waited after all";
}

struct TUnsafeRequest {
    const char* name;
    std::string request;  // "{O}" stands for the origin's port
};

void PrintTo(const TUnsafeRequest& request, std::ostream* out) { *out << request.name; }

class UnsafeBytesTest : public ProxyRegressionTest, public ::testing::WithParamInterface<TUnsafeRequest> {};

TEST_P(UnsafeBytesTest, IsRefusedAndNeverReachesTheOrigin) {
    std::string request = GetParam().request;
    const size_t at = request.find("{O}");
    request.replace(at, 3, std::to_string(originPort_));
    TRaw client = TRaw::Connect(proxyPort_);
    client.SendAll(request);
    bool ended = false;
    EXPECT_EQ(client.ReadToEnd(10000, ended), "HTTP/1.0 400 Bad Request\r\n\r\n");
    EXPECT_TRUE(ended);
    // The handler is over by now: a connection it made would be pending.
    EXPECT_FALSE(origin_.Readable(0)) << "the request reached the origin";
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnsafeBytesTest,
    ::testing::Values(TUnsafeRequest{"NulInTarget", "GET http://127.0.0.1:{O}/a\0b HTTP/1.0\r\n\r\n"s},
                      TUnsafeRequest{"NulInHeader", "GET http://127.0.0.1:{O}/ HTTP/1.0\r\nX-A: a\0b\r\n\r\n"s},
                      TUnsafeRequest{"CrInsideHeader", "GET http://127.0.0.1:{O}/ HTTP/1.0\r\nX-A: a\rX-B: b\r\n\r\n"},
                      TUnsafeRequest{"CrInTarget", "GET http://127.0.0.1:{O}/a\rb HTTP/1.0\r\n\r\n"},
                      TUnsafeRequest{"NulInPostHeader",
                                     "POST http://127.0.0.1:{O}/ HTTP/1.0\r\nContent-Length: 2\r\nX: \0\r\n\r\nhi"s},
                      TUnsafeRequest{"NulInConnectTarget", "CONNECT 127.0.0.1:{O}\0 HTTP/1.0\r\n\r\n"s}),
    [](const ::testing::TestParamInfo<TUnsafeRequest>& tested) { return std::string(tested.param.name); });

}  // namespace
