// IdIntercept: the optional filter of a connection's bytes. Nothing in
// Vantrel installs one; the I/O handler and the server only call its hooks.
#pragma once

#include "io/IdComponent.h"
#include "base/IdGlobal.h"

class TIdConnectionIntercept : public TIdComponent {
public:
    virtual void Connect(TIdComponent* connection) { (void)connection; }
    virtual void Disconnect() {}
    // May replace the bytes.
    virtual void Receive(TIdBytes& bytes) { (void)bytes; }
    virtual void Send(TIdBytes& bytes) { (void)bytes; }
};

class TIdServerIntercept : public TIdComponent {
public:
    // A new intercept for one accepted connection (owned by the caller).
    virtual TIdConnectionIntercept* Accept(TIdComponent* connection) = 0;
};
