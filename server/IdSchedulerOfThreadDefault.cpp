// IdSchedulerOfThreadDefault: the scheduler every server makes for itself.
#include "server/IdSchedulerOfThreadDefault.h"

#include <memory>

#include "io/IdException.h"

TIdThreadWithTask* TIdSchedulerOfThreadDefault::MakeWorkerThread() {
    TIdThreadWithTask* thread = TIdSchedulerOfThread::MakeWorkerThread();
    thread->SetFreeWhenDone(true);
    return thread;
}

TIdYarn* TIdSchedulerOfThreadDefault::ObtainYarn() {
    TIdThreadWithTask* thread = MakeWorkerThread();
    if (thread == nullptr) {
        throw EIdException("Thread must be specified for the scheduler.");
    }
    auto yarn = std::make_unique<TIdYarnOfThread>(this, thread);
    TIdYarn* result = yarn.get();
    // List the yarn before the thread owns it: from then on the scheduler
    // may only touch the thread while the yarn is listed (under the lock).
    LiveYarns().Add(result);
    thread->SetThreadYarn(std::move(yarn));
    return result;
}
