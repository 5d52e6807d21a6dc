// IdSocketPump: moves bytes from one connected socket to another, for byte
// relays such as the proxy's tunnel. The stack makes the best pump its
// platform has: on Linux the kernel moves the bytes through a pipe without
// copying them into the process; elsewhere they pass through a buffer.
#pragma once

#include <cstdint>
#include <memory>

#include "net/IdPlatform.h"

class TIdSocketPump {
public:
    virtual ~TIdSocketPump() = default;

    // Readies the two sockets of a relay for this pump (the kernel's pump
    // needs them non-blocking); nothing else may then read or write them
    // with blocking calls.
    virtual void Prepare(TIdStackSocketHandle first, TIdStackSocketHandle second) {
        (void)first;
        (void)second;
    }

    // Gives the sockets back to the blocking use of the rest of the
    // program once the relay is over; errors are ignored (a socket may be
    // gone by then).
    virtual void Finish(TIdStackSocketHandle first, TIdStackSocketHandle second) {
        (void)first;
        (void)second;
    }

    // Takes what has arrived on `from` without waiting for more (at most
    // limit bytes) and hands all of it to `to`. Whenever `to` takes nothing,
    // waits for it at most writeTimeoutMs (-1 or 0: without limit); when
    // that runs out, `to` is set to reset on close and EIdSocketError 10060
    // is raised. Answers the count moved, 0 when the peer of `from` closed,
    // or -1 when nothing had arrived.
    virtual int32_t Move(TIdStackSocketHandle from, TIdStackSocketHandle to, int32_t limit,
                         int32_t writeTimeoutMs) = 0;
};

// Relays through a buffer of its own, made on first use.
class TIdBufferPump : public TIdSocketPump {
public:
    int32_t Move(TIdStackSocketHandle from, TIdStackSocketHandle to, int32_t limit, int32_t writeTimeoutMs) override;

private:
    std::unique_ptr<uint8_t[]> buffer_;
    int32_t capacity_ = 0;
};

// The wait of a pump for room on `to`, as Move describes it: the limit runs
// from the first time `to` takes nothing and starts again once it takes
// something.
class TIdRoomWait {
public:
    TIdRoomWait(TIdStackSocketHandle to, int32_t writeTimeoutMs) : to_(to), timeoutMs_(writeTimeoutMs) {}
    void Took() { waiting_ = false; }
    // Waits for room; raises 10060 (after setting `to` to reset on close)
    // when the limit has run out.
    void WaitForRoom();

private:
    TIdStackSocketHandle to_;
    int32_t timeoutMs_;
    bool waiting_ = false;
    uint32_t since_ = 0;
};

// Hands bytes to `to` until all are taken, waiting for room as Move says.
void SendAllWithin(TIdStackSocketHandle to, const uint8_t* data, int32_t size, int32_t writeTimeoutMs);
