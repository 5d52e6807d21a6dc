// RegressionTest (proxy): faults the end-to-end soak and bad-input runs
// found, pinned at this layer. A client that stopped reading its answer held
// a worker (and the whole body) for good; a NUL or a stray CR in a request
// was passed on to the origin.
#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "tests/proxy/ProxyTestSupport.h"

namespace {

using namespace std::string_literals;
using namespace vtltest;

// The proxy on 127.0.0.1 with a system-chosen port and short limits.
class ProxyRegressionTest : public proxytest::ProxyTest {
protected:
    void SetUp() override {
        proxy_.SetIdleTimeout(1);
        proxy_.SetRequestTimeout(5);
        StartProxy();
    }
};

// A reset ends a stream as well as the orderly close.
bool Ended(TEnd end) { return end == TEnd::Closed || end == TEnd::Reset; }

TEST_F(ProxyRegressionTest, ClientThatStopsReadingIsDroppedAfterTheIdleLimit) {
    constexpr size_t BodySize = 16u << 20;  // more than the socket buffers hold
    std::atomic<bool> served{false};
    TOriginServer origin([&](TOriginConnection& c) {
        if (!c.ReadHead()) {
            return;
        }
        served = true;
        // The body is relayed as it comes, so this send stalls with the
        // client; it ends when the proxy gives up on both.
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(BodySize) + "\r\n\r\n" +
                   std::string(BodySize, 'b'),
               Ms(30000));
    });
    TLoopbackSocket client;
    ASSERT_TRUE(client.Connect(port_));
    client.SendAll("GET " + origin.Url("/big") + " HTTP/1.0\r\n\r\n", After(WaitLimit));
    ASSERT_TRUE(origin.WaitFinished(1, Ms(40000)));
    ASSERT_TRUE(served.load());

    // The client reads nothing: the proxy must give up on it by itself.
    EXPECT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }, Ms(15000)))
        << "the worker still waits on the client";
    std::string got;
    EXPECT_TRUE(Ended(client.ReadToEnd(got, After(Ms(5000)))));
    EXPECT_LT(got.size(), BodySize) << "the proxy waited after all";
}

struct TUnsafeRequest {
    const char* name;
    std::string request;  // "{O}" stands for the origin's port
};

void PrintTo(const TUnsafeRequest& request, std::ostream* out) { *out << request.name; }

class UnsafeBytesTest : public ProxyRegressionTest, public ::testing::WithParamInterface<TUnsafeRequest> {};

TEST_P(UnsafeBytesTest, IsRefusedAndNeverReachesTheOrigin) {
    TOriginServer origin;
    std::string request = GetParam().request;
    const size_t at = request.find("{O}");
    request.replace(at, 3, std::to_string(origin.Port()));
    TLoopbackSocket client;
    ASSERT_TRUE(client.Connect(port_));
    client.SendAll(request, After(WaitLimit));
    std::string got;
    EXPECT_TRUE(Ended(client.ReadToEnd(got, After(Ms(10000)))));
    EXPECT_TRUE(IsProxyAnswer(got, 400));
    // The handler is over by now: a connection it made would be pending.
    EXPECT_EQ(origin.StopAndCount(), 0u) << "the request reached the origin";
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
