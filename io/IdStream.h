// IdStream: seekable byte streams. TMemoryStream keeps its bytes in fixed
// blocks so that growing a large body never copies what is already held
// (a 100 MB response is held once), and memory is committed only as bytes
// are written: sizing a stream ahead costs nothing until data arrives.
#pragma once

#include <cstdint>
#include <memory>
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
};

class TMemoryStream : public TStream {
public:
    static constexpr int64_t BlockSize = 256 * 1024;

    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    int64_t Size() const override { return size_; }
    void SetSize(int64_t size) override;
    int64_t Position() const override { return position_; }
    void SetPosition(int64_t position) override;
    int64_t Read(void* dest, int64_t count) override;
    int64_t Write(const void* src, int64_t count) override;

    void Clear();
    // Copies the whole content out (tests and small bodies).
    std::vector<uint8_t> ToBytes() const;
    // Bytes committed in blocks (not the logical size).
    int64_t CommittedBytes() const noexcept;

private:
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;  // null = never written (reads as 0)
    int64_t size_ = 0;
    int64_t position_ = 0;
};
