// IdScheduler: hands out the yarns (worker threads) that run connections.
// The scheduler lists its live yarns but does not own them: each worker
// thread owns its yarn, and a yarn removes itself from the list when freed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "io/IdComponent.h"
#include "server/IdThreadSafeList.h"
#include "server/IdYarn.h"

class TIdContext;

class TIdScheduler : public TIdComponent {
public:
    TIdScheduler();
    ~TIdScheduler() override;

    // A new yarn with its suspended worker, before any client arrived.
    virtual TIdYarn* ObtainYarn() = 0;
    virtual void Prepare() {}
    // Removes a yarn from LiveYarns (called by the yarn as it dies).
    virtual void DropYarn(TIdYarn* yarn);
    // Gives the yarn's worker the context and starts it.
    virtual void BeginYarn(TIdYarn* yarn, std::unique_ptr<TIdContext> context) = 0;
    // Frees a never launched worker, or asks a running one to stop.
    virtual void EndYarn(TIdYarn* yarn) = 0;
    // Repeats ending every live yarn until none is left.
    virtual void EndAllYarns();

    TIdThreadSafeList<TIdYarn>& LiveYarns() { return liveYarns_; }

private:
    TIdThreadSafeList<TIdYarn> liveYarns_;
    // Lock order: LiveYarns' lock before emptyLock_, never the reverse
    // (DropYarn runs under the list lock when a never launched worker is
    // freed). A worker is still inside DropYarn after its yarn left the
    // list; dropping_ lets EndAllYarns wait for that, so that the scheduler
    // is not freed under a worker that is about to notify.
    std::mutex emptyLock_;                 // with yarnsGone_; guards dropping_, drops_
    std::condition_variable yarnsGone_;    // notified when a yarn is dropped
    int32_t dropping_ = 0;                 // DropYarn calls in progress
    uint64_t drops_ = 0;                   // DropYarn calls completed
};
