// IdSchedulerOfThread: worker threads as yarns.
#include "server/IdSchedulerOfThread.h"

#include "base/IdException.h"
#include "server/IdContext.h"

TIdYarnOfThread::TIdYarnOfThread(TIdSchedulerOfThread* scheduler, TIdThreadWithTask* thread)
    : scheduler_(scheduler), thread_(thread) {}

TIdYarnOfThread::~TIdYarnOfThread() {
    if (scheduler_ != nullptr) {
        scheduler_->DropYarn(this);
    }
}

TIdSchedulerOfThread::TIdSchedulerOfThread() = default;

TIdSchedulerOfThread::~TIdSchedulerOfThread() {
    try {
        EndAllYarns();
    } catch (...) {
        // Destructors never throw.
    }
}

TIdThreadWithTask* TIdSchedulerOfThread::MakeWorkerThread() {
    if (maxThreads_ > 0 && !LiveYarns().IsCountLessThan(maxThreads_)) {
        throw EIdSchedulerMaxThreadsExceeded("The maximum number of threads for this scheduler is exceeded.");
    }
    return new TIdThreadWithTask(nullptr, Name() + " User");
}

void TIdSchedulerOfThread::BeginYarn(TIdYarn* yarn, std::unique_ptr<TIdContext> context) {
    auto* threadYarn = static_cast<TIdYarnOfThread*>(yarn);
    TIdThreadWithTask* thread = threadYarn->YarnThread();
    thread->SetTask(std::move(context));
    thread->Launch();
}

void TIdSchedulerOfThread::EndYarn(TIdYarn* yarn) {
    auto* threadYarn = static_cast<TIdYarnOfThread*>(yarn);
    TIdThreadWithTask* thread = threadYarn->YarnThread();
    if (thread->Suspended()) {
        // Never launched: freeing the thread frees its yarn, which leaves the list.
        delete thread;
    } else {
        thread->Halt();
    }
}
