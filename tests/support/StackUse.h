// TStackUse: keeps the process-wide socket stack alive for the object that
// holds it (the stack goes when its last user does).
#pragma once

#include "net/IdStack.h"

namespace vtltest {

class TStackUse {
public:
    TStackUse() { TIdStack::IncUsage(); }
    ~TStackUse() { TIdStack::DecUsage(); }
    TStackUse(const TStackUse&) = delete;
    TStackUse& operator=(const TStackUse&) = delete;
};

}  // namespace vtltest
