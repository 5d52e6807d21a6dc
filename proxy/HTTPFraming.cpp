// HTTPFraming: request lines and targets, the heads both ways, body lengths.
#include "proxy/HTTPFraming.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "base/IdGlobal.h"
#include "base/IdIPAddress.h"
#include "proxy/IdURI.h"

namespace {

bool IsControl(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code < 32 || code == 127;
}

bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The name of a field line: what precedes its colon (the whole line
// without one), compared ignoring case and without a copy.
std::string_view FieldName(std::string_view line) { return line.substr(0, line.find(':')); }

// RFC 9110 5.1: a token name and the colon right behind it (a blank before
// it, or one that starts the line as obsolete folding, is no name).
bool HasTokenName(std::string_view line) {
    return line.find(':') != std::string_view::npos && IsToken(FieldName(line));
}

bool IsField(std::string_view line, std::string_view name) { return EqualIgnoringCase(FieldName(line), name); }

// The value of a field line: what follows its colon, blanks around it dropped.
std::string_view FieldValue(std::string_view line) {
    const size_t colon = line.find(':');
    return colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(colon + 1));
}

// The comma-separated items of a list field (RFC 9110 5.6.1).
void AddListItems(std::string_view value, std::vector<std::string_view>& items) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        const std::string_view item = TrimBlanks(value.substr(0, comma));
        if (!item.empty()) {
            items.push_back(item);
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
}

// Fields that concern one connection only (RFC 9110 7.6.1): the fixed ones
// and whatever the Connection fields name. A Connection field cannot name
// the fields that frame the message or say where it goes: dropping those
// would leave the next hop reading the body otherwise than we do.
class THopByHop {
public:
    // The views point into headers, which must outlive this.
    THopByHop(const TIdHeaderList& headers, bool request) : request_(request) {
        for (int i = 0; i < headers.Count(); ++i) {
            if (IsField(headers[i], "Connection")) {
                AddListItems(FieldValue(headers[i]), named_);
            }
        }
        std::erase_if(named_, [](std::string_view name) {
            return EqualIgnoringCase(name, "Host") || EqualIgnoringCase(name, "Content-Length") ||
                   EqualIgnoringCase(name, "Transfer-Encoding");
        });
    }
    bool Contains(std::string_view line) const {
        const std::string_view name = FieldName(line);
        const auto same = [name](std::string_view other) { return EqualIgnoringCase(name, other); };
        // Expect only in requests: the proxy answers 100 Continue itself.
        return std::any_of(Fixed.begin(), Fixed.end(), same) || (request_ && same("Expect")) ||
               std::any_of(named_.begin(), named_.end(), same);
    }

private:
    static constexpr std::array<std::string_view, 6> Fixed = {"Connection", "Keep-Alive", "Proxy-Connection",
                                                              "TE",         "Trailer",    "Upgrade"};
    bool request_;
    std::vector<std::string_view> named_;
};

bool IsVersion(std::string_view text) {
    return text.size() == 8 && text.substr(0, 5) == "HTTP/" && text[5] >= '0' && text[5] <= '9' &&
           text[6] == '.' && text[7] >= '0' && text[7] <= '9';
}

// RFC 3986 3.2.2: a reg-name is unreserved characters, percent-encodings
// and sub-delims; an IPv6 literal hex digits, colons and dots.
bool IsUsableHost(std::string_view host, bool ipv6) {
    if (ipv6) {
        TIdIPAddress address;
        return TryParseIPAddress(host, address) && address.version == Id_IPv6;
    }
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return alnum || std::string_view("-._~%!$&'()*+,;=").find(c) != std::string_view::npos;
    });
}

// A port as a target writes it: one to five digits, 1 to 65535.
bool ParsePort(std::string_view text, int32_t& port) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        return false;
    }
    port = std::stoi(std::string(text));
    return port >= 1 && port <= 65535;
}

// Methods whose names the command table has always matched in any letter
// case; they go on in their standard form.
constexpr std::array<std::string_view, 9> StandardMethods = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                             "CONNECT", "OPTIONS", "TRACE", "PATCH"};

}  // namespace

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar); }

bool IsFieldByte(char c) { return !IsControl(c) || c == '\t'; }

bool ParseContentLength(std::string_view text, int64_t& length) {
    const std::string_view digits = TrimBlanks(text);
    if (digits.empty()) {
        return false;
    }
    int64_t value = 0;
    for (const char c : digits) {
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

bool IsWellFormedFieldLine(std::string_view line) {
    return HasTokenName(line) && std::all_of(line.begin(), line.end(), IsFieldByte);
}

bool ParseRequestLine(std::string_view line, TRequestLine& request) {
    if (std::any_of(line.begin(), line.end(), IsControl)) {
        return false;
    }
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const size_t blank = line.find(' ');
        if (blank != 0) {
            words.push_back(line.substr(0, blank));
        }
        line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    }
    if (words.empty() || words.size() > 3 || !IsToken(words[0]) || (words.size() == 3 && !IsVersion(words[2]))) {
        return false;
    }
    request.method = std::string(words[0]);
    const auto standard = std::find_if(StandardMethods.begin(), StandardMethods.end(),
                                       [&](std::string_view name) { return EqualIgnoringCase(request.method, name); });
    if (standard != StandardMethods.end()) {
        request.method = std::string(*standard);
    }
    request.target = words.size() > 1 ? std::string(words[1]) : std::string();
    request.version = words.size() > 2 ? std::string(words[2]) : std::string();
    return true;
}

bool ParseForwardTarget(std::string_view target, TForwardTarget& result) {
    const TIdURI uri(target);
    const bool ipv6 = uri.AddressFamily() == Id_IPv6;
    if (!EqualIgnoringCase(uri.Scheme(), "http") || !IsUsableHost(uri.HostName(), ipv6)) {
        return false;
    }
    int32_t port = 80;
    if (!uri.PortText().empty() && !ParsePort(uri.PortText(), port)) {
        return false;
    }
    result.host = uri.HostName();
    result.port = port;
    result.authority = ipv6 ? "[" + result.host + "]" : result.host;
    if (!uri.PortText().empty()) {
        result.authority += ":" + std::to_string(port);
    }
    result.path = uri.Directory() + uri.LeafName() + uri.QueryPart();
    if (result.path.empty()) {
        result.path = "/";
    }
    return true;
}

bool ParseTunnelTarget(std::string_view target, TForwardTarget& result) {
    if (target.find('@') != std::string_view::npos) {
        // Host and port only (RFC 9110 9.3.6): user information would be
        // read as a host and a port to be ignored.
        return false;
    }
    std::string_view host = target;
    std::string_view portText;
    const bool ipv6 = !target.empty() && target.front() == '[';
    if (ipv6) {
        const size_t close = target.find(']');
        if (close == std::string_view::npos || (close + 1 < target.size() && target[close + 1] != ':')) {
            return false;
        }
        host = target.substr(1, close - 1);
        portText = target.substr(std::min(close + 2, target.size()));
    } else if (const size_t colon = target.find(':'); colon != std::string_view::npos) {
        host = target.substr(0, colon);
        portText = target.substr(colon + 1);
    }
    // A port that does not read as a number has always meant 443 here.
    const int32_t port = TextToIntDef(portText, 443);
    if (!IsUsableHost(host, ipv6) || port < 1 || port > 65535) {
        return false;
    }
    result.host = std::string(host);
    result.port = port;
    result.authority = (ipv6 ? "[" + result.host + "]" : result.host) + ":" + std::to_string(port);
    result.path.clear();
    return true;
}

TRequestFraming FrameRequest(const TIdHeaderList& headers) {
    TRequestFraming framing;
    int hosts = 0;
    bool hasLength = false;
    std::vector<std::string_view> codings;
    bool hasTransferEncoding = false;
    for (int i = 0; i < headers.Count(); ++i) {
        if (!IsWellFormedFieldLine(headers[i])) {
            return {{400, "a header line is malformed"}};
        }
        const std::string& line = headers[i];
        if (IsField(line, "Host")) {
            ++hosts;
        } else if (IsField(line, "Content-Length")) {
            int64_t value = 0;
            if (!ParseContentLength(FieldValue(line), value)) {
                return {{400, "the Content-Length is not a length"}};
            }
            if (hasLength && value != framing.bodyLength) {
                return {{400, "the request has two different Content-Length values"}};
            }
            hasLength = true;
            framing.bodyLength = value;
        } else if (IsField(line, "Transfer-Encoding")) {
            hasTransferEncoding = true;
            AddListItems(FieldValue(line), codings);
        }
    }
    if (hosts > 1) {
        // RFC 9112 3.2: which one would the origin take?
        return {{400, "the request has more than one Host"}};
    }
    if (hasTransferEncoding) {
        if (hasLength) {
            return {{400, "the request has both Content-Length and Transfer-Encoding"}};
        }
        if (codings.size() != 1 || !EqualIgnoringCase(codings[0], "chunked")) {
            return {{501, "the proxy reads no transfer coding but chunked alone"}};
        }
        framing.body = TBodyKind::Chunked;
        framing.bodyLength = 0;
        return framing;
    }
    framing.body = hasLength && framing.bodyLength > 0 ? TBodyKind::Length : TBodyKind::None;
    return framing;
}

TStrings OriginRequestHead(const TRequestLine& request, const TForwardTarget& target, const TIdHeaderList& headers,
                           const TOriginHeadOptions& options) {
    const THopByHop hopByHop(headers, true);
    TStrings head;
    head.Lines().reserve(static_cast<size_t>(headers.Count()) + 4);
    head.Add(request.method + " " + (options.toParent ? "http://" + target.authority : std::string()) + target.path +
             (options.relayChunked ? " HTTP/1.1" : " HTTP/1.0"));
    const std::string host = "Host: " + target.authority;
    bool hostWritten = false;
    bool codingReplaced = false;
    for (int i = 0; i < headers.Count(); ++i) {
        const std::string& line = headers[i];
        if (IsField(line, "Host")) {
            // The origin serves the site that was checked, not another one
            // named in a Host field of the client's choice.
            if (!hostWritten) {
                head.Add(host);
                hostWritten = true;
            }
        } else if (hopByHop.Contains(line) || ((options.dropProxyAuthorization || options.toParent) &&
                                               IsField(line, "Proxy-Authorization"))) {
            continue;
        } else if (IsField(line, "Transfer-Encoding") && options.heldChunkedLength >= 0) {
            if (!codingReplaced) {
                head.Add("Content-Length: " + std::to_string(options.heldChunkedLength));
                codingReplaced = true;
            }
        } else if (IsField(line, "Max-Forwards") && request.method == "OPTIONS") {
            int64_t hops = 0;
            head.Add(ParseContentLength(FieldValue(line), hops) && hops > 0 ? "Max-Forwards: " + std::to_string(hops - 1)
                                                                            : line);
        } else {
            head.Add(line);
        }
    }
    if (!hostWritten) {
        head.Lines().insert(head.Lines().begin() + 1, host);
    }
    if (options.toParent && !options.parentAuthorization.empty()) {
        head.Add("Proxy-Authorization: " + options.parentAuthorization);
    }
    if (options.relayChunked) {
        head.Add("Connection: close");
    }
    head.Add("");
    return head;
}

bool AnswersOptionsItself(const TRequestLine& request, const TIdHeaderList& headers) {
    if (request.method != "OPTIONS") {
        return false;
    }
    const int index = headers.FindName("Max-Forwards");
    int64_t hops = 0;
    return index >= 0 && ParseContentLength(FieldValue(headers[index]), hops) && hops == 0;
}

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

TResponseFraming FrameResponse(std::string_view method, const TIdHeaderList& headers) {
    TResponseFraming framing;
    const std::string_view statusLine = headers.Count() > 0 ? std::string_view(headers[0]) : std::string_view();
    // RFC 9112 4: HTTP-version SP 3DIGIT SP [reason]; the last blank is
    // often left out where there is no reason.
    if (statusLine.size() < 12 || !IsVersion(statusLine.substr(0, 8)) || statusLine.substr(0, 7) != "HTTP/1." ||
        statusLine[8] != ' ' || StatusCodeOf(statusLine) < 0 || (statusLine.size() > 12 && statusLine[12] != ' ') ||
        !std::all_of(statusLine.begin(), statusLine.end(), IsFieldByte)) {
        framing.problem = "the answer has no valid status line";
        return framing;
    }
    framing.status = StatusCodeOf(statusLine);
    int64_t length = -1;
    bool hasTransferEncoding = false;
    for (int i = 1; i < headers.Count(); ++i) {
        // Other control bytes than NUL and CR pass, as HTTP lets a
        // recipient keep them (RFC 9110 5.5).
        const std::string& line = headers[i];
        if (!HasTokenName(line) || line.find_first_of(std::string_view("\0\r", 2)) != std::string::npos) {
            framing.problem = "the answer has a malformed header line";
            return framing;
        }
        if (IsField(line, "Content-Length")) {
            int64_t value = 0;
            if (!ParseContentLength(FieldValue(line), value) || (length >= 0 && value != length)) {
                framing.problem = "the answer's Content-Length is unclear";
                return framing;
            }
            length = value;
        } else if (IsField(line, "Transfer-Encoding")) {
            hasTransferEncoding = true;
        }
    }
    // RFC 9112 6.3: these answers end with their head whatever they
    // declare; an origin that keeps its connection open after one would
    // otherwise hold the client until the idle limit.
    if (method == "HEAD" || (framing.status >= 100 && framing.status < 200) || framing.status == 204 ||
        framing.status == 304) {
        framing.bodyLength = 0;
    } else {
        framing.bodyLength = hasTransferEncoding ? -1 : length;
    }
    return framing;
}

TStrings ClientResponseHead(const TIdHeaderList& headers) {
    const THopByHop hopByHop(headers, false);
    bool hasTransferEncoding = false;
    for (const std::string& line : headers) {
        hasTransferEncoding = hasTransferEncoding || IsField(line, "Transfer-Encoding");
    }
    TStrings head;
    head.Lines().reserve(static_cast<size_t>(headers.Count()) + 2);
    for (int i = 0; i < headers.Count(); ++i) {
        const std::string& line = headers[i];
        if (i > 0 && (hopByHop.Contains(line) || (hasTransferEncoding && IsField(line, "Content-Length")))) {
            continue;
        }
        head.Add(line);
    }
    head.Add("Connection: close");
    head.Add("");
    return head;
}

std::string TargetForLog(std::string_view target) {
    TForwardTarget parsed;
    if (ParseForwardTarget(target, parsed)) {
        return "http://" + parsed.authority + parsed.path;
    }
    if (ParseTunnelTarget(target, parsed)) {
        return parsed.authority;
    }
    // A target that does not parse is shown from its host on: whatever
    // stands before its last "@" may be user information, however the rest
    // is punctuated ("pa?ss", "pa/ss").
    std::string result(target);
    const size_t scheme = result.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = result.rfind('@');
    if (at != std::string::npos && at >= start) {
        result.erase(start, at + 1 - start);
    }
    return result;
}

bool ExpectsContinue(std::string_view version, const TIdHeaderList& headers) {
    if (version != "HTTP/1.1") {
        return false;
    }
    for (int i = 0; i < headers.Count(); ++i) {
        if (IsField(headers[i], "Expect") && EqualIgnoringCase(FieldValue(headers[i]), "100-continue")) {
            return true;
        }
    }
    return false;
}
