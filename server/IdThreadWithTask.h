// IdThreadWithTask: the worker thread of the servers. It owns one task
// (the connection's context) and maps its run hooks onto the task's start,
// step and end; a step answering false halts the thread.
#pragma once

#include <memory>
#include <string>

#include "server/IdTask.h"
#include "server/IdThread.h"

class TIdThreadWithTask : public TIdThread {
public:
    // Always created suspended and looping; the scheduler attaches the task
    // and launches the thread when a connection arrives.
    explicit TIdThreadWithTask(std::unique_ptr<TIdTask> task = nullptr, std::string name = {});
    ~TIdThreadWithTask() override;

    // The task belongs to the thread's own side of the gate: set it only
    // before Launch (or after the thread finished).
    TIdTask* Task() const { return task_.get(); }
    void SetTask(std::unique_ptr<TIdTask> task) { task_ = std::move(task); }

protected:
    void EnterRun() override;
    void RunOnce() override;
    void LeaveRun() override;

private:
    std::unique_ptr<TIdTask> task_;
};
