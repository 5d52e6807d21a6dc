// IdIOHandlerSocket / IdIOHandlerStack: socket transport and outbound connect.
#include "io/IdIOHandlerSocket.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "base/IdException.h"
#include "io/IdIntercept.h"
#include "net/IdStack.h"

// ------------------------------------------------------- TIdIOHandlerSocket

TIdIOHandlerSocket::TIdIOHandlerSocket() = default;

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
    try {
        if (binding_) {
            binding_->ReleaseSocket();
        }
    } catch (...) {
        // Destructors never throw.
    }
}

void TIdIOHandlerSocket::OpenFreshBinding() {
    TIdIOHandler::OpenChannel();
    if (binding_) {
        binding_->ResetHandle(true);
    } else {
        binding_ = std::make_unique<TIdSocketHandle>();
    }
}

void TIdIOHandlerSocket::OpenChannel() {
    OpenFreshBinding();
    binding_->SetClientPortMin(boundPortMin_);
    binding_->SetClientPortMax(boundPortMax_);
    if (!Host().empty() && Port() > 0) {
        ConnectToPeer();
    }
}

void TIdIOHandlerSocket::OpenOnSocket(TIdStackSocketHandle socket) {
    OpenFreshBinding();
    binding_->AssignSocket(socket);
    binding_->RefreshLocal();
    binding_->RefreshPeer();
    if (!useNagle_) {
        ApplyNagle();
    }
}

void TIdIOHandlerSocket::CloseChannel() {
    if (binding_) {
        binding_->ReleaseSocket();
    }
    TIdIOHandler::CloseChannel();
}

bool TIdIOHandlerSocket::IsConnected() {
    return binding_ && binding_->HasSocket() && TIdIOHandler::IsConnected();
}

std::string TIdIOHandlerSocket::Destination() const {
    std::string result = Host();
    if (Port() > 0 && Port() != defaultPort_) {
        result += ":" + std::to_string(Port());
    }
    return result;
}

void TIdIOHandlerSocket::SetDestination(const std::string& value) {
    const int colon = FindSubText(":", value);
    if (colon <= 1) {
        return;
    }
    SetHost(value.substr(0, static_cast<size_t>(colon - 1)));
    std::string portText = TrimText(value.substr(static_cast<size_t>(colon)));
    if (portText.size() > 255) {
        portText.resize(255);
    }
    int32_t port = 0;
    SetPort(TryTextToInt(portText, port) ? port : defaultPort_);
}

void TIdIOHandlerSocket::SetUseNagle(bool value) {
    if (value != useNagle_) {
        useNagle_ = value;
        ApplyNagle();
    }
}

void TIdIOHandlerSocket::ApplyNagle() {
    if (binding_ && binding_->HasSocket()) {
        binding_->SetIntOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, useNagle_ ? 0 : 1);
    }
}

void TIdIOHandlerSocket::ConnectToPeer() {
    if (OnBeforeBind) {
        OnBeforeBind(*this);
    }
    binding_->SetIPVersion(ipVersion_);
    binding_->OpenSocket(Id_SOCK_STREAM, 0);
    if (OnSocketAllocated) {
        OnSocketAllocated(*this);
    }
    if (!boundIP_.empty()) {
        binding_->SetIP(boundIP_);
    }
    binding_->SetPort(boundPort_);
    binding_->SetClientPortMin(boundPortMin_);
    binding_->SetClientPortMax(boundPortMax_);
    // With nothing to bind (any address, port 0, no range) the explicit bind
    // is skipped: the connect binds the same ephemeral any-address, and a
    // bind(0) ahead of the connect picks the port without knowing the
    // destination, which exhausts ephemeral ports under load.
    const bool hasRange = boundPortMin_ != 0 && boundPortMax_ != 0;
    if (!boundIP_.empty() || boundPort_ != 0 || hasRange) {
        binding_->Bind();
    }
    // A new socket has Nagle on: only switching it off needs a call.
    if (!useNagle_) {
        ApplyNagle();
    }
    if (OnAfterBind) {
        OnAfterBind(*this);
    }
}

// -------------------------------------------------------- TIdIOHandlerStack

namespace {

// The largest single receive into the input queue. Lines and header blocks
// never need more, and a larger RecvBufferSize only speeds up bodies, which
// are received straight into their stream; the per-thread receive area
// stays small.
constexpr int32_t MaxQueuedReceive = 64 * 1024;

// How long a receive that found nothing looks again before it sleeps.
constexpr auto LookAgainWindow = std::chrono::microseconds(50);

// Receives land in one area per thread and only the bytes that came are
// copied into the queue: a fresh array per receive would be cleared in full
// (32 KiB) however few bytes arrive.
uint8_t* ThreadReceiveArea(int32_t size) {
    thread_local std::unique_ptr<uint8_t[]> area;
    thread_local int32_t capacity = 0;
    if (capacity < size) {
        area = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
        capacity = size;
    }
    return area.get();
}

}  // namespace

int32_t TIdIOHandlerStack::ReceiveWithin(uint8_t* dest, int32_t size, int32_t timeoutMs) {
    TIdStack& stack = TIdStack::Instance();
    // What has already arrived is taken at once: a readiness wait first
    // would cost a second call for nothing.
    const int32_t ready = stack.ReceiveNoWait(binding_->Socket(), dest, size);
    if (ready >= 0 || timeoutMs == 0) {
        return ready;
    }
    // An answer is often a few microseconds away (an origin on the same
    // machine or network): look again for a moment before sleeping.
    TIdLookAgain look(LookAgainWindow);
    while (look.Next()) {
        const int32_t late = stack.ReceiveNoWait(binding_->Socket(), dest, size);
        if (late >= 0) {
            return late;
        }
    }
    if (!WaitReadable(timeoutMs)) {
        return -1;
    }
    if (!binding_->HasSocket()) {
        throw EIdClosedSocket("Disconnected.");
    }
    return binding_->Receive(dest, size);
}

int32_t TIdIOHandlerStack::FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) {
    const int32_t timeout = ResolveTimeout(timeoutMs);
    CheckClosed(raiseIfClosed, false);
    if (!binding_ || !binding_->HasSocket()) {
        if (!raiseIfClosed) {
            return 0;
        }
        throw EIdException("Not Connected");
    }
    int32_t count = 0;
    do {
        if (HasSpareReceiveBuffer()) {
            const int32_t size = std::clamp(RecvBufferSize(), 1, MaxQueuedReceive);
            uint8_t* area = ThreadReceiveArea(size);
            count = ReceiveWithin(area, size, timeout);
            if (count < 0) {
                if (raiseOnTimeout) {
                    throw EIdReadTimeout("Read Timeout");
                }
                return -1;
            }
            if (count > 0) {
                CountReceived(count);
                if (Intercept() != nullptr) {
                    TIdBytes chunk(area, area + count);
                    Intercept()->Receive(chunk);
                    InputQueue()->AppendBytes(std::move(chunk));
                } else {
                    InputQueue()->AppendData(area, count);
                }
            }
        } else {
            if (!WaitReadable(timeout)) {
                if (raiseOnTimeout) {
                    throw EIdReadTimeout("Read Timeout");
                }
                return -1;
            }
            count = 0;
            if (raiseIfClosed) {
                throw EIdException("Not Connected");
            }
        }
        peerClosed_ = count == 0;
        CheckClosed(raiseIfClosed, false);
    } while (count == 0 && binding_->HasSocket());
    return count;
}

bool TIdIOHandlerStack::CanReceiveDirect() const {
    // An intercept sees (and may change) every received byte.
    return Intercept() == nullptr && HasSpareReceiveBuffer();
}

int32_t TIdIOHandlerStack::ReceiveDirect(uint8_t* dest, int32_t size, int32_t timeoutMs) {
    CheckClosed(false, false);
    if (!binding_ || !binding_->HasSocket()) {
        return 0;
    }
    const int32_t count = ReceiveWithin(dest, size, ResolveTimeout(timeoutMs));
    if (count > 0) {
        CountReceived(count);
    }
    if (count == 0) {
        peerClosed_ = true;
        CheckClosed(false, false);
    }
    return count;
}

void TIdIOHandlerStack::CheckClosed(bool raise, bool ignoreQueued) {
    bool gone;
    if (peerClosed_) {
        gone = true;
        if (binding_ && binding_->HasSocket()) {
            CloseChannel();
            DoStatus(hsDisconnected);
        }
    } else {
        gone = !binding_ || !binding_->HasSocket();
    }
    if (gone && raise && InputQueue() != nullptr && (ignoreQueued || InputQueue()->Used() == 0)) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
}

void TIdIOHandlerStack::PollSource(int32_t timeoutMs) {
    if (IsConnected()) {
        FillFromSource(false, timeoutMs, false);
    }
}

void TIdIOHandlerStack::SendRaw(const uint8_t* data, int32_t size) {
    TIdIOHandler::SendRaw(data, size);
    if (size <= 0) {
        return;
    }
    // The closed check above raises only once the channel was opened; a
    // handler that never was has no binding to send through.
    if (!binding_) {
        throw EIdException("Not Connected");
    }
    TIdBytes replaced;
    if (Intercept() != nullptr) {
        replaced.assign(data, data + size);
        Intercept()->Send(replaced);
        data = replaced.data();
        size = static_cast<int32_t>(replaced.size());
    }
    const int32_t writeTimeout = WriteTimeout();
    int32_t offset = 0;
    while (offset < size) {
        const int32_t sent = writeTimeout > 0 ? SendWithin(data + offset, size - offset, writeTimeout)
                                              : binding_->Send(data + offset, size - offset);
        peerClosed_ = sent == 0;
        CheckClosed(true, false);
        CountSent(sent);
        DoWork(wmWrite, sent);
        offset += sent;
    }
}

// A blocking send waits for as long as the peer does not read. Here each
// send takes only what fits at once, and the wait for room has a limit.
// The common case (room available) costs the one send.
int32_t TIdIOHandlerStack::SendWithin(const uint8_t* data, int32_t size, int32_t timeoutMs) {
    TIdStack& stack = TIdStack::Instance();
    const TIdStackSocketHandle socket = binding_->Socket();
    TIdRoomWait room(socket, timeoutMs);
    for (;;) {
        const int32_t sent = stack.SendNoWait(socket, data, size);
        if (sent >= 0) {
            return sent;
        }
        room.WaitForRoom();
    }
}

bool TIdIOHandlerStack::WaitReadable(int32_t timeoutMs) {
    if (!binding_) {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return binding_->WaitReadable(timeoutMs);
}

bool TIdIOHandlerStack::IsConnected() {
    FillFromSource(false, 0, false);
    return (binding_ && binding_->HasSocket() && TIdIOHandler::IsConnected()) || !InputIsEmpty();
}

void TIdIOHandlerStack::ConnectToPeer() {
    TIdIOHandlerSocket::ConnectToPeer();
    const std::string& host = Host();
    std::string address;
    TIdStack& stack = TIdStack::Instance();
    if (IPVersion() == Id_IPv6) {
        if (!CanonicalIPv6Text(host).empty()) {
            address = host;
        } else {
            DoStatus(hsResolving, host);
            address = stack.HostToIP(host, Id_IPv6);
        }
    } else if (TIdStack::IsIPv4Text(host)) {
        address = host;
    } else {
        DoStatus(hsResolving, host);
        address = stack.HostToIP(host, Id_IPv4);
    }
    binding_->AssignPeer(address, Port(), IPVersion());
    DoStatus(hsConnecting, address);
    if (ConnectTimeout() != 0) {
        TimedConnect();
    } else {
        binding_->Connect();
    }
}

// A connect with a limit of its own: the same observable results as a
// connect thread polled every 125 ms, without the thread.
void TIdIOHandlerStack::TimedConnect() {
    const int32_t timeout = ConnectTimeout();
    if (timeout < 0) {
        // TimeoutDefault and TimeoutInfinite: no limit of its own.
        binding_->Connect();
        return;
    }
    if (!binding_->ConnectWithin(timeout)) {
        CloseChannel();
        throw EIdConnectTimeout("Connect timed out.");
    }
}
