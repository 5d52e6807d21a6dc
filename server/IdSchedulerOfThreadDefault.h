// IdSchedulerOfThreadDefault: one self-destroying worker thread per
// connection, created suspended before each accept.
#pragma once

#include "server/IdSchedulerOfThread.h"

class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
public:
    TIdYarn* ObtainYarn() override;

protected:
    TIdThreadWithTask* MakeWorkerThread() override;
};
