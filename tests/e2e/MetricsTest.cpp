// MetricsTest: the real program with [Status] Listen. A scripted set of
// requests through the proxy (served, refused by Allow, Deny and
// authentication, a line that is no request, a name that does not resolve)
// moves the counters by exactly what it did, bytes included; promtool
// accepts the page; the listener serves GET /metrics and nothing else.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/ProgramFixture.h"
#include "tests/support/MetricSamples.h"

namespace {

using namespace e2e;

constexpr const char* MetricsLine = "Metrics are served at http://127.0.0.1:";

class MetricsProgram : public ProgramTest {
protected:
    void SetUp() override {
        VTL_REQUIRE_TOOL("curl");
        ASSERT_NO_FATAL_FAILURE(StartProxy("[Authorization]\nUser=alice\nPassword=secret\n"
                                           "[Access]\nAllow=127.0.0.1\nDeny=127.0.0.2/32\n"
                                           "[Status]\nListen=127.0.0.1:0\n"));
        const std::string out = Program().Stdout();
        const size_t at = out.find(MetricsLine);
        ASSERT_NE(at, std::string::npos) << out;
        metricsPort_ = std::atoi(out.c_str() + at + std::string(MetricsLine).size());
        ASSERT_GT(metricsPort_, 0);
        ASSERT_NE(out.find(std::to_string(metricsPort_) + "/metrics\nProxy server is active...\n"), std::string::npos)
            << out;
    }

    std::string MetricsUrl() const { return "http://127.0.0.1:" + std::to_string(metricsPort_) + "/metrics"; }

    // The page, by curl.
    std::string Page() {
        const TToolResult curl = RunTool({"curl", "-sS", "--noproxy", "*", "--max-time", "10", MetricsUrl()});
        EXPECT_EQ(curl.exitCode, 0) << curl.err;
        return curl.out;
    }

    std::map<std::string, std::string> Samples() { return vtltest::MetricSamples(Page()); }

    // Through the proxy with curl; the bytes it sent and received are
    // added to the totals.
    std::string Curl(const std::vector<std::string>& more, const std::string& url) {
        std::vector<std::string> argv{"curl", "-sS", "--max-time", "20", "-x", ProxyUrl(), "-o", "/dev/null", "-w",
                                      "%{http_code} %{size_header} %{size_download} %{size_request}"};
        argv.insert(argv.end(), more.begin(), more.end());
        argv.push_back(url);
        const TToolResult curl = RunTool(argv);
        EXPECT_EQ(curl.exitCode, 0) << curl.err;
        std::istringstream figures(curl.out);
        std::string code;
        uint64_t header = 0;
        uint64_t body = 0;
        uint64_t request = 0;
        figures >> code >> header >> body >> request;
        sent_ += header + body;
        received_ += request;
        return code;
    }

    int metricsPort_ = 0;
    uint64_t sent_ = 0;      // bytes the proxy sent to the clients
    uint64_t received_ = 0;  // bytes the clients sent to the proxy
};

TEST_F(MetricsProgram, CountersMoveByWhatTheRequestsDid) {
    VTL_REQUIRE_TOOL("promtool");
    const TOriginServer origin;
    const std::vector<std::string> login{"--proxy-user", "alice:secret"};
    EXPECT_EQ(Curl(login, origin.Url("/size/1000")), "200");
    EXPECT_EQ(Curl(login, origin.Url("/")), "200");
    EXPECT_EQ(Curl({}, origin.Url("/")), "407");
    EXPECT_EQ(Curl({"--interface", "127.0.0.2"}, origin.Url("/")), "403");
    EXPECT_EQ(Curl(login, "http://127.0.0.2:" + std::to_string(origin.Port()) + "/"), "403");
    EXPECT_EQ(Curl(login, "http://nothing-here.invalid/"), "502");
    const std::string garbage = "\x16\x03\x01 no request\r\n";
    const std::string refusal = ExchangeWithProxy(ProxyPort(), garbage);
    ASSERT_TRUE(IsProxyAnswer(refusal, 400)) << refusal;
    sent_ += refusal.size();
    received_ += garbage.size();

    // Each request is counted as it ends, a moment after its client has
    // its answer, and its connection leaves a moment later.
    std::map<std::string, std::string> samples;
    ASSERT_TRUE(WaitUntil([&] {
        samples = Samples();
        return samples["vantrel_request_duration_seconds_count"] == "7" &&
               samples["vantrel_connections_active"] == "0";
    })) << Page();
    const std::map<std::string, std::string> expected = {
        {R"(vantrel_requests_total{method="GET",code="200"})", "2"},
        {R"(vantrel_requests_total{method="GET",code="407"})", "1"},
        {R"(vantrel_requests_total{method="GET",code="403"})", "2"},
        {R"(vantrel_requests_total{method="GET",code="502"})", "1"},
        {R"(vantrel_requests_total{method="none",code="400"})", "1"},
        {R"(vantrel_refusals_total{reason="access"})", "1"},
        {R"(vantrel_refusals_total{reason="destination"})", "1"},
        {R"(vantrel_refusals_total{reason="auth"})", "1"},
        {R"(vantrel_refusals_total{reason="framing"})", "1"},
        {R"(vantrel_refusals_total{reason="limit"})", "0"},
        {R"(vantrel_origin_failures_total{kind="resolve"})", "1"},
        {R"(vantrel_origin_failures_total{kind="connect_refused"})", "0"},
        {"vantrel_client_bytes_sent_total", std::to_string(sent_)},
        {"vantrel_client_bytes_received_total", std::to_string(received_)},
        {"vantrel_connections_active", "0"},
        {"vantrel_tunnels_active", "0"},
        {R"(vantrel_request_duration_seconds_bucket{le="+Inf"})", "7"},
    };
    for (const auto& [sample, value] : expected) {
        EXPECT_EQ(samples[sample], value) << sample;
    }
    EXPECT_EQ(std::count_if(samples.begin(), samples.end(),
                            [](const auto& s) { return s.first.rfind("vantrel_requests_total", 0) == 0; }),
              5);
    EXPECT_GT(std::atoll(samples["process_open_fds"].c_str()), 0);
    EXPECT_GT(std::atoll(samples["process_resident_memory_bytes"].c_str()), 0);
    EXPECT_GT(std::atof(samples["process_start_time_seconds"].c_str()), 1.6e9);

    const std::string pagePath = Program().Directory() + "/metrics.txt";
    WriteWholeFile(pagePath, Page());
    const TToolResult check = RunTool({"sh", "-c", "promtool check metrics < " + pagePath});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
}

// An open tunnel shows while it lasts and is counted when it ends.
TEST_F(MetricsProgram, TunnelIsShownWhileOpen) {
    const TOriginServer origin;
    {
        TClientSocket client(ProxyPort());
        ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) +
                                " HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n"));
        ASSERT_TRUE(client.ReadUntil("Connection established\r\n", StartLimit));
        auto samples = Samples();
        EXPECT_EQ(samples["vantrel_tunnels_active"], "1");
        EXPECT_EQ(samples["vantrel_connections_active"], "1");
    }
    EXPECT_TRUE(WaitUntil([&] {
        auto samples = Samples();
        return samples["vantrel_tunnels_active"] == "0" && samples["vantrel_connections_active"] == "0" &&
               samples[R"(vantrel_requests_total{method="CONNECT",code="200"})"] == "1";
    })) << Page();
}

// Nothing but GET /metrics is served, and nothing there touches the proxy's
// figures.
TEST_F(MetricsProgram, ListenerServesOnlyGetMetrics) {
    for (const auto& [request, statusLine] : std::vector<std::pair<std::string, std::string>>{
             {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
             {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"GET /metrics/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"CONNECT 127.0.0.1:" + std::to_string(ProxyPort()) + " HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request"},
         }) {
        const std::string answer = ExchangeWithProxy(metricsPort_, request);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), statusLine) << request;
        EXPECT_EQ(answer.find("vantrel_"), std::string::npos) << request;
    }
    const std::string page = ExchangeWithProxy(metricsPort_, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n", 0), 0u)
        << page;
    EXPECT_EQ(page.find("vantrel_requests_total{"), std::string::npos) << page;
}

}  // namespace

#endif  // _WIN32
