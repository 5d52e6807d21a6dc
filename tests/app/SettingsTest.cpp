// SettingsTest: vtl.ini files written to a temporary directory and read by
// ReadSettings (values, defaults, status line, pauses), and the profile
// format rules of TProfileReader.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "app/Platform.h"
#include "app/ProfileReader.h"
#include "app/Settings.h"
#include "app/SettingsReload.h"
#include "base/IdGlobal.h"
#include "tests/app/ConsoleCapture.h"

namespace {

namespace fs = std::filesystem;

class SettingsTest : public TConsoleFixture {
protected:
    void SetUp() override {
        TConsoleFixture::SetUp();
        // Random names keep parallel test processes out of each other's way.
        std::random_device random;
        directory_ = fs::temp_directory_path() /
                     ("vtl-settings-" + std::to_string(random()) + "-" + std::to_string(random()));
        fs::create_directories(directory_);
        path_ = (directory_ / "vtl.ini").string();
        UseStream(cmRedirected);
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
        TConsoleFixture::TearDown();
    }

    void WriteFile(const std::string& content) {
        std::ofstream file(path_, std::ios::binary);
        file << content;
    }

    // The status line without the line end before and after it.
    std::string StatusLine() {
        const std::string output = Output();
        EXPECT_GE(output.size(), 2U);
        EXPECT_EQ(output.front(), '\n');
        EXPECT_EQ(output.back(), '\n');
        return output.size() < 2 ? output : output.substr(1, output.size() - 2);
    }

    fs::path directory_;
    std::string path_;
};

TEST_F(SettingsTest, NoFileGivesDefaultsAndSaysSo) {
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Default] [Port: 3128] [Authentication not required] [ST: 100]");
    EXPECT_EQ(pauses_, (std::vector<int32_t>{200, 200, 200, 200}));
    const TProxySettings& settings = ProxySettings();
    EXPECT_EQ(settings.Port, 3128);
    EXPECT_EQ(settings.User, "");
    EXPECT_EQ(settings.Password, "");
    EXPECT_EQ(settings.SleepTime, 100);
    EXPECT_EQ(settings.RequestTimeout, 60);
    EXPECT_EQ(settings.IdleTimeout, 300);
    EXPECT_EQ(settings.MaxConnections, 4096);
}

TEST_F(SettingsTest, DirectoryOfThatNameCountsAsNoFile) {
    fs::create_directory(path_);
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Default] [Port: 3128] [Authentication not required] [ST: 100]");
}

TEST_F(SettingsTest, OnlyPortGiven) {
    WriteFile("[Connection]\nPort=8080\n");
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Port: 8080] [Authentication not required] [ST: 100]");
    EXPECT_EQ(pauses_, (std::vector<int32_t>{200, 200, 200}));
    EXPECT_EQ(ProxySettings().Port, 8080);
}

TEST_F(SettingsTest, ReadingAgainStartsFromDefaults) {
    WriteFile("[Connection]\nPort=8080\n[Authorization]\nUser=a\nPassword=b\n");
    ReadSettings(path_);
    fs::remove(path_);
    ReadSettings(path_);
    EXPECT_EQ(ProxySettings().Port, 3128);
    EXPECT_EQ(ProxySettings().User, "");
}

TEST_F(SettingsTest, CompleteFileWithCredentialsNeverPrintsThem) {
    WriteFile("[Connection]\r\nPort=9000\r\n[Authorization]\r\nUser=operator\r\n"
              "Password=s3cr3t\r\n[General]\r\nSleepTime=-1\r\n");
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Port: 9000] [Authentication required] [ST: -1]");
    EXPECT_EQ(Output().find("operator"), std::string::npos);
    EXPECT_EQ(Output().find("s3cr3t"), std::string::npos);
    EXPECT_EQ(ProxySettings().User, "operator");
    EXPECT_EQ(ProxySettings().Password, "s3cr3t");
    EXPECT_EQ(ProxySettings().SleepTime, -1);
}

TEST_F(SettingsTest, LimitsAreReadButNotShown) {
    WriteFile("[Connection]\nMaxConnections=0\n[General]\nRequestTimeout=15\nIdleTimeout=0\n");
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Port: 3128] [Authentication not required] [ST: 100]");
    EXPECT_EQ(ProxySettings().RequestTimeout, 15);
    EXPECT_EQ(ProxySettings().IdleTimeout, 0);
    EXPECT_EQ(ProxySettings().MaxConnections, 0);
}

// Junk and negative limits keep falling back, however long the number.
TEST_F(SettingsTest, NegativeOrBadLimitsFallBack) {
    WriteFile("[Connection]\nMaxConnections=-1\n[General]\nRequestTimeout=-5\nIdleTimeout=ten\n"
              "ConnectTimeout=-4294968\nHoldLimit=-99999999999999999999\nSleepTime=99999999999999999999x\n");
    ReadSettings(path_);
    EXPECT_EQ(ProxySettings().RequestTimeout, 60);
    EXPECT_EQ(ProxySettings().IdleTimeout, 300);
    EXPECT_EQ(ProxySettings().MaxConnections, 4096);
    EXPECT_EQ(ProxySettings().ConnectTimeout, 30);
    EXPECT_EQ(ProxySettings().HoldLimit, 1024);
    EXPECT_EQ(ProxySettings().SleepTime, 100);
}

// Each key at the edge of its range (one past it is in SettingsUnreadableTest).
TEST_F(SettingsTest, ValuesAtTheEdgesOfTheirRangesAreReadExactly) {
    WriteFile("[Connection]\nPort=65535\nMaxConnections=2147483647\n[General]\nSleepTime=-2147483648\n"
              "RequestTimeout=2147483\nIdleTimeout=0x20C49B\nConnectTimeout=2147483\nHoldLimit=9007199254740991\n");
    ReadSettings(path_);
    const TProxySettings& settings = ProxySettings();
    EXPECT_EQ(settings.Port, 65535);
    EXPECT_EQ(settings.MaxConnections, 2147483647);
    EXPECT_EQ(settings.SleepTime, INT32_MIN);
    EXPECT_EQ(settings.RequestTimeout, 2147483);
    EXPECT_EQ(settings.IdleTimeout, 2147483);
    EXPECT_EQ(settings.ConnectTimeout, 2147483);
    EXPECT_EQ(settings.HoldLimit, 9007199254740991);
    EXPECT_EQ(StatusLine(), " [Port: 65535] [Authentication not required] [ST: -2147483648]");
}

struct TPortCase {
    const char* value;
    int32_t port;
};

class SettingsPortTest : public SettingsTest, public ::testing::WithParamInterface<TPortCase> {};

TEST_P(SettingsPortTest, PortValueConverts) {
    WriteFile(std::string("[Connection]\nPort=") + GetParam().value + "\n");
    ReadSettings(path_);
    EXPECT_EQ(ProxySettings().Port, GetParam().port);
    EXPECT_EQ(StatusLine(), " [Port: " + std::to_string(GetParam().port) +
                                "] [Authentication not required] [ST: 100]");
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsPortTest,
    ::testing::Values(TPortCase{"8080", 8080}, TPortCase{"0x1F90", 8080},
                      TPortCase{"0X1F90", 8080}, TPortCase{"$1F90", 8080},
                      TPortCase{"x1F90", 8080}, TPortCase{"8080abc", 3128},
                      TPortCase{"", 3128}, TPortCase{"12345678901x", 3128},
                      TPortCase{"  8080  ", 8080},  // blanks around values are not part of them
                      TPortCase{"80 80", 3128}, TPortCase{"0", 0}, TPortCase{"65535", 65535},
                      TPortCase{"0123", 123},
                      TPortCase{"$", 3128}, TPortCase{"\"8080\"", 3128}));

struct TAuthCase {
    const char* lines;
    bool required;
};

class SettingsAuthTest : public SettingsTest, public ::testing::WithParamInterface<TAuthCase> {};

TEST_P(SettingsAuthTest, AuthenticationNeedsBothValues) {
    WriteFile(std::string("[Authorization]\n") + GetParam().lines);
    ReadSettings(path_);
    const std::string expected = GetParam().required ? "[Authentication required] "
                                                     : "[Authentication not required] ";
    EXPECT_NE(StatusLine().find(expected), std::string::npos) << StatusLine();
    EXPECT_EQ(ProxySettings().User.empty(), !GetParam().required);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsAuthTest,
    ::testing::Values(TAuthCase{"User=alice\nPassword=secret\n", true},
                      TAuthCase{"User=alice\n", false},
                      TAuthCase{"User=alice\nPassword=\n", false},
                      TAuthCase{"User=alice\nPassword=   \n", false},
                      TAuthCase{"User=alice\nPassword=\x01\x02\n", false},
                      TAuthCase{"User=\nPassword=secret\n", false},
                      TAuthCase{"User=\x1f\nPassword=secret\n", false},
                      TAuthCase{"Password=secret\n", false}));

TEST_F(SettingsTest, PasswordKeptAsReadInside) {
    WriteFile("[Authorization]\nUser=alice\nPassword=pa ss=word\n");
    ReadSettings(path_);
    EXPECT_EQ(ProxySettings().Password, "pa ss=word");
}

TEST_F(SettingsTest, AccessKeysAreReadAndListenIsShown) {
    WriteFile("[Connection]\nPort=8080\nListen=127.0.0.1, ::1\n"
              "[Access]\nAllow=192.168.1.0/24, fd00::/8\nConnectPorts=443, 8443-8450\nDeny=127.0.0.0/8\n"
              "[General]\nLogFile=logs/access.log\n[Status]\nListen=[::1]:09128\n");
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Port: 8080] [Listen: 127.0.0.1, ::1] [Authentication not required] [ST: 100]");
    EXPECT_EQ(pauses_, (std::vector<int32_t>{200, 200, 200, 200}));
    const TProxySettings& settings = ProxySettings();
    ASSERT_EQ(settings.Listen.size(), 2U);
    EXPECT_EQ(settings.Listen[0].text, "127.0.0.1");
    EXPECT_EQ(settings.Listen[0].address.version, Id_IPv4);
    EXPECT_EQ(settings.Listen[1].text, "::1");
    EXPECT_EQ(settings.Listen[1].address.version, Id_IPv6);
    ASSERT_TRUE(settings.Allow.has_value());
    EXPECT_TRUE(settings.Allow->Contains("192.168.1.7"));
    EXPECT_FALSE(settings.Allow->Contains("10.0.0.1"));
    ASSERT_TRUE(settings.ConnectPorts.has_value());
    EXPECT_TRUE(settings.ConnectPorts->Contains(8445));
    EXPECT_FALSE(settings.ConnectPorts->Contains(80));
    EXPECT_TRUE(settings.Deny.Contains("127.0.0.2"));
    EXPECT_EQ(settings.LogFile, PathBesideExecutable("logs/access.log"));
    ASSERT_TRUE(settings.StatusListen.has_value());
    EXPECT_EQ(IPAddressText(settings.StatusListen->address), "::1");
    EXPECT_EQ(settings.StatusListen->port, 9128);
}

// The parent proxy and what bypasses it: names by label, domains with
// their subdomains, addresses by network, letter case ignored.
TEST_F(SettingsTest, UpstreamIsReadWithItsDirectList) {
    WriteFile("[Upstream]\nProxy=[::1]:3129\nUser=me\nPassword=pw\n"
              "Direct=intranet, .Corp.Example, 10.0.0.0/8, ::1\n");
    ReadSettings(path_);
    const TIdUpstream& upstream = ProxySettings().Upstream;
    EXPECT_EQ(upstream.host, "::1");
    EXPECT_EQ(upstream.port, 3129);
    EXPECT_EQ(upstream.user, "me");
    EXPECT_EQ(upstream.password, "pw");
    const std::pair<const char*, bool> targets[] = {
        {"intranet", false},           {"INTRANET.", false},       {"intranet.corp", true},
        {"corp.example", false},       {"www.corp.example", false}, {"xcorp.example", true},
        {"10.1.2.3", false},           {"::1", false},             {"11.0.0.1", true},
        {"corp.example.org", true},
    };
    for (const auto& [target, viaParent] : targets) {
        EXPECT_EQ(upstream.Serves(target), viaParent) << target;
    }
    WriteFile("[Upstream]\nDirect=intranet\n");
    ReadSettings(path_);
    EXPECT_FALSE(ProxySettings().Upstream.Serves("example.com")) << "no parent: nothing goes through one";
}

TEST_F(SettingsTest, EmptyAccessValuesCountAsAbsent) {
    WriteFile("[Connection]\nListen=\n[Access]\nAllow=\nConnectPorts=  \nDeny=\n[General]\nLogFile=\n[Status]\nListen=\n");
    ReadSettings(path_);
    EXPECT_EQ(StatusLine(), " [Port: 3128] [Authentication not required] [ST: 100]");
    const TProxySettings& settings = ProxySettings();
    EXPECT_TRUE(settings.Listen.empty());
    EXPECT_FALSE(settings.Allow.has_value());
    EXPECT_FALSE(settings.ConnectPorts.has_value());
    EXPECT_TRUE(settings.Deny.Empty());
    EXPECT_EQ(settings.LogFile, "");
    EXPECT_FALSE(settings.StatusListen.has_value());
}

struct TUnreadableCase {
    const char* lines;
    const char* message;  // after "<path>: "
};

void PrintTo(const TUnreadableCase& c, std::ostream* os) {
    *os << c.lines;
}

class SettingsUnreadableTest : public SettingsTest, public ::testing::WithParamInterface<TUnreadableCase> {};

TEST_P(SettingsUnreadableTest, StopsBeforeAnythingIsShown) {
    WriteFile(GetParam().lines);
    try {
        ReadSettings(path_);
        FAIL() << "read without complaint";
    } catch (const ESettingsError& error) {
        EXPECT_EQ(error.Message(), path_ + ": " + GetParam().message);
    }
    EXPECT_EQ(Output(), "");
    EXPECT_TRUE(pauses_.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsUnreadableTest,
    ::testing::Values(
        TUnreadableCase{"[Connection]\nListen=localhost\n",
                        R"([Connection] Listen: "localhost" is not an IPv4 or IPv6 address)"},
        TUnreadableCase{"[Connection]\nListen=127.0.0.0/8\n",
                        R"([Connection] Listen: "127.0.0.0/8" is not an IPv4 or IPv6 address)"},
        TUnreadableCase{"[Connection]\nListen=::1, 0:0::1\n", R"([Connection] Listen: "0:0::1" is given twice)"},
        TUnreadableCase{"[Connection]\nListen=127.0.0.1,\n",
                        "[Connection] Listen: empty item in the list (a comma too many)"},
        TUnreadableCase{"[Status]\nListen=127.0.0.1\n",
                        R"([Status] Listen: "127.0.0.1" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[Status]\nListen=::1:9128\n",
                        R"([Status] Listen: "::1:9128" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[status]\nlisten=[127.0.0.1]:9128\n",
                        R"([Status] Listen: "[127.0.0.1]:9128" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[Status]\nListen=localhost:9128\n",
                        R"([Status] Listen: "localhost:9128" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[Status]\nListen=[::1]:65536\n",
                        R"([Status] Listen: "[::1]:65536" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[Status]\nListen=127.0.0.1:+80\n",
                        R"([Status] Listen: "127.0.0.1:+80" is not an address and port (127.0.0.1:9128, [::1]:9128))"},
        TUnreadableCase{"[access]\nallow=10.0.0.300\n",
                        R"([Access] Allow: "10.0.0.300" is not an address or network)"},
        TUnreadableCase{"[Access]\nConnectPorts=443, https\n",
                        R"([Access] ConnectPorts: "https" is not a port (1 to 65535) or a range of ports (low-high))"},
        TUnreadableCase{"[Upstream]\nProxy=proxy.example\n",
                        R"([Upstream] Proxy: "proxy.example" is not host:port (a name or address, and a port from 1 to 65535))"},
        TUnreadableCase{"[Upstream]\nProxy=proxy.example:0\n",
                        R"([Upstream] Proxy: "proxy.example:0" is not host:port (a name or address, and a port from 1 to 65535))"},
        TUnreadableCase{"[Upstream]\nProxy=u@proxy.example:8080\n",
                        R"([Upstream] Proxy: "u@proxy.example:8080" is not host:port (a name or address, and a port from 1 to 65535))"},
        TUnreadableCase{"[Upstream]\nUser=a:b\n", R"([Upstream] User: a user name cannot contain ":")"},
        TUnreadableCase{"[Upstream]\nDirect=.corp.example, intra net\n",
                        R"([Upstream] Direct: "intra net" is not a host name, an address or a network)"},
        TUnreadableCase{"[Upstream]\nDirect=10.0.0.1/8\n",
                        R"([Upstream] Direct: "10.0.0.1/8" has address bits set after the prefix length)"},
        TUnreadableCase{"[Access]\nDeny=169.254.0.0/33\n",
                        R"([Access] Deny: "169.254.0.0/33": the prefix length of an IPv4 network is 0 to 32)"},
        // A number past what its key can honour, never cut or wrapped.
        TUnreadableCase{"[Connection]\nPort=65536\n", R"([Connection] Port: "65536" is above the largest value, 65535)"},
        TUnreadableCase{"[Connection]\nPort=-1\n", R"([Connection] Port: "-1" is below the smallest value, 0)"},
        TUnreadableCase{"[Connection]\nMaxConnections=2147483648\n",
                        R"([Connection] MaxConnections: "2147483648" is above the largest value, 2147483647)"},
        TUnreadableCase{"[General]\nSleepTime=2147483648\n",
                        R"([General] SleepTime: "2147483648" is above the largest value, 2147483647)"},
        TUnreadableCase{"[General]\nSleepTime=-2147483649\n",
                        R"([General] SleepTime: "-2147483649" is below the smallest value, -2147483648)"},
        TUnreadableCase{"[General]\nRequestTimeout=2147484\n",
                        R"([General] RequestTimeout: "2147484" is above the largest value, 2147483)"},
        TUnreadableCase{"[General]\nIdleTimeout=$FFFFFFFF\n",
                        R"([General] IdleTimeout: "$FFFFFFFF" is above the largest value, 2147483)"},
        TUnreadableCase{"[General]\nConnectTimeout=4294968\n",
                        R"([General] ConnectTimeout: "4294968" is above the largest value, 2147483)"},
        TUnreadableCase{"[General]\nConnectTimeout=99999999999999999999\n",
                        R"([General] ConnectTimeout: "99999999999999999999" is above the largest value, 2147483)"},
        TUnreadableCase{"[General]\nHoldLimit=9007199254740992\n",
                        R"([General] HoldLimit: "9007199254740992" is above the largest value, 9007199254740991)"}));

struct TPathCase {
    const char* given;
    const char* beside;  // nullptr: the path as given
};

class PathBesideExecutableTest : public ::testing::TestWithParam<TPathCase> {};

TEST_P(PathBesideExecutableTest, RelativePathsGoBesideTheProgram) {
    const std::string expected = GetParam().beside == nullptr
                                     ? GetParam().given
                                     : ExecutableDirectory() + PathDelimiter() + GetParam().beside;
    EXPECT_EQ(PathBesideExecutable(GetParam().given), expected);
}

INSTANTIATE_TEST_SUITE_P(Values, PathBesideExecutableTest,
                         ::testing::Values(TPathCase{"access.log", "access.log"},
                                           TPathCase{"logs/access.log", "logs/access.log"},
                                           TPathCase{"/var/log/vantrel/access.log", nullptr}));

TEST(ProfileReaderTest, NamesIgnoreCaseAndBlanks) {
    const TProfileReader profile = TProfileReader::FromText(
        "  [ connection ]  \n  PORT  =  8080  \n[GENERAL]\nsleeptime\t=\t5\t\n");
    EXPECT_EQ(profile.ReadString("Connection", "Port"), "8080");
    EXPECT_EQ(profile.ReadString("general", "SleepTime"), "5");
}

TEST(ProfileReaderTest, CommentsAndStrayLinesAreSkipped) {
    const TProfileReader profile = TProfileReader::FromText(
        "Port=1\n"  // before any section: belongs to none
        "[Connection]\n"
        "; Port=2\n"
        "  # Port=3\n"
        "no equals sign here\n"
        "=4\n"
        "Port=5 ; not a comment\n");
    EXPECT_EQ(profile.ReadString("Connection", "Port"), "5 ; not a comment");
    EXPECT_EQ(profile.ReadString("", "Port"), "");
}

TEST(ProfileReaderTest, FirstDuplicateWinsAcrossRepeatedSections) {
    const TProfileReader profile =
        TProfileReader::FromText("[A]\nKey=first\nkey=second\n[B]\nKey=b\n[a]\nKEY=third\nOther=x\n");
    EXPECT_EQ(profile.ReadString("A", "Key"), "first");
    EXPECT_EQ(profile.ReadString("A", "Other"), "x");
    EXPECT_EQ(profile.ReadString("B", "Key"), "b");
}

TEST(ProfileReaderTest, LineEndsQuotesAndMissingEntries) {
    const TProfileReader profile = TProfileReader::FromText(
        "\xEF\xBB\xBF[S]\r\nQuoted=\"a b\"\r\nEmpty=\r\nLast=no line end");
    EXPECT_EQ(profile.ReadString("S", "Quoted"), "\"a b\"");
    EXPECT_EQ(profile.ReadString("S", "Empty"), "");
    EXPECT_EQ(profile.ReadString("S", "Last"), "no line end");
    EXPECT_EQ(profile.ReadString("S", "Missing"), "");
    EXPECT_EQ(profile.ReadString("Missing", "Quoted"), "");
}

TEST(ProfileReaderTest, LongValueIsCut) {
    const std::string longValue(3000, 'v');
    const TProfileReader profile = TProfileReader::FromText("[S]\nKey=" + longValue + "\n");
    EXPECT_EQ(profile.ReadString("S", "Key"), std::string(2047, 'v'));
}

TEST(ProfileReaderTest, UnreadableFileHasNoEntries) {
    const TProfileReader profile("/nonexistent-directory/vtl.ini");
    EXPECT_EQ(profile.ReadString("Connection", "Port"), "");
}



// A lone CR ends a line like LF and CR LF do; it must never end up inside a
// value (found by fuzz/profile_reader_fuzzer).
TEST(ProfileReaderTest, LoneCarriageReturnEndsTheLine) {
    const TProfileReader profile = TProfileReader::FromText("[S]\rUser=alice\rPassword=pw\r\r\n[T\rX=1\r");
    EXPECT_EQ(profile.ReadString("S", "User"), "alice");
    EXPECT_EQ(profile.ReadString("S", "Password"), "pw");
    EXPECT_EQ(profile.ReadString("T", "X"), "1");
    const TProfileReader trailing = TProfileReader::FromText("[S]\nKey=value\r\r\n");
    EXPECT_EQ(trailing.ReadString("S", "Key"), "value");
}

// ------------------------------------------------------------- reloading

// The reloader over a real file: each step rewrites it (or removes it) and
// polls until an attempt is told; the settings applied, or the line saying
// why not, follow the file.
struct TReloadStep {
    const char* content;  // nullptr: the file is removed
    const char* report;   // the start of the line told
    const char* allow;    // the Allow text applied last ("" none yet)
};

TEST_F(SettingsTest, ReloaderAppliesWholeFilesAndTellsWhyNot) {
    WriteFile("[Access]\nAllow=127.0.0.1\n");
    std::vector<std::string> reports;
    std::string allow;
    TSettingsReloader reloader(
        path_,
        [&](const TProxySettings& settings) {
            allow = "(all)";
            for (int i = 1; settings.Allow && i <= 5; ++i) {
                if (settings.Allow->Contains("127.0.0." + std::to_string(i))) {
                    allow = "127.0.0." + std::to_string(i);
                }
            }
            return settings.Port == 3128 ? std::string() : std::string("port changed");
        },
        [&](const std::string& line) { reports.push_back(line); });
    const TReloadStep steps[] = {
        {"[Access]\nAllow=127.0.0.2\n", "Settings applied from ", "127.0.0.2"},
        {"[Access]\nAllow=127.0.0.3, nonsense\n", "Settings not applied, the running ones stay: [Access] Allow: ",
         "127.0.0.2"},
        {"[Connection]\nPort=99999\n[Access]\nAllow=127.0.0.4\n",
         "Settings not applied, the running ones stay: [Connection] Port: ", "127.0.0.2"},
        {nullptr, "Settings not applied, the running ones stay: no such settings file", "127.0.0.2"},
        {"[Access]\nAllow=127.0.0.5\n;longer\n", "Settings applied from ", "127.0.0.5"},
        {"[Connection]\nPort=3129\n[Access]\nAllow=127.0.0.5\n", "Settings applied from ", "127.0.0.5"},
    };
    for (const TReloadStep& step : steps) {
        SCOPED_TRACE(step.content != nullptr ? step.content : "(removed)");
        if (step.content == nullptr) {
            fs::remove(path_);
        } else {
            WriteFile(step.content);
            // Not the same time and size as the file before, whatever the
            // file system's clock says.
            fs::last_write_time(path_, fs::file_time_type::clock::now() + std::chrono::hours(reports.size() + 1));
        }
        const size_t told = reports.size();
        for (int i = 0; i < 100 && reports.size() == told; ++i) {
            reloader.Poll();
            SleepMs(50);
        }
        ASSERT_EQ(reports.size(), told + 1);
        EXPECT_EQ(reports.back().rfind(step.report, 0), 0U) << reports.back();
        // The program's remark follows the applied line.
        EXPECT_EQ(reports.back().find("; port changed") != std::string::npos,
                  step.content != nullptr && std::string(step.content).find("Port=3129") != std::string::npos)
            << reports.back();
        EXPECT_EQ(allow, step.allow);
    }
    // A request (SIGHUP) reads the file at once, whatever its time.
    reloader.Request();
    reloader.Poll();
    ASSERT_EQ(reports.size(), std::size(steps) + 1);
    EXPECT_EQ(reports.back().rfind("Settings applied from ", 0), 0U);
}

}  // namespace
