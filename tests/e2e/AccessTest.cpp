// AccessTest: the access rules and the access log of the real program, set
// in its vtl.ini: who may use it (Allow), where tunnels may go
// (ConnectPorts), where nothing may go (Deny, by name and by address), and
// one whole line per finished request in the log file.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <atomic>
#include <mutex>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/soak/SoakContent.h"
#include "tests/support/Answers.h"

namespace {

using namespace vtltest;

const std::string OkAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string OkRelayed = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n") + "ok";
const std::string Established = "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n";
// What a tunnel's client sends; the target sends it back.
const std::string Ping = "ping\r\n\r\n";

// An origin that answers requests with "ok" (after their Content-Length
// body) and echoes what a tunnel's client sends.
void ServeOkOrEcho(TLoopbackSocket& socket) {
    std::string received;
    TEnd end = TEnd::Closed;
    if (!socket.ReadUntil(received, "\r\n\r\n", After(Ms(5000)), end)) {
        return;
    }
    if (received == Ping) {
        socket.SendAll(received, After(Ms(5000)));
        socket.ReadToEnd(received, After(Ms(5000)));
        return;
    }
    THttpHead head;
    TakeHead(received, head);
    const size_t length = std::strtoull(head.Value("Content-Length").c_str(), nullptr, 10);
    socket.ReadAtLeast(received, length, After(Ms(5000)), end);
    socket.SendAll(OkAnswer, After(Ms(5000)));
}

class AccessProgram : public ::testing::Test {
protected:
    void StartProxy(const std::string& moreIni, const std::string& moreGeneral = "",
                    const std::string& user = "", const std::string& password = "") {
        TProxySettings options;
        options.moreIni = moreIni;
        options.moreGeneral = moreGeneral;
        options.user = user;
        options.password = password;
        std::string error;
        ASSERT_TRUE(proxy_.StartServing(options, error)) << error;
    }

    // Sends request from the address `from`; a tunnel that opens is sent
    // Ping. Everything received until the proxy closes (or a tunnel has
    // echoed).
    std::string Ask(const std::string& request, const char* from = "127.0.0.1") {
        TLoopbackSocket client;
        if (!client.Connect(proxy_.Port(), false, 0, from) || !client.SendAll(request, After(Ms(5000)))) {
            return "<no connection>";
        }
        std::string got;
        TEnd end = TEnd::Closed;
        if (request.rfind("CONNECT", 0) == 0 && client.ReadUntil(got, Established, After(Ms(5000)), end)) {
            client.SendAll(Ping, After(Ms(5000)));
            client.ReadAtLeast(got, Established.size() + Ping.size(), After(Ms(5000)), end);
            return got;
        }
        client.ReadToEnd(got, After(Ms(10000)));
        return got;
    }

    TProgram proxy_;
    TOriginServer origin_{ServeOkOrEcho};
    TOriginServer otherOrigin_{ServeOkOrEcho, TOriginOptions{"127.0.0.2"}};
};

struct TRuleCase {
    const char* name;
    std::string ini;      // the [Access] section
    const char* from;     // the client's address
    std::string request;  // "{O}": the origin's port on 127.0.0.1; "{Q}": the other one's, on 127.0.0.2
    int status;           // 200: served; 0: a tunnel that opened and echoed
};

void PrintTo(const TRuleCase& rule, std::ostream* out) { *out << rule.name; }

class AccessRuleTest : public AccessProgram, public ::testing::WithParamInterface<TRuleCase> {};

// Every key's allowed and refused case; a refused request never reaches
// the origin it named.
TEST_P(AccessRuleTest, ServesOrRefusesWith403) {
    const TRuleCase& rule = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartProxy("[Access]\n" + rule.ini));
    std::string request = rule.request;
    for (const auto& [key, port] : {std::pair{"{O}", origin_.Port()}, std::pair{"{Q}", otherOrigin_.Port()}}) {
        for (size_t at = request.find(key); at != std::string::npos; at = request.find(key)) {
            request.replace(at, 3, std::to_string(port));
        }
    }
    const size_t before = origin_.Connections() + otherOrigin_.Connections();
    const std::string got = Ask(request, rule.from);
    if (rule.status == 0) {
        EXPECT_EQ(got, Established + Ping);
    } else if (rule.status == 200) {
        EXPECT_EQ(got, OkRelayed);
    } else {
        EXPECT_TRUE(IsProxyAnswer(got, rule.status));
    }
    const bool refused = rule.status == 403;
    EXPECT_EQ(origin_.Connections() + otherOrigin_.Connections() - before, refused ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AccessRuleTest,
    ::testing::Values(
        TRuleCase{"AllowServesAListedClient", "Allow=127.0.0.1\n", "127.0.0.1",
                  "GET http://127.0.0.1:{O}/ HTTP/1.0\r\n\r\n", 200},
        TRuleCase{"AllowRefusesAnyOther", "Allow=127.0.0.1\n", "127.0.0.2",
                  "GET http://127.0.0.1:{O}/ HTTP/1.0\r\n\r\n", 403},
        TRuleCase{"AllowRefusesItsTunnelsToo", "Allow=10.0.0.0/8, 127.0.0.1/32\n", "127.0.0.2",
                  "CONNECT 127.0.0.1:{O} HTTP/1.1\r\n\r\n", 403},
        TRuleCase{"ConnectPortsOpensAListedPort", "ConnectPorts=443, 1-65535\n", "127.0.0.1",
                  "CONNECT 127.0.0.1:{O} HTTP/1.1\r\n\r\n", 0},
        TRuleCase{"ConnectPortsRefusesOthers", "ConnectPorts=443, 8443-8450\n", "127.0.0.1",
                  "CONNECT 127.0.0.1:{O} HTTP/1.1\r\n\r\n", 403},
        TRuleCase{"DenyRefusesAGetByName", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "GET http://localhost:{O}/ HTTP/1.0\r\n\r\n", 403},
        TRuleCase{"DenyRefusesATunnelByName", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "CONNECT localhost:{O} HTTP/1.1\r\n\r\n", 403},
        TRuleCase{"DenyReadsAddressesAsConnectsDo", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "GET http://0127.000.0.01:{O}/ HTTP/1.0\r\n\r\n", 403},
        TRuleCase{"DenyServesAnotherAddress", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "GET http://127.0.0.2:{Q}/ HTTP/1.0\r\n\r\n", 200},
        TRuleCase{"DenyServesATunnelToAnotherAddress", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "CONNECT 127.0.0.2:{Q} HTTP/1.1\r\n\r\n", 0},
        TRuleCase{"DenyHoldsForAMappedAddress", "Deny=127.0.0.1/32\n", "127.0.0.1",
                  "GET http://[::ffff:127.0.0.1]:{O}/ HTTP/1.0\r\n\r\n", 403},
        // Linux connects these to itself; no Deny is needed to refuse them.
        TRuleCase{"UnspecifiedIPv4IsNoOrigin", "", "127.0.0.1", "GET http://0.0.0.0:{O}/ HTTP/1.0\r\n\r\n", 403},
        TRuleCase{"ThisNetworkIsNoOrigin", "", "127.0.0.1", "GET http://0.1.2.3:{O}/ HTTP/1.0\r\n\r\n", 403},
        TRuleCase{"UnspecifiedIPv6IsNoTunnel", "", "127.0.0.1", "CONNECT [::]:{O} HTTP/1.1\r\n\r\n", 403},
        TRuleCase{"MappedUnspecifiedIsNoOrigin", "", "127.0.0.1",
                  "GET http://[::ffff:0.0.0.0]:{O}/ HTTP/1.0\r\n\r\n", 403}),
    [](const ::testing::TestParamInfo<TRuleCase>& rule) { return std::string(rule.param.name); });

// ------------------------------------------------------------ access log

struct TLogLine {
    std::string time, client, user, method, target, status, toClient, fromClient, duration;
};

std::vector<TLogLine> ReadLog(const std::string& path) {
    std::vector<TLogLine> lines;
    std::istringstream text(ReadWholeFile(path));
    for (std::string line; std::getline(text, line);) {
        if (line.rfind('#', 0) == 0) {
            continue;  // the proxy's own notes
        }
        std::istringstream fields(line);
        TLogLine parsed;
        std::string extra;
        fields >> parsed.time >> parsed.client >> parsed.user >> parsed.method >> parsed.target >> parsed.status >>
            parsed.toClient >> parsed.fromClient >> parsed.duration;
        EXPECT_FALSE(fields >> extra) << "more than nine fields: " << line;
        lines.push_back(parsed);
    }
    return lines;
}

TEST_F(AccessProgram, LogHoldsOneLinePerRequestFieldByField) {
    ASSERT_NO_FATAL_FAILURE(StartProxy("", "LogFile=access.log\n", "alice", "s3cret"));
    const std::string credentials = "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n";
    const std::string origin = "127.0.0.1:" + std::to_string(origin_.Port());
    const std::string get = "GET http://" + origin + "/get?q=a%20b HTTP/1.0\r\n" + credentials + "\r\n";
    const std::string post =
        "POST http://" + origin + "/post HTTP/1.0\r\n" + credentials + "Content-Length: 5\r\n\r\nhello";
    const std::string tunnel = "CONNECT " + origin + " HTTP/1.1\r\n" + credentials + "\r\n";
    const std::string bad = "GET http://" + origin + "/bad HTTP/1.0\r\n" + credentials + "X-A : b\r\n\r\n";
    const std::string anonymous = "GET http://" + origin + "/anon HTTP/1.0\r\n\r\n";
    // "mallory\x1b[2J:guess": a user name that would clear a terminal.
    const std::string failed = "GET http://" + origin + "/guess HTTP/1.0\r\nProxy-Authorization: Basic " +
                               "bWFsbG9yeRtbMko6Z3Vlc3M=\r\n\r\n";
    EXPECT_EQ(Ask(get), OkRelayed);
    EXPECT_EQ(Ask(post), OkRelayed);
    EXPECT_EQ(Ask(tunnel), Established + Ping);
    const std::string badAnswer = Ask(bad);
    EXPECT_TRUE(IsProxyAnswer(badAnswer, 400));
    const std::string refusal = Ask(anonymous);
    EXPECT_EQ(refusal.rfind("HTTP/1.0 407 ", 0), 0u) << refusal;
    const std::string failedAnswer = Ask(failed);
    EXPECT_EQ(failedAnswer.rfind("HTTP/1.0 407 ", 0), 0u) << failedAnswer;

    const std::string path = proxy_.Directory() + "/access.log";
    std::vector<TLogLine> lines;
    WaitUntil([&] { return (lines = ReadLog(path)).size() >= 6; }, Ms(5000));
    ASSERT_EQ(lines.size(), 6u) << ReadWholeFile(path);
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const TLogLine& line : lines) {
        EXPECT_TRUE(std::regex_match(line.time, time)) << line.time;
        EXPECT_EQ(line.client, "127.0.0.1");
        EXPECT_GE(std::stol(line.duration), 0);
    }
    struct TExpected {
        const char* method;
        const char* status;
        std::string target;
        size_t toClient;
        size_t fromClient;
        const char* user;
    };
    const TExpected expected[] = {
        {"GET", "200", "http://" + origin + "/get?q=a%20b", OkRelayed.size(), get.size(), "alice"},
        {"POST", "200", "http://" + origin + "/post", OkRelayed.size(), post.size(), "alice"},
        {"CONNECT", "200", origin, Established.size() + Ping.size(), tunnel.size() + Ping.size(), "alice"},
        {"GET", "400", "http://" + origin + "/bad", badAnswer.size(), bad.size(), "alice"},
        {"GET", "407", "http://" + origin + "/anon", refusal.size(), anonymous.size(), "-"},
        {"GET", "407", "http://" + origin + "/guess", failedAnswer.size(), failed.size(), "mallory\\x1B[2J"},
    };
    for (const TExpected& want : expected) {
        const TLogLine* line = nullptr;
        for (const TLogLine& candidate : lines) {
            if (candidate.target == want.target) {
                line = &candidate;
            }
        }
        ASSERT_NE(line, nullptr) << want.target << "\n" << ReadWholeFile(path);
        EXPECT_EQ(line->method, want.method);
        EXPECT_EQ(line->status, want.status);
        EXPECT_EQ(line->user, want.user);
        EXPECT_EQ(line->toClient, std::to_string(want.toClient)) << want.method << " " << want.status;
        EXPECT_EQ(line->fromClient, std::to_string(want.fromClient)) << want.method << " " << want.status;
    }
    EXPECT_EQ(ReadWholeFile(path).find("YWxpY2U6czNjcmV0"), std::string::npos) << "credentials in the log";
    const std::string log = ReadWholeFile(path);
    EXPECT_EQ(log.find("guess"), log.rfind("guess")) << "the tried password in the log:\n" << log;
}

// User information is never logged, however the target punctuates it or
// whatever separates the words of the request line.
TEST_F(AccessProgram, LogHoldsNoPassword) {
    ASSERT_NO_FATAL_FAILURE(StartProxy("", "LogFile=access.log\n"));
    const std::string origin = "127.0.0.1:" + std::to_string(origin_.Port());
    const std::vector<std::string> requests = {
        "GET http://alice:pa?Zx9@" + origin + "/a HTTP/1.0\r\n\r\n",
        "GET http://alice:pa#Zx9@" + origin + "/b HTTP/1.0\r\n\r\n",
        "GET http://alice:pa\\Zx9@" + origin + "/c HTTP/1.0\r\n\r\n",
        "GET http://alice:pa/Zx9@" + origin + "/d HTTP/1.0\r\n\r\n",
        "GET http://alice:pa@Zx9@" + origin + "/e HTTP/1.0\r\n\r\n",
        "GET\thttp://alice:paZx9@" + origin + "/f HTTP/1.0\r\n\r\n",
        "CONNECT alice:paZx9@" + origin + " HTTP/1.1\r\n\r\n",
    };
    for (const std::string& request : requests) {
        Ask(request);
    }
    const std::string path = proxy_.Directory() + "/access.log";
    std::vector<TLogLine> lines;
    WaitUntil([&] { return (lines = ReadLog(path)).size() >= requests.size(); }, Ms(5000));
    ASSERT_EQ(lines.size(), requests.size()) << ReadWholeFile(path);
    EXPECT_EQ(ReadWholeFile(path).find("Zx9"), std::string::npos) << ReadWholeFile(path);
    EXPECT_EQ(proxy_.Stdout().find("Zx9"), std::string::npos) << "on the console";
    EXPECT_NE(ReadWholeFile(path).find("GET http://" + origin + "/a 200"), std::string::npos)
        << "served, and logged by what was reached";
}

// Refused past the connection cap before a word of the request is read:
// logged all the same, with what is known.
TEST_F(AccessProgram, LogRecordsAClientRefusedPastTheCap) {
    TProxySettings options;
    options.moreConnection = "MaxConnections=1\n";
    options.moreGeneral = "LogFile=access.log\n";
    std::string error;
    ASSERT_TRUE(proxy_.StartServing(options, error)) << error;
    TLoopbackSocket first;
    ASSERT_TRUE(first.Connect(proxy_.Port()));
    // One listener takes both in the order they connected, and the first
    // counts as a connection before the second is accepted.
    const std::string answer = Ask("GET http://127.0.0.1:" + std::to_string(origin_.Port()) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(IsProxyAnswer(answer, 503));
    first.Close();
    const std::string path = proxy_.Directory() + "/access.log";
    std::vector<TLogLine> lines;
    WaitUntil([&] { return !(lines = ReadLog(path)).empty(); }, Ms(5000));
    ASSERT_EQ(lines.size(), 1u) << ReadWholeFile(path);
    EXPECT_EQ(lines[0].client, "127.0.0.1");
    EXPECT_EQ(lines[0].method, "-");
    EXPECT_EQ(lines[0].target, "-");
    EXPECT_EQ(lines[0].status, "503");
    EXPECT_EQ(lines[0].toClient, std::to_string(answer.size()));
}

// 20 clients while logrotate's way of rotating happens under them: the log
// is renamed, and Vantrel moves on to a new file under the old name. Every
// request is in exactly one of the two files, in whole lines.
TEST_F(AccessProgram, ConcurrentRequestsGiveWholeLinesAcrossARotation) {
    ASSERT_NO_FATAL_FAILURE(StartProxy("", "LogFile=access.log\n"));
    const std::string path = proxy_.Directory() + "/access.log";
    constexpr int Clients = 20;
    constexpr int Limit = 400;  // requests of one client at most
    std::atomic<int> served{0};
    std::atomic<bool> rotated{false};
    std::atomic<bool> followed{false};  // the new file has lines
    std::mutex servedLock;
    std::vector<int> servedIds;
    std::vector<std::thread> clients;
    for (int c = 0; c < Clients; ++c) {
        clients.emplace_back([&, c] {
            for (int n = 0; n < Limit && !(followed.load() && n >= 5); ++n) {
                const int id = c * Limit + n;
                const std::string get = "GET http://127.0.0.1:" + std::to_string(origin_.Port()) + "/c/" +
                                        std::to_string(id) + " HTTP/1.0\r\n\r\n";
                if (Ask(get) == OkRelayed) {
                    ++served;
                    std::scoped_lock lock(servedLock);
                    servedIds.push_back(id);
                }
                if (rotated.load() && !followed.load() && !ReadLog(path).empty()) {
                    followed.store(true);
                }
            }
        });
    }
    WaitUntil([&] { return served.load() >= Clients * 5; }, Ms(10000));
    std::filesystem::rename(path, path + ".1");
    rotated.store(true);
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_TRUE(followed.load()) << "no line reached a new file under the old name";
    std::vector<TLogLine> lines;
    const auto logged = [&] {
        lines = ReadLog(path + ".1");
        const std::vector<TLogLine> after = ReadLog(path);
        lines.insert(lines.end(), after.begin(), after.end());
        return lines.size() >= servedIds.size();
    };
    WaitUntil(logged, Ms(5000));
    std::vector<int> loggedIds;
    for (const TLogLine& line : lines) {
        EXPECT_EQ(line.method, "GET");
        EXPECT_EQ(line.status, "200");
        const size_t at = line.target.rfind("/c/");
        ASSERT_NE(at, std::string::npos) << line.target;
        loggedIds.push_back(std::stoi(line.target.substr(at + 3)));
    }
    std::sort(servedIds.begin(), servedIds.end());
    std::sort(loggedIds.begin(), loggedIds.end());
    EXPECT_EQ(loggedIds, servedIds);
    EXPECT_EQ(served.load(), static_cast<int>(servedIds.size()));
    EXPECT_FALSE(ReadLog(path + ".1").empty());
}

// ---------------------------------------------------------------- reload

// How a reload is asked for: by changing the file, or by SIGHUP with the
// file's time and size left as they were (so only the signal can tell).
enum class TReloadBy { FileChange, Hangup };

class ReloadTest : public AccessProgram, public ::testing::WithParamInterface<TReloadBy> {
protected:
    // Rewrites vtl.ini with the settings and has the program read it, then
    // waits for the outcome's console line.
    void Reload(TProxySettings settings, const std::string& outcome) {
        const std::string path = proxy_.Directory() + "/vtl.ini";
        const auto time = std::filesystem::last_write_time(path);
        const size_t size = std::filesystem::file_size(path);
        const size_t seen = CountOf(proxy_.Stdout(), outcome);
        if (GetParam() == TReloadBy::Hangup) {
            proxy_.RewriteIni(settings);
            const size_t longer = std::filesystem::file_size(path);
            ASSERT_LT(longer + 2, size) << "the hang-up case pads the new file to the old size";
            settings.moreIni += ";" + std::string(size - longer - 2, 'x') + "\n";
            proxy_.RewriteIni(settings);
            std::filesystem::last_write_time(path, time);
            proxy_.Process().Signal(SIGHUP);
        } else {
            // A file system with coarse times could give the new file the
            // old one's time; the size tells it apart then.
            settings.moreIni += ";" + std::string(size % 7 + 1, 'y') + "\n";
            proxy_.RewriteIni(settings);
        }
        ASSERT_TRUE(WaitUntil([&] { return CountOf(proxy_.Stdout(), outcome) > seen; }, Ms(5000)))
            << proxy_.Stdout();
    }

    static size_t CountOf(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    }

    std::string Get(const char* from, const std::string& credentials) {
        return Ask("GET http://127.0.0.1:" + std::to_string(origin_.Port()) + "/ HTTP/1.0\r\n" + credentials +
                   "\r\n", from);
    }
};

// New requests follow the file at once; a tunnel opened before lives on;
// a bad value keeps the running settings whole and names its key.
TEST_P(ReloadTest, NewRequestsFollowTheFileWhileATunnelLives) {
    const std::string alice = "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n";  // alice:s3cret
    const std::string bob = "Proxy-Authorization: Basic Ym9iOnB3Mg==\r\n";        // bob:pw2
    TProxySettings settings;
    settings.user = "alice";
    settings.password = "s3cret";
    // The tunnel waits through both reloads, however slow the machine.
    settings.idleTimeout = 30;
    settings.moreGeneral = "LogFile=access.log\n";
    // Room for the hang-up case to keep the file's size.
    settings.moreIni = "[Access]\nAllow=127.0.0.1\n;" + std::string(200, 'z') + "\n";
    std::string error;
    ASSERT_TRUE(proxy_.StartServing(settings, error)) << error;

    // Echoes one ping, whenever it comes.
    const TOriginServer target([](TOriginConnection& c) {
        if (c.ReadCount(Ping.size(), Ms(30000))) {
            c.Send(Ping);
        }
        c.ReadToClose(Ms(30000));
    });
    TLoopbackSocket tunnel;
    std::string got;
    TEnd end = TEnd::Closed;
    ASSERT_TRUE(tunnel.Connect(proxy_.Port()));
    ASSERT_TRUE(tunnel.SendAll("CONNECT 127.0.0.1:" + std::to_string(target.Port()) + " HTTP/1.1\r\n" + alice +
                                   "\r\n",
                               After(Ms(5000))));
    ASSERT_TRUE(tunnel.ReadUntil(got, Established, After(Ms(5000)), end)) << got;

    settings.user = "bob";
    settings.password = "pw2";
    settings.moreConnection = "MaxConnections=3\n";
    settings.moreIni = "[Access]\nAllow=127.0.0.2\n";
    ASSERT_NO_FATAL_FAILURE(Reload(settings, "Settings applied from "));
    EXPECT_TRUE(IsProxyAnswer(Get("127.0.0.1", bob), 403));
    EXPECT_TRUE(IsProxyAnswer(Get("127.0.0.2", alice), 407));
    EXPECT_EQ(Get("127.0.0.2", bob), OkRelayed);
    {
        // The tunnel and these make three: the next client is one too many.
        TLoopbackSocket idle[2];
        ASSERT_TRUE(idle[0].Connect(proxy_.Port()) && idle[1].Connect(proxy_.Port()));
        EXPECT_TRUE(WaitUntil([&] { return IsProxyAnswer(Get("127.0.0.2", bob), 503); }, Ms(3000)));
    }

    settings.moreIni = "[Access]\nAllow=127.0.0.2, nonsense\n";
    ASSERT_NO_FATAL_FAILURE(Reload(settings, "Settings not applied, the running ones stay: [Access] Allow: "));
    EXPECT_TRUE(WaitUntil([&] { return Get("127.0.0.2", bob) == OkRelayed; }, Ms(3000)));
    EXPECT_TRUE(IsProxyAnswer(Get("127.0.0.1", alice), 403));

    got.clear();
    ASSERT_TRUE(tunnel.SendAll(Ping, After(Ms(5000))));
    EXPECT_TRUE(tunnel.ReadAtLeast(got, Ping.size(), After(Ms(5000)), end));
    EXPECT_EQ(got, Ping) << "the tunnel opened before the reload";

    const std::string log = ReadWholeFile(proxy_.Directory() + "/access.log");
    EXPECT_NE(log.find("\n# "), std::string::npos) << log;
    EXPECT_NE(log.find(" Settings not applied, the running ones stay: [Access] Allow: "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(By, ReloadTest, ::testing::Values(TReloadBy::FileChange, TReloadBy::Hangup),
                         [](const ::testing::TestParamInfo<TReloadBy>& by) {
                             return std::string(by.param == TReloadBy::Hangup ? "Hangup" : "FileChange");
                         });

}  // namespace

#endif  // _WIN32
