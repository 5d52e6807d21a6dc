// OpaqueStream: a memory stream behind the plain stream interface, without
// direct access to its memory, so that the I/O handler has to take the path
// every other kind of stream takes (read out into chunks, filled through the
// input queue).
#pragma once

#include <string>

#include "io/IdStream.h"

class OpaqueStream : public TStream {
public:
    OpaqueStream() = default;
    explicit OpaqueStream(const std::string& text) { inner_.Write(text.data(), static_cast<int64_t>(text.size())); }

    int64_t Size() const override { return inner_.Size(); }
    void SetSize(int64_t size) override { inner_.SetSize(size); }
    int64_t Position() const override { return inner_.Position(); }
    void SetPosition(int64_t position) override { inner_.SetPosition(position); }
    int64_t Read(void* dest, int64_t count) override { return inner_.Read(dest, count); }
    int64_t Write(const void* src, int64_t count) override { return inner_.Write(src, count); }
    const TMemoryStream& Inner() const { return inner_; }

private:
    TMemoryStream inner_;
};
