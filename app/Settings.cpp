// Settings: reads vtl.ini into ProxySettings. Nothing here fails: a missing
// file, section, key or an integer that does not convert gives the default.
// User and Password never reach the console.
#include "app/Settings.h"

#include <string_view>

#include "app/Console.h"
#include "app/Platform.h"
#include "app/ProfileReader.h"
#include "io/IdGlobal.h"

namespace {

constexpr int32_t DefaultPort = 3128;
constexpr int32_t DefaultSleepTime = 100;
constexpr int32_t DefaultRequestTimeout = 60;
constexpr int32_t DefaultIdleTimeout = 300;
constexpr int32_t DefaultHoldLimit = 1024;
constexpr int32_t DefaultMaxConnections = 4096;
constexpr int32_t StatusPauseMs = 200;

// The reader has already removed the blanks around the value, so
// "Port= 8080 " reads as 8080 while "8080x" still fails.
int32_t ReadInteger(const TProfileReader& profile, std::string_view section,
                    std::string_view key, int32_t def) {
    int32_t value = 0;
    return TryTextToInt(profile.ReadString(section, key), value) ? value : def;
}

// A negative time limit, size or count has no meaning; it falls back like
// a value that does not convert.
int32_t ReadNonNegative(const TProfileReader& profile, std::string_view section, std::string_view key,
                        int32_t def) {
    const int32_t value = ReadInteger(profile, section, key, def);
    return value < 0 ? def : value;
}

void WriteAuthenticationStatus(bool required) {
    WriteText(required ? "[Authentication required] " : "[Authentication not required] ");
    Pause(StatusPauseMs);
}

}  // namespace

TProxySettings& ProxySettings() {
    static TProxySettings settings;
    return settings;
}

std::string SettingsFilePath() {
    return ExecutableDirectory() + PathDelimiter() + "vtl.ini";
}

void ReadSettings(const std::string& path) {
    TProxySettings& settings = ProxySettings();
    settings = TProxySettings{};
    SetColor(ColorNormal);

    if (!ProfileFileExists(path)) {
        WriteLineEnd();
        WriteText(" [Default] ");
        Pause(StatusPauseMs);
        WriteText("[Port: " + std::to_string(settings.Port) + "] ");
        Pause(StatusPauseMs);
        WriteAuthenticationStatus(false);
    } else {
        const TProfileReader profile(path);
        settings.Port = ReadInteger(profile, "Connection", "Port", DefaultPort);
        settings.MaxConnections = ReadNonNegative(profile, "Connection", "MaxConnections", DefaultMaxConnections);
        WriteLineEnd();
        WriteText(" [Port: " + std::to_string(settings.Port) + "] ");
        Pause(StatusPauseMs);

        settings.User = profile.ReadString("Authorization", "User");
        settings.Password = profile.ReadString("Authorization", "Password");
        // Blanks and control characters alone do not make a credential.
        if (TrimText(settings.User).empty() || TrimText(settings.Password).empty()) {
            settings.User.clear();
        }
        WriteAuthenticationStatus(!settings.User.empty());

        settings.SleepTime = ReadInteger(profile, "General", "SleepTime", DefaultSleepTime);
        settings.RequestTimeout = ReadNonNegative(profile, "General", "RequestTimeout", DefaultRequestTimeout);
        settings.IdleTimeout = ReadNonNegative(profile, "General", "IdleTimeout", DefaultIdleTimeout);
        settings.HoldLimit = ReadNonNegative(profile, "General", "HoldLimit", DefaultHoldLimit);
    }

    WriteText("[ST: " + std::to_string(settings.SleepTime) + "]");
    WriteLineEnd();
    Pause(StatusPauseMs);
}
