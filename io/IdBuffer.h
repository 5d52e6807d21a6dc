// IdBuffer: the receive queue of a connection. Bytes are appended at the end
// and taken from the front; taking only moves a start index, and held bytes
// are compacted when dead space piles up. Used by the buffered I/O handler.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/IdGlobal.h"

class TStream;

class TIdBuffer {
public:
    // Told how many bytes were asked to go each time bytes leave the front.
    using TConsumedEvent = std::function<void(TIdBuffer&, int32_t)>;

    explicit TIdBuffer(TConsumedEvent onConsumed = nullptr);
    ~TIdBuffer();
    TIdBuffer(const TIdBuffer&) = delete;
    TIdBuffer& operator=(const TIdBuffer&) = delete;

    void Reset() noexcept;

    // Appending to an empty buffer adopts the array without copying it.
    void AppendBytes(TIdBytes&& bytes);
    void AppendBytes(const TIdBytes& bytes);
    void AppendData(const uint8_t* data, int32_t count);

    // count -1 means everything held.
    void TakeBytes(TIdBytes& dest, int32_t count, bool append);
    std::string TakeText(int32_t count);
    void TakeToStream(TStream& stream, int32_t count);
    void Discard(int32_t count);

    // Position relative to the first held byte, or -1.
    int32_t FindBytes(const TIdBytes& pattern, int32_t from = 0) const;
    int32_t FindText(std::string_view text, int32_t from = 0) const;

    void Repack(bool shrink);

    int32_t Used() const noexcept { return used_; }
    int64_t Capacity() const noexcept { return static_cast<int64_t>(storage_.size()); }
    int32_t Start() const noexcept { return start_; }
    int32_t GrowBy() const noexcept { return growBy_; }
    void SetGrowBy(int32_t growBy) noexcept { growBy_ = growBy < 0 ? 0 : growBy; }

    // The held bytes, valid until the next change of the buffer.
    const uint8_t* Data() const noexcept { return storage_.data() + start_; }
    // Held byte at index; outside 0 .. Used - 1 raises EIdRangeException.
    uint8_t At(int32_t index) const;

    TConsumedEvent OnConsumed;

private:
    int32_t Find(const uint8_t* pattern, size_t length, int32_t from) const;
    void CheckAppend(size_t count) const;
    void CheckTake(int32_t count) const;
    void AppendToHeld(const uint8_t* data, size_t count);

    TIdBytes storage_;
    int32_t growBy_ = 2048;
    int32_t start_ = 0;  // index in storage_ of the first held byte
    int32_t used_ = 0;   // held bytes: storage_[start_ .. start_ + used_ - 1]
};
