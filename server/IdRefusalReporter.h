// IdRefusalReporter: the reports of clients refused past MaxConnections,
// carried from the listeners to a thread of their own. What a report leads
// to (a line in an access log, say) may wait: on a full disk, a pipe nobody
// reads, a hung network mount. The listener must not wait with it, or one
// stalled file would stop the server from taking anyone; its work is to
// accept, answer and close. So a listener only queues the report, under a
// lock that is held to add or take one report and never while a report is
// made, and the reporter thread makes the reports in the order they came.
//
// The queue is bounded: while Limit reports wait, further ones are refused
// (the server counts them as dropped), so a flood of refused clients over a
// stalled log costs no more memory than Limit reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "server/IdThread.h"

// One client refused past MaxConnections.
struct TIdRefusal {
    std::string peerIP;
    int32_t answerBytes = 0;  // the over-limit answer's size
    // When it was refused, not when the report gets made.
    std::chrono::system_clock::time_point when;
};

class TIdRefusalReporter : public TIdThread {
public:
    using TReport = std::function<void(const TIdRefusal& refusal)>;

    // Reports waiting at most unless the server is given another bound.
    static constexpr size_t DefaultLimit = 256;

    // Room for limit reports (at least one) is made here, so that queuing
    // one needs no memory beyond the report itself. Launch starts the
    // thread; what report raises is dropped.
    TIdRefusalReporter(TReport report, size_t limit, std::string name);
    ~TIdRefusalReporter() override;

    size_t Limit() const { return ring_.size(); }
    // Queues the report without waiting for one being made; false when
    // Limit reports wait already, or the reporter is stopping.
    bool Push(TIdRefusal refusal);
    // Makes the reports still queued, then ends the thread and waits for
    // its end. Only once nothing pushes any more.
    void Stop();

protected:
    void RunOnce() override;
    // The reports left when the thread ends are made all the same.
    void LeaveRun() override;

private:
    // Takes the oldest report; false when none waits.
    bool TakeLocked(TIdRefusal& refusal);
    void ReportAllQueued();
    void Report(const TIdRefusal& refusal) noexcept;

    const TReport report_;
    std::mutex lock_;
    std::condition_variable queued_;   // with lock_
    std::vector<TIdRefusal> ring_;     // guarded by lock_
    size_t first_ = 0;                 // guarded by lock_
    size_t count_ = 0;                 // guarded by lock_
    bool stopping_ = false;            // guarded by lock_
};
