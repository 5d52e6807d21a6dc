// IdRequestRecord: the trace of one request, from its line to its end.
#include "proxy/IdRequestRecord.h"

#include "base/IdGlobal.h"
#include "proxy/HTTPFraming.h"
#include "server/IdContext.h"

TIdRequestTrace::TIdRequestTrace(const TOnRequestDone& report, TIdContext& context, const TRequestLine& request)
    : report_(report), context_(context) {
    if (!report_) {
        return;
    }
    // The request began with its connection.
    const auto age = std::chrono::milliseconds(TickDiff(context.CreatedTick(), TickCountMs()));
    record_.started = std::chrono::system_clock::now() - age;
    record_.client = context.PeerIP();
    record_.method = request.method;
    record_.target = TargetForLog(request.target);
}

TIdRequestTrace::~TIdRequestTrace() {
    if (!report_) {
        return;
    }
    try {
        const TIdIOHandler* handler = context_.ClientConnection().IOHandler();
        if (handler != nullptr) {
            record_.bytesToClient = static_cast<uint64_t>(handler->BytesSent());
            record_.bytesFromClient = static_cast<uint64_t>(handler->BytesReceived());
        }
        const auto age = std::chrono::milliseconds(TickDiff(context_.CreatedTick(), TickCountMs()));
        record_.durationMs = age.count();
        report_(record_);
    } catch (...) {
        // A record that cannot be written must not end anything else.
    }
}
