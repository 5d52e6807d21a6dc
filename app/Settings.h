// Settings: ProxySettings, filled once from vtl.ini beside the executable
// before the server starts and only read afterwards, and the status line
// that tells the operator what was found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "proxy/HTTPProxyServer.h"
#include "proxy/IdAccessList.h"

// A value in the settings file that cannot be read; the start stops.
VTL_DECLARE_EXCEPTION(ESettingsError, EIdException);

struct TListenAddress {
    std::string text;  // as written in the file
    TIdIPAddress address;
};

// One address and port, "127.0.0.1:9128" or "[::1]:9128".
struct TListenEndpoint {
    std::string text;  // as written in the file
    TIdIPAddress address;
    int32_t port = 0;  // 0: one the system picks
};

// The numbers are read in 64 bits and kept only within the ranges below; a
// number past them stops the start (ReadSettings).
struct TProxySettings {
    // 0 to 65535.
    int32_t Port = 3128;
    // Authentication is on exactly when User is not empty.
    std::string User;
    std::string Password;
    // Below 1 the main thread waits on console input, else in 100 ms steps.
    // Any int32.
    int32_t SleepTime = 100;
    // Seconds, 0 to TIdHTTPProxyServer::MaxTimeoutSeconds (2147483, whose
    // milliseconds still fit int32); 0 means no limit.
    int32_t RequestTimeout = 60;
    int32_t IdleTimeout = 300;
    // KiB: bodies up to this size are held whole, larger ones relayed as
    // they arrive; 0 relays every body. At most
    // TIdHTTPProxyServer::MaxHoldLimit / 1024 (9007199254740991), whose
    // bytes still fit int64.
    int64_t HoldLimit = 1024;
    // Seconds each connect to an origin or tunnel target may take, in the
    // range of the other time limits; 0 = the system's own limit.
    int32_t ConnectTimeout = 30;
    // The local addresses to listen on; empty: every local address.
    std::vector<TListenAddress> Listen;
    // The clients that may use the proxy; none given: every client.
    std::optional<TIdNetworkList> Allow;
    // The ports CONNECT may open; none given: every port.
    std::optional<TIdPortList> ConnectPorts;
    // Destinations neither forwarding nor tunnels may reach.
    TIdNetworkList Deny;
    // The full path of the access log; empty: no log.
    std::string LogFile;
    // The parent proxy ([Upstream]); its host is empty when there is none.
    TIdUpstream Upstream;
    // Client connections served at once, 0 to 2147483647; those past it
    // are refused with 503. 0 means no limit.
    int32_t MaxConnections = 4096;
    // Where the status listener serves GET /metrics; none given: no listener.
    std::optional<TListenEndpoint> StatusListen;
};

TProxySettings& ProxySettings();

// "<directory of the executable><separator>vtl.ini".
std::string SettingsFilePath();

// A relative path taken as one beside the executable; a path from the root
// (or, on Windows, with a drive or server name) as it is.
std::string PathBesideExecutable(const std::string& path);

// The settings in the file at path, read whole: ESettingsError naming the
// file, section, key and text for a value that cannot be read, and for a
// missing file when required (else the defaults). Writes nothing.
TProxySettings LoadSettings(const std::string& path, bool required);

// Fills ProxySettings from the file at path (defaults when it is absent)
// and writes the status line, pausing 200 ms between its parts. A value
// that cannot be read, or a number past its key's range, throws
// ESettingsError naming the file, section, key and text, before any of the
// status line is written.
void ReadSettings(const std::string& path);

// What the proxy server serves requests by under these settings.
TIdProxyRules ProxyRulesOf(const TProxySettings& settings);
