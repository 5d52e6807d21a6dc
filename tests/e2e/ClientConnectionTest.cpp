// ClientConnectionTest: what the real program does with the connections of
// clients that would keep them (ab -k, curl with many URLs) and of clients
// that half-close: every request is answered and logged on its own, and a
// half-close loses nothing of the answer.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/ProgramFixture.h"
#include "base/IdException.h"
#include "tests/e2e/soak/SoakContent.h"

namespace e2e {
namespace {

class ClientConnectionTest : public ProgramTest {
protected:
    void StartLogging() { ASSERT_NO_FATAL_FAILURE(StartProxy("[General]\nLogFile=access.log\n")); }

    // Waits (bounded) until the access log holds count lines with that
    // status; answers how many it holds.
    size_t LoggedWithStatus(const std::string& status, size_t count) {
        size_t lines = 0;
        WaitUntil([&] {
            std::istringstream log(ReadWholeFile(Program().Directory() + "/access.log"));
            lines = 0;
            for (std::string line; std::getline(log, line);) {
                lines += line.find(" " + status + " ") != std::string::npos ? 1 : 0;
            }
            return lines >= count;
        });
        return lines;
    }
};

// Every answer says "Connection: close", so a client that would reuse its
// connection opens a new one instead of writing into a closed one.
TEST_F(ClientConnectionTest, ApacheBenchWithKeepAliveLosesNoRequest) {
    VTL_REQUIRE_TOOL("ab");
    const TOriginServer origin(TOriginOptions{"127.0.0.1", false, false});
    ASSERT_NO_FATAL_FAILURE(StartLogging());
    const TToolResult ab = RunTool({"ab", "-k", "-n", "2000", "-c", "20", "-X", "127.0.0.1:" + std::to_string(ProxyPort()),
                                    origin.Url("/size/100")},
                                   Ms{60000});
    ASSERT_TRUE(ab.finished);
    EXPECT_EQ(ab.exitCode, 0) << ab.err;
    EXPECT_NE(ab.out.find("Complete requests:      2000"), std::string::npos) << ab.out;
    EXPECT_NE(ab.out.find("Failed requests:        0"), std::string::npos) << ab.out;
    EXPECT_EQ(ab.out.find("Non-2xx responses"), std::string::npos) << ab.out;
    EXPECT_EQ(LoggedWithStatus("200", 2000), 2000U);
}

TEST_F(ClientConnectionTest, CurlWithFiftyUrlsGetsFiftyAnswers) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartLogging());
    std::vector<std::string> argv{"curl", "-sS", "--max-time", "30", "-x", ProxyUrl()};
    std::string expected;
    for (int i = 1; i <= 50; ++i) {
        argv.push_back(origin.Url("/size/" + std::to_string(i)));
        expected += TOriginServer::BodyFor("/size/" + std::to_string(i));
    }
    const TToolResult curl = RunTool(argv, Ms{60000});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_TRUE(SameBytes(curl.out, expected));
    EXPECT_EQ(LoggedWithStatus("200", 50), 50U);
}

// A client that shuts its sending side down once it has asked still gets
// the whole answer: through a tunnel (the end is passed on to the target,
// which answers when it has read everything) and as a relayed body.
TEST_F(ClientConnectionTest, HalfClosedTunnelGetsTheWholeAnswer) {
    const std::string request = PatternBytes(4, 300 * 1024);
    TOriginServer target([](TOriginConnection& c) {
        if (c.ReadToClose()) {
            c.Send("echo:" + c.Received());
        }
    });
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    TClientSocket client(ProxyPort());
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(target.Port()) + " HTTP/1.1\r\n\r\n"));
    const std::string established = "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n";
    ASSERT_TRUE(client.ReadUntil(established, StartLimit));
    ASSERT_TRUE(client.Send(request));
    client.ShutdownSending();
    ASSERT_TRUE(client.ReadUntilClosed(Ms{10000}));
    EXPECT_TRUE(SameBytes(client.Received(), established + "echo:" + request));
}

TEST_F(ClientConnectionTest, HalfClosedClientGetsAWholeRelayedBody) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    const std::string path = "/size/" + std::to_string(3 << 20);  // past the hold limit: relayed
    TClientSocket client(ProxyPort());
    ASSERT_TRUE(client.Send("GET " + origin.Url(path) + " HTTP/1.0\r\n\r\n"));
    client.ShutdownSending();
    ASSERT_TRUE(client.ReadUntilClosed(Ms{10000}));
    const std::string& got = client.Received();
    const size_t end = got.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << got.substr(0, 200);
    EXPECT_TRUE(SameBytes(got.substr(end + 4), TOriginServer::BodyFor(path)));
}

// curl through the program to an origin that listens on ::1 only, by its
// bracketed literal: forwarded, and through a tunnel (curl -p), both
// logged with the address they reached.
TEST_F(ClientConnectionTest, CurlReachesAnIPv6OnlyOrigin) {
    VTL_REQUIRE_TOOL("curl");
    std::unique_ptr<TOriginServer> origin;
    try {
        origin = std::make_unique<TOriginServer>(TOriginOptions{"::1"});
    } catch (const EIdException&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_NO_FATAL_FAILURE(StartLogging());
    const std::string url = "http://[::1]:" + std::to_string(origin->Port()) + "/";
    for (const std::vector<std::string>& how : {std::vector<std::string>{}, std::vector<std::string>{"-p"}}) {
        std::vector<std::string> argv{"curl", "-sS", "--max-time", "30", "-x", ProxyUrl()};
        argv.insert(argv.end(), how.begin(), how.end());
        argv.push_back(url);
        const TToolResult curl = RunTool(argv, Ms{60000});
        ASSERT_TRUE(curl.finished);
        EXPECT_EQ(curl.exitCode, 0) << curl.err;
        EXPECT_EQ(curl.out, TOriginServer::OriginGreeting) << (how.empty() ? "forwarded" : "tunnel");
    }
    ASSERT_EQ(LoggedWithStatus("200", 2), 2U);
    const std::string log = ReadWholeFile(Program().Directory() + "/access.log");
    EXPECT_NE(log.find(" GET " + url + " 200 "), std::string::npos) << log;
    EXPECT_NE(log.find(" CONNECT [::1]:" + std::to_string(origin->Port()) + " 200 "), std::string::npos) << log;
}

}  // namespace
}  // namespace e2e

#endif  // _WIN32
