// IdScheduler: live yarn bookkeeping and the wait for all of them to end.
#include "server/IdScheduler.h"

#include <chrono>

TIdScheduler::TIdScheduler() = default;

TIdScheduler::~TIdScheduler() = default;

void TIdScheduler::DropYarn(TIdYarn* yarn) {
    {
        std::scoped_lock lock(emptyLock_);
        ++dropping_;
    }
    liveYarns_.Remove(yarn);
    // The notification happens under the lock: once EndAllYarns sees
    // dropping_ at 0 under that lock, no worker touches the scheduler again.
    std::scoped_lock lock(emptyLock_);
    --dropping_;
    ++drops_;
    yarnsGone_.notify_all();
}

void TIdScheduler::EndAllYarns() {
    for (;;) {
        uint64_t dropsSeen = 0;
        {
            std::scoped_lock lock(emptyLock_);
            dropsSeen = drops_;
        }
        bool empty = false;
        {
            auto locked = liveYarns_.LockList();
            empty = locked.Count() == 0;
            // From the last to the first: a never launched worker freed here
            // drops its yarn from this list on this same thread.
            for (size_t i = locked.Count(); i > 0; --i) {
                if (i <= locked.Count()) {
                    EndYarn(locked[i - 1]);
                }
            }
        }
        std::unique_lock lock(emptyLock_);
        if (empty) {
            // A worker whose yarn just left the list may still be in DropYarn.
            yarnsGone_.wait(lock, [this] { return dropping_ == 0; });
            return;
        }
        // Wait for the running workers to drop their yarns; woken at each
        // drop instead of sleeping a fixed 500 ms, rechecked at least that often.
        yarnsGone_.wait_for(lock, std::chrono::milliseconds(500), [this, dropsSeen] { return drops_ != dropsSeen; });
    }
}
