// MetricsTest: the page after a scripted set of records holds exactly what
// they add up to (labels from the fixed lists only, cumulative buckets),
// and the status listener answers GET /metrics and refuses everything else
// over real loopback sockets.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/Metrics.h"
#include "app/MetricsServer.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/MetricSamples.h"

namespace {

using namespace vtltest;
using enum TIdRequestOutcome;

TIdRequestRecord Record(const char* method, int status, int64_t ms, TIdRequestOutcome outcome = None,
                        uint64_t toClient = 0, uint64_t fromClient = 0) {
    TIdRequestRecord record;
    record.method = method;
    record.status = status;
    record.durationMs = ms;
    record.outcome = outcome;
    record.bytesToClient = toClient;
    record.bytesFromClient = fromClient;
    return record;
}

TIdRequestRecord Via(TIdRequestRecord record) {
    record.viaParent = true;
    return record;
}

struct TCountCase {
    const char* name;
    std::vector<TIdRequestRecord> records;
    std::map<std::string, std::string> expected;
    // Every vantrel_requests_total sample of the page is in expected.
    bool requestsListed;
};

void PrintTo(const TCountCase& c, std::ostream* out) { *out << c.name; }

class MetricsCountTest : public ::testing::TestWithParam<TCountCase> {};

TEST_P(MetricsCountTest, PageAddsUpTheRecords) {
    TMetrics metrics;
    for (const TIdRequestRecord& record : GetParam().records) {
        metrics.Count(record);
    }
    const auto samples = MetricSamples(metrics.Text({}));
    for (const auto& [sample, value] : GetParam().expected) {
        const auto found = samples.find(sample);
        ASSERT_NE(found, samples.end()) << sample;
        EXPECT_EQ(found->second, value) << sample;
    }
    EXPECT_EQ(samples.count(R"(vantrel_origin_failures_total{kind="auth"})"), 0u);
    if (GetParam().requestsListed) {
        for (const auto& [sample, value] : samples) {
            if (sample.rfind("vantrel_requests_total", 0) == 0) {
                EXPECT_EQ(GetParam().expected.count(sample), 1u) << "unexpected " << sample << " " << value;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, MetricsCountTest,
    ::testing::Values(
        // Methods come from a fixed list, spelt as the parser spells them;
        // a status outside 100-599 is "other", none sent is "none".
        TCountCase{"MethodsAndCodesFromFixedLists",
                   {Record("GET", 200, 1), Record("GET", 200, 1), Record("get", 200, 1), Record("BREW", 999, 1),
                    Record("", -1, 1), Record("CONNECT", 200, 1), Record("", 503, 0, RefusedLimit)},
                   {{R"(vantrel_requests_total{method="GET",code="200"})", "2"},
                    {R"(vantrel_requests_total{method="other",code="200"})", "1"},
                    {R"(vantrel_requests_total{method="other",code="other"})", "1"},
                    {R"(vantrel_requests_total{method="none",code="none"})", "1"},
                    {R"(vantrel_requests_total{method="none",code="503"})", "1"},
                    {R"(vantrel_requests_total{method="CONNECT",code="200"})", "1"}},
                   true},
        TCountCase{"BytesAddUp",
                   {Record("GET", 200, 1, None, 1000, 80), Record("POST", 201, 1, None, 5, 1u << 31)},
                   {{"vantrel_client_bytes_sent_total", "1005"},
                    {"vantrel_client_bytes_received_total", "2147483728"},
                    {R"(vantrel_requests_total{method="GET",code="200"})", "1"},
                    {R"(vantrel_requests_total{method="POST",code="201"})", "1"}},
                   true},
        // Every reason and kind is shown, counted or not; a 403 counts
        // where its outcome puts it, not by its status.
        TCountCase{"OutcomesByReasonAndKind",
                   {Record("GET", 403, 1, RefusedAccess), Record("GET", 403, 1, RefusedDestination),
                    Record("CONNECT", 403, 1, RefusedDestination), Record("GET", 407, 1, RefusedAuth),
                    Record("GET", 502, 1, FailedResolve), Record("GET", 504, 1, FailedConnectTimeout),
                    Record("GET", 502, 1, FailedBadAnswer), Record("GET", 200, 1)},
                   {{R"(vantrel_refusals_total{reason="access"})", "1"},
                    {R"(vantrel_refusals_total{reason="destination"})", "2"},
                    {R"(vantrel_refusals_total{reason="auth"})", "1"},
                    {R"(vantrel_refusals_total{reason="limit"})", "0"},
                    {R"(vantrel_refusals_total{reason="loop"})", "0"},
                    {R"(vantrel_refusals_total{reason="framing"})", "0"},
                    {R"(vantrel_refusals_total{reason="method"})", "0"},
                    {R"(vantrel_origin_failures_total{kind="resolve"})", "1"},
                    {R"(vantrel_origin_failures_total{kind="connect_timeout"})", "1"},
                    {R"(vantrel_origin_failures_total{kind="bad_answer"})", "1"},
                    {R"(vantrel_origin_failures_total{kind="connect_refused"})", "0"},
                    {R"(vantrel_origin_failures_total{kind="other"})", "0"}},
                   false},
        // A failure through the parent proxy is the parent's, not the
        // origin's; only the parent can refuse this proxy's credentials.
        TCountCase{"ParentFailuresApart",
                   {Via(Record("GET", 502, 1, FailedConnectRefused)), Via(Record("CONNECT", 502, 1, FailedParentAuth)),
                    Record("GET", 502, 1, FailedConnectRefused), Via(Record("GET", 403, 1, RefusedDestination))},
                   {{R"(vantrel_upstream_failures_total{kind="connect_refused"})", "1"},
                    {R"(vantrel_upstream_failures_total{kind="auth"})", "1"},
                    {R"(vantrel_origin_failures_total{kind="connect_refused"})", "1"},
                    {R"(vantrel_refusals_total{reason="destination"})", "1"}},
                   false},
        // A bucket holds what is at most its bound, and every one before;
        // a negative duration (a clock step) counts as 0.
        TCountCase{"DurationBucketsAreCumulative",
                   {Record("GET", 200, 0), Record("GET", 200, 5), Record("GET", 200, 6), Record("GET", 200, -3),
                    Record("GET", 200, 2500), Record("GET", 200, 300000), Record("GET", 200, 300001)},
                   {{R"(vantrel_request_duration_seconds_bucket{le="0.005"})", "3"},
                    {R"(vantrel_request_duration_seconds_bucket{le="0.01"})", "4"},
                    {R"(vantrel_request_duration_seconds_bucket{le="1"})", "4"},
                    {R"(vantrel_request_duration_seconds_bucket{le="2.5"})", "5"},
                    {R"(vantrel_request_duration_seconds_bucket{le="300"})", "6"},
                    {R"(vantrel_request_duration_seconds_bucket{le="+Inf"})", "7"},
                    {"vantrel_request_duration_seconds_sum", "602.512"},
                    {"vantrel_request_duration_seconds_count", "7"}},
                   false}));

TEST(MetricsGaugeTest, GaugesAsGivenAndUnknownProcessFiguresLeftOut) {
    TMetrics metrics;
    TMetricsGauges gauges;
    gauges.connections = 3;
    gauges.tunnels = 2;
    gauges.process.startTimeMs = 1700000000250;
    gauges.process.residentBytes = 4096;
    const std::string page = metrics.Text(gauges);
    const auto samples = MetricSamples(page);
    EXPECT_EQ(samples.at("vantrel_connections_active"), "3");
    EXPECT_EQ(samples.at("vantrel_tunnels_active"), "2");
    EXPECT_EQ(samples.at("process_start_time_seconds"), "1700000000.25");
    EXPECT_EQ(samples.at("process_resident_memory_bytes"), "4096");
    EXPECT_EQ(page.find("process_open_fds"), std::string::npos);
    EXPECT_NE(page.find("# TYPE vantrel_request_duration_seconds histogram\n"), std::string::npos);
}

struct TAskCase {
    std::string request;
    const char* statusLine;
};

void PrintTo(const TAskCase& c, std::ostream* out) { *out << c.request; }

class MetricsServerTest : public ::testing::TestWithParam<TAskCase> {};

// Only GET /metrics gets the page; every answer ends with the close.
TEST_P(MetricsServerTest, AnswersOnlyGetMetrics) {
    TMetricsServer server;
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    server.OnScrape = [] { return std::string("up 1\n"); };
    server.SetActive(true);

    TLoopbackSocket client;
    ASSERT_TRUE(client.Connect(server.Bindings()[0].Port()));
    ASSERT_TRUE(client.SendAll(GetParam().request, After(Ms{5000})));
    std::string answer;
    EXPECT_EQ(client.ReadToEnd(answer, After(Ms{10000})), TEnd::Closed);
    const std::string statusLine = GetParam().statusLine;
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), statusLine);
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
    const bool served = statusLine == "HTTP/1.1 200 OK";
    EXPECT_EQ(answer.find("\r\n\r\nup 1\n") != std::string::npos, served) << answer;
    if (served) {
        EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 5\r\n"),
                  std::string::npos);
    }
    EXPECT_EQ(answer.find("Allow: GET\r\n") != std::string::npos,
              statusLine == "HTTP/1.1 405 Method Not Allowed");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MetricsServerTest,
    ::testing::Values(TAskCase{"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK"},
                      TAskCase{"GET /metrics?name=x HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
                      TAskCase{"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
                               "HTTP/1.1 405 Method Not Allowed"},
                      TAskCase{"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
                      TAskCase{"OPTIONS /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
                      TAskCase{"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                      TAskCase{"GET /metrics/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                      TAskCase{"GET http://127.0.0.1/metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                      TAskCase{"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                      TAskCase{"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                      TAskCase{"\x16\x03\x01 garbage\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                      TAskCase{"GET /metrics HTTP/1.1\r\nX: " + std::string(5000, 'a') + "\r\n\r\n",
                               "HTTP/1.1 400 Bad Request"}));

}  // namespace
