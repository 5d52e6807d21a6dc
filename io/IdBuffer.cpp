// IdBuffer: append-at-end, take-from-front byte queue of a connection.
// Growth adds the appended size plus GrowBy of slack instead of doubling,
// and an append to an empty queue adopts the freshly received array.
#include "io/IdBuffer.h"

#include <cstring>
#include <utility>

#include "base/IdException.h"
#include "io/IdStream.h"
#include "net/IdStack.h"

namespace {

constexpr int64_t MaxHeld = 2147483647;

}  // namespace

TIdBuffer::TIdBuffer(TConsumedEvent onConsumed) : OnConsumed(std::move(onConsumed)) {
    // A buffer keeps the socket stack alive so that the connection reading
    // into it can never outlive the stack.
    TIdStack::IncUsage();
}

TIdBuffer::~TIdBuffer() {
    try {
        TIdStack::DecUsage();
    } catch (...) {
        // Destructors never throw; a failing stack teardown has nowhere to go.
    }
}

void TIdBuffer::Reset() noexcept {
    // Swapping with an empty array releases the memory; clear() would not.
    TIdBytes().swap(storage_);
    start_ = 0;
    used_ = 0;
}

void TIdBuffer::CheckAppend(size_t count) const {
    if (static_cast<uint64_t>(count) > static_cast<uint64_t>(MaxHeld - used_)) {
        throw EIdTooMuchDataInBuffer("Too much data in buffer.");
    }
}

void TIdBuffer::CheckTake(int32_t count) const {
    if (count > used_) {
        throw EIdNotEnoughDataInBuffer("Not enough data in buffer. (" + std::to_string(count) + "/" +
                                       std::to_string(used_) + ")");
    }
}

void TIdBuffer::AppendToHeld(const uint8_t* data, size_t count) {
    Repack(false);
    if (storage_.size() - static_cast<size_t>(used_) < count) {
        storage_.resize(static_cast<size_t>(used_) + count + static_cast<size_t>(growBy_));
    }
    if (count > 0) {
        std::memcpy(storage_.data() + used_, data, count);
    }
    used_ += static_cast<int32_t>(count);
}

void TIdBuffer::AppendBytes(TIdBytes&& bytes) {
    CheckAppend(bytes.size());
    if (used_ == 0) {
        // The hot path: a freshly received chunk into an empty queue.
        storage_ = std::move(bytes);
        start_ = 0;
        used_ = static_cast<int32_t>(storage_.size());
        return;
    }
    AppendToHeld(bytes.data(), bytes.size());
}

void TIdBuffer::AppendBytes(const TIdBytes& bytes) {
    CheckAppend(bytes.size());
    if (used_ == 0) {
        storage_ = bytes;
        start_ = 0;
        used_ = static_cast<int32_t>(storage_.size());
        return;
    }
    AppendToHeld(bytes.data(), bytes.size());
}

void TIdBuffer::AppendData(const uint8_t* data, int32_t count) {
    if (count <= 0) {
        return;
    }
    CheckAppend(static_cast<size_t>(count));
    if (used_ == 0) {
        storage_.assign(data, data + count);
        start_ = 0;
        used_ = count;
        return;
    }
    AppendToHeld(data, static_cast<size_t>(count));
}

void TIdBuffer::TakeBytes(TIdBytes& dest, int32_t count, bool append) {
    if (count == -1) {
        count = used_;
    }
    if (count <= 0) {
        return;
    }
    CheckTake(count);
    uint8_t* target;
    if (append) {
        const size_t oldSize = dest.size();
        dest.resize(oldSize + static_cast<size_t>(count));
        target = dest.data() + oldSize;
    } else {
        if (dest.size() < static_cast<size_t>(count)) {
            dest.resize(static_cast<size_t>(count));
        }
        target = dest.data();
    }
    std::memcpy(target, Data(), static_cast<size_t>(count));
    Discard(count);
}

std::string TIdBuffer::TakeText(int32_t count) {
    if (count == -1) {
        count = used_;
    }
    if (count <= 0) {
        return {};
    }
    CheckTake(count);
    std::string text(reinterpret_cast<const char*>(Data()), static_cast<size_t>(count));
    Discard(count);
    return text;
}

void TIdBuffer::TakeToStream(TStream& stream, int32_t count) {
    if (count == -1) {
        count = used_;
    }
    Repack(true);
    CheckTake(count);
    if (count <= 0) {
        return;
    }
    stream.Write(Data(), count);
    Discard(count);
}

void TIdBuffer::Discard(int32_t count) {
    // A negative count would move Start backwards past the storage; it is
    // treated as nothing to discard.
    if (count <= 0) {
        return;
    }
    if (count >= used_) {
        Reset();
    } else {
        start_ += count;
        used_ -= count;
        if (start_ > growBy_) {
            Repack(true);
        }
    }
    if (OnConsumed) {
        OnConsumed(*this, count);
    }
}

void TIdBuffer::Repack(bool shrink) {
    if (start_ <= 0) {
        return;
    }
    const auto held = static_cast<size_t>(used_);
    const auto slack = static_cast<size_t>(growBy_);
    if (shrink && storage_.size() - held > slack) {
        // A fresh, smaller array: the copy is the move, and the surplus is
        // really released (shrinking a vector in place keeps its memory).
        TIdBytes packed(held + slack);
        if (held > 0) {
            std::memcpy(packed.data(), storage_.data() + start_, held);
        }
        storage_.swap(packed);
    } else if (held > 0) {
        std::memmove(storage_.data(), storage_.data() + start_, held);
    }
    start_ = 0;
}

int32_t TIdBuffer::Find(const uint8_t* pattern, size_t length, int32_t from) const {
    if (used_ == 0) {
        return -1;
    }
    if (length == 0) {
        throw EIdException("Buffer terminator must be specified.");
    }
    if (from < 0 || from > used_ - 1) {
        throw EIdException("Buffer start position is invalid.");
    }
    const auto available = static_cast<size_t>(used_ - from);
    if (length > available) {
        return -1;
    }
    const uint8_t* base = Data();
    const uint8_t* cursor = base + from;
    // Last position where the whole pattern still fits.
    const uint8_t* lastStart = base + used_ - length;
    while (cursor <= lastStart) {
        const auto* hit = static_cast<const uint8_t*>(
            std::memchr(cursor, pattern[0], static_cast<size_t>(lastStart - cursor) + 1));
        if (hit == nullptr) {
            return -1;
        }
        if (std::memcmp(hit + 1, pattern + 1, length - 1) == 0) {
            return static_cast<int32_t>(hit - base);
        }
        cursor = hit + 1;
    }
    return -1;
}

int32_t TIdBuffer::FindBytes(const TIdBytes& pattern, int32_t from) const {
    return Find(pattern.data(), pattern.size(), from);
}

int32_t TIdBuffer::FindText(std::string_view text, int32_t from) const {
    return Find(reinterpret_cast<const uint8_t*>(text.data()), text.size(), from);
}

uint8_t TIdBuffer::At(int32_t index) const {
    if (index < 0 || index >= used_) {
        throw EIdRangeException("Index out of bounds.");
    }
    return Data()[index];
}
