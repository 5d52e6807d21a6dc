// MetricsServer: the request of a scrape, read within its bounds, and the
// answers of the status listener.
#include "app/MetricsServer.h"

#include <algorithm>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "proxy/HTTPAnswers.h"
#include "proxy/HTTPFraming.h"
#include "proxy/HTTPMessageIO.h"
#include "proxy/IdHeaderList.h"

namespace {

constexpr std::string_view MetricsPath = "/metrics";

}  // namespace

int MetricsRequestStatus(std::string_view line) {
    TRequestLine request;
    if (!ParseRequestLine(line, request) || (request.version != "HTTP/1.0" && request.version != "HTTP/1.1")) {
        return 400;
    }
    const std::string_view target(request.target);
    const std::string_view path = target.substr(0, target.find('?'));
    if (path != MetricsPath) {
        return 404;
    }
    // The parser spells the standard methods in capitals, as the proxy
    // takes them; HEAD is refused like any other, only GET is served.
    return request.method == "GET" ? 200 : 405;
}

std::string MetricsAnswer(int status, std::string_view body) {
    const std::string page = status == 200 ? std::string(body) : std::string(ReasonPhrase(status)) + "\n";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + std::string(ReasonPhrase(status)) + "\r\n";
    if (status == 405) {
        answer += "Allow: GET\r\n";
    }
    // The text format's own type (Prometheus exposition format 0.0.4).
    answer += status == 200 ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                            : "Content-Type: text/plain; charset=utf-8\r\n";
    answer += "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
    answer += page;
    return answer;
}

TMetricsServer::TMetricsServer() {
    SetMaxConnections(MaxClients);
}

TMetricsServer::~TMetricsServer() {
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw.
    }
}

bool TMetricsServer::ExecuteStep(TIdContext& context) {
    TIdTCPConnection& client = context.ClientConnection();
    TIdIOHandler& handler = *client.IOHandler();
    handler.SetWriteTimeout(RequestTimeoutMs);
    handler.SetMaxLineLength(MaxLineBytes);
    // One deadline for the whole head, from the connection's start: a
    // client that trickles bytes gains nothing.
    const auto remaining = [&context] {
        const int64_t elapsed = TickDiff(context.CreatedTick(), TickCountMs());
        return static_cast<int32_t>(std::clamp<int64_t>(RequestTimeoutMs - elapsed, 0, RequestTimeoutMs));
    };
    int status = 400;
    try {
        const int32_t wait = remaining();
        const std::string line = wait > 0 ? handler.ReadLine(wait) : std::string();
        if (wait == 0 || handler.LineTimedOut()) {
            client.Disconnect(false);
            return false;
        }
        status = MetricsRequestStatus(line);
        TIdHeaderList headers;
        if (status != 400 && !ReadHead(handler, headers, remaining)) {
            status = 400;
        }
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
        status = 400;
    } catch (const EIdReadTimeout&) {
        // Nothing to answer a client that never finished asking.
        client.Disconnect(false);
        return false;
    }
    AnswerAndClose(client, MetricsAnswer(status, status == 200 && OnScrape ? OnScrape() : std::string()));
    return false;
}

std::string TMetricsServer::OverLimitAnswer() {
    return MetricsAnswer(503, {});
}

std::string TMetricsServer::Url() {
    if (!Active() || Bindings().Count() == 0) {
        return {};
    }
    const TIdSocketHandle& binding = Bindings()[0];
    const std::string host = binding.IPVersion() == Id_IPv6 ? "[" + binding.IP() + "]" : binding.IP();
    return "http://" + host + ":" + std::to_string(binding.Port()) + std::string(MetricsPath);
}

std::unique_ptr<TMetricsServer> StartMetricsServer(const TListenEndpoint& endpoint, const TMetrics& metrics,
                                                   TIdHTTPProxyServer& proxy) {
    auto server = std::make_unique<TMetricsServer>();
    TIdSocketHandle& binding = server->Bindings().Add();
    binding.SetIPVersion(endpoint.address.version);
    binding.SetIP(IPAddressText(endpoint.address));
    binding.SetPort(endpoint.port);
    // Both outlive the listener: it is stopped before either goes.
    server->OnScrape = [&metrics, &proxy] {
        TMetricsGauges gauges;
        gauges.connections = static_cast<int64_t>(proxy.LiveContexts().Count());
        gauges.tunnels = proxy.ActiveTunnels();
        gauges.process = ReadProcessFigures();
        return metrics.Text(gauges);
    };
    server->SetActive(true);
    return server;
}
