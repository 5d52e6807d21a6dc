// TOriginServer: a loopback origin server for tests. It accepts on a thread
// of its own and runs the test's script for every connection on a thread of
// that connection, records exactly the bytes each connection received, and
// stops (ending every script's waits) and joins when destroyed. Scripts
// answer as the test needs: the default one answers HTTP requests the way
// the end-to-end tests expect of an origin.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/LoopbackSocket.h"

namespace vtltest {

class TOriginServer;

// The origin's side of one accepted connection, handed to the script on the
// connection's own thread. Every byte read through it, in any of its ways,
// is recorded; waits end early when the server stops.
class TOriginConnection : public TLoopbackSocket {
public:
    TOriginConnection(TLoopbackSocket socket, TOriginServer& server);

    bool Send(std::string_view data, Ms wait = WaitLimit) { return SendAll(data, After(wait)); }
    void ShutdownSending() { ShutdownWrite(); }
    // How the last read ended: TimedOut while the connection is open.
    TEnd State() const { return state_; }
    bool PeerClosed() const { return state_ != TEnd::TimedOut; }
    // Everything received so far.
    std::string Received() const;

    // Reads until done(Received()) holds, the peer ends or the wait runs
    // out; answers done().
    bool ReadUntil(const std::function<bool(const std::string&)>& done, Ms wait = WaitLimit);
    // Reads through the end of the request head (the first empty line).
    bool ReadHead(Ms wait = WaitLimit);
    bool ReadCount(size_t count, Ms wait = WaitLimit);
    // Reads until the peer ends the connection; true when it did in time.
    bool ReadToClose(Ms wait = WaitLimit);
    // Reads a whole HTTP request: its head and a body of its Content-Length.
    bool ReadRequest(Ms wait = WaitLimit);

    // For line protocols: each call takes what the one before left. They
    // raise EIdException when the client closes first or the wait runs out.
    std::string ReadLine(Ms wait = WaitLimit);
    std::string ReadExactly(size_t count, Ms wait = WaitLimit);
    // Everything not taken yet, once the client has closed.
    std::string ReadUntilClose(Ms wait = WaitLimit);

    // Counts this connection's request as arrived, then waits while the
    // server holds answers back (TOriginServer::HoldAnswersUntil).
    void RequestArrived();

private:
    void OnReceived(std::string_view bytes) override;
    std::string Untaken() const;

    TOriginServer& server_;
    TEnd state_ = TEnd::TimedOut;
    mutable std::mutex lock_;  // guards received_ (the test's thread reads it)
    std::string received_;
    size_t taken_ = 0;  // bytes of received_ that ReadLine and ReadExactly gave
};

// One HTTP request as an origin received it.
struct TOriginRequest {
    std::string requestLine;
    std::vector<std::string> headers;  // without their line ends
    std::string body;
};

// Splits recorded bytes into the request they hold; false while they hold
// no whole head.
bool ParseRequest(const std::string& bytes, TOriginRequest& request);
// Content-Length of a request head, 0 when absent.
size_t RequestBodyLength(std::string_view head);

// Where and how a TOriginServer listens and what it keeps.
struct TOriginOptions {
    // The IPv4 loopback address to listen on.
    std::string address = "127.0.0.1";
    // Also listen on [::1] at the same port number where the system allows
    // it, so that a connection made there is seen too.
    bool alsoIPv6 = false;
    // false: a connection's record goes once its script has returned, so
    // that a long run does not pile up what it received.
    bool keepRecords = true;
};

class TOriginServer {
public:
    using TScript = std::function<void(TOriginConnection&)>;


    static constexpr const char* OriginGreeting = "Hello from the origin\n";

    explicit TOriginServer(TScript script = HttpAnswers(), TOriginOptions options = {});
    explicit TOriginServer(TOriginOptions options) : TOriginServer(HttpAnswers(), std::move(options)) {}
    ~TOriginServer() { Stop(); }
    TOriginServer(const TOriginServer&) = delete;
    TOriginServer& operator=(const TOriginServer&) = delete;

    int32_t Port() const { return port_; }
    bool HasIPv6() const { return ipv6Listener_.Valid(); }
    std::string Url(std::string_view path) const;

    // Connections accepted so far.
    size_t Connections() const { return accepted_.load(); }
    // Waits until count scripts have returned.
    bool WaitFinished(size_t count, Ms wait = WaitLimit);
    // What connection index received, after its script returned.
    std::string Received(size_t index = 0, Ms wait = WaitLimit);
    // The requests recorded so far that hold a whole head, in the order of
    // their connections.
    std::vector<TOriginRequest> Requests() const;
    // What the scripts raised, one line each; empty when nothing.
    std::string Errors() const;

    // Holds every answer of RequestArrived scripts back until this many
    // requests have arrived (or a few seconds have passed), so that they
    // all go out at one moment.
    void HoldAnswersUntil(size_t requestCount);

    // Stops accepting; connections still waiting in the backlog are
    // accepted and counted too, so a connect that was under way is seen.
    size_t StopAndCount();
    // Stops accepting, ends every script's waits and waits for the scripts.
    void Stop();

    // Answers every connection with response: reads the request (head and
    // Content-Length body), sends the response, half-closes, and records
    // whatever else arrives until the peer closes.
    static TScript Reply(std::string response);
    // The answers an origin gives in the end-to-end tests: path /size/N: N
    // bytes of letters; POST: "posted:" + the body; anything else:
    // OriginGreeting. HEAD gets the head alone; a target that holds
    // "nolength" gets no Content-Length (the body ends with the connection).
    static TScript HttpAnswers();
    // The body HttpAnswers gives for a path.
    static std::string BodyFor(const std::string& path);

private:
    friend class TOriginConnection;

    void AcceptLoop();
    bool AcceptFrom(const TLoopbackSocket& listener);
    void RunScript(TOriginConnection* connection, size_t index);
    void Arrived();

    TScript script_;
    bool keepRecords_;
    TLoopbackSocket listener_;
    TLoopbackSocket ipv6Listener_;
    int32_t port_ = 0;
    std::atomic<bool> stopAccepting_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> accepted_{0};
    std::thread acceptor_;
    mutable std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    std::vector<std::unique_ptr<TOriginConnection>> connections_;
    size_t running_ = 0;
    size_t finished_ = 0;
    size_t arrived_ = 0;
    size_t holdUntil_ = 0;
    std::string errors_;
};

}  // namespace vtltest
