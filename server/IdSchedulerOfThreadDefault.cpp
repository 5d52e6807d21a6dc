// IdSchedulerOfThreadDefault: the scheduler every server makes for itself.
#include "server/IdSchedulerOfThreadDefault.h"

#include <memory>

#include "base/IdException.h"

TIdThreadWithTask* TIdSchedulerOfThreadDefault::MakeWorkerThread() {
    TIdThreadWithTask* thread = TIdSchedulerOfThread::MakeWorkerThread();
    thread->SetFreeWhenDone(true);
    return thread;
}

TIdYarn* TIdSchedulerOfThreadDefault::ObtainYarn() {
    // Held until the yarn is listed: a worker that cannot be listed (no
    // memory) is freed, never launched, instead of being lost.
    std::unique_ptr<TIdThreadWithTask> thread(MakeWorkerThread());
    if (!thread) {
        throw EIdException("Thread must be specified for the scheduler.");
    }
    auto yarn = std::make_unique<TIdYarnOfThread>(this, thread.get());
    TIdYarn* result = yarn.get();
    // List the yarn before the thread owns it: from then on the scheduler
    // may only touch the thread while the yarn is listed (under the lock).
    LiveYarns().Add(result);
    thread->SetThreadYarn(std::move(yarn));
    (void)thread.release();
    return result;
}
