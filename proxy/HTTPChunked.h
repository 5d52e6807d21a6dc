// HTTPChunked: the chunked transfer coding of request bodies (RFC 9112 7.1),
// read by a strict incremental decoder and written again by the proxy's own
// framing, so that an origin never sees chunk framing the proxy did not
// make. No sockets here: the caller feeds whatever has arrived.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class THTTPChunkDecoder {
public:
    // Bounds on what a peer may make the decoder read that is not body: a
    // chunk-size line with its extensions, and the trailer section.
    static constexpr size_t MaxChunkLine = 4096;
    static constexpr size_t MaxTrailerBytes = 64 * 1024;

    // Consumes a prefix of input and answers its length. data is set to the
    // body bytes within that prefix (a view into input, empty when the
    // prefix held framing only). Call again with the rest until input is
    // used up, Done() or Failed(); nothing is consumed once either holds.
    size_t Decode(std::string_view input, std::string_view& data);

    // The last chunk and the trailer section (read and dropped) have ended.
    bool Done() const { return state_ == TState::Done; }
    // The framing broke a rule; nothing more is read.
    bool Failed() const { return state_ == TState::Failed; }
    // Body bytes decoded so far.
    uint64_t BodySize() const { return bodySize_; }

private:
    enum class TState {
        Size,         // hex digits of a chunk size
        Extension,    // after the size: blanks, then extensions, up to the CR
        SizeLF,       // the LF that ends a chunk-size line
        Data,         // body bytes of the current chunk
        DataCR,       // the CR LF behind a chunk's data
        DataLF,
        Trailer,      // a trailer line (or the empty line that ends them)
        TrailerLF,
        Done,
        Failed,
    };

    // Whether c is the byte the framing wants here; fails the body if not.
    bool Expect(char c, char wanted) {
        if (c != wanted) {
            state_ = TState::Failed;
        }
        return c == wanted;
    }
    // One byte of framing in the states that are not Data.
    void Step(char c);
    void EndSizeLine();
    void EndTrailerLine();

    TState state_ = TState::Size;
    uint64_t remaining_ = 0;   // bytes of the current chunk still to come
    size_t sizeDigits_ = 0;    // digits of the current size (leading zeros included)
    size_t lineBytes_ = 0;     // bytes of the current chunk-size line
    bool inExtension_ = false;  // a ";" has followed the size on this line
    size_t trailerBytes_ = 0;  // bytes of the trailer section so far
    std::string trailerLine_;  // the trailer line being read, checked whole at its end
    uint64_t bodySize_ = 0;
};

// The framing the proxy writes around a piece of body it passes on: the
// size line before the data, the line end after it, and the last chunk
// (without trailers) that ends the body.
std::string ChunkSizeLine(uint64_t size);
inline constexpr std::string_view ChunkDataEnd = "\r\n";
inline constexpr std::string_view LastChunk = "0\r\n\r\n";
