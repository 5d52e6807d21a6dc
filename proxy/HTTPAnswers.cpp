// HTTPAnswers: the proxy's own answers and what origin failures mean.
#include "proxy/HTTPAnswers.h"

#include <cstdio>

#include "net/IdStack.h"

std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 508:
        return "Loop Detected";
    default:
        return "Error";
    }
}

std::string HtmlEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            if (code < 32 || code > 126) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", code);
                escaped += hex;
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

std::string ProxyAnswer(int status, std::string_view target, std::string_view reason,
                        std::string_view extraHeaders) {
    const std::string title = std::to_string(status) + " " + std::string(ReasonPhrase(status));
    std::string page = "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head>\n<body><h1>" + title +
                       "</h1>\n<p>";
    if (!target.empty()) {
        page += "<code>" + HtmlEscaped(target) + "</code>: ";
    }
    page += HtmlEscaped(reason) + ".</p>\n<hr><p>Vantrel</p></body></html>\n";
    std::string answer = "HTTP/1.0 " + title + "\r\n";
    answer += extraHeaders;
    answer += "Content-Type: text/html; charset=us-ascii\r\nContent-Length: " + std::to_string(page.size()) +
              "\r\nConnection: close\r\n\r\n";
    answer += page;
    return answer;
}

TIdRequestOutcome OutcomeOfStatus(int status) {
    switch (status) {
    case 400:
    case 411:
    case 413:
    case 414:
    case 417:
    case 431:
    case 501:
    case 505:
        return TIdRequestOutcome::RefusedFraming;
    case 403:
        return TIdRequestOutcome::RefusedAccess;
    case 405:
        return TIdRequestOutcome::RefusedMethod;
    case 407:
        return TIdRequestOutcome::RefusedAuth;
    case 502:
        return TIdRequestOutcome::FailedBadAnswer;
    case 503:
        return TIdRequestOutcome::RefusedLimit;
    case 504:
        return TIdRequestOutcome::FailedTimeout;
    case 508:
        return TIdRequestOutcome::RefusedLoop;
    default:
        return TIdRequestOutcome::None;
    }
}

EIdHTTPProxyAnswer OriginFailure(const std::exception& error) {
    using enum TIdRequestOutcome;
    if (const auto* answer = dynamic_cast<const EIdHTTPProxyAnswer*>(&error)) {
        return *answer;
    }
    if (dynamic_cast<const EIdConnectTimeout*>(&error) != nullptr) {
        return {504, "the origin did not accept the connection within the connect timeout", FailedConnectTimeout};
    }
    if (dynamic_cast<const EIdReadTimeout*>(&error) != nullptr) {
        return {504, "the origin did not answer within the idle timeout", FailedTimeout};
    }
    if (dynamic_cast<const EIdConnClosedGracefully*>(&error) != nullptr) {
        return {502, "the origin closed the connection before its answer was complete", FailedClosed};
    }
    if (dynamic_cast<const EIdReadLnMaxLineLengthExceeded*>(&error) != nullptr) {
        return {502, "the origin's answer head is too large", FailedBadAnswer};
    }
    if (const auto* socket = dynamic_cast<const EIdSocketError*>(&error)) {
        switch (socket->LastError()) {
        case IdErr::HostNotFound:
            return {502, "the host name does not resolve", FailedResolve};
        case IdErr::ConnectionRefused:
            return {502, "the origin refused the connection", FailedConnectRefused};
        case IdErr::ConnectionReset:
        case IdErr::ConnectionAborted:
            return {502, "the origin reset the connection", FailedReset};
        case IdErr::TimedOut:
            return {504, "the origin did not answer in time", FailedTimeout};
        default:
            break;
        }
    }
    return {502, std::string("the connection to the origin failed: ") + error.what(), FailedOther};
}
