// IdContext: one client connection of a server, run as the task of its
// worker thread. It owns the connection, registers itself in the server's
// list of live contexts and calls back into the server through three hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "io/IdTCPConnection.h"
#include "server/IdTask.h"
#include "server/IdThreadSafeList.h"

class TIdContext;

using TIdContextThreadList = TIdThreadSafeList<TIdContext>;

class TIdContext : public TIdTask {
public:
    TIdContext(std::unique_ptr<TIdTCPConnection> connection, TIdYarn* yarn, TIdContextThreadList* list);
    ~TIdContext() override;

    TIdTCPConnection* Connection() const { return connection_.get(); }
    TIdTCPConnection& ClientConnection() const { return *connection_; }
    TIdContextThreadList* ServerContexts() const { return list_; }
    // When the connection was accepted (TickCountMs).
    uint32_t CreatedTick() const { return createdTick_; }
    // Peer address of the client connection ("" when unknown).
    std::string PeerIP() const;

    // Wakes a worker blocked on this connection by shutting the socket down
    // in both directions; the worker itself closes and frees it. Called by
    // the deactivating thread under the context list's lock.
    void WakeConnection();

    std::function<void(TIdContext&)> StartHook;
    std::function<bool(TIdContext&)> StepHook;
    std::function<void(TIdContext&)> EndHook;

protected:
    void DoStart() override;
    bool DoStep() override;
    void DoEnd() override;

private:
    std::unique_ptr<TIdTCPConnection> connection_;
    TIdContextThreadList* list_;
    uint32_t createdTick_;
};
