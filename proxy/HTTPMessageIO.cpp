// HTTPMessageIO: heads, request bodies and answers on the connections.
#include "proxy/HTTPMessageIO.h"

#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "io/IdIOHandlerSocket.h"
#include "proxy/HTTPAnswers.h"
#include "proxy/HTTPFraming.h"

namespace {

// How long, and how much, a refused client may still send.
constexpr int32_t RefusalDrainMs = 2000;
constexpr int32_t RefusalDrainBytes = 1024 * 1024;

}  // namespace

bool ReadHead(TIdIOHandler& handler, TIdHeaderList& headers, const std::function<int32_t()>& waitMs) {
    size_t total = 0;
    for (;;) {
        const int32_t wait = waitMs();
        if (wait == 0) {
            throw EIdReadTimeout("Read Timeout");
        }
        std::string line;
        try {
            line = handler.ReadLine(wait < 0 ? TimeoutDefault : wait);
        } catch (const EIdReadLnMaxLineLengthExceeded&) {
            return false;
        }
        if (handler.LineTimedOut()) {
            throw EIdReadTimeout("Read Timeout");
        }
        if (line.empty()) {
            return true;
        }
        total += line.size() + 2;
        if (total > MaxHeadBytes || headers.Count() >= MaxHeadLines) {
            return false;
        }
        headers.Add(std::move(line));
    }
}

std::unique_ptr<TMemoryStream> ReadBody(TIdIOHandler& client, int64_t length, int32_t idleMs) {
    auto body = std::make_unique<TMemoryStream>();
    const int32_t savedTimeout = client.ReadTimeout();
    client.SetReadTimeout(idleMs);
    client.ReadIntoStream(*body, length, false);
    client.SetReadTimeout(savedTimeout);
    if (body->Size() != length) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return body;
}

void DecodeChunks(TIdIOHandler& from, THTTPChunkDecoder& decoder, int32_t idleMs,
                  const std::function<bool(std::string_view)>& take) {
    TIdBuffer& queue = *from.InputQueue();
    for (;;) {
        while (queue.Used() > 0 && !decoder.Done() && !decoder.Failed()) {
            std::string_view data;
            const size_t used =
                decoder.Decode({reinterpret_cast<const char*>(queue.Data()), static_cast<size_t>(queue.Used())}, data);
            const bool more = data.empty() || take(data);
            queue.Discard(static_cast<int32_t>(used));
            if (!more) {
                return;
            }
        }
        if (decoder.Failed()) {
            throw EIdHTTPProxyAnswer(400, "the chunked body is malformed");
        }
        if (decoder.Done()) {
            return;
        }
        from.FillFromSource(true, idleMs < 0 ? TimeoutInfinite : idleMs, true);
    }
}

void RelayChunks(TIdIOHandler& from, TIdIOHandler& to, THTTPChunkDecoder& decoder, int32_t idleMs) {
    std::string chunk;
    DecodeChunks(from, decoder, idleMs, [&](std::string_view data) {
        // Each piece goes in one send: size line, bytes, line end.
        chunk.assign(ChunkSizeLine(data.size()));
        chunk.append(data);
        chunk.append(ChunkDataEnd);
        to.WriteText(chunk);
        return true;
    });
    to.WriteText(LastChunk);
}

void SendGathered(TIdIOHandler& handler, bool gather, const std::function<void()>& writes) {
    if (!gather) {
        writes();
        return;
    }
    handler.BeginWriteBuffering();
    try {
        writes();
    } catch (...) {
        // What was written before the failure leaves as it would have
        // without the gathering.
        try {
            handler.EndWriteBuffering();
        } catch (const EIdException&) {
            // The peer is gone; the first error is the one to report.
        }
        throw;
    }
    handler.EndWriteBuffering();
}

void AnswerAndClose(TIdTCPConnection& client, const std::string& answer) {
    try {
        client.IOHandler()->WriteText(answer);
        TIdIOHandlerSocket* handler = client.SocketHandler();
        TIdSocketHandle* binding = handler != nullptr ? handler->Binding() : nullptr;
        if (binding != nullptr && binding->HasSocket()) {
            binding->ShutdownSending();
            if (!handler->InputIsEmpty()) {
                handler->InputQueue()->Discard(handler->InputQueue()->Used());
            }
            std::vector<uint8_t> scratch(16 * 1024);
            const uint32_t start = TickCountMs();
            int32_t budget = RefusalDrainBytes;
            while (budget > 0) {
                const auto elapsed = static_cast<int32_t>(TickDiff(start, TickCountMs()));
                if (elapsed >= RefusalDrainMs || !binding->WaitReadable(RefusalDrainMs - elapsed)) {
                    break;
                }
                const int32_t n = binding->Receive(scratch.data(), static_cast<int32_t>(scratch.size()));
                if (n <= 0) {
                    break;
                }
                handler->CountReceived(n);
                budget -= n;
            }
        }
    } catch (const EIdException&) {
        // The client went away first; there is nobody left to answer.
    }
    client.Disconnect(false);
}
