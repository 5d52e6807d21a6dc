// Fuzz target for the line reader of the buffered I/O handler (ReadLine)
// over an in-memory transport that hands the input over in chunks whose
// sizes (and receive timeouts) come from the fuzz bytes, with a small line
// limit and either over-long-line action. The lines read, their dropped
// terminators and what stays queued must give back the input exactly.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "base/IdException.h"
#include "io/IdIOHandler.h"

namespace {

// Delivers the stream in chunks of the scripted sizes, cycling through them;
// a size of 0 is a receive wait that times out. Once everything is handed
// over the peer closes.
class ChunkedTransport : public TIdIOHandler {
public:
    ChunkedTransport(std::string_view stream, std::vector<uint8_t> sizes) : stream_(stream), sizes_(std::move(sizes)) {
        OpenChannel();
    }

    size_t Delivered() const { return offset_; }

    int32_t FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) override {
        (void)timeoutMs;
        CheckClosed(raiseIfClosed, false);
        if (!open_) {
            if (raiseIfClosed) {
                throw EIdException("Not Connected");
            }
            return 0;
        }
        if (offset_ == stream_.size()) {
            peerClosed_ = true;
            CheckClosed(raiseIfClosed, false);
            return 0;
        }
        const uint8_t size = sizes_[next_++ % sizes_.size()];
        if (size == 0) {
            if (raiseOnTimeout) {
                throw EIdReadTimeout("Read Timeout");
            }
            return -1;
        }
        const size_t count = std::min<size_t>(size, stream_.size() - offset_);
        InputQueue()->AppendData(reinterpret_cast<const uint8_t*>(stream_.data() + offset_),
                                 static_cast<int32_t>(count));
        offset_ += count;
        CheckClosed(raiseIfClosed, false);
        return static_cast<int32_t>(count);
    }

    void CheckClosed(bool raise, bool ignoreQueued) override {
        const bool gone = peerClosed_ || !open_;
        if (peerClosed_ && open_) {
            open_ = false;
            CloseChannel();
        }
        const TIdBuffer* queue = InputQueue();
        if (gone && raise && queue != nullptr && (ignoreQueued || queue->Used() == 0)) {
            throw EIdConnClosedGracefully("Connection Closed Gracefully.");
        }
    }

    void PollSource(int32_t timeoutMs) override {
        if (IsConnected()) {
            FillFromSource(false, timeoutMs, false);
        }
    }

private:
    std::string_view stream_;
    std::vector<uint8_t> sizes_;
    size_t next_ = 0;
    size_t offset_ = 0;
    bool open_ = true;
};

std::string Queued(const TIdIOHandler& handler) {
    const TIdBuffer* queue = handler.InputQueue();
    return queue == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(queue->Data()),
                                          static_cast<size_t>(queue->Used()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader reader(data, size);
    const uint8_t mode = reader.Byte();
    const int32_t maxLength = (mode & 0x80) != 0 ? 64 : 1 + (mode & 0x3F);
    const bool split = (mode & 0x40) != 0;
    std::vector<uint8_t> sizes(1 + reader.Below(8));
    bool anyData = false;
    for (uint8_t& chunk : sizes) {
        // Mostly small chunks, so a line and its CR LF are often torn apart.
        const uint8_t byte = reader.Byte();
        chunk = (byte & 0x80) != 0 ? static_cast<uint8_t>(byte & 0x7F) : static_cast<uint8_t>(byte & 0x07);
        anyData = anyData || chunk != 0;
    }
    if (!anyData) {
        sizes.front() = 1;
    }
    const std::string input = reader.Rest();

    ChunkedTransport io(input, sizes);
    io.SetMaxLineAction(split ? maSplit : maException);
    io.SetMaxLineLength(maxLength);
    // The limit comes from the property or from the call; a zero timeout
    // makes every line read give up after one receive.
    const int32_t limitArgument = (mode & 0x20) != 0 ? maxLength : -1;
    const int32_t timeout = (mode & 0x10) != 0 ? 0 : TimeoutDefault;

    const auto context = [&] {
        return "input \"" + fuzz::Escaped(input) + "\" limit " + std::to_string(maxLength) +
               (split ? " split" : " raise");
    };
    size_t consumed = 0;  // input bytes accounted for by the lines read so far
    // Every call takes a line or receives once, and a round through the
    // chunk sizes delivers at least one byte.
    const size_t maxCalls = (sizes.size() + 1) * (input.size() + 2) + 64;
    for (size_t calls = 0;; ++calls) {
        FUZZ_CHECK(calls < maxCalls, context() + ": no progress");
        std::string line;
        try {
            line = io.ReadLine(timeout, limitArgument);
        } catch (const EIdConnClosedGracefully&) {
            FUZZ_CHECK(io.Delivered() == input.size(), context());
            break;
        } catch (const EIdReadLnMaxLineLengthExceeded&) {
            // Raised only when no LF lies within the first limit + 1 bytes.
            FUZZ_CHECK(!split, context());
            const std::string head = input.substr(consumed, static_cast<size_t>(maxLength) + 1);
            FUZZ_CHECK(head.size() == static_cast<size_t>(maxLength) + 1 && head.find('\n') == std::string::npos,
                       context() + " raised at " + std::to_string(consumed));
            break;
        }
        const auto at = [&] {
            return context() + " at " + std::to_string(consumed) + " line \"" + fuzz::Escaped(line) + "\"";
        };
        FUZZ_CHECK(line.size() <= static_cast<size_t>(maxLength), at());
        FUZZ_CHECK(line.find('\n') == std::string::npos, at());
        FUZZ_CHECK(input.compare(consumed, line.size(), line) == 0, at());
        if (io.LineTimedOut()) {
            FUZZ_CHECK(line.empty() && !io.LineWasSplit(), at());
            continue;
        }
        if (io.LineWasSplit()) {
            FUZZ_CHECK(split && line.size() == static_cast<size_t>(maxLength), at());
            const std::string head = input.substr(consumed, static_cast<size_t>(maxLength) + 1);
            FUZZ_CHECK(head.size() == static_cast<size_t>(maxLength) + 1 && head.find('\n') == std::string::npos, at());
            consumed += line.size();
            continue;
        }
        // A line ends at its LF; a CR right before the LF is dropped, any
        // other CR stays in the line.
        const size_t end = consumed + line.size();
        if (input.compare(end, 1, "\n") == 0) {
            FUZZ_CHECK(line.empty() || line.back() != '\r', at());
            consumed = end + 1;
        } else {
            FUZZ_CHECK(input.compare(end, 2, "\r\n") == 0, at());
            consumed = end + 2;
        }
    }
    // Whatever no line took is still queued or was never delivered.
    FUZZ_CHECK(Queued(io) + input.substr(io.Delivered()) == input.substr(consumed),
               context() + " consumed " + std::to_string(consumed) + " queued \"" + fuzz::Escaped(Queued(io)) + "\"");
    return 0;
}
