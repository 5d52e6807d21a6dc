// MetricsServer: the status listener. It serves GET /metrics and nothing
// else, one request per connection, every answer ending with the close.
// None of the proxy's rules (Allow, authentication, the access log) apply
// here: it is meant for loopback or a network behind a firewall.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/Metrics.h"
#include "app/Settings.h"
#include "proxy/HTTPProxyServer.h"
#include "server/IdCustomTCPServer.h"

// The status a request line gets: 200 for GET /metrics (a query may
// follow), 404 for any other target, 405 for another method on /metrics,
// 400 for a line that is no HTTP/1.0 or HTTP/1.1 request line.
int MetricsRequestStatus(std::string_view line);

// The whole answer for a status, with body as its page (only a 200 has one
// worth reading); every answer says Connection: close, a 405 names GET.
std::string MetricsAnswer(int status, std::string_view body);

class TMetricsServer : public TIdCustomTCPServer {
public:
    // A client may keep a connection this long for its request head and
    // for taking the answer, each.
    static constexpr int32_t RequestTimeoutMs = 5000;
    // Scrapers come one at a time: a few connections are plenty, and the
    // bound keeps the listener from costing the proxy threads.
    static constexpr int32_t MaxClients = 8;
    // The longest request or header line taken.
    static constexpr int32_t MaxLineBytes = 4096;

    TMetricsServer();
    // Deactivates while this class is still whole: workers call into it.
    ~TMetricsServer() override;

    // Makes the page of a GET /metrics, on the connection's thread; set it
    // before activation.
    std::function<std::string()> OnScrape;

    // "http://127.0.0.1:9128/metrics", with the port bound (the one the
    // system picked for 0); empty while inactive.
    std::string Url();

protected:
    bool ExecuteStep(TIdContext& context) override;
    std::string OverLimitAnswer() override;
};

// The status listener on endpoint, active, serving the figures of metrics
// and the gauges of proxy. Raises as activation does (a port in use, say).
std::unique_ptr<TMetricsServer> StartMetricsServer(const TListenEndpoint& endpoint, const TMetrics& metrics,
                                                   TIdHTTPProxyServer& proxy);
