// IdThreadSafeList: a list of object pointers under its own lock, for the
// lists that several framework threads share (the scheduler's yarns, the
// server's contexts and listeners). Walk it through LockList(), which keeps
// the lock for as long as the accessor lives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

template <class T>
class TIdThreadSafeList {
public:
    // Holds the list's lock while it lives; movable, so it can be returned.
    class TLocked {
    public:
        explicit TLocked(TIdThreadSafeList& list) : lock_(list.lock_), items_(&list.items_) {}

        std::vector<T*>& Items() { return *items_; }
        size_t Count() const { return items_->size(); }
        T* operator[](size_t index) const { return (*items_)[index]; }
        typename std::vector<T*>::iterator begin() { return items_->begin(); }
        typename std::vector<T*>::iterator end() { return items_->end(); }

    private:
        std::unique_lock<std::recursive_mutex> lock_;
        std::vector<T*>* items_;
    };

    TIdThreadSafeList() = default;
    TIdThreadSafeList(const TIdThreadSafeList&) = delete;
    TIdThreadSafeList& operator=(const TIdThreadSafeList&) = delete;

    ~TIdThreadSafeList() {
        if (ownsObjects_) {
            Clear();
        }
    }

    TLocked LockList() { return TLocked(*this); }

    void Add(T* item) {
        std::scoped_lock lock(lock_);
        items_.push_back(item);
    }

    // Removes the first occurrence; false when the item is not listed.
    bool Remove(T* item) {
        std::scoped_lock lock(lock_);
        const auto found = std::find(items_.begin(), items_.end(), item);
        if (found == items_.end()) {
            return false;
        }
        items_.erase(found);
        return true;
    }

    bool Contains(T* item) {
        std::scoped_lock lock(lock_);
        return std::find(items_.begin(), items_.end(), item) != items_.end();
    }

    size_t Count() {
        std::scoped_lock lock(lock_);
        return items_.size();
    }

    // Signed so that a limit of 0 or less needs no care.
    bool IsCountLessThan(int64_t count) {
        std::scoped_lock lock(lock_);
        return static_cast<int64_t>(items_.size()) < count;
    }

    // Empties the list; with OwnsObjects the entries are freed, last first.
    // Each entry leaves the list before it is freed, so an entry whose
    // destructor removes itself finds nothing left to remove.
    void Clear() {
        std::scoped_lock lock(lock_);
        if (!ownsObjects_) {
            items_.clear();
            return;
        }
        while (!items_.empty()) {
            T* item = items_.back();
            items_.pop_back();
            delete item;
        }
    }

    bool OwnsObjects() {
        std::scoped_lock lock(lock_);
        return ownsObjects_;
    }
    void SetOwnsObjects(bool value) {
        std::scoped_lock lock(lock_);
        ownsObjects_ = value;
    }

private:
    // Re-entrant: the scheduler ends yarns while walking its list under the
    // lock, and a yarn that dies there removes itself from the same list on
    // the same thread (so the walk goes from the end).
    std::recursive_mutex lock_;
    std::vector<T*> items_;     // guarded by lock_
    bool ownsObjects_ = false;  // guarded by lock_
};

// An absent list counts as holding fewer than any count.
template <class T>
bool IsCountLessThan(TIdThreadSafeList<T>* list, int64_t count) {
    return list == nullptr || list->IsCountLessThan(count);
}
