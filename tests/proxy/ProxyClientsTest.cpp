// Tests that drive the proxy with real clients: the curl program for GET,
// HEAD, POST, proxy credentials and a CONNECT tunnel, and many raw clients
// at once, each of which must get exactly its own document, with nothing
// left running afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "proxy/HTTPProxyServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace proxytest {
namespace {

#ifndef _WIN32

// curl's exit status from std::system's wait status.
int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CurlResult {
    int exitCode = -1;
    std::string output;  // what curl wrote to its output file
    std::string written;  // its -w text
    std::string errors;
};

// Runs the curl program through the proxy; never through an environment
// proxy setting or a user's .curlrc.
class WithCurl : public ProxyTest {
protected:
    void SetUp() override {
        if (std::system("curl --version >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "curl is not installed";
        }
        dir_ = std::filesystem::temp_directory_path() /
               ("vtl-proxy-curl-" + std::to_string(Clock::now().time_since_epoch().count()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        ProxyTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    CurlResult Curl(const std::string& arguments) {
        const std::filesystem::path out = dir_ / "out";
        const std::filesystem::path written = dir_ / "written";
        const std::filesystem::path errors = dir_ / "errors";
        std::filesystem::remove(out);
        const std::string command = "curl -q -s -S --max-time 15 --noproxy '' -x http://127.0.0.1:" +
                                    std::to_string(port_) + " -o '" + out.string() + "' " + arguments + " >'" +
                                    written.string() + "' 2>'" + errors.string() + "'";
        CurlResult result;
        const int status = std::system(command.c_str());
        result.exitCode = ExitCodeOf(status);
        result.output = ReadFile(out);
        result.written = ReadFile(written);
        result.errors = ReadFile(errors);
        return result;
    }

    std::filesystem::path dir_;
};

TEST_F(WithCurl, Get) {
    StartProxy();
    const std::string body = "<html>" + std::string(40000, 'x') + "</html>\n";
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body));
    const CurlResult result = Curl("'" + origin.Url("/curl/get?x=1") + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(SameBytes(result.output, body));
    const std::string request = origin.Received();
    const std::string start = "GET /curl/get?x=1 HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n";
    EXPECT_EQ(request.rfind(start, 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: curl/"), std::string::npos) << request;
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n") << request;
}

TEST_F(WithCurl, Head) {
    StartProxy();
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 123456\r\nX-Origin: yes\r\n\r\n");
        c.ReadToClose();
    });
    const CurlResult result = Curl("-I '" + origin.Url("/curl/head") + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "HTTP/1.0 200 OK\r\nContent-Length: 123456\r\nX-Origin: yes\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received().rfind("HEAD /curl/head HTTP/1.0\r\n", 0), 0u) << origin.Received();
}

TEST_F(WithCurl, Post) {
    StartProxy();
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\naccepted"));
    const CurlResult result = Curl("-d 'a=1&b=two' '" + origin.Url("/curl/post") + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "accepted");
    const std::string request = origin.Received();
    EXPECT_EQ(request.rfind("POST /curl/post HTTP/1.0\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nContent-Length: 9\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.substr(request.size() - 13), "\r\n\r\na=1&b=two") << request;
}

TEST_F(WithCurl, ProxyCredentials) {
    proxy_.SetCredentials("curl-user", "p:w");
    StartProxy();
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\ninside"));
    const CurlResult refused = Curl("-w '%{http_code}' '" + origin.Url("/private") + "'");
    EXPECT_EQ(refused.written, "407");
    const CurlResult wrong = Curl("--proxy-user curl-user:pw -w '%{http_code}' '" + origin.Url("/private") + "'");
    EXPECT_EQ(wrong.written, "407");
    const CurlResult allowed = Curl("--proxy-user curl-user:p:w -w '%{http_code}' '" + origin.Url("/private") + "'");
    EXPECT_EQ(allowed.exitCode, 0) << allowed.errors;
    EXPECT_EQ(allowed.written, "200");
    EXPECT_EQ(allowed.output, "inside");
    EXPECT_EQ(origin.Received().find("Proxy-Authorization"), std::string::npos) << origin.Received();
    EXPECT_EQ(origin.Connections(), 1u);
}

TEST_F(WithCurl, Tunnel) {
    StartProxy();
    // Through a tunnel curl talks to the target itself.
    TOriginServer origin(TOriginServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 9\r\nConnection: close\r\n\r\ntunnelled"));
    const CurlResult result = Curl("-p '" + origin.Url("/through") + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "tunnelled");
    EXPECT_EQ(origin.Received().rfind("GET /through HTTP/1.1\r\n", 0), 0u) << origin.Received();
}

#endif  // _WIN32

// -------------------------------------------------------- many at once

class ManyClients : public ProxyTest {};

TEST_F(ManyClients, EachOfTwoHundredGetsExactlyItsOwnDocument) {
    constexpr uint32_t kClients = 200;
    // ThreadSanitizer starts a helper thread at the first thread creation of
    // the process: let that happen before the baseline is taken.
    std::thread([] {}).join();
    const int64_t threadsBefore = ProcStatusValue("Threads");
    auto bodyOf = [](uint32_t i) { return PatternBytes(10000 + (i * 197) % 40000, i + 1000); };
    std::vector<std::string> received(kClients);
    std::vector<int> ended(kClients, 0);
    RecordDocuments();
    StartProxy();
    {
        TOriginServer origin([&bodyOf](TOriginConnection& c) {
            if (!c.ReadHead()) {
                return;
            }
            const std::string head = c.Received();
            const auto i = static_cast<uint32_t>(std::strtoul(head.c_str() + head.find("/doc/") + 5, nullptr, 10));
            const std::string body = bodyOf(i);
            c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            c.ReadToClose();
        });
        std::vector<std::thread> clients;
        clients.reserve(kClients);
        for (uint32_t i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                RawClient client(port_);
                if (client.Send("GET " + origin.Url("/doc/" + std::to_string(i)) + " HTTP/1.0\r\nX-Client: " +
                                std::to_string(i) + "\r\n\r\n")) {
                    ended[i] = client.ReadToClose(60s) ? 1 : 0;
                }
                received[i] = client.Received();
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        for (uint32_t i = 0; i < kClients; ++i) {
            const std::string body = bodyOf(i);
            EXPECT_TRUE(ended[i]) << "client " << i << " not closed";
            EXPECT_TRUE(received[i] ==
                        "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n" + body)
                << "client " << i << " got " << received[i].size() << " bytes";
        }
        EXPECT_EQ(origin.Connections(), kClients);
    }
    EXPECT_EQ(Documents().size(), kClients);
    proxy_.SetActive(false);
    EXPECT_EQ(proxy_.LiveContexts().Count(), 0u);
    if (threadsBefore > 0) {
        // Threads parked by earlier tests may expire meanwhile: none of this
        // test's may stay, so the count ends at most where it began.
        EXPECT_TRUE(WaitUntil([&] { return ProcStatusValue("Threads") <= threadsBefore; }))
            << "threads before: " << threadsBefore << ", now: " << ProcStatusValue("Threads");
    }
}

}  // namespace
}  // namespace proxytest
