// TunnelTest: CONNECT tunnels through the real program: curl's proxy tunnel
// to a plain origin, TLS with curl to a local openssl s_server, Python's
// http.client tunnel, and the raw answer with bytes sent behind the request.
// Tunnels are neither logged nor counted.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

using TunnelTest = ProgramTest;

constexpr const char* Established = "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n";

TEST_F(TunnelTest, CurlProxyTunnelReachesAPlainOrigin) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const TToolResult curl = RunTool({"curl", "-sS", "--max-time", "10", "--proxytunnel", "-x", ProxyUrl(),
                                      "http://127.0.0.1:" + std::to_string(origin.Port()) + "/size/3000"});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_EQ(curl.out, TOriginServer::BodyFor("/size/3000"));

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    // Through a tunnel the client speaks to the origin itself.
    EXPECT_EQ(seen[0].requestLine, "GET /size/3000 HTTP/1.1");
    EXPECT_EQ(LogOutput(), "");
}

TEST_F(TunnelTest, CurlReachesATlsServerThroughTheTunnel) {
    VTL_REQUIRE_TOOL("curl");
    VTL_REQUIRE_TOOL("openssl");
    const TTempDir keys;
    const TToolResult made =
        RunTool({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", keys.File("key.pem"), "-out", keys.File("cert.pem"), "-days", "1", "-subj", "/CN=localhost"});
    ASSERT_TRUE(made.finished && made.exitCode == 0) << made.err;

    const int tlsPort = FreePort();
    TChildProcess tlsServer({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(tlsPort), "-cert",
                             keys.File("cert.pem"), "-key", keys.File("key.pem"), "-www", "-quiet"},
                            -1, -1, -1);
    ASSERT_TRUE(tlsServer.Started());
    ASSERT_TRUE(WaitUntil([&] { return CanConnect(tlsPort) || tlsServer.HasExited(); }, StartLimit) &&
                !tlsServer.HasExited())
        << "openssl s_server did not start";
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const TToolResult curl = RunTool({"curl", "-sS", "--max-time", "10", "-k", "-x", ProxyUrl(),
                                      "https://127.0.0.1:" + std::to_string(tlsPort) + "/"});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    // s_server -www answers with a page that names itself.
    EXPECT_NE(curl.out.find("s_server"), std::string::npos) << curl.out;
    EXPECT_EQ(LogOutput(), "");
}

TEST_F(TunnelTest, PythonHttpClientTunnelReachesAPlainOrigin) {
    VTL_REQUIRE_TOOL("python3");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const char* script =
        "import http.client, sys\n"
        "connection = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
        "connection.set_tunnel('127.0.0.1', int(sys.argv[2]))\n"
        "connection.request('GET', '/size/777')\n"
        "response = connection.getresponse()\n"
        "sys.stdout.write('%d\\n' % response.status)\n"
        "sys.stdout.flush()\n"
        "sys.stdout.buffer.write(response.read())\n";
    const TToolResult python =
        RunTool({"python3", "-c", script, std::to_string(ProxyPort()), std::to_string(origin.Port())});
    ASSERT_TRUE(python.finished);
    EXPECT_EQ(python.exitCode, 0) << python.err;
    EXPECT_EQ(python.out, "200\n" + TOriginServer::BodyFor("/size/777"));
    EXPECT_EQ(LogOutput(), "");
}

TEST_F(TunnelTest, BytesBehindTheRequestAreTheFirstTunnelBytes) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    // Request and the tunnelled request in one send.
    const std::string answer = ExchangeWithProxy(
        ProxyPort(), "CONNECT 127.0.0.1:" + std::to_string(origin.Port()) +
                         " HTTP/1.0\r\nHost: example\r\n\r\nGET /size/10 HTTP/1.0\r\n\r\n");
    ASSERT_EQ(answer.rfind(Established, 0), 0U) << answer;
    const std::string tunnelled = answer.substr(std::string(Established).size());
    ASSERT_GE(tunnelled.size(), 10U);
    EXPECT_EQ(tunnelled.rfind("HTTP/1.0 200 OK\r\n", 0), 0U) << tunnelled;
    EXPECT_EQ(tunnelled.substr(tunnelled.size() - 10), "abcdefghij");

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].requestLine, "GET /size/10 HTTP/1.0");
}

TEST_F(TunnelTest, UnreachableTargetGets502) {
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    const int closedPort = FreePort();
    EXPECT_TRUE(IsProxyAnswer(
        ExchangeWithProxy(ProxyPort(), "CONNECT 127.0.0.1:" + std::to_string(closedPort) + " HTTP/1.0\r\n\r\n"), 502));
}

}  // namespace
}  // namespace e2e

#endif  // _WIN32
