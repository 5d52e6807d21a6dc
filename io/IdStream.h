// IdStream: seekable byte streams. TMemoryStream keeps its bytes in blocks
// so that growing a large body never copies what is already held (a 100 MB
// response is held once), and memory is committed only as bytes are
// written: sizing a stream ahead costs nothing until data arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t Size() const = 0;
    virtual void SetSize(int64_t size) = 0;
    virtual int64_t Position() const = 0;
    virtual void SetPosition(int64_t position) = 0;
    // Reads up to count bytes at the position; returns the count read.
    virtual int64_t Read(void* dest, int64_t count) = 0;
    // Writes count bytes at the position, growing the stream as needed.
    virtual int64_t Write(const void* src, int64_t count) = 0;

    // Direct access for the I/O layer, so that bodies move between sockets
    // and the stream without a copy in between. A stream that cannot offer
    // its memory answers with an empty span and is read and written through
    // Read and Write instead.
    //
    // Memory for up to count bytes at the position (fewer at a block end);
    // CommitWrite(n) then makes the first n of them part of the stream.
    virtual std::span<uint8_t> PrepareWrite(int64_t count) {
        (void)count;
        return {};
    }
    virtual void CommitWrite(int64_t count) { (void)count; }
    // The held bytes at the position, up to count (fewer at a block end);
    // SetPosition moves past what was used.
    virtual std::span<const uint8_t> PeekRead(int64_t count) {
        (void)count;
        return {};
    }
};

// Where the blocks of large bodies come from: the heap, unless the program
// installs the platform's own mappings (app/Platform), which can back them
// with huge pages. Allocate answers null when it cannot serve; the block
// then comes from the heap. Install before streams are made.
struct TLargeBlockSource {
    void* (*Allocate)(size_t size) = nullptr;
    void (*Release)(void* block, size_t size) = nullptr;
};
void SetLargeBlockSource(const TLargeBlockSource& source);

class TMemoryStream : public TStream {
public:
    // Blocks past the first are this size. The first one starts as large as
    // the stream's size asks for (a 100-byte body takes 100 bytes, not a
    // whole block) and grows by doubling up to this size.
    static constexpr int64_t BlockSize = 256 * 1024;
    // A stream sized ahead to at least LargeStreamSize while it is still
    // empty (a big body of known length) uses blocks of LargeBlockSize from
    // the large block source instead: a fault per huge page rather than per
    // page moves such a body several times faster.
    static constexpr int64_t LargeBlockSize = 2 * 1024 * 1024;
    static constexpr int64_t LargeStreamSize = 8 * 1024 * 1024;

    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    int64_t Size() const override { return size_; }
    void SetSize(int64_t size) override;
    int64_t Position() const override { return position_; }
    void SetPosition(int64_t position) override;
    int64_t Read(void* dest, int64_t count) override;
    int64_t Write(const void* src, int64_t count) override;
    std::span<uint8_t> PrepareWrite(int64_t count) override;
    void CommitWrite(int64_t count) override;
    std::span<const uint8_t> PeekRead(int64_t count) override;

    void Clear();
    // Copies the whole content out (tests and small bodies).
    std::vector<uint8_t> ToBytes() const;
    // Bytes allocated in blocks (not the logical size).
    int64_t CommittedBytes() const noexcept;
    // The size of this stream's blocks: BlockSize or LargeBlockSize.
    int64_t BlockBytes() const noexcept { return blockSize_; }

private:
    // Blocks are not cleared when allocated (a body overwrites them anyway):
    // only the first `filled` bytes hold stream content, and everything past
    // them reads as zero. A gap a write leaves is cleared when it is made.
    class TBlock {
    public:
        TBlock() = default;
        TBlock(TBlock&& other) noexcept;
        TBlock& operator=(TBlock&& other) noexcept;
        TBlock(const TBlock&) = delete;
        TBlock& operator=(const TBlock&) = delete;
        ~TBlock() { Free(); }

        // Replaces the memory with capacity fresh bytes, keeping the filled part.
        void Grow(int64_t capacity);

        uint8_t* data = nullptr;  // null = never written (reads as 0)
        int64_t capacity = 0;
        int64_t filled = 0;

    private:
        void Free() noexcept;
        void (*release_)(void* block, size_t size) = nullptr;  // null: the heap's
    };

    size_t BlocksFor(int64_t size) const;
    // Makes the block able to hold bytes up to its offset `end`.
    TBlock& BlockFor(size_t index, int64_t end);

    std::vector<TBlock> blocks_;
    int64_t blockSize_ = BlockSize;
    int64_t size_ = 0;
    int64_t position_ = 0;
    int64_t pendingWrite_ = 0;  // bytes offered by PrepareWrite, not yet committed
};
