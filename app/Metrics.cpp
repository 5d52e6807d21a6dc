// Metrics: the counting on the request path and the page of the scrape.
#include "app/Metrics.h"

#include <algorithm>

namespace {

constexpr auto Relaxed = std::memory_order_relaxed;

// The label of each outcome the figures show, in the enum's order; empty
// for None.
constexpr std::array<std::string_view, RequestOutcomeCount> OutcomeLabels = {
    "",        "limit",           "access",          "destination", "auth",    "loop",
    "framing", "method",          "resolve",         "connect_refused", "connect_timeout", "reset",
    "timeout", "closed",          "bad_answer",      "auth",            "other"};
static_assert(OutcomeLabels.back() == "other", "one label per outcome");

// Milliseconds as the seconds Prometheus expects: "0.005", "2.5", "300".
std::string MsAsSeconds(uint64_t ms) {
    std::string text = std::to_string(ms / 1000);
    const uint64_t fraction = ms % 1000;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 3 - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

void Describe(std::string& text, std::string_view name, std::string_view type, std::string_view help) {
    text += "# HELP ";
    text += name;
    text += ' ';
    text += help;
    text += "\n# TYPE ";
    text += name;
    text += ' ';
    text += type;
    text += '\n';
}

void Sample(std::string& text, std::string_view name, std::string_view labels, const std::string& value) {
    text += name;
    if (!labels.empty()) {
        text += '{';
        text += labels;
        text += '}';
    }
    text += ' ';
    text += value;
    text += '\n';
}

void Sample(std::string& text, std::string_view name, std::string_view labels, int64_t value) {
    Sample(text, name, labels, std::to_string(value));
}

std::string Label(std::string_view name, std::string_view value) {
    return std::string(name) + "=\"" + std::string(value) + "\"";
}

}  // namespace

size_t TMetrics::MethodSlot(std::string_view method) noexcept {
    if (method.empty()) {
        return MethodNone;
    }
    // The request line's parser has spelt the standard methods in capitals
    // already; any other spelling is a method of its own, counted as other.
    const auto found = std::find(MethodLabels.begin(), MethodLabels.end(), method);
    return found == MethodLabels.end() ? MethodOther : static_cast<size_t>(found - MethodLabels.begin());
}

size_t TMetrics::CodeSlot(int status) noexcept {
    if (status < 0) {
        return CodeNone;
    }
    if (status < FirstCode || status > LastCode) {
        return CodeOther;
    }
    return static_cast<size_t>(status - FirstCode + 1);
}

void TMetrics::Count(const TIdRequestRecord& record) noexcept {
    requests_[MethodSlot(record.method)][CodeSlot(record.status)].fetch_add(1, Relaxed);
    bytesToClients_.fetch_add(record.bytesToClient, Relaxed);
    bytesFromClients_.fetch_add(record.bytesFromClient, Relaxed);
    if (record.outcome != TIdRequestOutcome::None) {
        outcomes_[record.viaParent ? 1 : 0][static_cast<size_t>(record.outcome)].fetch_add(1, Relaxed);
    }
    const auto ms = static_cast<uint64_t>(std::max<int64_t>(record.durationMs, 0));
    size_t bucket = 0;
    while (bucket < DurationBoundsMs.size() && ms > static_cast<uint64_t>(DurationBoundsMs[bucket])) {
        ++bucket;
    }
    durations_[bucket].fetch_add(1, Relaxed);
    durationSumMs_.fetch_add(ms, Relaxed);
}

std::string TMetrics::Text(const TMetricsGauges& gauges) const {
    std::string text;
    text.reserve(4096);

    Describe(text, "vantrel_requests_total", "counter",
             "Finished requests by method and the status sent to the client (code \"none\": no answer was sent).");
    for (size_t method = 0; method < MethodSlots; ++method) {
        const std::string_view methodLabel =
            method == MethodNone ? "none" : method == MethodOther ? "other" : MethodLabels[method];
        for (size_t code = 0; code < CodeSlots; ++code) {
            const uint64_t count = requests_[method][code].load(Relaxed);
            if (count == 0) {
                continue;
            }
            const std::string codeLabel = code == CodeNone    ? "none"
                                          : code == CodeOther ? "other"
                                                              : std::to_string(FirstCode + static_cast<int>(code) - 1);
            Sample(text, "vantrel_requests_total", Label("method", methodLabel) + "," + Label("code", codeLabel),
                   std::to_string(count));
        }
    }

    Describe(text, "vantrel_client_bytes_sent_total", "counter",
             "Bytes sent to clients by finished requests and tunnels.");
    Sample(text, "vantrel_client_bytes_sent_total", "", std::to_string(bytesToClients_.load(Relaxed)));
    Describe(text, "vantrel_client_bytes_received_total", "counter",
             "Bytes received from clients by finished requests and tunnels.");
    Sample(text, "vantrel_client_bytes_received_total", "", std::to_string(bytesFromClients_.load(Relaxed)));

    Describe(text, "vantrel_connections_active", "gauge", "Client connections being served.");
    Sample(text, "vantrel_connections_active", "", gauges.connections);
    Describe(text, "vantrel_tunnels_active", "gauge", "CONNECT tunnels open.");
    Sample(text, "vantrel_tunnels_active", "", gauges.tunnels);

    const auto outcomeCount = [this](int outcome, size_t route) {
        return outcomes_[route][static_cast<size_t>(outcome)].load(Relaxed);
    };
    Describe(text, "vantrel_refusals_total", "counter", "Requests the proxy refused itself, by reason.");
    for (int outcome = 0; outcome < RequestOutcomeCount; ++outcome) {
        if (IsRefusal(static_cast<TIdRequestOutcome>(outcome))) {
            Sample(text, "vantrel_refusals_total", Label("reason", OutcomeLabels[static_cast<size_t>(outcome)]),
                   std::to_string(outcomeCount(outcome, 0) + outcomeCount(outcome, 1)));
        }
    }
    // The same kinds for both ways out, but only the parent can refuse this
    // proxy's credentials.
    for (const size_t route : {size_t{0}, size_t{1}}) {
        const std::string_view name = route == 0 ? "vantrel_origin_failures_total" : "vantrel_upstream_failures_total";
        Describe(text, name, "counter",
                 route == 0 ? "Requests and tunnels whose origin or target failed before its answer began, by kind."
                            : "Requests and tunnels whose parent proxy failed before its answer began, by kind.");
        for (int outcome = 0; outcome < RequestOutcomeCount; ++outcome) {
            const auto kind = static_cast<TIdRequestOutcome>(outcome);
            if (IsOriginFailure(kind) && (route == 1 || kind != TIdRequestOutcome::FailedParentAuth)) {
                Sample(text, name, Label("kind", OutcomeLabels[static_cast<size_t>(outcome)]),
                       std::to_string(outcomeCount(outcome, route)));
            }
        }
    }

    Describe(text, "vantrel_request_duration_seconds", "histogram",
             "Time from a client's connection to the end of its request or tunnel.");
    uint64_t cumulative = 0;
    for (size_t bucket = 0; bucket < durations_.size(); ++bucket) {
        cumulative += durations_[bucket].load(Relaxed);
        const std::string bound = bucket < DurationBoundsMs.size()
                                      ? MsAsSeconds(static_cast<uint64_t>(DurationBoundsMs[bucket]))
                                      : std::string("+Inf");
        Sample(text, "vantrel_request_duration_seconds_bucket", Label("le", bound), std::to_string(cumulative));
    }
    Sample(text, "vantrel_request_duration_seconds_sum", "", MsAsSeconds(durationSumMs_.load(Relaxed)));
    Sample(text, "vantrel_request_duration_seconds_count", "", std::to_string(cumulative));

    const TProcessFigures& process = gauges.process;
    if (process.startTimeMs >= 0) {
        Describe(text, "process_start_time_seconds", "gauge",
                 "Start time of the process since the Unix epoch in seconds.");
        Sample(text, "process_start_time_seconds", "", MsAsSeconds(static_cast<uint64_t>(process.startTimeMs)));
    }
    if (process.openDescriptors >= 0) {
        Describe(text, "process_open_fds", "gauge", "Open file descriptors (on Windows: handles).");
        Sample(text, "process_open_fds", "", process.openDescriptors);
    }
    if (process.residentBytes >= 0) {
        Describe(text, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        Sample(text, "process_resident_memory_bytes", "", process.residentBytes);
    }
    return text;
}
