// IdComponent: the base of every networking object. It keeps the socket
// stack alive while it exists, tells registered components when it is
// destroyed (so that borrowed references are cleared), and raises the work
// and status notifications, which cost one test when nobody listens.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TWorkMode { wmRead = 0, wmWrite = 1 };

enum TIdStatus { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsStatusText };

class TIdComponent;

using TWorkBeginEvent = std::function<void(TIdComponent& sender, TWorkMode mode, int64_t workCountMax)>;
using TWorkEvent = std::function<void(TIdComponent& sender, TWorkMode mode, int64_t workCount)>;
using TWorkEndEvent = std::function<void(TIdComponent& sender, TWorkMode mode)>;
using TIdStatusEvent = std::function<void(TIdComponent& sender, TIdStatus status, const std::string& text)>;

class TIdComponent {
public:
    TIdComponent();
    virtual ~TIdComponent();
    TIdComponent(const TIdComponent&) = delete;
    TIdComponent& operator=(const TIdComponent&) = delete;

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    // `observer` is told (Notification) when this component is destroyed.
    void FreeNotification(TIdComponent* observer);
    void RemoveFreeNotification(TIdComponent* observer);

    // Progress notifications: forwarded to WorkTarget when one is set.
    void BeginWork(TWorkMode mode, int64_t max = 0);
    void DoWork(TWorkMode mode, int64_t count);
    void EndWork(TWorkMode mode);
    TIdComponent* WorkTarget() const { return workTarget_; }
    void SetWorkTarget(TIdComponent* target) { workTarget_ = target; }

    // Raises OnStatus with the status's text; the text is formatted only
    // when a handler is set.
    void DoStatus(TIdStatus status, const std::string& argument = {});
    static std::string StatusText(TIdStatus status, const std::string& argument);

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    TIdStatusEvent OnStatus;

protected:
    // Called on each observer while `component` is being destroyed.
    virtual void Notification(TIdComponent* component) { (void)component; }

private:
    std::string name_;
    std::vector<TIdComponent*> observers_;  // told when this dies
    std::vector<TIdComponent*> observed_;   // whose death we are told about
    TIdComponent* workTarget_ = nullptr;
    int32_t workDepth_[2] = {0, 0};
    int64_t workCount_[2] = {0, 0};
    int64_t workMax_[2] = {0, 0};
};
