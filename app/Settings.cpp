// Settings: reads vtl.ini into ProxySettings. The original keys never fail
// for text that is no number: a missing file, section or key, or a value
// that is not an integer, gives the default, and so does a negative time
// limit, size or count. A number the program cannot honour does fail: a
// limit silently cut to another value, or a default put in its place,
// would run the proxy otherwise than the operator wrote. The access keys
// (Listen, Allow, ConnectPorts, Deny) fail for anything they cannot read,
// since guessing could mean serving clients or reaching places the operator
// meant to keep out. An empty value counts as no value. User and Password
// never reach the console.
#include "app/Settings.h"

#include <filesystem>
#include <string_view>

#include "app/Console.h"
#include "app/Platform.h"
#include "app/ProfileReader.h"
#include "base/IdGlobal.h"
#include "proxy/HTTPProxyServer.h"

namespace {

constexpr int32_t DefaultPort = 3128;
constexpr int32_t DefaultSleepTime = 100;
constexpr int32_t DefaultRequestTimeout = 60;
constexpr int32_t DefaultIdleTimeout = 300;
constexpr int64_t DefaultHoldLimit = 1024;
constexpr int32_t DefaultConnectTimeout = 30;
constexpr int32_t DefaultMaxConnections = 4096;
constexpr int32_t StatusPauseMs = 200;

// Reads one key of the settings file and names it in every error.
class TKeyReader {
public:
    TKeyReader(const TProfileReader& profile, const std::string& path, std::string_view section,
               std::string_view key)
        : text_(profile.ReadString(section, key)),
          where_(path + ": [" + std::string(section) + "] " + std::string(key) + ": ") {}

    const std::string& Text() const { return text_; }
    bool Given() const { return !text_.empty(); }
    [[noreturn]] void Fail(const std::string& error) const { throw ESettingsError(where_ + error); }

    template <typename TList>
    std::optional<TList> ReadList() const {
        if (!Given()) {
            return std::nullopt;
        }
        TList list;
        std::string error;
        if (!TList::Parse(text_, list, error)) {
            Fail(error);
        }
        return list;
    }

private:
    std::string text_;
    std::string where_;
};

// A numeric key: its default, the values the program can honour, and what
// a value below them does.
struct TNumberKey {
    std::string_view section;
    std::string_view key;
    int64_t def;
    int64_t min;
    int64_t max;
    // A limit, size or count below 0 has no meaning and falls back to the
    // default, as it always has; for the other keys it is an error.
    bool belowFallsBack;
};

// The seconds of a time limit: each becomes int32 milliseconds.
constexpr int64_t MaxSeconds = TIdHTTPProxyServer::MaxTimeoutSeconds;
// HoldLimit is KiB; its bytes must stay within what the server takes.
constexpr int64_t MaxHoldLimitKiB = TIdHTTPProxyServer::MaxHoldLimit / 1024;

constexpr TNumberKey PortKey{"Connection", "Port", DefaultPort, 0, 65535, false};
constexpr TNumberKey MaxConnectionsKey{"Connection", "MaxConnections", DefaultMaxConnections, 0, INT32_MAX, true};
constexpr TNumberKey SleepTimeKey{"General", "SleepTime", DefaultSleepTime, INT32_MIN, INT32_MAX, false};
constexpr TNumberKey RequestTimeoutKey{"General", "RequestTimeout", DefaultRequestTimeout, 0, MaxSeconds, true};
constexpr TNumberKey IdleTimeoutKey{"General", "IdleTimeout", DefaultIdleTimeout, 0, MaxSeconds, true};
constexpr TNumberKey ConnectTimeoutKey{"General", "ConnectTimeout", DefaultConnectTimeout, 0, MaxSeconds, true};
constexpr TNumberKey HoldLimitKey{"General", "HoldLimit", DefaultHoldLimit, 0, MaxHoldLimitKiB, true};

// The key's value within [min, max]. Read in 64 bits, so that a number past
// the program's range is told apart from text that is no number and never
// wraps into a different one. The reader has already removed the blanks
// around the value, so "Port= 8080 " reads as 8080 while "8080x" is no
// number.
int64_t ReadNumber(const TProfileReader& profile, const std::string& path, const TNumberKey& number) {
    const TKeyReader key(profile, path, number.section, number.key);
    int64_t value = 0;
    const TIntegerRead read = ReadInteger64(key.Text(), value);
    if (read == TIntegerRead::NotInteger) {
        return number.def;
    }
    if (read == TIntegerRead::TooLarge || (read == TIntegerRead::Value && value > number.max)) {
        key.Fail(QuotedItem(key.Text()) + " is above the largest value, " + std::to_string(number.max));
    }
    if (read == TIntegerRead::Value && value >= number.min) {
        return value;
    }
    if (number.belowFallsBack) {
        return number.def;
    }
    key.Fail(QuotedItem(key.Text()) + " is below the smallest value, " + std::to_string(number.min));
}

// For the keys whose range lies within int32.
int32_t ReadNumber32(const TProfileReader& profile, const std::string& path, const TNumberKey& number) {
    return static_cast<int32_t>(ReadNumber(profile, path, number));
}

// "host:port" split, an IPv6 address in brackets (its colons would make
// the port ambiguous), the port required, decimal, 0 to 65535; false for
// any other shape. bracketed: whether the host was written in brackets.
bool SplitHostPort(std::string_view text, std::string& host, bool& bracketed, int32_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    std::string_view name = text.substr(0, colon);
    const std::string_view digits = text.substr(colon + 1);
    bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
    if (bracketed) {
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string_view::npos) {
        return false;
    }
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    port = std::stoi(std::string(digits));
    host = std::string(name);
    return port <= 65535;
}

// An address and port to listen on: "127.0.0.1:9128", "[::1]:9128".
std::optional<TListenEndpoint> ReadEndpoint(const TKeyReader& key) {
    if (!key.Given()) {
        return std::nullopt;
    }
    TListenEndpoint endpoint{key.Text(), {}, 0};
    std::string host;
    bool bracketed = false;
    if (!SplitHostPort(key.Text(), host, bracketed, endpoint.port) || !TryParseIPAddress(host, endpoint.address) ||
        bracketed != (endpoint.address.version == Id_IPv6)) {
        key.Fail(QuotedItem(key.Text()) + " is not an address and port (127.0.0.1:9128, [::1]:9128)");
    }
    return endpoint;
}

std::vector<TListenAddress> ReadListenAddresses(const TKeyReader& key) {
    std::vector<std::string_view> items;
    std::string error;
    if (!SplitListItems(key.Text(), items, error)) {
        key.Fail(error);
    }
    std::vector<TListenAddress> addresses;
    for (const std::string_view item : items) {
        TListenAddress listen{std::string(item), {}};
        if (!TryParseIPAddress(item, listen.address)) {
            key.Fail(QuotedItem(item) + " is not an IPv4 or IPv6 address");
        }
        for (const TListenAddress& earlier : addresses) {
            if (earlier.address.version == listen.address.version &&
                earlier.address.bytes == listen.address.bytes) {
                key.Fail(QuotedItem(item) + " is given twice");
            }
        }
        addresses.push_back(listen);
    }
    return addresses;
}

// [Upstream]: where the parent proxy is, how to log in to it and what
// goes past it. Every key fails for what it cannot read: a parent quietly
// left out would send everything straight out, past a company's proxy.
TIdUpstream ReadUpstream(const TProfileReader& profile, const std::string& path) {
    TIdUpstream upstream;
    const TKeyReader proxy(profile, path, "Upstream", "Proxy");
    if (proxy.Given()) {
        bool bracketed = false;
        TIdIPAddress address;
        const bool isAddress = SplitHostPort(proxy.Text(), upstream.host, bracketed, upstream.port) &&
                               TryParseIPAddress(upstream.host, address);
        if (upstream.port == 0 || (isAddress ? bracketed != (address.version == Id_IPv6)
                                             : bracketed || !IsHostName(upstream.host))) {
            proxy.Fail(QuotedItem(proxy.Text()) +
                       " is not host:port (a name or address, and a port from 1 to 65535)");
        }
    }
    upstream.user = profile.ReadString("Upstream", "User");
    upstream.password = profile.ReadString("Upstream", "Password");
    if (upstream.user.find(':') != std::string::npos) {
        TKeyReader(profile, path, "Upstream", "User").Fail("a user name cannot contain \":\"");
    }
    upstream.direct =
        TKeyReader(profile, path, "Upstream", "Direct").ReadList<TIdDirectList>().value_or(TIdDirectList{});
    return upstream;
}

void ReadFile(const std::string& path, TProxySettings& settings) {
    const TProfileReader profile(path);
    if (!profile.Readable()) {
        // The defaults would open the proxy to everyone: a file that is
        // there but cannot be read (its rights, say) stops the start.
        throw ESettingsError(path + ": the settings file cannot be read");
    }
    settings.Port = ReadNumber32(profile, path, PortKey);
    settings.MaxConnections = ReadNumber32(profile, path, MaxConnectionsKey);
    settings.User = profile.ReadString("Authorization", "User");
    settings.Password = profile.ReadString("Authorization", "Password");
    // Blanks and control characters alone do not make a credential.
    if (TrimText(settings.User).empty() || TrimText(settings.Password).empty()) {
        settings.User.clear();
    }
    // RFC 7617 2: the user-id of Basic credentials cannot hold a colon, so
    // such a user could never log in.
    if (settings.User.find(':') != std::string::npos) {
        TKeyReader(profile, path, "Authorization", "User").Fail("a user name cannot contain \":\"");
    }
    settings.SleepTime = ReadNumber32(profile, path, SleepTimeKey);
    settings.RequestTimeout = ReadNumber32(profile, path, RequestTimeoutKey);
    settings.IdleTimeout = ReadNumber32(profile, path, IdleTimeoutKey);
    settings.HoldLimit = ReadNumber(profile, path, HoldLimitKey);
    settings.ConnectTimeout = ReadNumber32(profile, path, ConnectTimeoutKey);

    settings.Listen = ReadListenAddresses(TKeyReader(profile, path, "Connection", "Listen"));
    settings.StatusListen = ReadEndpoint(TKeyReader(profile, path, "Status", "Listen"));
    settings.Allow = TKeyReader(profile, path, "Access", "Allow").ReadList<TIdNetworkList>();
    settings.ConnectPorts = TKeyReader(profile, path, "Access", "ConnectPorts").ReadList<TIdPortList>();
    settings.Deny = TKeyReader(profile, path, "Access", "Deny").ReadList<TIdNetworkList>().value_or(TIdNetworkList{});
    settings.Upstream = ReadUpstream(profile, path);
    const TKeyReader logFile(profile, path, "General", "LogFile");
    if (logFile.Given()) {
        settings.LogFile = PathBesideExecutable(logFile.Text());
    }
}

void WriteStatusPart(const std::string& text) {
    WriteText(text);
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

std::string PathBesideExecutable(const std::string& path) {
    const std::filesystem::path given(path);
    if (given.has_root_name() || given.has_root_directory()) {
        return path;
    }
    return ExecutableDirectory() + PathDelimiter() + path;
}

TProxySettings LoadSettings(const std::string& path, bool required) {
    TProxySettings read;
    if (ProfileFileExists(path)) {
        ReadFile(path, read);
    } else if (required) {
        throw ESettingsError(path + ": no such settings file");
    }
    return read;
}

void ReadSettings(const std::string& path) {
    TProxySettings& settings = ProxySettings();
    const bool fileExists = ProfileFileExists(path);
    // Read whole before anything is shown or kept: a value that stops the
    // start leaves neither half a status line nor half the settings.
    settings = LoadSettings(path, false);

    SetColor(ColorNormal);
    WriteLineEnd();
    if (!fileExists) {
        WriteStatusPart(" [Default] ");
        WriteStatusPart("[Port: " + std::to_string(settings.Port) + "] ");
    } else {
        WriteStatusPart(" [Port: " + std::to_string(settings.Port) + "] ");
    }
    if (!settings.Listen.empty()) {
        std::string addresses;
        for (const TListenAddress& listen : settings.Listen) {
            addresses += (addresses.empty() ? "" : ", ") + listen.text;
        }
        WriteStatusPart("[Listen: " + addresses + "] ");
    }
    WriteStatusPart(settings.User.empty() ? "[Authentication not required] " : "[Authentication required] ");

    WriteText("[ST: " + std::to_string(settings.SleepTime) + "]");
    WriteLineEnd();
    Pause(StatusPauseMs);
}

TIdProxyRules ProxyRulesOf(const TProxySettings& settings) {
    TIdProxyRules rules;
    rules.user = settings.User;
    rules.password = settings.Password;
    rules.requestTimeout = settings.RequestTimeout;
    rules.idleTimeout = settings.IdleTimeout;
    rules.connectTimeout = settings.ConnectTimeout;
    // Within the range the settings allow, the bytes fit int64.
    rules.holdLimit = settings.HoldLimit * 1024;
    rules.allow = settings.Allow;
    rules.connectPorts = settings.ConnectPorts;
    rules.deny = settings.Deny;
    rules.upstream = settings.Upstream;
    return rules;
}
