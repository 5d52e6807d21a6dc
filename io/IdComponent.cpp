// IdComponent: lifetime notifications, progress and status events.
#include "io/IdComponent.h"

#include <algorithm>

#include "base/IdException.h"
#include "net/IdStack.h"

TIdComponent::TIdComponent() { TIdStack::IncUsage(); }

TIdComponent::~TIdComponent() {
    // Observers clear their references to us; what we observed forgets us.
    auto observers = std::move(observers_);
    for (TIdComponent* observer : observers) {
        auto& theirs = observer->observed_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        observer->Notification(this);
    }
    for (TIdComponent* subject : observed_) {
        auto& theirs = subject->observers_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    }
    TIdStack::DecUsage();
}

void TIdComponent::FreeNotification(TIdComponent* observer) {
    if (observer == nullptr || observer == this) {
        return;
    }
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
        observers_.push_back(observer);
        observer->observed_.push_back(this);
    }
}

void TIdComponent::RemoveFreeNotification(TIdComponent* observer) {
    if (observer == nullptr) {
        return;
    }
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    auto& theirs = observer->observed_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TIdComponent::BeginWork(TWorkMode mode, int64_t max) {
    if (workTarget_ != nullptr) {
        workTarget_->BeginWork(mode, max);
        return;
    }
    if (workDepth_[mode]++ == 0) {
        workCount_[mode] = 0;
        workMax_[mode] = max;
        if (OnWorkBegin) {
            OnWorkBegin(*this, mode, static_cast<int32_t>(max));
        }
    }
}

void TIdComponent::DoWork(TWorkMode mode, int64_t count) {
    if (workTarget_ != nullptr) {
        workTarget_->DoWork(mode, count);
        return;
    }
    if (workDepth_[mode] >= 1) {
        workCount_[mode] += count;
        if (OnWork) {
            OnWork(*this, mode, static_cast<int32_t>(workCount_[mode]));
        }
    }
}

void TIdComponent::EndWork(TWorkMode mode) {
    if (workTarget_ != nullptr) {
        workTarget_->EndWork(mode);
        return;
    }
    if (workDepth_[mode] == 1 && OnWorkEnd) {
        OnWorkEnd(*this, mode);
    }
    if (workDepth_[mode] > 0) {
        --workDepth_[mode];
    }
}

std::string TIdComponent::StatusText(TIdStatus status, const std::string& argument) {
    switch (status) {
        case hsResolving:
            return "Resolving hostname " + argument + ".";
        case hsConnecting:
            return "Connecting to " + argument + ".";
        case hsConnected:
            return "Connected.";
        case hsDisconnecting:
            return "Disconnecting.";
        case hsDisconnected:
            return "Disconnected.";
        case hsStatusText:
            return argument;
    }
    return argument;
}

void TIdComponent::DoStatus(TIdStatus status, const std::string& argument) {
    if (OnStatus) {
        OnStatus(*this, status, StatusText(status, argument));
    }
}
