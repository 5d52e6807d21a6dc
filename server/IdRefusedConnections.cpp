// IdRefusedConnections: answer, end of stream, drain, close.
#include "server/IdRefusedConnections.h"

#include <algorithm>
#include <limits>

#include "base/IdException.h"
#include "net/IdStack.h"

TIdRefusedConnections::~TIdRefusedConnections() {
    try {
        CloseAll();
    } catch (...) {
        // Destructors never throw.
    }
}

void TIdRefusedConnections::Add(TIdStackSocketHandle socket, std::string_view answer) {
    if (held_.size() >= MaxHeld) {
        Close(held_.front().socket);
        held_.erase(held_.begin());
    }
    TIdStack& stack = TIdStack::Instance();
    try {
        if (!answer.empty()) {
            const auto size = static_cast<int32_t>(
                std::min<size_t>(answer.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
            (void)stack.SendNoWait(socket, reinterpret_cast<const uint8_t*>(answer.data()), size);
        }
    } catch (const EIdException&) {
        // The client is gone already; there is nothing to wait for.
        Close(socket);
        return;
    }
    stack.ShutdownSending(socket);
    held_.push_back(THeld{socket, TClock::now() + std::chrono::milliseconds(DrainMs), 0});
}

bool TIdRefusedConnections::Serve(TIdStackSocketHandle also, int32_t timeoutMs) {
    TIdStackSocketHandle sockets[MaxHeld + 1];
    bool ready[MaxHeld + 1] = {};
    int32_t count = 0;
    const bool withAlso = also != InvalidSocket;
    if (withAlso) {
        sockets[count++] = also;
    }
    TClock::time_point firstDeadline = TClock::time_point::max();
    for (const THeld& held : held_) {
        sockets[count++] = held.socket;
        firstDeadline = std::min(firstDeadline, held.deadline);
    }
    if (count == 0) {
        return false;
    }
    int32_t waitMs = timeoutMs;
    if (!held_.empty()) {
        const auto untilFirst =
            std::chrono::ceil<std::chrono::milliseconds>(firstDeadline - TClock::now()).count();
        waitMs = static_cast<int32_t>(std::clamp<long long>(untilFirst, 0, waitMs));
    }
    TIdStack::Instance().WaitReadable(sockets, count, waitMs, ready);

    const TClock::time_point now = TClock::now();
    const size_t firstHeld = withAlso ? 1 : 0;
    size_t kept = 0;
    for (size_t i = 0; i < held_.size(); ++i) {
        THeld held = held_[i];
        const bool done = (ready[firstHeld + i] && Drain(held)) || now >= held.deadline;
        if (done) {
            Close(held.socket);
        } else {
            held_[kept++] = held;
        }
    }
    held_.resize(kept);
    return withAlso && ready[0];
}

void TIdRefusedConnections::CloseAll() {
    for (const THeld& held : held_) {
        Close(held.socket);
    }
    held_.clear();
}

bool TIdRefusedConnections::Drain(THeld& held) {
    uint8_t buffer[4096];
    try {
        while (held.drained < DrainBytes) {
            const int32_t got = TIdStack::Instance().ReceiveNoWait(held.socket, buffer, sizeof buffer);
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                return true;
            }
            held.drained += got;
        }
    } catch (const EIdException&) {
        // A reset: the client has gone.
        return true;
    }
    return true;
}

void TIdRefusedConnections::Close(TIdStackSocketHandle socket) {
    // Sending was shut down when the answer went out; once the input is
    // drained this close ends the connection in order.
    TIdStack::Instance().CloseAtOnce(socket);
}
