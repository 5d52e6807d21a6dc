// IdStream: the block-based memory stream that holds request and response
// bodies. Blocks are allocated on first write and never cleared as a whole,
// so growth never moves held bytes, a sized-ahead stream commits no memory,
// and a body costs one write of each byte into memory.
#include "io/IdStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Pages are at least this large wherever we run.
constexpr int64_t PageStride = 4096;

TLargeBlockSource largeBlockSource;  // set once at start-up, before any stream

}  // namespace

void SetLargeBlockSource(const TLargeBlockSource& source) { largeBlockSource = source; }

TMemoryStream::TBlock::TBlock(TBlock&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      capacity(std::exchange(other.capacity, 0)),
      filled(std::exchange(other.filled, 0)),
      release_(std::exchange(other.release_, nullptr)) {}

TMemoryStream::TBlock& TMemoryStream::TBlock::operator=(TBlock&& other) noexcept {
    if (this != &other) {
        Free();
        data = std::exchange(other.data, nullptr);
        capacity = std::exchange(other.capacity, 0);
        filled = std::exchange(other.filled, 0);
        release_ = std::exchange(other.release_, nullptr);
    }
    return *this;
}

void TMemoryStream::TBlock::Free() noexcept {
    if (data == nullptr) {
        return;
    }
    if (release_ != nullptr) {
        release_(data, static_cast<size_t>(capacity));
    } else {
        delete[] data;
    }
    data = nullptr;
    release_ = nullptr;
    capacity = 0;
}

void TMemoryStream::TBlock::Grow(int64_t newCapacity) {
    uint8_t* fresh = nullptr;
    void (*release)(void*, size_t) = nullptr;
    if (newCapacity == LargeBlockSize && largeBlockSource.Allocate != nullptr) {
        fresh = static_cast<uint8_t*>(largeBlockSource.Allocate(static_cast<size_t>(newCapacity)));
        if (fresh != nullptr) {
            release = largeBlockSource.Release;
        }
    }
    if (fresh == nullptr) {
        fresh = new uint8_t[static_cast<size_t>(newCapacity)];
    }
    // Fresh memory is touched here, a byte per page, so that its page faults
    // happen now and not inside a receive straight into the block: a receive
    // that faults sleeps on the address-space lock while holding its socket,
    // and under many threads mapping and unmapping bodies that stalled a
    // download to a crawl (seconds for 8 MB).
    for (int64_t page = 0; page < newCapacity; page += PageStride) {
        fresh[page] = 0;
    }
    if (filled > 0) {
        std::memcpy(fresh, data, static_cast<size_t>(filled));
    }
    const int64_t keep = filled;
    Free();
    data = fresh;
    release_ = release;
    capacity = newCapacity;
    filled = keep;
}

size_t TMemoryStream::BlocksFor(int64_t size) const {
    return static_cast<size_t>((size + blockSize_ - 1) / blockSize_);
}

TMemoryStream::TBlock& TMemoryStream::BlockFor(size_t index, int64_t end) {
    TBlock& block = blocks_[index];
    if (block.capacity >= end) {
        return block;
    }
    int64_t capacity = blockSize_;
    if (index == 0) {
        // As large as the stream's size says (known ahead for a body with a
        // length), doubling for a stream that grows write by write.
        capacity = std::max(end, std::min(size_, blockSize_));
        capacity = std::min(std::max(capacity, 2 * block.capacity), blockSize_);
    }
    block.Grow(capacity);
    return block;
}

void TMemoryStream::SetSize(int64_t size) {
    size = std::max<int64_t>(size, 0);
    if (blocks_.empty() && size_ == 0) {
        blockSize_ = size >= LargeStreamSize ? LargeBlockSize : BlockSize;
    }
    if (size < size_) {
        blocks_.resize(BlocksFor(size));
        // Bytes cut off must not come back when the stream grows again.
        const int64_t tail = size % blockSize_;
        if (tail != 0 && !blocks_.empty()) {
            blocks_.back().filled = std::min(blocks_.back().filled, tail);
        }
    } else if (size > size_) {
        // Only empty slots are added; the blocks themselves come with writes.
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
        const TBlock& block = blocks_[static_cast<size_t>(pos / blockSize_)];
        const int64_t offset = pos % blockSize_;
        const int64_t chunk = std::min(total - done, blockSize_ - offset);
        const int64_t held = block.data != nullptr ? std::clamp<int64_t>(block.filled - offset, 0, chunk) : 0;
        if (held > 0) {
            std::memcpy(out + done, block.data + offset, static_cast<size_t>(held));
        }
        if (held < chunk) {
            std::memset(out + done + held, 0, static_cast<size_t>(chunk - held));
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
        const int64_t offset = pos % blockSize_;
        const int64_t chunk = std::min(count - done, blockSize_ - offset);
        TBlock& block = BlockFor(static_cast<size_t>(pos / blockSize_), offset + chunk);
        if (offset > block.filled) {
            std::memset(block.data + block.filled, 0, static_cast<size_t>(offset - block.filled));
        }
        std::memcpy(block.data + offset, in + done, static_cast<size_t>(chunk));
        block.filled = std::max(block.filled, offset + chunk);
        done += chunk;
    }
    position_ = end;
    return count;
}

std::span<uint8_t> TMemoryStream::PrepareWrite(int64_t count) {
    pendingWrite_ = 0;
    count = std::min(count, INT64_MAX - position_);
    if (count <= 0) {
        return {};
    }
    const auto index = static_cast<size_t>(position_ / blockSize_);
    const int64_t offset = position_ % blockSize_;
    const int64_t chunk = std::min(count, blockSize_ - offset);
    if (blocks_.size() <= index) {
        blocks_.resize(index + 1);
    }
    TBlock& block = BlockFor(index, offset + chunk);
    if (offset > block.filled) {
        std::memset(block.data + block.filled, 0, static_cast<size_t>(offset - block.filled));
    }
    pendingWrite_ = chunk;
    return {block.data + offset, static_cast<size_t>(chunk)};
}

void TMemoryStream::CommitWrite(int64_t count) {
    count = std::clamp<int64_t>(count, 0, pendingWrite_);
    pendingWrite_ = 0;
    if (count > 0) {
        TBlock& block = blocks_[static_cast<size_t>(position_ / blockSize_)];
        block.filled = std::max(block.filled, position_ % blockSize_ + count);
        position_ += count;
        size_ = std::max(size_, position_);
    }
    // A block offered past the end and not written to is not kept.
    blocks_.resize(BlocksFor(size_));
}

std::span<const uint8_t> TMemoryStream::PeekRead(int64_t count) {
    if (count <= 0 || position_ >= size_) {
        return {};
    }
    const TBlock& block = blocks_[static_cast<size_t>(position_ / blockSize_)];
    const int64_t offset = position_ % blockSize_;
    if (block.data == nullptr || offset >= block.filled) {
        return {};  // never written: Read supplies the zeros
    }
    const int64_t chunk = std::min({count, size_ - position_, block.filled - offset});
    return {block.data + offset, static_cast<size_t>(chunk)};
}

void TMemoryStream::Clear() {
    blocks_.clear();
    blockSize_ = BlockSize;
    size_ = 0;
    position_ = 0;
    pendingWrite_ = 0;
}

std::vector<uint8_t> TMemoryStream::ToBytes() const {
    std::vector<uint8_t> result(static_cast<size_t>(size_));
    int64_t done = 0;
    for (size_t index = 0; done < size_; ++index) {
        const TBlock& block = blocks_[index];
        const int64_t held = std::min({size_ - done, blockSize_, block.filled});
        if (block.data != nullptr && held > 0) {
            std::memcpy(result.data() + done, block.data, static_cast<size_t>(held));
        }
        done += std::min(size_ - done, blockSize_);
    }
    return result;
}

int64_t TMemoryStream::CommittedBytes() const noexcept {
    int64_t committed = 0;
    for (const TBlock& block : blocks_) {
        committed += block.capacity;
    }
    return committed;
}
