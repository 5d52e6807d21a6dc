// IdOutboundList: the open outbound connections and deactivation's wake-up.
#include "proxy/IdOutboundList.h"

#include <algorithm>

#include "base/IdException.h"
#include "net/IdConnectRace.h"

void TIdOutboundList::Open() {
    std::scoped_lock lock(lock_);
    closing_ = false;
}

void TIdOutboundList::WakeAll() {
    std::scoped_lock lock(lock_);
    closing_ = true;
    for (TIdTCPClient* outbound : outbound_) {
        outbound->SocketHandler()->Binding()->WakeAndShutdown();
    }
}

bool TIdOutboundList::Closing() {
    std::scoped_lock lock(lock_);
    return closing_;
}

void TIdOutboundList::Add(TIdTCPClient& outbound) {
    // Listed only once connected: the binding no longer changes then.
    std::scoped_lock lock(lock_);
    if (closing_ || outbound.SocketHandler() == nullptr || outbound.SocketHandler()->Binding() == nullptr) {
        outbound.Disconnect();
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    outbound_.push_back(&outbound);
}

void TIdOutboundList::Release(TIdTCPClient& outbound) {
    {
        std::scoped_lock lock(lock_);
        outbound_.erase(std::remove(outbound_.begin(), outbound_.end(), &outbound), outbound_.end());
    }
    // Nothing is told to the origin on the way out, so no receive is spent
    // asking whether it is still there.
    outbound.Disconnect(false);
}

TIdOutbound::TIdOutbound(TIdOutboundList& list, const std::vector<TIdIPAddress>& addresses, int32_t port,
                         int32_t connectTimeoutMs)
    : list_(list) {
    TIdConnectRace race(InterleaveFamilies(addresses), port, connectTimeoutMs);
    size_t winner = 0;
    client_.ConnectOnSocket(race.Run([this] { return list_.Closing(); }, winner));
    list_.Add(client_);
}

TIdOutbound::~TIdOutbound() {
    try {
        list_.Release(client_);
    } catch (...) {
        // Destructors never throw; the connection is closed either way.
    }
}

std::string TIdOutbound::PeerIP() const {
    const TIdIOHandlerSocket* handler = client_.SocketHandler();
    return handler != nullptr && handler->Binding() != nullptr ? handler->Binding()->PeerIP() : std::string();
}
