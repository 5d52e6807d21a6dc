// IdStream: the block-based memory stream that holds request and response
// bodies. Blocks are fixed-size and allocated on first write, so growth never
// moves held bytes and a sized-ahead stream commits no memory.
#include "io/IdStream.h"

#include <algorithm>
#include <cstring>

namespace {

size_t BlocksFor(int64_t size) {
    return static_cast<size_t>((size + TMemoryStream::BlockSize - 1) / TMemoryStream::BlockSize);
}

}  // namespace

// Invariant: every byte of an allocated block at or past size_ is zero, so
// that growing the stream again (SetSize or a write past the end) exposes
// zeros and never stale data.

void TMemoryStream::SetSize(int64_t size) {
    size = std::max<int64_t>(size, 0);
    if (size < size_) {
        blocks_.resize(BlocksFor(size));
        const int64_t tail = size % BlockSize;
        if (tail != 0 && blocks_.back() != nullptr) {
            std::memset(blocks_.back().get() + tail, 0, static_cast<size_t>(BlockSize - tail));
        }
    } else if (size > size_) {
        // Only null slots are added; the blocks themselves come with writes.
        blocks_.resize(BlocksFor(size));
    }
    size_ = size;
}

void TMemoryStream::SetPosition(int64_t position) {
    // Past the end is allowed, as in any seekable stream: reads there give
    // nothing, and a write there fills the gap with zeros.
    position_ = std::max<int64_t>(position, 0);
}

int64_t TMemoryStream::Read(void* dest, int64_t count) {
    if (count <= 0 || position_ >= size_) {
        return 0;
    }
    const int64_t total = std::min(count, size_ - position_);
    auto* out = static_cast<uint8_t*>(dest);
    int64_t done = 0;
    while (done < total) {
        const int64_t pos = position_ + done;
        const auto block = static_cast<size_t>(pos / BlockSize);
        const int64_t offset = pos % BlockSize;
        const int64_t chunk = std::min(total - done, BlockSize - offset);
        if (blocks_[block] == nullptr) {
            std::memset(out + done, 0, static_cast<size_t>(chunk));
        } else {
            std::memcpy(out + done, blocks_[block].get() + offset, static_cast<size_t>(chunk));
        }
        done += chunk;
    }
    position_ += total;
    return total;
}

int64_t TMemoryStream::Write(const void* src, int64_t count) {
    if (count <= 0) {
        return 0;
    }
    // Keeps position_ + count representable.
    count = std::min(count, INT64_MAX - position_);
    const int64_t end = position_ + count;
    if (end > size_) {
        blocks_.resize(BlocksFor(end));
        size_ = end;
    }
    const auto* in = static_cast<const uint8_t*>(src);
    int64_t done = 0;
    while (done < count) {
        const int64_t pos = position_ + done;
        const auto block = static_cast<size_t>(pos / BlockSize);
        const int64_t offset = pos % BlockSize;
        const int64_t chunk = std::min(count - done, BlockSize - offset);
        std::unique_ptr<uint8_t[]>& slot = blocks_[block];
        if (slot == nullptr) {
            // Zero-filled, so the unwritten parts of the block read as zero.
            slot = std::make_unique<uint8_t[]>(static_cast<size_t>(BlockSize));
        }
        std::memcpy(slot.get() + offset, in + done, static_cast<size_t>(chunk));
        done += chunk;
    }
    position_ = end;
    return count;
}

void TMemoryStream::Clear() {
    blocks_.clear();
    size_ = 0;
    position_ = 0;
}

std::vector<uint8_t> TMemoryStream::ToBytes() const {
    std::vector<uint8_t> result(static_cast<size_t>(size_));
    int64_t done = 0;
    for (size_t block = 0; done < size_; ++block) {
        const int64_t chunk = std::min(size_ - done, BlockSize);
        if (blocks_[block] != nullptr) {
            std::memcpy(result.data() + done, blocks_[block].get(), static_cast<size_t>(chunk));
        }
        done += chunk;
    }
    return result;
}

int64_t TMemoryStream::CommittedBytes() const noexcept {
    int64_t committed = 0;
    for (const auto& block : blocks_) {
        if (block != nullptr) {
            committed += BlockSize;
        }
    }
    return committed;
}
