// HTTPFraming: body lengths, request refusals and the origin's request head.
#include "proxy/HTTPFraming.h"

#include <algorithm>
#include <limits>

#include "base/IdGlobal.h"

namespace {

constexpr char ProxyAuthorizationName[] = "Proxy-Authorization";

bool IsHeaderNamed(const TIdHeaderList& headers, int index, std::string_view name) {
    return EqualIgnoringCase(headers.LineName(index), name);
}

}  // namespace

int StatusCodeOf(std::string_view statusLine) {
    const size_t blank = statusLine.find(' ');
    if (blank == std::string::npos || statusLine.size() < blank + 4) {
        return -1;
    }
    int code = 0;
    for (size_t i = blank + 1; i < blank + 4; ++i) {
        const char c = statusLine[i];
        if (c < '0' || c > '9') {
            return -1;
        }
        code = code * 10 + (c - '0');
    }
    return code;
}

std::string TargetForLog(std::string_view target) {
    std::string result(target);
    // The user information sits between a leading "scheme://" (or the
    // start of a tunnel's host:port) and the first "@" of the authority.
    const size_t scheme = result.find("://");
    const bool absolute = scheme != std::string::npos && result.find('/') > scheme;
    const size_t start = absolute ? scheme + 3 : 0;
    const size_t end = result.find_first_of("/?#", start);
    const size_t at = result.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at != std::string::npos && at >= start) {
        result.erase(start, at + 1 - start);
    }
    return result;
}

std::string_view MethodName(THTTPMethod method) {
    switch (method) {
    case THTTPMethod::Get:
        return "GET";
    case THTTPMethod::Post:
        return "POST";
    case THTTPMethod::Head:
        return "HEAD";
    }
    return "GET";
}

bool ParseContentLength(std::string_view text, int64_t& length) {
    const std::string trimmed = TrimText(text);
    if (trimmed.empty()) {
        return false;
    }
    int64_t value = 0;
    for (const char c : trimmed) {
        if (c < '0' || c > '9') {
            return false;
        }
        const int digit = c - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    length = value;
    return true;
}

bool IsWellFormedRequest(std::string_view requestLine, const TIdHeaderList& headers) {
    auto control = [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; };
    if (std::any_of(requestLine.begin(), requestLine.end(), control)) {
        return false;
    }
    for (int i = 0; i < headers.Count(); ++i) {
        const std::string& line = headers[i];
        if (line.find_first_of(std::string_view("\0\r", 2)) != std::string::npos) {
            return false;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            return false;
        }
        // RFC 9110 5.1: a field name is a token; a leading blank is folding.
        const std::string_view name(line.data(), colon);
        if (!std::all_of(name.begin(), name.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
            })) {
            return false;
        }
    }
    return true;
}

TRequestFraming FrameRequest(const TIdHeaderList& headers) {
    TRequestFraming framing;
    bool hasLength = false;
    bool hasTransferEncoding = false;
    bool valid = true;
    for (int i = 0; i < headers.Count(); ++i) {
        if (IsHeaderNamed(headers, i, "Content-Length")) {
            int64_t value = 0;
            if (!ParseContentLength(headers.LineValue(i), value) || (hasLength && value != framing.bodyLength)) {
                valid = false;
            }
            hasLength = true;
            framing.bodyLength = value;
        } else if (IsHeaderNamed(headers, i, "Transfer-Encoding")) {
            hasTransferEncoding = true;
        }
    }
    if (!valid || (hasLength && hasTransferEncoding)) {
        return {TRequestFraming::BadRequest, 0};
    }
    if (hasTransferEncoding) {
        return {TRequestFraming::LengthRequired, 0};
    }
    return framing;
}

int64_t FrameResponse(THTTPMethod method, const TIdHeaderList& headers) {
    if (method == THTTPMethod::Head) {
        return 0;
    }
    // RFC 9112 6.3: these answers end with their head whatever they
    // declare; an origin that keeps its connection open after one would
    // otherwise hold the client until the idle limit.
    const int status = headers.Count() > 0 ? StatusCodeOf(headers[0]) : -1;
    if ((status >= 100 && status < 200) || status == 204 || status == 304) {
        return 0;
    }
    int64_t length = -1;
    for (int i = 0; i < headers.Count(); ++i) {
        if (IsHeaderNamed(headers, i, "Transfer-Encoding")) {
            // The encoding frames the body, not the length; we pass the
            // bytes on as they are, so the end is where the origin closes.
            return -1;
        }
        if (IsHeaderNamed(headers, i, "Content-Length")) {
            int64_t value = 0;
            if (!ParseContentLength(headers.LineValue(i), value) || (length >= 0 && value != length)) {
                // Unreadable or conflicting: only the origin's close is
                // an end both sides can agree on.
                return -1;
            }
            length = value;
        }
    }
    return length;
}

TStrings OriginRequestHead(THTTPMethod method, const std::string& path, const TIdHeaderList& headers,
                           bool dropProxyAuthorization) {
    TStrings head;
    head.Lines().reserve(static_cast<size_t>(headers.Count()) + 2);
    head.Add(std::string(MethodName(method)) + " " + path + " HTTP/1.0");
    for (int i = 0; i < headers.Count(); ++i) {
        // The proxy's own credentials are not the origin's business.
        if (dropProxyAuthorization && IsHeaderNamed(headers, i, ProxyAuthorizationName)) {
            while (i + 1 < headers.Count() && !headers[i + 1].empty() &&
                   (headers[i + 1][0] == ' ' || headers[i + 1][0] == '\t')) {
                ++i;
            }
            continue;
        }
        head.Add(headers[i]);
    }
    head.Add("");
    return head;
}

bool ExpectsContinue(std::string_view protocol, const TIdHeaderList& headers) {
    if (protocol != "HTTP/1.1") {
        return false;
    }
    for (int i = 0; i < headers.Count(); ++i) {
        if (IsHeaderNamed(headers, i, "Expect") && EqualIgnoringCase(headers.LineValue(i), "100-continue")) {
            return true;
        }
    }
    return false;
}
