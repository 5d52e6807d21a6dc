// IdTCPConnection: one TCP connection as the rest of the system sees it. It
// owns or borrows an I/O handler, answers whether the connection is usable,
// closes it, and relays the handler's progress to its own events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "io/IdComponent.h"
#include "io/IdIOHandler.h"
#include "io/IdIOHandlerSocket.h"
#include "base/IdStrings.h"

class TIdTCPConnection : public TIdComponent {
public:
    TIdTCPConnection();
    ~TIdTCPConnection() override;

    TIdIOHandler* IOHandler() const { return ioHandler_; }
    // Borrowed handler (or none); an owned one is freed first.
    virtual void SetIOHandler(TIdIOHandler* handler);
    // The connection takes the handler over and frees it when replaced.
    void AdoptIOHandler(std::unique_ptr<TIdIOHandler> handler);
    bool OwnsHandler() const { return ownedHandler_ != nullptr; }
    TIdIOHandlerSocket* SocketHandler() const { return socketHandler_; }

    virtual bool IsConnected();
    virtual void Disconnect(bool notifyPeer = true);
    bool CheckPeerClosed(bool raise);
    void RequireHandler() const;
    void WriteResponseLines(const TStrings& lines);

    TIdNotifyEvent OnDisconnected;

protected:
    void Notification(TIdComponent* component) override;
    virtual void NotifyPeerOfDisconnect() {}
    virtual void FireDisconnected();
    void DetachHandler();

private:
    TIdIOHandler* ioHandler_ = nullptr;
    std::unique_ptr<TIdIOHandler> ownedHandler_;
    TIdIOHandlerSocket* socketHandler_ = nullptr;
};
