// Metrics: the proxy's figures for the status listener, counted from each
// finished request's record and written in the Prometheus text format
// (version 0.0.4). Counting runs on the request's own thread: a few relaxed
// atomic additions into fixed tables, no lock and no allocation. Every label
// comes from a fixed list, whatever a client sends.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/Platform.h"
#include "proxy/IdRequestRecord.h"

// What is read at the moment of the scrape rather than counted.
struct TMetricsGauges {
    int64_t connections = 0;  // client connections being served
    int64_t tunnels = 0;      // tunnels open
    TProcessFigures process;
};

class TMetrics {
public:
    // The methods counted under their own name; any other is "other", and a
    // request without one (a line that is no request, a client refused
    // before it said anything) is "none".
    static constexpr std::array<std::string_view, 9> MethodLabels = {
        "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "PATCH", "TRACE"};
    // Upper bounds of the duration buckets, in milliseconds; +Inf follows.
    static constexpr std::array<int64_t, 14> DurationBoundsMs = {5,   10,   25,   50,   100,   250,   500,
                                                                 1000, 2500, 5000, 10000, 30000, 60000, 300000};

    TMetrics() = default;
    TMetrics(const TMetrics&) = delete;
    TMetrics& operator=(const TMetrics&) = delete;

    // Counts one finished request; any thread, any number at once.
    void Count(const TIdRequestRecord& record) noexcept;
    // The page: every figure with its HELP and TYPE lines.
    std::string Text(const TMetricsGauges& gauges) const;

private:
    using TCounter = std::atomic<uint64_t>;
    static constexpr size_t MethodNone = MethodLabels.size();
    static constexpr size_t MethodOther = MethodNone + 1;
    static constexpr size_t MethodSlots = MethodOther + 1;
    // Slot 0: no answer was sent; then one per status 100 to 599; last: any
    // other number.
    static constexpr int FirstCode = 100;
    static constexpr int LastCode = 599;
    static constexpr size_t CodeNone = 0;
    static constexpr size_t CodeOther = LastCode - FirstCode + 2;
    static constexpr size_t CodeSlots = CodeOther + 1;

    static size_t MethodSlot(std::string_view method) noexcept;
    static size_t CodeSlot(int status) noexcept;

    std::array<std::array<TCounter, CodeSlots>, MethodSlots> requests_{};
    TCounter bytesToClients_{0};
    TCounter bytesFromClients_{0};
    // Per outcome, for requests that went straight to their origin [0] and
    // those that went through the parent proxy [1].
    std::array<std::array<TCounter, RequestOutcomeCount>, 2> outcomes_{};
    // Per bucket, not yet added up; the last is the one past every bound.
    std::array<TCounter, DurationBoundsMs.size() + 1> durations_{};
    TCounter durationSumMs_{0};
};
