// IdNativeThread: platform threads with a small stack that park after their
// body and carry the next one. Parked threads wait on their own semaphore;
// the park itself is one short list under one lock.
#include "server/IdNativeThread.h"

#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// Connection threads are many and shallow; buffers live on the heap.
constexpr size_t kThreadStackSize = 256 * 1024;

// Linux refuses names longer than this.
constexpr size_t kMaxNativeNameLength = 15;

// std::thread cannot size its stack; the pthread attribute works on Linux
// and on mingw-w64's posix model alike. Answers 0 or the error number.
int StartPlatformThread(pthread_t& handle, void* (*entry)(void*), void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    size_t stackSize = kThreadStackSize;
#ifdef PTHREAD_STACK_MIN
    // glibc may define it as a run-time sysconf value; winpthreads lacks it.
    if (stackSize < static_cast<size_t>(PTHREAD_STACK_MIN)) {
        stackSize = static_cast<size_t>(PTHREAD_STACK_MIN);
    }
#endif
    rc = pthread_attr_setstacksize(&attr, stackSize);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    }
    if (rc == 0) {
        rc = pthread_create(&handle, &attr, entry, arg);
    }
    pthread_attr_destroy(&attr);
    return rc;
}

}  // namespace

// One platform thread. Lifetime: it frees itself when it ends, which it
// does only while parked and unreserved (nobody refers to it then), or when
// the park is full as its body returns and its handle has let go.
// The hand-over of a body. A platform semaphore wakes the waiting thread
// with one call when a waiter sleeps and none otherwise, and a waiter sleeps
// at once (the C++ library's semaphore spins, yielding, before it sleeps,
// which under load only hands the processor around).
class TIdNativeThread::TOffer {
public:
    TOffer() { sem_init(&semaphore_, 0, 0); }
    ~TOffer() { sem_destroy(&semaphore_); }
    TOffer(const TOffer&) = delete;
    TOffer& operator=(const TOffer&) = delete;

    void Post() { sem_post(&semaphore_); }
    // True when a post came within ms milliseconds.
    bool Take(int ms) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        for (;;) {
            if (sem_timedwait(&semaphore_, &deadline) == 0) {
                return true;
            }
            if (errno != EINTR) {
                return false;
            }
        }
    }

private:
    sem_t semaphore_;
};

struct TIdNativeThread::TCarrier {
    // body, arg and quit are written before `offered` is posted and read
    // after it is taken, so the semaphore orders them.
    TOffer offered;
    TBody body = nullptr;
    void* arg = nullptr;
    bool quit = false;

    std::mutex lock;
    std::condition_variable changed;  // with lock
    pthread_t self{};                 // guarded by lock; set by the thread itself
    bool attached = false;            // guarded by lock; a handle refers to the body
    bool done = false;                // guarded by lock; the body has returned
};

namespace {

// The parked threads, most recently parked last (its stack is the warmest).
// Never destroyed: parked threads may still wait while the process exits.
struct TPark {
    std::mutex lock;
    std::vector<void*> parked;  // guarded by lock; TCarrier pointers
};

TPark& Park() {
    static TPark* park = new TPark();
    return *park;
}

}  // namespace

TIdNativeThread::~TIdNativeThread() { Detach(); }

int TIdNativeThread::Reserve() {
    if (carrier_ != nullptr) {
        return 0;
    }
    {
        TPark& park = Park();
        std::scoped_lock lock(park.lock);
        if (!park.parked.empty()) {
            carrier_ = static_cast<TCarrier*>(park.parked.back());
            park.parked.pop_back();
            started_ = false;
            return 0;
        }
    }
    auto fresh = std::make_unique<TCarrier>();
    pthread_t handle{};
    const int rc = StartPlatformThread(handle, &TIdNativeThread::CarrierMain, fresh.get());
    if (rc != 0) {
        return rc;
    }
    carrier_ = fresh.release();
    started_ = false;
    return 0;
}

int TIdNativeThread::Start(TBody body, void* arg) {
    if (started_) {
        Detach();
    }
    const int rc = Reserve();
    if (rc != 0) {
        return rc;
    }
    carrier_->body = body;
    carrier_->arg = arg;
    {
        std::scoped_lock lock(carrier_->lock);
        carrier_->attached = true;
        carrier_->done = false;
    }
    // Set before the hand-over: the body may ask its handle at once.
    started_ = true;
    carrier_->offered.Post();
    return 0;
}

void TIdNativeThread::Unreserve() {
    if (carrier_ == nullptr || started_) {
        return;
    }
    TCarrier* carrier = std::exchange(carrier_, nullptr);
    {
        // Back in the park it simply goes on waiting; nobody wakes it.
        TPark& park = Park();
        std::scoped_lock lock(park.lock);
        if (park.parked.size() < MaxParked) {
            park.parked.push_back(carrier);
            return;
        }
    }
    carrier->quit = true;
    carrier->offered.Post();
}

void TIdNativeThread::Join() { Let(true); }

void TIdNativeThread::Detach() { Let(false); }

void TIdNativeThread::Let(bool afterBody) {
    if (!started_) {
        Unreserve();
        return;
    }
    TCarrier* carrier = std::exchange(carrier_, nullptr);
    started_ = false;
    std::unique_lock lock(carrier->lock);
    if (afterBody) {
        carrier->changed.wait(lock, [carrier] { return carrier->done; });
    }
    carrier->attached = false;
    carrier->changed.notify_all();
    // The thread may be handed on (or end) as soon as the lock is free.
}

bool TIdNativeThread::IsCurrent() const {
    if (carrier_ == nullptr || !started_) {
        return false;
    }
    std::scoped_lock lock(carrier_->lock);
    return pthread_equal(pthread_self(), carrier_->self) != 0;
}

void TIdNativeThread::NameCurrentThread(const std::string& name) {
    // Renaming costs a system call; a reused thread mostly keeps its name.
    thread_local std::string current;
    const std::string shortName = name.substr(0, kMaxNativeNameLength);
    if (shortName == current) {
        return;
    }
    current = shortName;
    // winpthreads raises the Windows thread-naming exception itself when a
    // debugger is attached.
    (void)pthread_setname_np(pthread_self(), shortName.c_str());
}

size_t TIdNativeThread::ParkedCount() {
    TPark& park = Park();
    std::scoped_lock lock(park.lock);
    return park.parked.size();
}

bool TIdNativeThread::AwaitBody(TCarrier* carrier) {
    if (!carrier->offered.Take(RenameAfterMs)) {
        NameCurrentThread(IdleName);
        for (;;) {
            if (carrier->offered.Take(IdleLingerMs - RenameAfterMs)) {
                break;
            }
            // Waited out the linger: end, unless reserved meanwhile (then
            // the owner decides, and a reserved thread waits on).
            TPark& park = Park();
            std::scoped_lock parkLock(park.lock);
            const auto it = std::find(park.parked.begin(), park.parked.end(), carrier);
            if (it != park.parked.end()) {
                park.parked.erase(it);
                return false;
            }
        }
    }
    return !carrier->quit;
}

void* TIdNativeThread::CarrierMain(void* arg) {
    auto* carrier = static_cast<TCarrier*>(arg);
    {
        std::scoped_lock lock(carrier->lock);
        carrier->self = pthread_self();
    }
    TPark& park = Park();
    while (AwaitBody(carrier)) {
        carrier->body(carrier->arg);
        {
            std::unique_lock lock(carrier->lock);
            carrier->done = true;
            carrier->changed.notify_all();
            // Not handed on while the handle may still ask about this body.
            carrier->changed.wait(lock, [carrier] { return !carrier->attached; });
        }
        std::scoped_lock lock(park.lock);
        if (park.parked.size() >= MaxParked) {
            break;
        }
        park.parked.push_back(carrier);
    }
    delete carrier;
    return nullptr;
}
