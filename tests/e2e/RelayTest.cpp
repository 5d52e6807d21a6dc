// RelayTest: GET, POST and HEAD relayed by the real program with curl as
// the client and an in-process origin, the log entries they leave on
// redirected output (also under concurrent requests), and proxy
// authentication with credentials from vtl.ini.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

using RelayTest = ProgramTest;

std::string OriginUrl(const TOriginServer& origin, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(origin.Port()) + path;
}

bool HasHeader(const TOriginRequest& request, const std::string& line) {
    return std::find(request.headers.begin(), request.headers.end(), line) != request.headers.end();
}

bool HasHeaderNamed(const TOriginRequest& request, const std::string& name) {
    return std::any_of(request.headers.begin(), request.headers.end(), [&](const std::string& line) {
        return line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
               line[name.size()] == ':';
    });
}

TEST_F(RelayTest, CurlGetGetsTheOriginBodyAndLeavesOneLogEntry) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const TToolResult curl = RunTool({"curl", "-sS", "--max-time", "10", "-x", ProxyUrl(), "-H",
                                      "X-Trace: kept as sent", OriginUrl(origin, "/size/2500?q=1")});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_EQ(curl.out, TOriginServer::BodyFor("/size/2500"));

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].requestLine, "GET /size/2500?q=1 HTTP/1.0");
    EXPECT_TRUE(HasHeader(seen[0], "X-Trace: kept as sent"));

    const std::string entry = LogEntry("127.0.0.1", "127.0.0.1", "2 KB");
    EXPECT_EQ(WaitForLog(entry), entry);
}

TEST_F(RelayTest, CurlPostSendsTheBodyToTheOrigin) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const std::string form = "name=vantrel&lines=a%0Ab";
    const TToolResult curl = RunTool(
        {"curl", "-sS", "--max-time", "10", "-x", ProxyUrl(), "--data-binary", form, OriginUrl(origin, "/form")});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_EQ(curl.out, "posted:" + form);

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].requestLine, "POST /form HTTP/1.0");
    EXPECT_EQ(seen[0].body, form);

    const std::string entry =
        LogEntry("127.0.0.1", "127.0.0.1", std::to_string(form.size() + 7) + " Bytes");
    EXPECT_EQ(WaitForLog(entry), entry);
}

// curl asks for "100 Continue" before a body of this size and otherwise
// waits for it (here 20 s, so that a missing one cannot hide in a slow
// run, a sanitizer's say); the 2 MB body is relayed, and so is the answer.
TEST_F(RelayTest, CurlUploadOfTwoMegabytesTakesNoWaitAndArrivesWhole) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    const TTempDir dir;
    std::string body(2 * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>((i * 7919) >> 5);
    }
    WriteWholeFile(dir.File("upload.bin"), body);

    const auto start = std::chrono::steady_clock::now();
    const TToolResult curl = RunTool({"curl", "-sS", "--max-time", "30", "--expect100-timeout", "20", "-x", ProxyUrl(),
                                      "--data-binary", "@" + dir.File("upload.bin"), OriginUrl(origin, "/upload")});
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_TRUE(SameBytes(curl.out, "posted:" + body)) << curl.out.size() << " bytes came back";

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    // The proxy answered the 100 Continue itself; the origin is not asked.
    EXPECT_FALSE(HasHeaderNamed(seen[0], "Expect"));
    EXPECT_EQ(seen[0].body.size(), body.size());
    EXPECT_TRUE(SameBytes(seen[0].body, body));
}

TEST_F(RelayTest, CurlHeadGetsTheHeadersAndLogsNothing) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const TToolResult curl =
        RunTool({"curl", "-sS", "--max-time", "10", "-I", "-x", ProxyUrl(), OriginUrl(origin, "/size/5000")});
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_EQ(curl.out.rfind("HTTP/1.0 200 OK\r\n", 0), 0U) << curl.out;
    EXPECT_NE(curl.out.find("Content-Length: 5000\r\n"), std::string::npos) << curl.out;
    EXPECT_NE(curl.out.find("X-Origin: vtl-e2e\r\n"), std::string::npos) << curl.out;

    const std::vector<TOriginRequest> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].requestLine, "HEAD /size/5000 HTTP/1.0");
    // A document is logged before its body goes out, so by now any entry
    // would be there.
    EXPECT_EQ(LogOutput(), "");
}

// Several clients at once: every entry on the console is one whole
// request's three lines, never lines of different requests mixed.
TEST_F(RelayTest, ConcurrentRequestsNeverInterleaveTheirLogLines) {
    TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    // Spellings of 127.0.0.1 (leading zeros in its pieces) that the program
    // connects to as they are, so that each logged host names its request.
    constexpr size_t Clients = 12;
    constexpr int Rounds = 4;
    std::vector<std::string> hosts;
    std::map<std::string, std::string> sizeOfHost;
    for (size_t i = 0; i < Clients; ++i) {
        std::string host;
        size_t zeros = i;
        for (const char* piece : {"127", "0", "0", "1"}) {
            host += (host.empty() ? "" : ".") + std::string(zeros % 3, '0') + piece;
            zeros /= 3;
        }
        hosts.push_back(host);
        sizeOfHost[host] = std::to_string(100 + i * 37) + " Bytes";
    }
    for (int round = 1; round <= Rounds; ++round) {
        // The answers of a round leave the origin together, so that their
        // documents reach the log at about the same moment.
        origin.HoldAnswersUntil(Clients * static_cast<size_t>(round));
        std::vector<std::string> answers(Clients);
        std::vector<std::thread> clients;
        for (size_t i = 0; i < Clients; ++i) {
            const std::string request = "GET http://" + hosts[i] + ":" + std::to_string(origin.Port()) + "/size/" +
                                        std::to_string(100 + i * 37) + " HTTP/1.0\r\n\r\n";
            clients.emplace_back([this, request, &answers, i] { answers[i] = ExchangeWithProxy(ProxyPort(), request); });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        for (size_t i = 0; i < Clients; ++i) {
            const std::string body = TOriginServer::BodyFor("/size/" + std::to_string(100 + i * 37));
            const std::string_view tail =
                std::string_view(answers[i]).substr(answers[i].size() - std::min(answers[i].size(), body.size()));
            EXPECT_TRUE(SameBytes(tail, body)) << "round " << round << ", request " << i << " got: " << answers[i].substr(0, 200);
        }
    }

    std::istringstream log(LogOutput());
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    // Entries that meet one being written are dropped, never mixed in.
    ASSERT_GE(lines.size(), 3U);
    ASSERT_EQ(lines.size() % 3, 0U) << LogOutput();
    for (size_t at = 0; at < lines.size(); at += 3) {
        ASSERT_EQ(lines[at].rfind("Request: ", 0), 0U) << LogOutput();
        const std::string host = lines[at].substr(9);
        ASSERT_EQ(sizeOfHost.count(host), 1U) << LogOutput();
        EXPECT_EQ(lines[at + 1], "From: 127.0.0.1");
        EXPECT_EQ(lines[at + 2], "Size: " + sizeOfHost[host]) << "entry of " << host << " mixed with another";
    }
}

struct TAuthCase {
    const char* name;
    const char* credentials;  // for --proxy-user; empty: none sent
    const char* statusLine;
    bool reachesOrigin;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const TAuthCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class ProxyAuthTest : public ProgramTest, public ::testing::WithParamInterface<TAuthCase> {};

TEST_P(ProxyAuthTest, CredentialsFromTheIniFileGuardGet) {
    VTL_REQUIRE_TOOL("curl");
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy("[Authorization]\nUser=alice\nPassword=s3cret pass\n"));
    EXPECT_NE(Program().Stdout().find(" [Port: " + std::to_string(ProxyPort()) +
                                      "] [Authentication required] [ST: 100]\n"),
              std::string::npos)
        << Program().Stdout();

    std::vector<std::string> argv{"curl", "-sS", "--max-time", "10", "-D", "-", "-o", "/dev/null", "-x", ProxyUrl()};
    if (*GetParam().credentials != '\0') {
        argv.insert(argv.end(), {"--proxy-user", GetParam().credentials});
    }
    argv.push_back(OriginUrl(origin, "/"));
    const TToolResult curl = RunTool(argv);
    ASSERT_TRUE(curl.finished);
    EXPECT_EQ(curl.exitCode, 0) << curl.err;
    EXPECT_EQ(curl.out.rfind(std::string(GetParam().statusLine) + "\r\n", 0), 0U) << curl.out;

    const std::vector<TOriginRequest> seen = origin.Requests();
    if (GetParam().reachesOrigin) {
        ASSERT_EQ(seen.size(), 1U);
        // The proxy's credentials are not passed on to the origin.
        EXPECT_FALSE(HasHeaderNamed(seen[0], "Proxy-Authorization"));
        const std::string entry = LogEntry("127.0.0.1", "127.0.0.1", "22 Bytes");
        EXPECT_EQ(WaitForLog(entry), entry);
    } else {
        EXPECT_TRUE(seen.empty());
        EXPECT_NE(curl.out.find("\r\nProxy-Authenticate: Basic realm="), std::string::npos) << curl.out;
        EXPECT_EQ(LogOutput(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, ProxyAuthTest,
    ::testing::Values(TAuthCase{"Missing", "", "HTTP/1.0 407 Proxy Authentication Required", false},
                      TAuthCase{"WrongPassword", "alice:s3cret", "HTTP/1.0 407 Proxy Authentication Required", false},
                      TAuthCase{"WrongUser", "bob:s3cret pass", "HTTP/1.0 407 Proxy Authentication Required", false},
                      TAuthCase{"Matching", "alice:s3cret pass", "HTTP/1.0 200 OK", true}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace e2e

#endif  // _WIN32
