// IdThreadWithTask: delegation of the run hooks to the owned task.
#include "server/IdThreadWithTask.h"

#include <utility>

TIdThreadWithTask::TIdThreadWithTask(std::unique_ptr<TIdTask> task, std::string name)
    : TIdThread(true, true, std::move(name)), task_(std::move(task)) {}

TIdThreadWithTask::~TIdThreadWithTask() {
    // The task must outlive every hook that uses it; the base destructor
    // would join only after the task is gone.
    StopAndJoin();
    task_.reset();
}

void TIdThreadWithTask::EnterRun() {
    TIdThread::EnterRun();
    if (task_) {
        task_->TaskStart();
    }
}

void TIdThreadWithTask::RunOnce() {
    // A thread launched without a task has nothing to do.
    if (!task_ || !task_->TaskStep()) {
        Halt();
    }
}

void TIdThreadWithTask::LeaveRun() {
    if (task_) {
        task_->TaskEnd();
    }
    TIdThread::LeaveRun();
}
