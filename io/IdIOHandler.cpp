// IdIOHandler: line, block and stream reading over an input queue, and
// writing with optional gathering, above any transport.
#include "io/IdIOHandler.h"

#include <algorithm>
#include <limits>
#include <span>

#include "base/IdException.h"
#include "io/IdIntercept.h"

TIdIOHandler::TIdIOHandler() = default;

TIdIOHandler::~TIdIOHandler() {
    try {
        TIdIOHandler::CloseChannel();
    } catch (...) {
        // Destructors never throw; the channel is gone either way.
    }
}

void TIdIOHandler::Notification(TIdComponent* component) {
    if (component == intercept_) {
        intercept_ = nullptr;
    }
}

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* value) {
    if (value == intercept_) {
        return;
    }
    if (intercept_ != nullptr) {
        intercept_->RemoveFreeNotification(this);
    }
    intercept_ = value;
    if (intercept_ != nullptr) {
        intercept_->FreeNotification(this);
    }
}

int32_t TIdIOHandler::ResolveTimeout(int32_t timeoutMs) const {
    if (timeoutMs == TimeoutDefault) {
        return (readTimeout_ == -1 || readTimeout_ == 0) ? TimeoutInfinite : readTimeout_;
    }
    return timeoutMs;
}

bool TIdIOHandler::WaitReadable(int32_t timeoutMs) {
    (void)timeoutMs;
    return false;
}

int32_t TIdIOHandler::ReceiveDirect(uint8_t* dest, int32_t size, int32_t timeoutMs) {
    (void)dest;
    (void)size;
    (void)timeoutMs;
    throw EIdException("Not Connected");
}

bool TIdIOHandler::IsConnected() {
    CheckClosed(false, false);
    if ((peerClosed_ || !inputQueue_) && InputIsEmpty()) {
        return false;
    }
    return isOpened_;
}

void TIdIOHandler::OpenChannel() {
    isOpened_ = false;
    peerClosed_ = false;
    spareReceiveBuffer_ = std::make_unique<TIdBuffer>();
    inputQueue_ = std::make_unique<TIdBuffer>([this](TIdBuffer&, int32_t count) { DoWork(wmRead, count); });
    isOpened_ = true;
}

void TIdIOHandler::CloseChannel() {
    if (intercept_ != nullptr) {
        intercept_->Disconnect();
    }
    isOpened_ = false;
}

void TIdIOHandler::SendRaw(const uint8_t* data, int32_t size) {
    (void)data;
    (void)size;
    CheckClosed(true, true);
}

// ---------------------------------------------------------------- reading

std::string TIdIOHandler::ReadLine(int32_t timeoutMs, int32_t maxLength) {
    if (maxLength < 0) {
        maxLength = maxLineLength_;
    }
    lineWasSplit_ = false;
    lineTimedOut_ = false;
    int32_t found = -1;
    int32_t scanned = 0;
    // Only a line read with its own deadline needs the clock.
    const uint32_t start = timeoutMs >= 0 ? TickCountMs() : 0;
    for (;;) {
        if (inputQueue_ && inputQueue_->Used() > 0) {
            // Only bytes that arrived since the last search are searched.
            const int32_t held = inputQueue_->Used();
            found = held > scanned ? inputQueue_->FindText("\n", scanned) : -1;
            scanned = held;
        }
        if (maxLength > 0 && (found > maxLength || (found < 0 && scanned > maxLength))) {
            if (maxLineAction_ == maException) {
                throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
            }
            lineWasSplit_ = true;
            return inputQueue_->TakeText(maxLength);
        }
        if (found < 0) {
            CheckClosed(true, true);
            // The limit is the line's, not each receive's: a peer that sends
            // a byte now and then must not stretch it.
            int32_t wait = timeoutMs;
            if (timeoutMs >= 0) {
                wait = static_cast<int32_t>(
                    std::max<int64_t>(0, int64_t{timeoutMs} - static_cast<int64_t>(TickDiff(start, TickCountMs()))));
            }
            lineTimedOut_ = FillFromSource(true, wait, false) == -1;
            if (!lineTimedOut_ && timeoutMs >= 0) {
                lineTimedOut_ = TickDiff(start, TickCountMs()) >= static_cast<uint32_t>(timeoutMs);
            }
            if (lineTimedOut_) {
                return {};
            }
            continue;
        }
        std::string line = inputQueue_->TakeText(found + 1);
        int32_t length = found;
        if (length > 0 && line[static_cast<size_t>(length - 1)] == CR) {
            --length;
        }
        line.resize(static_cast<size_t>(length));
        return line;
    }
}

std::string TIdIOHandler::ReadNonEmptyLine(int32_t attempts) {
    std::string line;
    for (int32_t i = 0; i < attempts; ++i) {
        line = TrimText(ReadLine());
        if (!line.empty()) {
            break;
        }
    }
    return line;
}

void TIdIOHandler::ReadBytesInto(TIdBytes& dest, int32_t count, bool append) {
    if (count > 0) {
        if (!inputQueue_) {
            throw EIdException("Not Connected");
        }
        while (inputQueue_->Used() < count) {
            FillFromSource(false, TimeoutDefault, true);
            CheckClosed(true, true);
        }
        inputQueue_->TakeBytes(dest, count, append);
    } else if (count == -1) {
        FillFromSource(false, readTimeout_, false);
        CheckClosed(true, true);
        if (inputQueue_ && inputQueue_->Used() > 0) {
            inputQueue_->TakeBytes(dest, -1, append);
        }
    }
}

void TIdIOHandler::ReadIntoStream(TStream& stream, int64_t count, bool untilClose) {
    if (count == -1 && !untilClose) {
        count = useLargeSizes_ ? ReadInt64Value(true) : static_cast<int64_t>(ReadInt32Value(true));
    }
    if (count >= 0) {
        // Sizing ahead commits no memory with TMemoryStream: blocks are made
        // as bytes arrive, so a declared length alone cannot exhaust memory.
        const int64_t position = stream.Position();
        stream.SetSize(position + count);
        stream.SetPosition(position);
    }
    int64_t remaining = untilClose ? std::numeric_limits<int64_t>::max() : count;
    BeginWork(wmRead, untilClose ? 0 : count);
    auto finish = [&] {
        EndWork(wmRead);
        if (stream.Size() > stream.Position()) {
            stream.SetSize(stream.Position());
        }
    };
    try {
        if (!InputIsEmpty() && remaining > 0) {
            const int64_t n = std::min<int64_t>(remaining, inputQueue_->Used());
            inputQueue_->TakeToStream(stream, static_cast<int32_t>(n));
            remaining -= n;
        }
        if (remaining > 0 && CanReceiveDirect()) {
            ReceiveIntoStream(stream, remaining, untilClose);
        }
        while (remaining > 0 && IsConnected()) {
            const int32_t k = static_cast<int32_t>(std::min<int64_t>(recvBufferSize_, remaining));
            try {
                if (!inputQueue_) {
                    throw EIdException("Not Connected");
                }
                while (inputQueue_->Used() < k) {
                    FillFromSource(false, TimeoutDefault, true);
                    CheckClosed(true, true);
                }
                inputQueue_->TakeToStream(stream, k);
                remaining -= k;
            } catch (...) {
                // Salvage what arrived before the error.
                if (inputQueue_) {
                    const int32_t salvage = std::min(inputQueue_->Used(), k);
                    if (salvage > 0) {
                        inputQueue_->TakeToStream(stream, salvage);
                        remaining -= salvage;
                    }
                }
                try {
                    throw;
                } catch (const EIdConnClosedGracefully&) {
                    if (!untilClose) {
                        throw;
                    }
                }
                break;
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

bool TIdIOHandler::ReadUntilCloseWithin(TStream& stream, int64_t limit, int32_t withinMs) {
    const uint32_t start = TickCountMs();
    const int32_t idle = ResolveTimeout(TimeoutDefault);
    int64_t taken = 0;
    auto takeQueued = [&] {
        if (!InputIsEmpty() && taken < limit) {
            const auto n = static_cast<int32_t>(std::min<int64_t>(limit - taken, inputQueue_->Used()));
            inputQueue_->TakeToStream(stream, n);
            taken += n;
        }
    };
    BeginWork(wmRead, 0);
    try {
        takeQueued();
        while (taken < limit) {
            if (peerClosed_) {
                EndWork(wmRead);
                return true;
            }
            const auto elapsed = static_cast<int64_t>(TickDiff(start, TickCountMs()));
            if (elapsed >= withinMs) {
                break;
            }
            const auto left = static_cast<int32_t>(withinMs - elapsed);
            // Which limit ends this wait tells whether running out is an
            // error (the peer went silent) or the end of the time given.
            const bool idleFirst = idle >= 0 && idle <= left;
            const int32_t wait = idleFirst ? idle : left;
            int32_t received = -1;
            const std::span<uint8_t> area =
                CanReceiveDirect() ? stream.PrepareWrite(std::min<int64_t>(limit - taken, std::max(recvBufferSize_, 1)))
                                   : std::span<uint8_t>();
            if (!area.empty()) {
                try {
                    received = ReceiveDirect(area.data(), static_cast<int32_t>(std::min<size_t>(area.size(), INT32_MAX)),
                                             wait);
                } catch (...) {
                    stream.CommitWrite(0);
                    throw;
                }
                stream.CommitWrite(std::max(received, 0));
                if (received > 0) {
                    taken += received;
                    DoWork(wmRead, received);
                }
            } else {
                received = FillFromSource(false, wait, false);
                takeQueued();
            }
            if (received == 0) {
                EndWork(wmRead);
                return true;
            }
            if (received < 0 && idleFirst) {
                throw EIdReadTimeout("Read Timeout");
            }
        }
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
    return false;
}

// The same chunks as the queued path (RecvBufferSize each), received
// straight into the stream's memory: a close seen before a chunk's first
// byte ends the read quietly, a close inside a chunk raises unless the read
// runs until close, and a timeout raises. Every byte that arrived is in the
// stream either way. Leaves remaining untouched when the stream cannot
// offer its memory, for the queued path to do the work.
void TIdIOHandler::ReceiveIntoStream(TStream& stream, int64_t& remaining, bool untilClose) {
    int64_t chunkLeft = 0;
    bool chunkStarted = false;
    while (remaining > 0) {
        if (chunkLeft == 0) {
            chunkLeft = std::min<int64_t>(std::max(recvBufferSize_, 1), remaining);
            chunkStarted = false;
        }
        const std::span<uint8_t> area = stream.PrepareWrite(chunkLeft);
        if (area.empty()) {
            return;
        }
        int32_t received = 0;
        try {
            received = ReceiveDirect(area.data(), static_cast<int32_t>(std::min<size_t>(area.size(), INT32_MAX)),
                                     TimeoutDefault);
        } catch (...) {
            stream.CommitWrite(0);  // the offered memory holds nothing
            throw;
        }
        if (received > 0) {
            stream.CommitWrite(received);
            DoWork(wmRead, received);
            remaining -= received;
            chunkLeft -= received;
            chunkStarted = true;
            continue;
        }
        stream.CommitWrite(0);
        if (received < 0) {
            throw EIdReadTimeout("Read Timeout");
        }
        if (untilClose || !chunkStarted) {
            remaining = 0;
            return;
        }
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
}

template <typename Sink>
static int32_t CaptureInto(TIdIOHandler& handler, const std::string& endLine, bool dotUnstuff, Sink sink) {
    int32_t count = 0;
    handler.BeginWork(wmRead, 0);
    try {
        for (;;) {
            std::string line = handler.ReadLine();
            if (line == endLine) {
                break;
            }
            if (dotUnstuff && line.size() >= 2 && line[0] == '.' && line[1] == '.') {
                line.erase(0, 1);
            }
            ++count;
            sink(std::move(line));
        }
    } catch (...) {
        handler.EndWork(wmRead);
        throw;
    }
    handler.EndWork(wmRead);
    return count;
}

int32_t TIdIOHandler::CaptureLines(TStrings& dest, const std::string& endLine, bool dotUnstuff) {
    return CaptureInto(*this, endLine, dotUnstuff, [&dest](std::string line) { dest.Add(std::move(line)); });
}

int32_t TIdIOHandler::CaptureLines(TStream& dest, const std::string& endLine, bool dotUnstuff) {
    return CaptureInto(*this, endLine, dotUnstuff, [&dest](std::string line) {
        line.append(EOL);
        dest.Write(line.data(), static_cast<int64_t>(line.size()));
    });
}

uint8_t TIdIOHandler::ReadByteValue() {
    TIdBytes bytes;
    ReadBytesInto(bytes, 1, false);
    return bytes[0];
}

int32_t TIdIOHandler::ReadInt32Value(bool fromNetworkOrder) {
    TIdBytes b;
    ReadBytesInto(b, 4, false);
    uint32_t v = fromNetworkOrder
                     ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]
                     : (uint32_t{b[3]} << 24) | (uint32_t{b[2]} << 16) | (uint32_t{b[1]} << 8) | b[0];
    return static_cast<int32_t>(v);
}

int64_t TIdIOHandler::ReadInt64Value(bool fromNetworkOrder) {
    TIdBytes b;
    ReadBytesInto(b, 8, false);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        const uint8_t byte = fromNetworkOrder ? b[static_cast<size_t>(i)] : b[static_cast<size_t>(7 - i)];
        v = (v << 8) | byte;
    }
    return static_cast<int64_t>(v);
}

std::string TIdIOHandler::InputAsText() {
    return inputQueue_ ? inputQueue_->TakeText(-1) : std::string();
}

// ---------------------------------------------------------------- writing

void TIdIOHandler::WriteData(const uint8_t* data, int32_t size) {
    if (size <= 0) {
        return;
    }
    if (pendingWrites_) {
        pendingWrites_->AppendData(data, size);
        if (flushThreshold_ > 0 && pendingWrites_->Used() >= flushThreshold_) {
            FlushWriteBuffer(flushThreshold_);
        }
    } else {
        SendRaw(data, size);
    }
}

void TIdIOHandler::WriteText(std::string_view text) {
    WriteData(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
}

void TIdIOHandler::WriteLine(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append(EOL);
    WriteText(line);
}

void TIdIOHandler::WriteLines(const TStrings& lines, bool withCount) {
    if (pendingWrites_) {
        // Inside a gathering the caller opened: starting another one would
        // drop what the caller gathered, and the caller's end sends it all.
        if (withCount) {
            WriteInt32Value(lines.Count(), true);
        }
        for (const std::string& line : lines) {
            WriteLine(line);
        }
        return;
    }
    BeginWriteBuffering(-1);
    try {
        if (withCount) {
            WriteInt32Value(lines.Count(), true);
        }
        for (const std::string& line : lines) {
            WriteLine(line);
        }
    } catch (...) {
        EndWriteBuffering();
        throw;
    }
    EndWriteBuffering();
}

void TIdIOHandler::WriteDotStuffedLines(const TStrings& lines, bool withEndLine) {
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '.') {
            WriteLine("." + line);
        } else {
            WriteLine(line);
        }
    }
    if (withEndLine) {
        WriteLine(".");
    }
}

void TIdIOHandler::WriteFromStream(TStream& stream, int64_t size, bool withLength) {
    if (size < 0) {
        size = stream.Size() - stream.Position();
    } else if (size == 0) {
        size = stream.Size();
        stream.SetPosition(0);
    }
    // Only a length prefix has a width; the bytes themselves can be any
    // number.
    if (withLength && size > std::numeric_limits<int32_t>::max() && !useLargeSizes_) {
        throw EIdIoHandlerRequiresLargeStream();
    }
    if (withLength) {
        if (useLargeSizes_) {
            WriteInt64Value(size, true);
        } else {
            WriteInt32Value(static_cast<int32_t>(size), true);
        }
    }
    BeginWork(wmWrite, size);
    try {
        WriteStreamChunks(stream, size);
    } catch (...) {
        EndWork(wmWrite);
        throw;
    }
    EndWork(wmWrite);
}

void TIdIOHandler::WriteStreamChunks(TStream& stream, int64_t size) {
    const int32_t chunkSize = std::max(sendBufferSize_, 1);
    TIdBytes chunk;
    while (size > 0) {
        const int64_t want = std::min<int64_t>(chunkSize, size);
        // Held bytes are sent from where the stream keeps them; only what
        // it cannot show (never written, or another kind of stream) is read
        // out into a chunk first.
        const std::span<const uint8_t> held = stream.PeekRead(want);
        if (!held.empty()) {
            WriteData(held.data(), static_cast<int32_t>(held.size()));
            stream.SetPosition(stream.Position() + static_cast<int64_t>(held.size()));
            size -= static_cast<int64_t>(held.size());
            continue;
        }
        if (chunk.size() < static_cast<size_t>(want)) {
            chunk.resize(static_cast<size_t>(want));
        }
        const int64_t got = stream.Read(chunk.data(), want);
        if (got <= 0) {
            throw EIdNoDataToRead("No data to read.");
        }
        WriteData(chunk.data(), static_cast<int32_t>(got));
        size -= got;
    }
}

void TIdIOHandler::WriteInt32Value(int32_t value, bool toNetworkOrder) {
    const auto v = static_cast<uint32_t>(value);
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) {
        const int shift = toNetworkOrder ? 8 * (3 - i) : 8 * i;
        b[i] = static_cast<uint8_t>(v >> shift);
    }
    WriteData(b, 4);
}

void TIdIOHandler::WriteInt64Value(int64_t value, bool toNetworkOrder) {
    const auto v = static_cast<uint64_t>(value);
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) {
        const int shift = toNetworkOrder ? 8 * (7 - i) : 8 * i;
        b[i] = static_cast<uint8_t>(v >> shift);
    }
    WriteData(b, 8);
}

void TIdIOHandler::BeginWriteBuffering(int32_t threshold) {
    if (pendingWrites_) {
        pendingWrites_->Reset();
    } else {
        pendingWrites_ = std::make_unique<TIdBuffer>();
    }
    flushThreshold_ = threshold;
}

void TIdIOHandler::FlushWriteBuffer(int32_t count) {
    if (!pendingWrites_ || pendingWrites_->Used() == 0) {
        return;
    }
    TIdBytes bytes;
    pendingWrites_->TakeBytes(bytes, count, false);
    const int32_t size = count < 0 ? static_cast<int32_t>(bytes.size()) : std::min<int32_t>(count, static_cast<int32_t>(bytes.size()));
    SendRaw(bytes.data(), size);
}

void TIdIOHandler::EndWriteBuffering() {
    try {
        FlushWriteBuffer(-1);
    } catch (...) {
        pendingWrites_.reset();
        throw;
    }
    pendingWrites_.reset();
}

void TIdIOHandler::ClearWriteBuffer() {
    if (pendingWrites_) {
        pendingWrites_->Reset();
    }
}

void TIdIOHandler::CancelWriteBuffering() {
    ClearWriteBuffer();
    EndWriteBuffering();
}
