// Settings: ProxySettings, filled once from vtl.ini beside the executable
// before the server starts and only read afterwards, and the status line
// that tells the operator what was found.
#pragma once

#include <cstdint>
#include <string>

struct TProxySettings {
    int32_t Port = 3128;
    // Authentication is on exactly when User is not empty.
    std::string User;
    std::string Password;
    // Below 1 the main thread waits on console input, else in 100 ms steps.
    int32_t SleepTime = 100;
    // Seconds; 0 means no limit.
    int32_t RequestTimeout = 60;
    int32_t IdleTimeout = 300;
    // KiB: bodies up to this size are held whole, larger ones relayed as
    // they arrive; 0 relays every body.
    int32_t HoldLimit = 1024;
    // Client connections served at once; those past it are refused with
    // 503. 0 means no limit.
    int32_t MaxConnections = 4096;
};

TProxySettings& ProxySettings();

// "<directory of the executable><separator>vtl.ini".
std::string SettingsFilePath();

// Fills ProxySettings from the file at path (defaults when it is absent)
// and writes the status line, pausing 200 ms between its parts.
void ReadSettings(const std::string& path);
