// IdTCPServer: activation requires a work step.
#include "server/IdTCPServer.h"

#include "base/IdException.h"

TIdTCPServer::~TIdTCPServer() {
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw.
    }
}

void TIdTCPServer::CheckCanActivate() {
    if (!OnExecute) {
        throw EIdTCPNoOnExecute("You must have an OnExecute event.");
    }
}
