// IdSocketPump: the buffered pump every platform has, and the bounded send
// that the pumps share.
#include "net/IdSocketPump.h"

#include <algorithm>

#include "base/IdGlobal.h"
#include "net/IdStack.h"

void TIdRoomWait::WaitForRoom() {
    if (!waiting_) {
        since_ = TickCountMs();
        waiting_ = true;
    }
    int32_t wait = TimeoutInfinite;
    if (timeoutMs_ > 0) {
        const auto waited = static_cast<int64_t>(TickDiff(since_, TickCountMs()));
        wait = static_cast<int32_t>(std::max<int64_t>(timeoutMs_ - waited, 0));
    }
    TIdStack& stack = TIdStack::Instance();
    if (wait == 0 || !stack.WaitWritable(to_, wait)) {
        // The peer takes nothing: an end-of-stream would wait behind the
        // unsent bytes for ever, so the close that follows resets instead.
        stack.SetAbortiveClose(to_);
        TIdStack::ThrowSocketError(IdErr::TimedOut);
    }
}

void SendAllWithin(TIdStackSocketHandle to, const uint8_t* data, int32_t size, int32_t writeTimeoutMs) {
    TIdStack& stack = TIdStack::Instance();
    TIdRoomWait room(to, writeTimeoutMs);
    int32_t offset = 0;
    while (offset < size) {
        const int32_t sent = stack.SendNoWait(to, data + offset, size - offset);
        if (sent > 0) {
            offset += sent;
            room.Took();
        } else {
            room.WaitForRoom();
        }
    }
}

int32_t TIdBufferPump::Move(TIdStackSocketHandle from, TIdStackSocketHandle to, int32_t limit,
                            int32_t writeTimeoutMs) {
    limit = std::max(limit, 1);
    if (capacity_ < limit) {
        buffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(limit));
        capacity_ = limit;
    }
    const int32_t received = TIdStack::Instance().ReceiveNoWait(from, buffer_.get(), limit);
    if (received > 0) {
        SendAllWithin(to, buffer_.get(), received, writeTimeoutMs);
    }
    return received;
}
