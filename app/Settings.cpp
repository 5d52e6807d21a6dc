// Settings: reads vtl.ini into ProxySettings. The original keys never fail:
// a missing file, section, key or an integer that does not convert gives the
// default. The access keys (Listen, Allow, ConnectPorts, Deny) do: a list
// that cannot be read stops the start, since guessing could mean serving
// clients or reaching places the operator meant to keep out. An empty value
// counts as no value. User and Password never reach the console.
#include "app/Settings.h"

#include <filesystem>
#include <string_view>

#include "app/Console.h"
#include "app/Platform.h"
#include "app/ProfileReader.h"
#include "base/IdGlobal.h"

namespace {

constexpr int32_t DefaultPort = 3128;
constexpr int32_t DefaultSleepTime = 100;
constexpr int32_t DefaultRequestTimeout = 60;
constexpr int32_t DefaultIdleTimeout = 300;
constexpr int32_t DefaultHoldLimit = 1024;
constexpr int32_t DefaultConnectTimeout = 30;
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

void ReadFile(const std::string& path, TProxySettings& settings) {
    const TProfileReader profile(path);
    if (!profile.Readable()) {
        // The defaults would open the proxy to everyone: a file that is
        // there but cannot be read (its rights, say) stops the start.
        throw ESettingsError(path + ": the settings file cannot be read");
    }
    settings.Port = ReadInteger(profile, "Connection", "Port", DefaultPort);
    settings.MaxConnections = ReadNonNegative(profile, "Connection", "MaxConnections", DefaultMaxConnections);
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
    settings.SleepTime = ReadInteger(profile, "General", "SleepTime", DefaultSleepTime);
    settings.RequestTimeout = ReadNonNegative(profile, "General", "RequestTimeout", DefaultRequestTimeout);
    settings.IdleTimeout = ReadNonNegative(profile, "General", "IdleTimeout", DefaultIdleTimeout);
    settings.HoldLimit = ReadNonNegative(profile, "General", "HoldLimit", DefaultHoldLimit);
    settings.ConnectTimeout = ReadNonNegative(profile, "General", "ConnectTimeout", DefaultConnectTimeout);

    settings.Listen = ReadListenAddresses(TKeyReader(profile, path, "Connection", "Listen"));
    settings.Allow = TKeyReader(profile, path, "Access", "Allow").ReadList<TIdNetworkList>();
    settings.ConnectPorts = TKeyReader(profile, path, "Access", "ConnectPorts").ReadList<TIdPortList>();
    settings.Deny = TKeyReader(profile, path, "Access", "Deny").ReadList<TIdNetworkList>().value_or(TIdNetworkList{});
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

void ReadSettings(const std::string& path) {
    TProxySettings& settings = ProxySettings();
    const bool fileExists = ProfileFileExists(path);
    // Read whole before anything is shown or kept: a value that stops the
    // start leaves neither half a status line nor half the settings.
    TProxySettings read;
    if (fileExists) {
        ReadFile(path, read);
    }
    settings = read;

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
