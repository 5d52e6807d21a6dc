// IdOutboundList: the connections to origins and tunnel targets that
// requests have open, so that deactivation can wake a worker waiting on
// one (it would otherwise wait until that peer speaks or the idle limit
// runs out), and whether deactivation has begun, which a connect still
// under way asks as it waits.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/IdIPAddress.h"
#include "io/IdTCPClient.h"

class TIdOutboundList {
public:
    // Deactivation has not begun (again).
    void Open();
    // Deactivation begins: every listed connection is woken, and none is
    // listed any more.
    void WakeAll();
    bool Closing();

    // Lists a connected outbound; raises EIdConnClosedGracefully (with the
    // connection closed) when deactivation has begun.
    void Add(TIdTCPClient& outbound);
    // Takes the connection off the list, then closes it.
    void Release(TIdTCPClient& outbound);

private:
    std::mutex lock_;  // guards everything below
    std::vector<TIdTCPClient*> outbound_;
    bool closing_ = false;
};

// The connection of one request: connected to the first of the addresses
// that takes it (TIdConnectRace) and listed on construction, taken off the
// list and closed on destruction. Deactivation ends the connect within
// TIdConnectRace::CancelCheckMs.
class TIdOutbound {
public:
    // connectTimeoutMs bounds the whole race; 0 = the system's own limit
    // for each attempt.
    TIdOutbound(TIdOutboundList& list, const std::vector<TIdIPAddress>& addresses, int32_t port,
                int32_t connectTimeoutMs);
    ~TIdOutbound();
    TIdOutbound(const TIdOutbound&) = delete;
    TIdOutbound& operator=(const TIdOutbound&) = delete;

    TIdTCPClient& Client() { return client_; }
    TIdIOHandler& IO() { return *client_.IOHandler(); }
    // The address actually connected.
    std::string PeerIP() const;

private:
    TIdOutboundList& list_;
    TIdTCPClient client_;
};
