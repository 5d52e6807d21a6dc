// vtl_soak: drives the real vantrel executable on loopback for a while with
// 200 concurrent clients mixing healthy GET/POST/HEAD/CONNECT traffic and
// injected faults (clients and origins that misbehave), checks every healthy
// answer byte for byte, then checks that the proxy still serves and that its
// threads, descriptors and memory return to the idle level.
// Usage: vtl_soak <path to vantrel>
// Environment: SOAK_SECONDS (60), SOAK_CLIENTS (200), SOAK_SEED (random; the
// run prints it), SOAK_ONLY (a list of scenario numbers, to chase one error).
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/soak/SoakContent.h"
#include "tests/support/Answers.h"

using namespace vtltest;

namespace {

constexpr int RequestTimeoutSeconds = 5;
constexpr int IdleTimeoutSeconds = 3;
constexpr size_t LargeBody = 5 * 1024 * 1024;
// Big transfers at once: enough to keep 5 MB bodies in the mix, few enough
// that they stay a minority of the traffic and of the memory. The stalled
// ones (a peer that stops reading) wait out the idle limit: a pool of their
// own, so that they do not crowd the 5 MB downloads out.
constexpr std::array<int, 2> PoolLimits = {4, 6};
using TPools = std::array<std::atomic<int>, 2>;
constexpr long RssMarginKb = 30 * 1024;
constexpr Ms HealthyLimit(60000);
constexpr Ms FaultLimit(30000);
constexpr Ms SettleLimit(15000);

enum TScenario : int {
    GetSmall,
    GetSmallNoLength,
    GetMedium,
    GetLarge,
    GetLargeNoLength,
    PostBody,
    Head,
    ConnectEcho,
    // Faults from here on.
    FirstFault,
    ClientCloseMidRequest = FirstFault,
    ClientCloseMidUpload,
    ClientCloseMidDownload,
    ClientCloseMidTunnel,
    SlowClient,
    GarbageLines,
    OriginClosesMidBody,
    OriginRefused,
    OriginStalls,
    OriginLongHeader,
    ConnectRefused,
    BadPostLength,
    ClientStopsReading,
    ClientStopsReadingTunnel,
    OriginStopsReading,
    ScenarioCount
};

struct TScenarioInfo {
    const char* name;
    int weight;
};

// Weights per thousand. Healthy traffic is about three quarters of it.
constexpr std::array<TScenarioInfo, ScenarioCount> Scenarios = {{
    {"GET small", 250},
    {"GET small, no Content-Length", 120},
    {"GET 256K-1M", 40},
    {"GET 5 MB", 12},
    {"GET 5 MB, no Content-Length", 8},
    {"POST with body", 150},
    {"HEAD", 60},
    {"CONNECT echo", 130},
    {"client closes mid-request", 25},
    {"client closes mid-upload", 25},
    {"client closes mid-download", 20},
    {"client closes mid-tunnel", 25},
    {"slow client", 6},
    {"garbage lines", 25},
    {"origin closes mid-body", 25},
    {"origin refused", 25},
    {"origin stalls", 8},
    {"origin header line too long", 15},
    {"CONNECT refused", 10},
    {"bad POST length", 15},
    {"client stops reading", 2},
    {"client stops reading a tunnel", 2},
    {"origin stops reading", 2},
}};

constexpr int TotalWeight() {
    int total = 0;
    for (const TScenarioInfo& info : Scenarios) {
        total += info.weight;
    }
    return total;
}
static_assert(TotalWeight() == 1000, "the weights are per thousand");

bool IsFault(int scenario) { return scenario >= FirstFault; }

// Scenarios that move several megabytes run only a few at a time: the
// pool they draw from, or -1.
int PoolOf(int scenario) {
    switch (scenario) {
    case GetLarge:
    case GetLargeNoLength:
        return 0;
    case ClientStopsReading:
    case ClientStopsReadingTunnel:
    case OriginStopsReading:
        return 1;
    default:
        return -1;
    }
}

// More than the proxy's send buffer and the peer's receive window together
// can take in, so that a peer that stops reading really stalls the proxy.
constexpr size_t StallBody = 8 * 1024 * 1024;
constexpr int SmallWindow = 16 * 1024;

struct TOutcome {
    bool ok = true;
    std::string reason;
    uint64_t bytesChecked = 0;
    bool reset = false;

    void Fail(std::string why) {
        if (ok) {
            ok = false;
            reason = std::move(why);
        }
    }
};

struct TPorts {
    int proxy = 0;
    int origin = 0;
    int echo = 0;
    int midClose = 0;
    int refused = 0;
    int stall = 0;
    int longHeader = 0;
    int deaf = 0;
};

class TStats {
public:
    void Record(int scenario, const TOutcome& outcome) {
        runs_[scenario].fetch_add(1);
        bytesChecked_.fetch_add(outcome.bytesChecked);
        if (outcome.reset) {
            resets_.fetch_add(1);
        }
        if (outcome.ok) {
            passed_[scenario].fetch_add(1);
            return;
        }
        std::scoped_lock lock(lock_);
        ++errors_[std::string(Scenarios[scenario].name) + ": " + outcome.reason];
    }

    uint64_t Runs(int scenario) const { return runs_[scenario].load(); }
    uint64_t Passed(int scenario) const { return passed_[scenario].load(); }
    uint64_t BytesChecked() const { return bytesChecked_.load(); }
    uint64_t Resets() const { return resets_.load(); }
    uint64_t Failed(bool faults) const {
        uint64_t total = 0;
        for (int s = 0; s < ScenarioCount; ++s) {
            if (IsFault(s) == faults) {
                total += Runs(s) - Passed(s);
            }
        }
        return total;
    }
    std::map<std::string, uint64_t> Errors() const {
        std::scoped_lock lock(lock_);
        return errors_;
    }

private:
    std::array<std::atomic<uint64_t>, ScenarioCount> runs_{};
    std::array<std::atomic<uint64_t>, ScenarioCount> passed_{};
    std::atomic<uint64_t> bytesChecked_{0};
    std::atomic<uint64_t> resets_{0};
    mutable std::mutex lock_;
    std::map<std::string, uint64_t> errors_;
};

// ------------------------------------------------------------------ origins

// Reads a request head; false when the peer went away or stayed silent.
bool ReadRequestHead(TLoopbackSocket& socket, std::string& buffered, THttpHead& head, Ms limit) {
    TEnd end = TEnd::Closed;
    if (!socket.ReadUntil(buffered, "\r\n\r\n", After(limit), end)) {
        return false;
    }
    return TakeHead(buffered, head);
}

std::string QueryValue(const std::string& target, const std::string& key) {
    const size_t question = target.find('?');
    if (question == std::string::npos) {
        return {};
    }
    std::string query = target.substr(question + 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string pair = query.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == key) {
            return pair.substr(equals + 1);
        }
        start = end + 1;
    }
    return {};
}

uint64_t QueryNumber(const std::string& target, const std::string& key) {
    return std::strtoull(QueryValue(target, key).c_str(), nullptr, 10);
}

// What the normal origin answers, so that the client can build the exact
// bytes it must receive.
std::string DataHead(const std::string& token, const std::string& requestLine, size_t size, bool withLength) {
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nX-Token-Echo: " + token +
                       "\r\nX-Request-Line: " + requestLine + "\r\n";
    if (withLength) {
        head += "Content-Length: " + std::to_string(size) + "\r\n";
    }
    return head + "\r\n";
}

std::string PostAnswer(const std::string& token, const std::string& requestLine, std::string_view body) {
    const std::string text = "len=" + std::to_string(body.size()) + " fnv=" + Hex(Fnv1a(body));
    return "HTTP/1.0 200 OK\r\nX-Token-Echo: " + token + "\r\nX-Request-Line: " + requestLine +
           "\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
}

// /data?size=&seed=&cl= serves PatternBytes (HEAD: the head only); /post
// answers the length and checksum of the body it received.
void ServeNormal(TLoopbackSocket& socket) {
    std::string buffered;
    THttpHead head;
    if (!ReadRequestHead(socket, buffered, head, Ms(60000))) {
        return;
    }
    const size_t blank1 = head.startLine.find(' ');
    const size_t blank2 = head.startLine.rfind(' ');
    if (blank1 == std::string::npos || blank2 <= blank1) {
        return;
    }
    const std::string method = head.startLine.substr(0, blank1);
    const std::string target = head.startLine.substr(blank1 + 1, blank2 - blank1 - 1);
    const std::string token = head.Value("X-Token");
    const auto deadline = After(Ms(60000));
    if (target.rfind("/post", 0) == 0) {
        const size_t length = std::strtoull(head.Value("Content-Length").c_str(), nullptr, 10);
        TEnd end = TEnd::Closed;
        if (!socket.ReadAtLeast(buffered, length, deadline, end)) {
            return;
        }
        socket.SendAll(PostAnswer(token, head.startLine, std::string_view(buffered).substr(0, length)), deadline);
        return;
    }
    const size_t size = QueryNumber(target, "size");
    const bool withLength = QueryNumber(target, "cl") != 0 || method == "HEAD";
    if (!socket.SendAll(DataHead(token, head.startLine, size, withLength), deadline) || method == "HEAD") {
        return;
    }
    // The body goes out piece by piece as it is made, as a real origin's
    // would, so that a slow moment here is no silence beyond the idle limit.
    TPatternStream pattern(QueryNumber(target, "seed"));
    std::string piece;
    for (size_t sent = 0; sent < size;) {
        piece.clear();
        const size_t count = std::min<size_t>(size - sent, 256 * 1024);
        pattern.Append(piece, count);
        if (!socket.SendAll(piece, deadline)) {
            return;
        }
        sent += count;
    }
}

void ServeEcho(TLoopbackSocket& socket) {
    std::string data;
    TEnd end = TEnd::Closed;
    for (;;) {
        data.clear();
        if (socket.ReceiveSome(data, After(Ms(60000)), end) == 0) {
            return;
        }
        if (!socket.SendAll(data, After(Ms(60000)))) {
            return;
        }
    }
}

constexpr size_t MidCloseLength = 100000;

void ServeMidClose(TLoopbackSocket& socket) {
    std::string buffered;
    THttpHead head;
    if (!ReadRequestHead(socket, buffered, head, Ms(60000))) {
        return;
    }
    socket.SendAll("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(MidCloseLength) + "\r\n\r\n" +
                       PatternBytes(7, MidCloseLength * 2 / 5),
                   After(Ms(30000)));
}

// mode=head: says nothing; mode=body: a head and part of the body. Either
// way it then waits for the proxy to give up.
void ServeStall(TLoopbackSocket& socket) {
    std::string buffered;
    THttpHead head;
    if (!ReadRequestHead(socket, buffered, head, Ms(60000))) {
        return;
    }
    if (head.startLine.find("mode=body") != std::string::npos) {
        socket.SendAll("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n" + PatternBytes(3, 1000), After(Ms(30000)));
    }
    std::string ignored;
    socket.ReadToEnd(ignored, After(Ms(60000)));
}

// Takes connections and never reads from them.
void ServeDeaf(TLoopbackSocket& socket) { WaitPeerClosed(socket, After(Ms(60000))); }

void ServeLongHeader(TLoopbackSocket& socket) {
    std::string buffered;
    THttpHead head;
    if (!ReadRequestHead(socket, buffered, head, Ms(60000))) {
        return;
    }
    socket.SendAll("HTTP/1.0 200 OK\r\nX-Long: " + std::string(17000, 'a') + "\r\nContent-Length: 2\r\n\r\nok",
                   After(Ms(30000)));
    std::string ignored;
    socket.ReadToEnd(ignored, After(Ms(30000)));
}

// ------------------------------------------------------------------ clients

class TClient {
public:
    TClient(const TPorts& ports, uint64_t seed, TPools& pools) : ports_(ports), random_(seed), pools_(pools) {}

    TOutcome Run(int scenario) {
        switch (scenario) {
        case GetSmall:
            return GetData(Uniform(0, 64 * 1024), true);
        case GetSmallNoLength:
            return GetData(Uniform(0, 64 * 1024), false);
        case GetMedium:
            return GetData(Uniform(256 * 1024, 1024 * 1024), Uniform(0, 1) == 1);
        case GetLarge:
        case GetLargeNoLength:
            return GetData(LargeBody, scenario == GetLarge);
        case PostBody:
            return Post();
        case Head:
            return HeadRequest();
        case ConnectEcho:
            return Tunnel(false);
        case ClientCloseMidRequest:
            return CloseMidRequest();
        case ClientCloseMidUpload:
            return CloseMidUpload();
        case ClientCloseMidDownload:
            return CloseMidDownload();
        case ClientCloseMidTunnel:
            return Tunnel(true);
        case SlowClient:
            return Slow();
        case GarbageLines:
            return Garbage();
        case OriginClosesMidBody:
            return MidBody();
        case OriginRefused:
            return Refused(false);
        case OriginStalls:
            return Stall();
        case OriginLongHeader:
            return LongHeader();
        case ConnectRefused:
            return Refused(true);
        case BadPostLength:
            return BadLength();
        case ClientStopsReading:
            return StopReading();
        case ClientStopsReadingTunnel:
            return StopReadingTunnel();
        case OriginStopsReading:
            return DeafOrigin();
        default:
            return {};
        }
    }

    // Chooses the next scenario by weight (only among the listed ones
    // when a list is given). A large one needs a free slot in its pool;
    // without one a small GET runs instead.
    int Pick(const std::vector<int>& only) {
        int chosen = GetSmall;
        if (!only.empty()) {
            chosen = only[Uniform(0, only.size() - 1)];
        } else {
            int roll = static_cast<int>(Uniform(0, 999));
            for (int s = 0; s < ScenarioCount; ++s) {
                roll -= Scenarios[s].weight;
                if (roll < 0) {
                    chosen = s;
                    break;
                }
            }
        }
        const int pool = PoolOf(chosen);
        return pool >= 0 && !TryTake(pool) ? GetSmall : chosen;
    }

    // Gives back the slot that Pick took for scenario.
    void Release(int scenario) {
        const int pool = PoolOf(scenario);
        if (pool >= 0) {
            pools_[static_cast<size_t>(pool)].fetch_sub(1);
        }
    }

    uint64_t Uniform(uint64_t low, uint64_t high) {
        return std::uniform_int_distribution<uint64_t>(low, high)(random_);
    }

private:
    std::string Token() { return Hex(random_()); }

    std::string Url(int port, const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    bool Open(TLoopbackSocket& socket, TOutcome& outcome) const {
        if (!socket.Connect(ports_.proxy)) {
            outcome.Fail("connect to the proxy failed");
            return false;
        }
        return true;
    }

    static void NoteEnd(TOutcome& outcome, TEnd end, const char* what) {
        if (end == TEnd::Reset) {
            outcome.reset = true;
        }
        if (end == TEnd::TimedOut || end == TEnd::Failed) {
            outcome.Fail(std::string(what) + " " + EndName(end));
        }
    }

    // A healthy exchange: exactly expected, then an orderly close.
    static void CheckExact(TOutcome& outcome, const std::string& got, TEnd end, const std::string& expected,
                           size_t bodyBytes) {
        if (got == expected && end == TEnd::Closed) {
            outcome.bytesChecked += bodyBytes;
            return;
        }
        if (end != TEnd::Closed) {
            outcome.Fail(std::string("answer ") + EndName(end) + " after " + std::to_string(got.size()) + " of " +
                         std::to_string(expected.size()) + " bytes");
        } else if (got.size() < expected.size() && expected.compare(0, got.size(), got) == 0) {
            outcome.Fail(got.empty() ? "closed without an answer" : "answer cut short (bytes lost)");
        } else if (got.size() > expected.size() && got.compare(0, expected.size(), expected) == 0) {
            outcome.Fail("extra bytes after the answer");
        } else {
            outcome.Fail("answer corrupted");
        }
    }

    TOutcome GetData(size_t size, bool withLength) {
        TOutcome outcome;
        const uint64_t seed = random_();
        const std::string path = "/data?size=" + std::to_string(size) + "&seed=" + std::to_string(seed) +
                                 "&cl=" + (withLength ? "1" : "0");
        const std::string token = Token();
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto deadline = After(HealthyLimit);
        const std::string request = "GET " + Url(ports_.origin, path) + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                                    std::to_string(ports_.origin) + "\r\nX-Token: " + token +
                                    "\r\nUser-Agent: vtl-soak\r\nAccept: */*\r\n\r\n";
        if (!socket.SendAll(request, deadline)) {
            outcome.Fail("request not accepted");
            return outcome;
        }
        std::string got;
        const TEnd end = socket.ReadToEnd(got, deadline);
        const std::string expected =
            AsRelayed(DataHead(token, "GET " + path + " HTTP/1.0", size, withLength)) + PatternBytes(seed, size);
        CheckExact(outcome, got, end, expected, size);
        return outcome;
    }

    TOutcome HeadRequest() {
        TOutcome outcome;
        const size_t size = Uniform(0, 10000000);
        const std::string path = "/data?size=" + std::to_string(size) + "&seed=1&cl=1";
        const std::string token = Token();
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto deadline = After(HealthyLimit);
        if (!socket.SendAll("HEAD " + Url(ports_.origin, path) + " HTTP/1.0\r\nX-Token: " + token + "\r\n\r\n",
                            deadline)) {
            outcome.Fail("request not accepted");
            return outcome;
        }
        std::string got;
        const TEnd end = socket.ReadToEnd(got, deadline);
        CheckExact(outcome, got, end, AsRelayed(DataHead(token, "HEAD " + path + " HTTP/1.0", size, true)), 0);
        return outcome;
    }

    TOutcome Post() {
        TOutcome outcome;
        size_t size = Uniform(0, 9) == 0 ? 0 : Uniform(1, 128 * 1024);
        if (Uniform(0, 19) == 0) {
            size = 1024 * 1024;
        }
        const std::string body = PatternBytes(random_(), size);
        const std::string token = Token();
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto deadline = After(HealthyLimit);
        const std::string request = "POST " + Url(ports_.origin, "/post") + " HTTP/1.0\r\nX-Token: " + token +
                                    "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                    std::to_string(size) + "\r\n\r\n" + body;
        if (!socket.SendAll(request, deadline)) {
            outcome.Fail("request not accepted");
            return outcome;
        }
        std::string got;
        const TEnd end = socket.ReadToEnd(got, deadline);
        CheckExact(outcome, got, end, AsRelayed(PostAnswer(token, "POST /post HTTP/1.0", body)), size);
        return outcome;
    }

    static constexpr std::string_view Established = "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n";

    // Opens a tunnel to the echo origin and checks several round trips;
    // abandon: one round trip, then more bytes and a close mid-flight.
    TOutcome Tunnel(bool abandon) {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto deadline = After(abandon ? FaultLimit : HealthyLimit);
        std::string first = PatternBytes(random_(), Uniform(1, 32 * 1024));
        const bool together = Uniform(0, 3) == 0;
        std::string request = "CONNECT 127.0.0.1:" + std::to_string(ports_.echo) + " HTTP/1.0\r\nHost: x\r\n\r\n";
        if (together) {
            request += first;
        }
        if (!socket.SendAll(request, deadline)) {
            outcome.Fail("request not accepted");
            return outcome;
        }
        std::string got;
        TEnd end = TEnd::Closed;
        if (!socket.ReadAtLeast(got, Established.size(), deadline, end)) {
            outcome.Fail(std::string("no tunnel answer (") + EndName(end) + ")");
            return outcome;
        }
        if (got.compare(0, Established.size(), Established) != 0) {
            outcome.Fail("wrong tunnel answer");
            return outcome;
        }
        got.erase(0, Established.size());
        const int rounds = abandon ? 1 : static_cast<int>(Uniform(3, 6));
        for (int round = 0; round < rounds; ++round) {
            std::string message = round == 0 ? first : PatternBytes(random_(), Uniform(1, 32 * 1024));
            if (!(round == 0 && together) && !socket.SendAll(message, deadline)) {
                outcome.Fail("tunnel send failed");
                return outcome;
            }
            if (!socket.ReadAtLeast(got, message.size(), deadline, end)) {
                outcome.Fail(std::string("tunnel echo ") + EndName(end) + " after " + std::to_string(got.size()) +
                             " of " + std::to_string(message.size()) + " bytes");
                return outcome;
            }
            if (got.size() != message.size() || got != message) {
                outcome.Fail("tunnel bytes corrupted");
                return outcome;
            }
            outcome.bytesChecked += message.size();
            got.clear();
        }
        if (abandon) {
            socket.SendAll(PatternBytes(5, 32 * 1024), deadline);
            if (Uniform(0, 1) == 0) {
                socket.Abort();
            }
            return outcome;
        }
        socket.ShutdownWrite();
        end = socket.ReadToEnd(got, deadline);
        if (!got.empty()) {
            outcome.Fail("bytes after the tunnel's end");
        }
        NoteEnd(outcome, end, "tunnel close");
        return outcome;
    }

    TOutcome CloseMidRequest() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const std::string request = "GET " + Url(ports_.origin, "/data?size=100&seed=1&cl=1") +
                                    " HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Token: abc\r\nAccept: */*\r\n\r\n";
        socket.SendAll(request.substr(0, Uniform(1, request.size() - 3)), After(FaultLimit));
        if (Uniform(0, 1) == 0) {
            socket.Abort();
        }
        return outcome;
    }

    TOutcome CloseMidUpload() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const std::string head = "POST " + Url(ports_.origin, "/post") +
                                 " HTTP/1.0\r\nX-Token: cut\r\nContent-Length: 200000\r\n\r\n";
        socket.SendAll(head + PatternBytes(9, Uniform(0, 150000)), After(FaultLimit));
        if (Uniform(0, 1) == 0) {
            socket.Abort();
        }
        return outcome;
    }

    TOutcome CloseMidDownload() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto deadline = After(FaultLimit);
        const size_t size = Uniform(512 * 1024, 2 * 1024 * 1024);
        socket.SendAll("GET " +
                           Url(ports_.origin, "/data?size=" + std::to_string(size) + "&seed=2&cl=" +
                                                  (Uniform(0, 1) == 0 ? "1" : "0")) +
                           " HTTP/1.0\r\nX-Token: cut\r\n\r\n",
                       deadline);
        std::string got;
        TEnd end = TEnd::Closed;
        socket.ReadAtLeast(got, Uniform(1, 128 * 1024), deadline, end);
        if (Uniform(0, 1) == 0) {
            socket.Abort();
        }
        return outcome;
    }

    // Says nothing (or half a request line): the proxy must close, quietly,
    // once the request time is up.
    TOutcome Slow() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto start = Clock::now();
        const auto deadline = After(Ms((RequestTimeoutSeconds + 15) * 1000));
        if (Uniform(0, 1) == 0) {
            socket.SendAll("GET " + Url(ports_.origin, "/data?size=1"), deadline);
        }
        std::string got;
        const TEnd end = socket.ReadToEnd(got, deadline);
        const double took = SecondsSince(start);
        NoteEnd(outcome, end, "slow client's connection");
        if (!got.empty()) {
            outcome.Fail("slow client got an answer");
        } else if (outcome.ok && took < RequestTimeoutSeconds * 0.8) {
            outcome.Fail("slow client closed before the request time was up");
        }
        return outcome;
    }

    // A line that is no request line gets 400 and the close; nothing sent
    // behind it, not even a proper request, is served on that connection.
    TOutcome Garbage() {
        TOutcome outcome;
        // A control byte makes sure it is no request line.
        std::string line = "X\x01";
        const size_t length = Uniform(1, 200);
        for (size_t k = 0; k < length; ++k) {
            char c = static_cast<char>(Uniform(0, 255));
            if (c == '\r' || c == '\n') {
                c = '?';
            }
            line.push_back(c);
        }
        std::string request = line + "\r\n";
        if (Uniform(0, 1) == 0) {
            request += "GET " + Url(ports_.origin, "/data?size=10&seed=1&cl=1") + " HTTP/1.0\r\n\r\n";
        }
        TFaultAnswer answer;
        if (!Exchange(request, answer, outcome)) {
            return outcome;
        }
        if (!IsStatus(answer, 400)) {
            outcome.Fail("no single 400 for a garbage line");
        }
        return outcome;
    }

    // A fault answer: what arrived, how the connection ended, how long it took.
    struct TFaultAnswer {
        std::string got;
        TEnd end = TEnd::Closed;
        double seconds = 0;
    };

    // The proxy's own answer with that status, then an orderly close.
    static bool IsStatus(const TFaultAnswer& answer, int status) {
        return answer.end == TEnd::Closed && static_cast<bool>(IsProxyAnswer(answer.got, status));
    }

    bool Exchange(const std::string& request, TFaultAnswer& answer, TOutcome& outcome) {
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return false;
        }
        const auto start = Clock::now();
        const auto deadline = After(FaultLimit);
        if (!socket.SendAll(request, deadline)) {
            outcome.Fail("request not accepted");
            return false;
        }
        answer.end = socket.ReadToEnd(answer.got, deadline);
        answer.seconds = SecondsSince(start);
        NoteEnd(outcome, answer.end, "connection");
        return outcome.ok;
    }

    TOutcome MidBody() {
        TOutcome outcome;
        TFaultAnswer answer;
        if (!Exchange("GET " + Url(ports_.midClose, "/cut") + " HTTP/1.0\r\n\r\n", answer, outcome)) {
            return outcome;
        }
        const std::string head = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(MidCloseLength) + "\r\n\r\n");
        if (answer.got.compare(0, head.size(), head) != 0 && !answer.got.empty()) {
            outcome.Fail("wrong head for a cut body");
        } else if (answer.got.size() >= head.size() + MidCloseLength) {
            outcome.Fail("a cut body arrived whole");
        } else if (answer.got.size() > head.size() &&
                   answer.got.compare(head.size(), std::string::npos,
                                      PatternBytes(7, answer.got.size() - head.size())) != 0) {
            outcome.Fail("a cut body arrived corrupted");
        }
        return outcome;
    }

    TOutcome Refused(bool tunnel) {
        TOutcome outcome;
        TFaultAnswer answer;
        const std::string request =
            tunnel ? "CONNECT 127.0.0.1:" + std::to_string(ports_.refused) + " HTTP/1.0\r\n\r\n"
                   : "GET " + Url(ports_.refused, "/nobody") + " HTTP/1.0\r\n\r\n";
        if (!Exchange(request, answer, outcome)) {
            return outcome;
        }
        if (!IsStatus(answer, 502)) {
            outcome.Fail("no 502 for an unreachable origin");
        }
        return outcome;
    }

    TOutcome Stall() {
        TOutcome outcome;
        TFaultAnswer answer;
        const bool midBody = Uniform(0, 1) == 1;
        if (!Exchange("GET " + Url(ports_.stall, midBody ? "/s?mode=body" : "/s?mode=head") + " HTTP/1.0\r\n\r\n",
                      answer, outcome)) {
            return outcome;
        }
        const std::string head = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n");
        if (midBody ? answer.got != head : !IsStatus(answer, 504)) {
            outcome.Fail("unexpected answer from a stalled origin");
        } else if (answer.seconds < IdleTimeoutSeconds * 0.8) {
            outcome.Fail("stalled origin given up before the idle limit");
        }
        return outcome;
    }

    TOutcome LongHeader() {
        TOutcome outcome;
        TFaultAnswer answer;
        if (!Exchange("GET " + Url(ports_.longHeader, "/long") + " HTTP/1.0\r\n\r\n", answer, outcome)) {
            return outcome;
        }
        if (!IsStatus(answer, 502)) {
            outcome.Fail("no 502 for an over-long header line");
        }
        return outcome;
    }

    TOutcome BadLength() {
        // The body that follows is no chunk either.
        static const char* const Heads[] = {
            "Content-Length: -5\r\n",
            "Content-Length: 12abc\r\n",
            "Content-Length: 5\r\nContent-Length: 6\r\n",
            "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n",
            "Transfer-Encoding: chunked\r\n",
        };
        const auto& pick = Heads[Uniform(0, std::size(Heads) - 1)];
        TOutcome outcome;
        TFaultAnswer answer;
        if (!Exchange("POST " + Url(ports_.origin, "/post") + " HTTP/1.0\r\nX-Token: bad\r\n" + pick +
                          "\r\nhello\r\n0\r\n\r\n",
                      answer, outcome)) {
            return outcome;
        }
        if (!IsStatus(answer, 400)) {
            outcome.Fail("wrong refusal of a bad body length");
        }
        return outcome;
    }

    // Asks for a body bigger than the buffers in between and reads none of
    // it: the proxy must give up once the peer took nothing for the idle
    // limit, instead of holding its thread and the body for good.
    TOutcome StopReading() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!socket.Connect(ports_.proxy, false, SmallWindow)) {
            outcome.Fail("connect to the proxy failed");
            return outcome;
        }
        socket.SendAll("GET " + Url(ports_.origin, "/data?size=" + std::to_string(StallBody) + "&seed=4&cl=1") +
                           " HTTP/1.0\r\n\r\n",
                       After(FaultLimit));
        // A proxy that gives up closes with the rest of the body still
        // queued, so its end of stream waits behind bytes nobody reads: only
        // reading shows it. The first bytes show that the proxy has the body
        // and is writing; read once the idle limit has long passed after
        // that. A proxy that waited on would then deliver the whole body.
        if (!socket.WaitReadable(After(FaultLimit))) {
            outcome.Fail("no answer to a download that is never read");
            return outcome;
        }
        std::this_thread::sleep_for(Ms((IdleTimeoutSeconds + 4) * 1000));
        std::string got;
        const TEnd end = socket.ReadToEnd(got, After(FaultLimit));
        NoteEnd(outcome, end, "stalled download");
        if (outcome.ok && got.size() >= StallBody) {
            outcome.Fail("proxy kept waiting on a client that stopped reading");
        }
        return outcome;
    }

    TOutcome StopReadingTunnel() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!socket.Connect(ports_.proxy, false, SmallWindow)) {
            outcome.Fail("connect to the proxy failed");
            return outcome;
        }
        if (!OpenTunnel(socket, ports_.echo, outcome)) {
            return outcome;
        }
        // The echo comes back unread, so this send stalls part way.
        const auto start = Clock::now();
        socket.SendAll(PatternBytes(6, StallBody), After(Ms(2000)));
        ExpectGivenUp(socket, start, outcome);
        return outcome;
    }

    // An origin (or tunnel target) that never reads what the proxy writes.
    TOutcome DeafOrigin() {
        TOutcome outcome;
        TLoopbackSocket socket;
        if (!Open(socket, outcome)) {
            return outcome;
        }
        const auto start = Clock::now();
        if (Uniform(0, 1) == 0) {
            const std::string request = "POST " + Url(ports_.deaf, "/sink") +
                                        " HTTP/1.0\r\nContent-Length: " + std::to_string(StallBody) + "\r\n\r\n";
            socket.SendAll(request + PatternBytes(8, StallBody), After(FaultLimit));
        } else {
            if (!OpenTunnel(socket, ports_.deaf, outcome)) {
                return outcome;
            }
            socket.SendAll(PatternBytes(8, StallBody), After(Ms(2000)));
        }
        std::string got;
        const TEnd end = socket.ReadToEnd(got, After(Ms((IdleTimeoutSeconds + 15) * 1000)));
        NoteEnd(outcome, end, "connection to a deaf origin");
        if (outcome.ok && SecondsSince(start) < IdleTimeoutSeconds * 0.8) {
            outcome.Fail("deaf origin given up before the idle limit");
        }
        if (outcome.ok && !got.empty()) {
            outcome.Fail("an answer from a deaf origin");
        }
        return outcome;
    }

    bool OpenTunnel(TLoopbackSocket& socket, int port, TOutcome& outcome) {
        const auto deadline = After(FaultLimit);
        std::string got;
        TEnd end = TEnd::Closed;
        if (!socket.SendAll("CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.0\r\n\r\n", deadline) ||
            !socket.ReadAtLeast(got, Established.size(), deadline, end)) {
            outcome.Fail(std::string("no tunnel answer (") + EndName(end) + ")");
            return false;
        }
        if (got != Established) {
            outcome.Fail("wrong tunnel answer");
            return false;
        }
        return true;
    }

    // Without reading, waits for the proxy to close a connection whose
    // peer stopped taking bytes.
    static void ExpectGivenUp(TLoopbackSocket& socket, Clock::time_point start, TOutcome& outcome) {
        if (!WaitPeerClosed(socket, After(Ms((IdleTimeoutSeconds + 15) * 1000)))) {
            outcome.Fail("proxy kept waiting on a peer that stopped reading");
        } else if (SecondsSince(start) < IdleTimeoutSeconds * 0.8) {
            outcome.Fail("stalled peer given up before the idle limit");
        }
    }

    bool TryTake(int pool) {
        std::atomic<int>& count = pools_[static_cast<size_t>(pool)];
        int current = count.load();
        while (current < PoolLimits[static_cast<size_t>(pool)]) {
            if (count.compare_exchange_weak(current, current + 1)) {
                return true;
            }
        }
        return false;
    }

    const TPorts& ports_;
    std::mt19937_64 random_;
    TPools& pools_;
};

// ----------------------------------------------------------------- figures

struct TFigures {
    int threads = 0;
    int fds = 0;
    long rssKb = 0;
};

TFigures Measure(const TProgram& proxy) {
    return {proxy.ThreadCount(), proxy.FdCount(), proxy.RssKb()};
}

// Waits until the thread and descriptor counts have held still for a second
// (workers of the warm-up may still be ending).
TFigures MeasureIdle(const TProgram& proxy) {
    TFigures last = Measure(proxy);
    int steadySamples = 0;
    WaitUntil(
        [&] {
            const TFigures now = Measure(proxy);
            steadySamples = now.threads == last.threads && now.fds == last.fds ? steadySamples + 1 : 0;
            last = now;
            return steadySamples >= 4;
        },
        Ms(8000), Ms(250));
    return last;
}

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <path to vantrel>\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Two descriptors per client on each side, plus the proxy's own.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const int seconds = EnvNumber("SOAK_SECONDS", 60);
    const int clientCount = EnvNumber("SOAK_CLIENTS", 200);
    const auto seed =
        static_cast<uint64_t>(EnvNumber("SOAK_SEED", static_cast<int>(std::random_device{}() & 0x7FFFFFFF)));
    // SOAK_ONLY=3,5: run only those scenarios (numbers as in the summary
    // table, from 0), to chase one kind of error.
    std::vector<int> only;
    if (const char* list = std::getenv("SOAK_ONLY"); list != nullptr) {
        for (const char* p = list; *p != '\0';) {
            char* next = nullptr;
            const long value = std::strtol(p, &next, 10);
            if (next == p) {
                ++p;
                continue;
            }
            if (value >= 0 && value < ScenarioCount) {
                only.push_back(static_cast<int>(value));
            }
            p = next;
        }
    }
    std::printf("vtl_soak: %d s, %d clients, seed %" PRIu64 "\n", seconds, clientCount, seed);

    // A minute of traffic: what each connection received goes with it.
    const TOriginOptions unrecorded{"127.0.0.1", false, false};
    TOriginServer origin(ServeNormal, unrecorded);
    TOriginServer echo(ServeEcho, unrecorded);
    TOriginServer midClose(ServeMidClose, unrecorded);
    TOriginServer stall(ServeStall, unrecorded);
    TOriginServer longHeader(ServeLongHeader, unrecorded);
    TOriginServer deaf(ServeDeaf, unrecorded);
    TPorts ports;
    ports.origin = origin.Port();
    ports.echo = echo.Port();
    ports.midClose = midClose.Port();
    ports.stall = stall.Port();
    ports.longHeader = longHeader.Port();
    ports.deaf = deaf.Port();
    ports.refused = FreePort();

    TProgram proxy(std::nullopt, argv[1]);
    TProxySettings settings;
    settings.requestTimeout = RequestTimeoutSeconds;
    settings.idleTimeout = IdleTimeoutSeconds;
    std::string error;
    if (!proxy.StartServing(settings, error)) {
        std::fprintf(stderr, "vtl_soak: %s\n", error.c_str());
        return 1;
    }
    ports.proxy = proxy.Port();
    std::printf("vantrel pid %d on port %d\n", static_cast<int>(proxy.Pid()), ports.proxy);

    TPools pools{};
    TStats stats;
    // Warm-up: one of each healthy kind, so that the baseline is that of a
    // proxy that has served, not of one that never did.
    {
        TClient warm(ports, seed, pools);
        for (const int scenario : {GetSmall, PostBody, Head, ConnectEcho}) {
            const TOutcome outcome = warm.Run(scenario);
            if (!outcome.ok) {
                std::fprintf(stderr, "vtl_soak: warm-up %s failed: %s\n", Scenarios[scenario].name,
                             outcome.reason.c_str());
                return 1;
            }
        }
    }
    const TFigures before = MeasureIdle(proxy);

    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::atomic<bool> loadDone{false};
    TFigures peak = before;
    std::thread monitor([&] {
        while (!loadDone.load()) {
            const TFigures now = Measure(proxy);
            peak.threads = std::max(peak.threads, now.threads);
            peak.fds = std::max(peak.fds, now.fds);
            peak.rssKb = std::max(peak.rssKb, now.rssKb);
            std::this_thread::sleep_for(Ms(250));
        }
    });
    std::vector<std::thread> clients;
    clients.reserve(static_cast<size_t>(clientCount));
    for (int i = 0; i < clientCount; ++i) {
        clients.emplace_back([&, i] {
            TClient client(ports, seed * 1000003u + static_cast<uint64_t>(i), pools);
            // Starts spread over the first second instead of all at once.
            std::this_thread::sleep_for(Ms(client.Uniform(0, 1000)));
            while (Clock::now() < end) {
                const int scenario = client.Pick(only);
                stats.Record(scenario, client.Run(scenario));
                client.Release(scenario);
                // A short pause between requests keeps the two shared cores
                // from running flat out; concurrency stays at the client count.
                std::this_thread::sleep_for(Ms(client.Uniform(20, 120)));
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    loadDone = true;
    monitor.join();
    const double loadSeconds = SecondsSince(start);
    const bool aliveAfterLoad = proxy.Running();

    // A fresh request after the storm.
    TOutcome fresh;
    if (aliveAfterLoad) {
        TClient after(ports, seed + 7, pools);
        fresh = after.Run(GetMedium);
    } else {
        fresh.Fail("the proxy is gone");
    }

    TFigures settled = Measure(proxy);
    const auto settleStart = Clock::now();
    const bool returned = aliveAfterLoad && WaitUntil(
                                                [&] {
                                                    settled = Measure(proxy);
                                                    return settled.threads <= before.threads &&
                                                           settled.fds <= before.fds &&
                                                           settled.rssKb <= before.rssKb + RssMarginKb;
                                                },
                                                SettleLimit, Ms(200));
    const double settleSeconds = SecondsSince(settleStart);
    const long peakRss = proxy.PeakRssKb();
    const double cpuSeconds = proxy.CpuSeconds();
    const bool cleanExit = proxy.StopWith(SIGTERM, Ms(15000)) == 0;

    uint64_t healthyRuns = 0;
    uint64_t healthyPassed = 0;
    uint64_t faultRuns = 0;
    for (int s = 0; s < ScenarioCount; ++s) {
        if (IsFault(s)) {
            faultRuns += stats.Runs(s);
        } else {
            healthyRuns += stats.Runs(s);
            healthyPassed += stats.Passed(s);
        }
    }
    std::printf("\n==== Soak summary: %.1f s of load, %d clients ====\n", loadSeconds, clientCount);
    std::printf("healthy requests served and checked: %" PRIu64 " of %" PRIu64 "\n", healthyPassed, healthyRuns);
    std::printf("bytes checked byte for byte: %" PRIu64 " (%.1f MB)\n", stats.BytesChecked(),
                static_cast<double>(stats.BytesChecked()) / (1024.0 * 1024.0));
    std::printf("faults injected: %" PRIu64 " (closes seen as a reset: %" PRIu64 ")\n", faultRuns, stats.Resets());
    std::printf("%-38s %8s %8s\n", "scenario", "runs", "passed");
    for (int s = 0; s < ScenarioCount; ++s) {
        std::printf("  %2d %-33s %8" PRIu64 " %8" PRIu64 "%s\n", s, Scenarios[s].name, stats.Runs(s),
                    stats.Passed(s), IsFault(s) ? "  (fault)" : "");
    }
    const auto errors = stats.Errors();
    std::printf("errors seen by clients: %" PRIu64 " healthy, %" PRIu64 " faulty\n", stats.Failed(false),
                stats.Failed(true));
    for (const auto& [what, count] : errors) {
        std::printf("  %6" PRIu64 "  %s\n", count, what.c_str());
    }
    std::printf("fresh GET afterwards: %s\n", fresh.ok ? "ok" : fresh.reason.c_str());
    std::printf("%-10s %10s %10s %10s\n", "proxy", "before", "peak", "after");
    std::printf("%-10s %10d %10d %10d\n", "threads", before.threads, peak.threads, settled.threads);
    std::printf("%-10s %10d %10d %10d\n", "fds", before.fds, peak.fds, settled.fds);
    std::printf("%-10s %9ldK %9ldK %9ldK\n", "VmRSS", before.rssKb, std::max(peak.rssKb, peakRss), settled.rssKb);
    std::printf("settled in %.1f s: %s\n", settleSeconds, returned ? "yes" : "NO");
    std::printf("proxy CPU time: %.1f s\n", cpuSeconds);
    std::printf("exit after SIGTERM: %s\n", cleanExit ? "status 0" : "NOT clean");

    // A run restricted to fault scenarios has no healthy traffic to count.
    const bool expectHealthy =
        only.empty() || std::any_of(only.begin(), only.end(), [](int scenario) { return !IsFault(scenario); });
    const bool passed = aliveAfterLoad && stats.Failed(false) == 0 && stats.Failed(true) == 0 && fresh.ok &&
                        returned && cleanExit && (healthyPassed > 0 || !expectHealthy);
    std::printf("%s\n", passed ? "SOAK PASSED" : "SOAK FAILED");
    if (!passed && !aliveAfterLoad) {
        std::printf("proxy stderr: %s\n", proxy.Stderr().c_str());
    }
    return passed ? 0 : 1;
}
