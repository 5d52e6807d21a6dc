// IdSchedulerOfThread: a scheduler whose yarns are worker threads
// (TIdThreadWithTask), one per connection, with an optional thread limit.
#pragma once

#include <memory>
#include <string>

#include "server/IdScheduler.h"
#include "server/IdThread.h"
#include "server/IdThreadWithTask.h"

class TIdSchedulerOfThread;

// The yarn of one worker thread; owned by that thread, it leaves the
// scheduler's list when freed.
class TIdYarnOfThread : public TIdYarn {
public:
    TIdYarnOfThread(TIdSchedulerOfThread* scheduler, TIdThreadWithTask* thread);
    ~TIdYarnOfThread() override;

    TIdSchedulerOfThread* YarnScheduler() const { return scheduler_; }
    TIdThreadWithTask* YarnThread() const { return thread_; }

private:
    TIdSchedulerOfThread* scheduler_;
    TIdThreadWithTask* thread_;
};

class TIdSchedulerOfThread : public TIdScheduler {
public:
    TIdSchedulerOfThread();
    ~TIdSchedulerOfThread() override;

    int32_t MaxThreads() const { return maxThreads_; }
    void SetMaxThreads(int32_t value) { maxThreads_ = value; }

    void BeginYarn(TIdYarn* yarn, std::unique_ptr<TIdContext> context) override;
    void EndYarn(TIdYarn* yarn) override;

protected:
    // A suspended worker without task; raises EIdSchedulerMaxThreadsExceeded
    // "The maximum number of threads for this scheduler is exceeded." when
    // MaxThreads yarns already exist (each serves a client, or is the one
    // a listener keeps ready for the next).
    virtual TIdThreadWithTask* MakeWorkerThread();

private:
    int32_t maxThreads_ = 0;
};
