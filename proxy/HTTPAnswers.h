// HTTPAnswers: every answer the proxy gives of its own (refusals, and the
// failures on the way to an origin before its answer began) is built here,
// from a status and a reason: a status line, a short HTML page naming the
// target and the reason, and the close. The handlers only choose which.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "base/IdException.h"
#include "proxy/IdRequestOutcome.h"

// What an answer of the proxy's own means where the place that gives it does
// not say more: what the status stands for wherever the proxy sends it (403:
// a client outside Allow, 502: an invalid answer head, 200: no refusal).
TIdRequestOutcome OutcomeOfStatus(int status);

// A request that ends in an answer of the proxy's own; the message is the
// reason the page gives, the outcome what the status figures count it as.
class EIdHTTPProxyAnswer : public EIdException {
public:
    EIdHTTPProxyAnswer(int status, std::string reason)
        : EIdHTTPProxyAnswer(status, std::move(reason), OutcomeOfStatus(status)) {}
    EIdHTTPProxyAnswer(int status, std::string reason, TIdRequestOutcome outcome)
        : EIdException(std::move(reason)), status_(status), outcome_(outcome) {}
    int Status() const noexcept { return status_; }
    TIdRequestOutcome Outcome() const noexcept { return outcome_; }
    const char* ClassName() const noexcept override { return "EIdHTTPProxyAnswer"; }

private:
    int status_;
    TIdRequestOutcome outcome_;
};

// "Bad Gateway" for 502, and so on for every status the proxy sends.
std::string_view ReasonPhrase(int status);

// The whole answer: "HTTP/1.0 <status> <phrase>", the extra header lines
// (each ended by CR LF), Content-Type, Content-Length and "Connection:
// close", then the page. target may be empty (nothing was asked yet).
std::string ProxyAnswer(int status, std::string_view target, std::string_view reason,
                        std::string_view extraHeaders = {});

// The Proxy-Authenticate line of every 407.
inline constexpr std::string_view ProxyAuthenticateLine =
    "Proxy-Authenticate: Basic realm=\"Connection to Vantrel: Authentication Required\"\r\n";

// What a failure on the way to the origin, or while waiting for the head of
// its answer, tells the client: 504 when a time limit ran out, 502 for
// everything else (a name that does not resolve, a refused or reset
// connect, an origin that closes early or answers with more than a head
// may hold).
EIdHTTPProxyAnswer OriginFailure(const std::exception& error);

// text with the characters that mean something in HTML written as
// references, and control bytes and bytes above 126 as %XX, so that the
// page is plain ASCII whatever the target held.
std::string HtmlEscaped(std::string_view text);
