// BadInputTest: malformed and hostile requests, and origins that cannot be
// reached or answer badly, through the real vantrel executable on loopback.
// Each must end in a clear HTTP answer (logged with its status) or a quiet
// close within a bound, must reach an origin only when it is a request worth
// forwarding, must be the connection's only request, and must leave the
// proxy serving with no worker left behind.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/soak/SoakContent.h"
#include "tests/support/Answers.h"

namespace {

using namespace vtltest;
using namespace std::string_literals;

constexpr int RequestTimeoutSeconds = 4;
constexpr int IdleTimeoutSeconds = 4;
constexpr int ConnectTimeoutSeconds = 2;
// Every case ends within both limits and a margin for a loaded machine.
constexpr double CaseLimitSeconds = RequestTimeoutSeconds + IdleTimeoutSeconds + 8;
constexpr long MemoryMarginKb = 20 * 1024;
const std::string OkAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string OkRelayed = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n") + "ok";

// An origin that records every request it receives (head, then a body of
// Content-Length bytes) and answers "ok", except for two paths: /close-at-once
// gets no answer and /silent none until the proxy gives up. It listens on
// [::1] at the same port too, so that a connection made there is counted as
// well.
class TRecordingOrigin {
public:
    TRecordingOrigin() : server_([this](TLoopbackSocket& socket) { Serve(socket); }, TOriginOptions{"127.0.0.1", true}) {}

    int Port() const { return server_.Port(); }
    int Accepted() const { return static_cast<int>(server_.Connections()); }
    bool HasIPv6() const { return server_.HasIPv6(); }

    std::vector<std::string> Requests() const {
        std::scoped_lock lock(lock_);
        return requests_;
    }

private:
    void Serve(TLoopbackSocket& socket) {
        std::string data;
        TEnd end = TEnd::Closed;
        const auto deadline = After(Ms(10000));
        socket.ReadUntil(data, "\r\n\r\n", deadline, end);
        std::string rest = data;
        THttpHead head;
        if (TakeHead(rest, head)) {
            const size_t length = std::strtoull(head.Value("Content-Length").c_str(), nullptr, 10);
            if (rest.size() < length) {
                socket.ReadAtLeast(data, data.size() + length - rest.size(), deadline, end);
            }
        }
        {
            std::scoped_lock lock(lock_);
            requests_.push_back(data);
        }
        if (data.find(" /silent ") != std::string::npos) {
            socket.ReadToEnd(data, deadline);
        } else if (data.find(" /close-at-once ") == std::string::npos) {
            socket.SendAll(OkAnswer, deadline);
        }
    }

    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    TOriginServer server_;  // last: stopped before the records go
};

enum class TSend {
    Once,      // the request in one go
    Trickle,   // the request, then one header line every 50 ms, never ending
    Flood,     // the request, then header lines as fast as they are taken
    SlowBytes, // the request, then one byte every 1.5 s: no single wait reaches the limit
};

// How a case ends for its client, and the status its access-log line has.
constexpr int QuietClose = 0;  // nothing at all, then a close (orderly or reset)
constexpr int Served = 200;    // the origin's "ok", relayed
constexpr int Help = 100;      // the command server's listing
// Any other status: the proxy's own answer with it, then an orderly close.

struct TBadInput {
    const char* name;
    std::string request;  // placeholders: see Expand
    TSend send;
    int status;
    // Bounds on when the connection ends, from the connect, in seconds.
    double atLeast;
    double atMost;
    // What the origin must have received, "" when nothing must reach it.
    std::string forwarded;
    bool checkMemory = false;
};

void PrintTo(const TBadInput& input, std::ostream* out) { *out << input.name; }

// Ports: "{O}" the origin's, "{P}" the proxy's own, "{C}" one where nobody
// listens, "{B}" one that never answers a connect. "{L}": the size of what
// follows the head.
struct TPorts {
    int origin = 0;
    int proxy = 0;
    int closed = 0;
    int blackHole = 0;
};

std::string Expand(std::string text, const TPorts& ports) {
    for (const auto& [key, port] : {std::pair{std::string("{O}"), ports.origin}, std::pair{std::string("{P}"), ports.proxy},
                                    std::pair{std::string("{C}"), ports.closed}, std::pair{std::string("{B}"), ports.blackHole}}) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
            text.replace(at, key.size(), std::to_string(port));
        }
    }
    if (const size_t at = text.find("{L}"); at != std::string::npos) {
        text.replace(at, 3, std::to_string(text.size() - (text.find("\r\n\r\n") + 4)));
    }
    return text;
}

// A request the origin would serve if it took a body for one.
const std::string Smuggled = "GET http://127.0.0.1:{O}/SMUG HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A request line that names the proxy itself once per "://".
std::string SelfNamingLine(int segments) {
    std::string target = "http://127.0.0.1:{P}/";
    for (int i = 0; i < segments; ++i) {
        target += "://127.0.0.1:{P}/";
    }
    return "GET " + target + " HTTP/1.0\r\n\r\n";
}

// Refusals and errors come at once, well before any limit could end the
// connection instead.
constexpr double Prompt = RequestTimeoutSeconds * 0.9;
constexpr double Quiet = RequestTimeoutSeconds * 0.9;
constexpr double QuietBy = RequestTimeoutSeconds + 8.0;

std::string HeaderLines(int count, size_t valueSize = 1) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += "X-" + std::to_string(i) + ": " + std::string(valueSize, 'v') + "\r\n";
    }
    return lines;
}

const std::vector<TBadInput> Cases = {
    {"NoTarget", "GET\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"ConnectWithoutTarget", "CONNECT\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"PathOnlyTarget", "GET /x HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"TargetWithoutHost", "GET http:///x HTTP/1.0\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"OptionsAsterisk", "OPTIONS * HTTP/1.1\r\nHost: 127.0.0.1:{O}\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"HttpsTarget", "GET https://127.0.0.1:{O}/ HTTP/1.1\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"Trace", "TRACE http://127.0.0.1:{O}/t HTTP/1.1\r\nCookie: secret\r\n\r\n", TSend::Once, 405, 0, Prompt, ""},
    {"UnclosedIPv6Bracket", "CONNECT [::1:{O} HTTP/1.0\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"UserInformationInATunnelTarget", "CONNECT a:b@127.0.0.1:{O} HTTP/1.0\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    // Origins that cannot be reached, or do not answer.
    {"NameThatDoesNotResolve", "GET http://no-such-host.invalid/ HTTP/1.0\r\n\r\n", TSend::Once, 502, 0, Prompt, ""},
    {"RefusedPort", "GET http://127.0.0.1:{C}/ HTTP/1.0\r\n\r\n", TSend::Once, 502, 0, Prompt, ""},
    {"RefusedTunnel", "CONNECT 127.0.0.1:{C} HTTP/1.1\r\n\r\n", TSend::Once, 502, 0, Prompt, ""},
    {"BlackHoleWithConnectTimeout", "GET http://127.0.0.1:{B}/ HTTP/1.0\r\n\r\n", TSend::Once, 504,
     ConnectTimeoutSeconds * 0.9, ConnectTimeoutSeconds + 3.0, ""},
    {"OriginClosingAtOnce", "GET http://127.0.0.1:{O}/close-at-once HTTP/1.0\r\n\r\n", TSend::Once, 502, 0, Prompt,
     "GET /close-at-once HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\n\r\n"},
    {"OriginSilentPastTheIdleLimit", "GET http://127.0.0.1:{O}/silent HTTP/1.0\r\n\r\n", TSend::Once, 504,
     IdleTimeoutSeconds * 0.9, IdleTimeoutSeconds + 8.0, "GET /silent HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\n\r\n"},
    // Heads past the limits.
    {"RequestLineOf20000Bytes", "GET http://127.0.0.1:{O}/" + std::string(20000, 'a') + " HTTP/1.0\r\n\r\n",
     TSend::Once, 414, 0, Prompt, ""},
    {"HeaderLineOf20KiB", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nX-Long: " + std::string(20 * 1024, 'l') + "\r\n\r\n",
     TSend::Once, 431, 0, Prompt, ""},
    {"TenThousandHeaderLines", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\n" + HeaderLines(10000) + "\r\n", TSend::Once,
     431, 0, Prompt, ""},
    {"HeaderBlockOver64KiB", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\n" + HeaderLines(9, 8000) + "\r\n", TSend::Once,
     431, 0, Prompt, ""},
    {"HeaderLineFlood", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\n", TSend::Flood, 431, 0, Prompt, ""},
    {"HeaderBlockThatNeverEnds", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\n", TSend::Trickle, QuietClose, Quiet, QuietBy, ""},
    {"HeaderByteEvery1500ms", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nX-Slow: ", TSend::SlowBytes, QuietClose, Quiet,
     RequestTimeoutSeconds + 0.75, ""},
    {"BareCrLineEnds", "GET http://127.0.0.1:{O}/ab HTTP/1.0\rHost: x\r\r", TSend::Once, QuietClose, Quiet, QuietBy, ""},
    // Bytes that could be read otherwise downstream.
    {"NulInRequestLine", "GET http://127.0.0.1:{O}/a\0b HTTP/1.0\r\n\r\n"s, TSend::Once, 400, 0, Prompt, ""},
    {"NulInHeader", "GET http://127.0.0.1:{O}/ab HTTP/1.0\r\nX-A: a\0b\r\n\r\n"s, TSend::Once, 400, 0, Prompt, ""},
    {"NulInConnectHost", "CONNECT 127.0.0.1\0.example:{O} HTTP/1.0\r\n\r\n"s, TSend::Once, 400, 0, Prompt, ""},
    {"CrInsideHeader", "GET http://127.0.0.1:{O}/ab HTTP/1.0\r\nX-A: a\rX-Injected: 1\r\n\r\n", TSend::Once, 400, 0,
     Prompt, ""},
    {"ControlByteInHeaderValue", "GET http://127.0.0.1:{O}/ab HTTP/1.0\r\nX-A: a\x1b[2Jb\r\n\r\n", TSend::Once, 400, 0,
     Prompt, ""},
    {"TabInTarget", "GET http://127.0.0.1:{O}/a\tb HTTP/1.0\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"EscapeInRequestLine", "GET http://127.0.0.1:{O}/a\x1b[2J HTTP/1.0\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"BlankBeforeColon", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nContent-Length : 0\r\nContent-Length: 5\r\n\r\nhello",
     TSend::Once, 400, 0, Prompt, ""},
    {"FoldedHeaderLine", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nX-A: a\r\n b\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    {"TabFoldedHeaderLine", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nX-A: a\r\n\tb\r\n\r\n", TSend::Once, 400, 0, Prompt,
     ""},
    {"HeaderLineWithoutColon", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nHost 127.0.0.1\r\n\r\n", TSend::Once, 400, 0,
     Prompt, ""},
    {"EmptyHeaderName", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\n: v\r\n\r\n", TSend::Once, 400, 0, Prompt, ""},
    // Bodies: only one whose end both sides read alike is forwarded.
    // A large declared body is relayed as it comes: the origin gets the head
    // and what was sent, and the stalled upload ends at the idle limit.
    {"ContentLengthOver2GiB", "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: 3000000000\r\n\r\nabc",
     TSend::Once, QuietClose, IdleTimeoutSeconds * 0.9, IdleTimeoutSeconds + 8.0,
     "POST /p HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 3000000000\r\n\r\nabc", true},
    {"ContentLength2e9WithoutBody", "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: 2000000000\r\n\r\n",
     TSend::Once, QuietClose, IdleTimeoutSeconds * 0.9, IdleTimeoutSeconds + 8.0,
     "POST /p HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 2000000000\r\n\r\n", true},
    {"ContentLengthBeyond63Bits",
     "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: 9223372036854775808\r\n\r\nabc", TSend::Once, 400, 0,
     Prompt, ""},
    {"NegativeContentLength", "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: -5\r\n\r\nhello", TSend::Once,
     400, 0, Prompt, ""},
    {"ContentLengthAfterFormFeed", "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: \x0c" "5\r\n\r\nhello",
     TSend::Once, 400, 0, Prompt, ""},
    {"DuplicateContentLengthsDiffering",
     "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", TSend::Once, 400,
     0, Prompt, ""},
    {"DuplicateContentLengthsEqual",
     "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello", TSend::Once, Served,
     0, Prompt, "POST /p HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello"},
    {"TransferEncodingWithContentLength",
     "POST http://127.0.0.1:{O}/p HTTP/1.0\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n"
     "5\r\nhello\r\n0\r\n\r\n",
     TSend::Once, 400, 0, Prompt, ""},
    {"ChunkedBody", "POST http://127.0.0.1:{O}/p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     TSend::Once, Served, 0, Prompt, "POST /p HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 5\r\n\r\nhello"},
    {"OtherTransferCoding", "POST http://127.0.0.1:{O}/p HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nhello",
     TSend::Once, 501, 0, Prompt, ""},
    {"MalformedChunk", "POST http://127.0.0.1:{O}/p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXY",
     TSend::Once, 400, 0, Prompt, ""},
    {"ChunkedGet", "GET http://127.0.0.1:{O}/x HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", TSend::Once,
     Served, 0, Prompt, "GET /x HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 0\r\n\r\n"},
    {"TransferEncodingAndLengthOnHead",
     "HEAD http://127.0.0.1:{O}/x HTTP/1.0\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\nhello", TSend::Once,
     400, 0, Prompt, ""},
    {"GetWithBody", "GET http://127.0.0.1:{O}/g HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", TSend::Once, Served, 0,
     Prompt, "GET /g HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: 5\r\n\r\nhello"},
    // One request per connection: whatever comes behind the first line is
    // never a request of its own.
    {"PutWhoseBodyHoldsARequest", "PUT http://127.0.0.1:{O}/a HTTP/1.1\r\nHost: x\r\nContent-Length: {L}\r\n\r\n" + Smuggled,
     TSend::Once, Served, 0, Prompt,
     "PUT /a HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\nContent-Length: {L}\r\n\r\n" + Smuggled},
    {"DeleteThenARequest", "DELETE http://127.0.0.1:{O}/d HTTP/1.1\r\nHost: x\r\n\r\n" + Smuggled, TSend::Once, Served,
     0, Prompt, "DELETE /d HTTP/1.0\r\nHost: 127.0.0.1:{O}\r\n\r\n"},
    {"JunkThenARequest", "::junk::\r\nCookie: secret\r\n\r\n" + Smuggled, TSend::Once, 400, 0, Prompt, ""},
    {"HelpThenARequest", "HELP\r\n" + Smuggled, TSend::Once, Help, 0, Prompt, ""},
    // Requests for the proxy itself, under any of its names.
    {"SelfNamingLineOf200Segments", SelfNamingLine(200), TSend::Once, 508, 0, Prompt, ""},
    {"OwnPortOnAnotherLoopbackAddress", "GET http://127.0.0.2:{P}/ HTTP/1.0\r\n\r\n", TSend::Once, 508, 0, Prompt, ""},
    {"OwnPortByName", "GET http://localhost:{P}/ HTTP/1.0\r\n\r\n", TSend::Once, 508, 0, Prompt, ""},
    {"TunnelToItself", "CONNECT 127.0.0.1:{P} HTTP/1.1\r\n\r\n", TSend::Once, 508, 0, Prompt, ""},
};

class BadInputTest : public ::testing::TestWithParam<TBadInput> {
protected:
    static void SetUpTestSuite() {
        origin_ = std::make_unique<TRecordingOrigin>();
        proxy_ = std::make_unique<TProgram>();
        blackHole_ = std::make_unique<TBlackHole>();
        ports_ = {origin_->Port(), 0, FreePort("127.0.0.1"), blackHole_->Port()};
        TProxySettings options;
        options.requestTimeout = RequestTimeoutSeconds;
        options.idleTimeout = IdleTimeoutSeconds;
        options.moreGeneral = "ConnectTimeout=" + std::to_string(ConnectTimeoutSeconds) + "\nLogFile=access.log\n";
        if (!proxy_->StartServing(options, startError_)) {
            return;
        }
        ports_.proxy = proxy_->Port();
        // The idle figure of a proxy that has served once.
        std::string answer;
        Fetch(answer);
        int last = -1;
        WaitUntil(
            [&] {
                const int now = proxy_->ThreadCount();
                const bool steady = now == last;
                last = now;
                return steady;
            },
            Ms(5000), Ms(200));
        idleThreads_ = last;
        idleFds_ = proxy_->FdCount();
    }

    static void TearDownTestSuite() {
        proxy_.reset();
        origin_.reset();
        blackHole_.reset();
    }

    void SetUp() override { ASSERT_TRUE(startError_.empty()) << startError_; }

    // A plain GET through the proxy; true when it got the origin's answer.
    static bool Fetch(std::string& answer) {
        TLoopbackSocket socket;
        if (!socket.Connect(proxy_->Port())) {
            return false;
        }
        const auto deadline = After(Ms(15000));
        socket.SendAll("GET http://127.0.0.1:" + std::to_string(origin_->Port()) + "/fresh HTTP/1.0\r\n\r\n",
                       deadline);
        return socket.ReadToEnd(answer, deadline) == TEnd::Closed && answer == OkRelayed;
    }

    // Sends the case's request the way it says; returns how the connection
    // ended, what came back and when.
    static TEnd Exchange(const TBadInput& input, std::string& got, double& seconds) {
        TLoopbackSocket socket;
        EXPECT_TRUE(socket.Connect(proxy_->Port()));
        const auto start = Clock::now();
        const auto deadline = After(Ms(static_cast<int>(CaseLimitSeconds * 1000) + 5000));
        const std::string request = Expand(input.request, ports_);
        socket.SendAll(request, deadline);
        TEnd end = TEnd::TimedOut;
        if (input.send == TSend::Once) {
            end = socket.ReadToEnd(got, deadline);
        } else if (input.send == TSend::Trickle) {
            for (int line = 0; Clock::now() < deadline; ++line) {
                if (!socket.SendAll("X-Pad-" + std::to_string(line) + ": v\r\n", deadline)) {
                    end = socket.ReadToEnd(got, deadline);
                    break;
                }
                if (socket.ReceiveSome(got, After(Ms(50)), end) > 0 || end != TEnd::TimedOut) {
                    end = end == TEnd::TimedOut ? socket.ReadToEnd(got, deadline) : end;
                    break;
                }
            }
        } else if (input.send == TSend::SlowBytes) {
            while (Clock::now() < deadline) {
                if (socket.ReceiveSome(got, After(Ms(1500)), end) > 0 || end != TEnd::TimedOut) {
                    end = end == TEnd::TimedOut ? socket.ReadToEnd(got, deadline) : end;
                    break;
                }
                if (!socket.SendAll("a", deadline)) {
                    end = socket.ReadToEnd(got, deadline);
                    break;
                }
            }
        } else {
            std::string lines;
            for (int line = 0; line < 20000; ++line) {
                lines += "X-Flood-" + std::to_string(line) + ": " + std::string(40, 'f') + "\r\n";
            }
            socket.SendAll(lines, deadline);
            end = socket.ReadToEnd(got, deadline);
        }
        seconds = SecondsSince(start);
        return end;
    }

    // The access log's lines, but for those of Fetch.
    static std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        std::istringstream log(ReadWholeFile(proxy_->Directory() + "/access.log"));
        for (std::string line; std::getline(log, line);) {
            if (line.find("/fresh ") == std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    static std::unique_ptr<TRecordingOrigin> origin_;
    static std::unique_ptr<TBlackHole> blackHole_;
    static TPorts ports_;
    static std::unique_ptr<TProgram> proxy_;
    static std::string startError_;
    static int idleThreads_;
    static int idleFds_;
};

std::unique_ptr<TRecordingOrigin> BadInputTest::origin_;
std::unique_ptr<TBlackHole> BadInputTest::blackHole_;
TPorts BadInputTest::ports_;
std::unique_ptr<TProgram> BadInputTest::proxy_;
std::string BadInputTest::startError_;
int BadInputTest::idleThreads_ = 0;
int BadInputTest::idleFds_ = 0;

TEST_P(BadInputTest, EndsAsDocumentedAndLeavesTheProxyServing) {
    const TBadInput& input = GetParam();
    const int acceptedBefore = origin_->Accepted();
    const size_t recordedBefore = origin_->Requests().size();
    const size_t loggedBefore = LogLines().size();
    const long peakBefore = proxy_->PeakRssKb();
    const long rssBefore = proxy_->RssKb();

    // Whatever it is sent, the proxy spends one worker on it, not more.
    std::atomic<bool> exchanged{false};
    std::atomic<int> peakThreads{0};
    std::thread sampler([&] {
        while (!exchanged.load()) {
            peakThreads = std::max(peakThreads.load(), proxy_->ThreadCount());
            std::this_thread::sleep_for(Ms(5));
        }
    });
    std::string got;
    double seconds = 0;
    const TEnd end = Exchange(input, got, seconds);
    exchanged = true;
    sampler.join();
    EXPECT_LE(peakThreads.load(), idleThreads_ + 3) << "threads at the peak";

    if (input.status == QuietClose) {
        EXPECT_EQ(got, "") << "a quiet close was due";
        EXPECT_TRUE(end == TEnd::Closed || end == TEnd::Reset) << EndName(end);
    } else {
        if (input.status == Served) {
            EXPECT_EQ(got, OkRelayed);
        } else if (input.status == Help) {
            EXPECT_EQ(got.rfind("100 Help follows\r\n", 0), 0u) << got;
            EXPECT_EQ(got.substr(got.size() - 5), "\r\n.\r\n") << got;
        } else {
            EXPECT_TRUE(IsProxyAnswer(got, input.status));
        }
        EXPECT_EQ(end, TEnd::Closed) << EndName(end);
    }
    EXPECT_GE(seconds, input.atLeast);
    EXPECT_LE(seconds, input.atMost);
    if (input.checkMemory) {
        EXPECT_LE(proxy_->PeakRssKb() - peakBefore, MemoryMarginKb);
        EXPECT_LE(proxy_->RssKb() - rssBefore, MemoryMarginKb);
    }

    // Still serving; and since the origin takes its connections in order,
    // once this fresh one is through, any the bad request caused was too.
    std::string answer;
    EXPECT_TRUE(Fetch(answer)) << answer;
    const int caused = origin_->Accepted() - acceptedBefore - 1;
    if (input.forwarded.empty()) {
        EXPECT_EQ(caused, 0) << "the bad request reached the origin";
    } else {
        EXPECT_EQ(caused, 1);
        std::vector<std::string> requests;
        WaitUntil(
            [&] {
                requests = origin_->Requests();
                return requests.size() >= recordedBefore + 2;
            },
            Ms(5000));
        bool seen = false;
        for (size_t i = recordedBefore; i < requests.size(); ++i) {
            seen = seen || requests[i] == Expand(input.forwarded, ports_);
        }
        EXPECT_TRUE(seen) << "not forwarded as expected";
    }
    // One line for the connection at most, with the answer's status, and
    // nothing of what came behind its first line.
    std::vector<std::string> logged;
    const std::string status = " " + (input.status == QuietClose ? std::string("-") : std::to_string(input.status)) + " ";
    WaitUntil([&] { return (logged = LogLines()).size() > loggedBefore || input.status == QuietClose; }, Ms(5000));
    ASSERT_LE(logged.size(), loggedBefore + 1);
    if (logged.size() > loggedBefore) {
        EXPECT_NE(logged.back().find(status), std::string::npos) << logged.back();
        EXPECT_EQ(logged.back().find("SMUG"), std::string::npos) << logged.back();
        EXPECT_EQ(logged.back().find("secret"), std::string::npos) << logged.back();
    } else {
        EXPECT_EQ(input.status, QuietClose) << "no log line";
    }
    EXPECT_TRUE(proxy_->Running());
    // No worker or descriptor left behind.
    EXPECT_TRUE(WaitUntil([] { return proxy_->ThreadCount() <= idleThreads_ && proxy_->FdCount() <= idleFds_; },
                          Ms(10000)))
        << "threads " << proxy_->ThreadCount() << " (idle " << idleThreads_ << "), fds " << proxy_->FdCount()
        << " (idle " << idleFds_ << ")";
}

INSTANTIATE_TEST_SUITE_P(Table, BadInputTest, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<TBadInput>& testCase) {
                             return std::string(testCase.param.name);
                         });

}  // namespace

#endif  // _WIN32
