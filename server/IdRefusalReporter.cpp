// IdRefusalReporter: the bounded queue and its thread.
#include "server/IdRefusalReporter.h"

#include <algorithm>
#include <utility>

TIdRefusalReporter::TIdRefusalReporter(TReport report, size_t limit, std::string name)
    : TIdThread(true, true, std::move(name)), report_(std::move(report)), ring_(std::max<size_t>(limit, 1)) {}

TIdRefusalReporter::~TIdRefusalReporter() {
    // The hooks use the queue: the thread ends before it goes.
    Stop();
}

bool TIdRefusalReporter::Push(TIdRefusal refusal) {
    {
        std::scoped_lock lock(lock_);
        if (stopping_ || count_ == ring_.size()) {
            return false;
        }
        ring_[(first_ + count_) % ring_.size()] = std::move(refusal);
        ++count_;
    }
    queued_.notify_one();
    return true;
}

void TIdRefusalReporter::Stop() {
    // Terminate first: the pass that wakes below is then the last one.
    RequestTerminate();
    {
        std::scoped_lock lock(lock_);
        stopping_ = true;
    }
    queued_.notify_all();
    StopAndJoin();
    // A thread stopped before its first pass never got to them.
    ReportAllQueued();
}

bool TIdRefusalReporter::TakeLocked(TIdRefusal& refusal) {
    if (count_ == 0) {
        return false;
    }
    refusal = std::move(ring_[first_]);
    first_ = (first_ + 1) % ring_.size();
    --count_;
    return true;
}

void TIdRefusalReporter::RunOnce() {
    TIdRefusal refusal;
    {
        std::unique_lock lock(lock_);
        queued_.wait(lock, [this] { return count_ != 0 || stopping_; });
        if (!TakeLocked(refusal)) {
            return;
        }
    }
    // Made outside the lock: a report that waits holds up no listener.
    Report(refusal);
}

void TIdRefusalReporter::LeaveRun() {
    ReportAllQueued();
}

void TIdRefusalReporter::ReportAllQueued() {
    for (;;) {
        TIdRefusal refusal;
        {
            std::scoped_lock lock(lock_);
            if (!TakeLocked(refusal)) {
                return;
            }
        }
        Report(refusal);
    }
}

void TIdRefusalReporter::Report(const TIdRefusal& refusal) noexcept {
    try {
        if (report_) {
            report_(refusal);
        }
    } catch (...) {
        // One report that failed must not end the reports after it.
    }
}
