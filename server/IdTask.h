// IdTask: the unit of work a worker thread runs: a start, a repeated step
// and an end. The connection context is the task kind of the servers; the
// task only borrows the scheduler's yarn it was made for.
#pragma once

#include "server/IdYarn.h"

class TIdTask {
public:
    explicit TIdTask(TIdYarn* yarn) : taskYarn_(yarn) {}
    virtual ~TIdTask() = default;
    TIdTask(const TIdTask&) = delete;
    TIdTask& operator=(const TIdTask&) = delete;

    TIdYarn* TaskYarn() const { return taskYarn_; }

    void TaskStart() { DoStart(); }
    // True to keep stepping.
    bool TaskStep() { return DoStep(); }
    // Runs whenever TaskStart returned, also after a failing step.
    void TaskEnd() { DoEnd(); }

protected:
    virtual void DoEnd() {}
    virtual void DoStart() {}
    virtual bool DoStep() = 0;

private:
    TIdYarn* taskYarn_;  // borrowed: the worker thread owns the yarn
};
