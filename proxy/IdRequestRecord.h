// IdRequestRecord: what the proxy tells about one finished request (served,
// refused or cut short), for the access log, and the trace that gathers it
// while the request runs. Credentials never go in here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "proxy/IdRequestOutcome.h"

class TIdContext;
struct TRequestLine;

struct TIdRequestRecord {
    std::chrono::system_clock::time_point started;  // when the connection's request began
    std::string client;                              // client address text
    // With authentication on: the user name of accepted credentials, or of
    // credentials that failed (status 407); "" when none was given. Never
    // the password.
    std::string user;
    std::string method;                              // the request line's method, "" when it was none
    std::string target;                              // host:port for CONNECT, the request URI otherwise
    int status = -1;                                 // status code sent to the client; -1 when none was sent
    uint64_t bytesToClient = 0;
    uint64_t bytesFromClient = 0;
    int64_t durationMs = 0;
    // Why the proxy answered itself, or how the way to the origin failed.
    TIdRequestOutcome outcome = TIdRequestOutcome::None;
    // Whether the request went (or was to go) through the parent proxy, so
    // that a failure is the parent's rather than the origin's.
    bool viaParent = false;
};

// Fired once for every request that ends, served, refused or cut off (a
// line that is no request and HELP too), on the request's worker thread; for
// a client refused past MaxConnections, on the server's reporter thread.
using TOnRequestDone = std::function<void(const TIdRequestRecord& record)>;

// One request's record: begun once its line has been read and parsed, told
// its answer's status on the way, reported when it ends, however it ends. A
// line that is no request line is given as an empty request: it could be
// anything (a header line with a cookie, say), so none of it is logged.
class TIdRequestTrace {
public:
    TIdRequestTrace(const TOnRequestDone& report, TIdContext& context, const TRequestLine& request);
    ~TIdRequestTrace();
    TIdRequestTrace(const TIdRequestTrace&) = delete;
    TIdRequestTrace& operator=(const TIdRequestTrace&) = delete;

    void SetStatus(int status) { record_.status = status; }
    void SetUser(const std::string& user) { record_.user = user; }
    void SetOutcome(TIdRequestOutcome outcome) { record_.outcome = outcome; }
    void SetViaParent(bool viaParent) { record_.viaParent = viaParent; }
    // Whether an answer (other than an interim one) has begun.
    bool Answered() const { return record_.status >= 0; }

private:
    const TOnRequestDone& report_;
    TIdContext& context_;
    TIdRequestRecord record_;
};
