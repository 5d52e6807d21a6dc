// SettingsReload: reads the settings file again when it changes, or when
// asked (SIGHUP), and hands the new settings to the program whole. A file
// that cannot be read, or a value that cannot, leaves the running settings
// as they are, and the outcome of every attempt is told once.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/Settings.h"

class TSettingsReloader {
public:
    // apply takes the settings read whole; it may refuse them by raising
    // EIdException, whose message then names what was wrong, and gives a
    // remark for the applied line ("" none). report gets one line per
    // attempt: applied, or not applied and why.
    using TApply = std::function<std::string(const TProxySettings& settings)>;
    using TReport = std::function<void(const std::string& line)>;

    TSettingsReloader(std::string path, TApply apply, TReport report);

    // From any thread: the next Poll reads the file whatever its time.
    void Request() { requested_.store(true); }
    // On the thread that may apply settings, often (every 100 ms): reads
    // the file when asked to, or when the file has changed and then stayed
    // the same for one look (an editor still writing it would otherwise
    // have half a file read). Looks at most once every CheckIntervalMs.
    void Poll();

    static constexpr int32_t CheckIntervalMs = 500;

private:
    struct TStamp {
        std::filesystem::file_time_type time{};
        uintmax_t size = 0;
        bool exists = false;
        bool operator==(const TStamp&) const = default;
    };
    TStamp Look() const;
    void Reload(const TStamp& stamp);

    std::string path_;
    TApply apply_;
    TReport report_;
    std::atomic<bool> requested_{false};
    TStamp applied_;                  // the file as last read
    std::optional<TStamp> seen_;      // a change seen at the last look
    uint32_t lastLook_;
};
