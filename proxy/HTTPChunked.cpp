// HTTPChunked: the chunk decoder's states and the proxy's chunk framing.
#include "proxy/HTTPChunked.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "base/IdGlobal.h"
#include "proxy/HTTPFraming.h"

namespace {

constexpr uint64_t MaxChunkSize = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

}  // namespace

size_t THTTPChunkDecoder::Decode(std::string_view input, std::string_view& data) {
    data = {};
    if (state_ == TState::Data) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, input.size()));
        data = input.substr(0, take);
        remaining_ -= take;
        bodySize_ += take;
        if (remaining_ == 0) {
            state_ = TState::DataCR;
        }
        return take;
    }
    size_t used = 0;
    while (used < input.size() && state_ != TState::Data && !Done() && !Failed()) {
        Step(input[used]);
        ++used;
    }
    return used;
}

void THTTPChunkDecoder::Step(char c) {
    switch (state_) {
    case TState::Size:
    case TState::Extension: {
        if (++lineBytes_ > MaxChunkLine) {
            state_ = TState::Failed;
            return;
        }
        if (c == '\r') {
            state_ = sizeDigits_ > 0 ? TState::SizeLF : TState::Failed;
            return;
        }
        const int digit = HexDigitValue(c);
        if (state_ == TState::Size && digit >= 0) {
            if (remaining_ > (MaxChunkSize - static_cast<uint64_t>(digit)) / 16) {
                state_ = TState::Failed;
                return;
            }
            remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
            ++sizeDigits_;
            return;
        }
        // RFC 9112 7.1.1: chunk-ext = *( BWS ";" BWS ext-name [ BWS "=" BWS
        // ext-val ] ); extensions are bounded by the line and dropped, as
        // the proxy frames the body again without them. Blanks may come
        // between the size and the first ";", nothing else.
        if (sizeDigits_ == 0 || !IsFieldByte(c) || (!inExtension_ && c != ';' && c != ' ' && c != '\t')) {
            state_ = TState::Failed;
            return;
        }
        inExtension_ = inExtension_ || c == ';';
        state_ = TState::Extension;
        return;
    }
    case TState::SizeLF:
        if (Expect(c, '\n')) {
            EndSizeLine();
        }
        return;
    case TState::DataCR:
        if (Expect(c, '\r')) {
            state_ = TState::DataLF;
        }
        return;
    case TState::DataLF:
        if (Expect(c, '\n')) {
            state_ = TState::Size;
            sizeDigits_ = 0;
            lineBytes_ = 0;
            inExtension_ = false;
        }
        return;
    case TState::Trailer:
        if (++trailerBytes_ > MaxTrailerBytes || c == '\n') {
            state_ = TState::Failed;
        } else if (c == '\r') {
            state_ = TState::TrailerLF;
        } else {
            trailerLine_ += c;
        }
        return;
    case TState::TrailerLF:
        if (Expect(c, '\n')) {
            EndTrailerLine();
        }
        return;
    case TState::Data:
    case TState::Done:
    case TState::Failed:
        return;
    }
}

void THTTPChunkDecoder::EndSizeLine() {
    if (remaining_ == 0) {
        state_ = TState::Trailer;
        trailerLine_.clear();
        return;
    }
    state_ = TState::Data;
}

void THTTPChunkDecoder::EndTrailerLine() {
    if (trailerLine_.empty()) {
        state_ = TState::Done;
        return;
    }
    // A trailer field is dropped, but only a well-formed one: anything else
    // would be read one way here and another way by whoever framed it.
    state_ = IsWellFormedFieldLine(trailerLine_) ? TState::Trailer : TState::Failed;
    trailerLine_.clear();
}

std::string ChunkSizeLine(uint64_t size) {
    char line[24];
    std::snprintf(line, sizeof line, "%llX\r\n", static_cast<unsigned long long>(size));
    return line;
}
