// IdTCPServer: the listening server whose work step is the OnExecute event.
#pragma once

#include "server/IdCustomTCPServer.h"

class TIdTCPServer : public TIdCustomTCPServer {
public:
    // Deactivates while this class is still whole: running workers make
    // virtual calls into the server until the deactivation has ended them.
    ~TIdTCPServer() override;

protected:
    // Raises EIdTCPNoOnExecute "You must have an OnExecute event." without OnExecute.
    void CheckCanActivate() override;
};
