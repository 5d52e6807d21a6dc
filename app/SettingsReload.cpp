#include "app/SettingsReload.h"

#include <system_error>
#include <utility>

#include "base/IdException.h"
#include "base/IdGlobal.h"

TSettingsReloader::TSettingsReloader(std::string path, TApply apply, TReport report)
    : path_(std::move(path)), apply_(std::move(apply)), report_(std::move(report)), lastLook_(TickCountMs()) {
    applied_ = Look();
}

TSettingsReloader::TStamp TSettingsReloader::Look() const {
    TStamp stamp;
    std::error_code error;
    stamp.time = std::filesystem::last_write_time(path_, error);
    if (error) {
        return {};
    }
    stamp.size = std::filesystem::file_size(path_, error);
    stamp.exists = !error;
    return stamp;
}

void TSettingsReloader::Poll() {
    if (requested_.exchange(false)) {
        seen_.reset();
        lastLook_ = TickCountMs();
        Reload(Look());
        return;
    }
    if (TickDiff(lastLook_, TickCountMs()) < static_cast<uint32_t>(CheckIntervalMs)) {
        return;
    }
    lastLook_ = TickCountMs();
    const TStamp stamp = Look();
    if (stamp == applied_) {
        seen_.reset();
        return;
    }
    if (seen_ != stamp) {
        seen_ = stamp;
        return;
    }
    seen_.reset();
    Reload(stamp);
}

void TSettingsReloader::Reload(const TStamp& stamp) {
    // Whatever comes of it, this state of the file has had its attempt:
    // a bad value is told once, and fixing the file brings the next.
    applied_ = stamp;
    std::string problem;
    std::string remark;
    try {
        remark = apply_(LoadSettings(path_, true));
    } catch (const EIdException& error) {
        problem = error.what();
    } catch (const std::exception& error) {
        problem = error.what();
    }
    if (problem.empty()) {
        report_("Settings applied from " + path_ + (remark.empty() ? "" : "; " + remark));
        return;
    }
    // The file's name is known to whoever reads this; the key comes first,
    // where a clipped console row still shows it.
    const std::string prefix = path_ + ": ";
    if (problem.compare(0, prefix.size(), prefix) == 0) {
        problem.erase(0, prefix.size());
    }
    report_("Settings not applied, the running ones stay: " + problem);
}
