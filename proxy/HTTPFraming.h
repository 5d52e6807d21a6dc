// HTTPFraming: the decisions of the forwarding path that need no socket:
// which line is a request line, which head may be forwarded and where its
// body ends, what the origin is sent, which answer head is valid and what
// the client is sent of it. Each verdict carries the status the proxy
// answers with when it refuses; the proxy's handlers read, ask and act.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/IdStrings.h"
#include "proxy/IdHeaderList.h"

// Bounds on a head, the request's and the answer's alike. A line longer
// than the line limit of the connection (16 KiB) is refused on its own.
inline constexpr size_t MaxHeadBytes = 64 * 1024;
inline constexpr int MaxHeadLines = 256;
// Interim answers (1xx) read past before the final one.
inline constexpr int MaxInterimAnswers = 16;

// RFC 9110 5.6.2: one or more of the token characters.
bool IsToken(std::string_view text);

// A byte that a field value, a reason phrase or a chunk extension may hold
// (RFC 9110 5.5): anything but a control byte, HTAB excepted.
bool IsFieldByte(char c);

// Every length read off the wire goes through this one parser: plain
// decimal digits, blanks or tabs around them allowed, at most 2^63-1
// (RFC 9110 8.6). Signs, hexadecimal, other control bytes and empty texts
// are not lengths.
bool ParseContentLength(std::string_view text, int64_t& length);

// A header field line of a request or trailer: a token name, the colon
// right behind it (a blank before it, or one that starts the line as
// obsolete folding, can be read one way by us and another by the origin,
// RFC 9112 5.1, 5.2) and a value without control bytes other than HTAB.
bool IsWellFormedFieldLine(std::string_view line);

// The request line, split once (RFC 9112 3): the one structure that
// dispatch, the forwarded head and the log use.
struct TRequestLine {
    std::string method;   // as received
    std::string target;   // empty when the line had none
    std::string version;  // "HTTP/1.1"; empty when the line had none
};

// False when line is not a request line: a token method, then (after
// blanks) a target, then optionally HTTP/d.d, and no control byte. A line
// of the method alone parses, with an empty target.
bool ParseRequestLine(std::string_view line, TRequestLine& request);

// Where a forwarded request goes: an absolute http:// target (RFC 9112
// 3.2.2) with a usable host and port.
struct TForwardTarget {
    std::string host;       // the host name or address, without brackets
    int32_t port = 80;
    std::string authority;  // what the origin's Host field carries: host[:port]
    std::string path;       // path and query ("/" at least), no fragment
};

bool ParseForwardTarget(std::string_view target, TForwardTarget& result);

// Where a tunnel goes (RFC 9110 9.3.6): host:port, an IPv6 address in
// brackets ([::1]:443); without a port, or with one that does not read
// as a number, 443. authority is host:port as the log shows it, path
// stays empty.
bool ParseTunnelTarget(std::string_view target, TForwardTarget& result);

// A refusal the proxy answers itself: the status and why (for the page
// the answer carries). status 0: no refusal.
struct TRefusal {
    int status = 0;
    std::string reason;
    explicit operator bool() const { return status != 0; }
};

enum class TBodyKind { None, Length, Chunked };

// What to do with a request whose head has been read.
struct TRequestFraming {
    TRefusal refusal;
    TBodyKind body = TBodyKind::None;
    // Bytes of body that follow the head, for TBodyKind::Length.
    int64_t bodyLength = 0;
};

// Only a body whose end both sides agree on is forwarded (RFC 9112 6.3):
// one Content-Length (or several equal ones) of plain digits, or
// Transfer-Encoding: chunked alone, which the proxy decodes and frames
// again. A malformed field line, more than one Host, a length that is not
// plain digits, lengths that differ, or a length with Transfer-Encoding
// gets 400; another transfer coding 501. The same rules hold for every
// method: a GET that declares a body has it forwarded, or the origin would
// wait for it.
TRequestFraming FrameRequest(const TIdHeaderList& headers);

// How the origin is sent its request.
struct TOriginHeadOptions {
    // The proxy consumed the client's credentials.
    bool dropProxyAuthorization = false;
    // A chunked body the proxy held whole goes with this Content-Length in
    // place of its Transfer-Encoding; -1: none.
    int64_t heldChunkedLength = -1;
    // A chunked body passed on as it arrives: the request goes as
    // HTTP/1.1 (HTTP/1.0 has no chunks) and asks for the close.
    bool relayChunked = false;
    // For a parent proxy: the request line carries the absolute URI, and
    // this Proxy-Authorization value (none when empty) replaces the
    // client's, which never goes on.
    bool toParent = false;
    std::string parentAuthorization;
};

// The head sent to the origin (RFC 9110 7.6.1, RFC 9112 3.2.2): the request
// line with the path, Host in its place (or first) carrying the target's
// authority, no hop-by-hop field (Connection and what it names,
// Keep-Alive, Proxy-Connection, TE, Trailer, Upgrade; Expect, which the
// proxy answers itself), Max-Forwards of OPTIONS counted down, every other
// line as it came, and the empty line.
TStrings OriginRequestHead(const TRequestLine& request, const TForwardTarget& target, const TIdHeaderList& headers,
                           const TOriginHeadOptions& options);

// RFC 9110 7.6.2: an OPTIONS whose Max-Forwards is 0 is answered by the
// proxy instead of being forwarded.
bool AnswersOptionsItself(const TRequestLine& request, const TIdHeaderList& headers);

// The status code of a status line ("HTTP/1.1 204 No Content"), -1 when
// it holds none.
int StatusCodeOf(std::string_view statusLine);

// What an origin's answer head means for the client.
struct TResponseFraming {
    // Why the head is not a valid answer (the client then gets 502); empty
    // when it is.
    std::string problem;
    int status = -1;
    // Bytes of body: -1 until the origin closes, 0 none (HEAD, 1xx, 204,
    // 304).
    int64_t bodyLength = -1;
};

// A valid head has a status line "HTTP/1.x" and three digits, header lines
// with a token name and a colon and no NUL or CR, and at most one distinct
// Content-Length of plain digits. With Transfer-Encoding the body runs to
// the close (the proxy passes its bytes on as they are, and the length it
// may carry besides is dropped: RFC 9112 6.3).
TResponseFraming FrameResponse(std::string_view method, const TIdHeaderList& headers);

// The answer's head as the client gets it: the origin's lines without
// hop-by-hop fields (and without Content-Length beside Transfer-Encoding),
// then "Connection: close", as this is the connection's last answer, and
// the empty line.
TStrings ClientResponseHead(const TIdHeaderList& headers);

// The target as the access log, the console and the proxy's pages show it:
// made again from its parsed parts (scheme, host, port, path, query), or
// host:port for a tunnel, so that the user information a URI may carry
// never shows, whatever its punctuation.
std::string TargetForLog(std::string_view target);

// Whether the client waits for an interim answer before it sends its body
// (RFC 9110 10.1.1): an HTTP/1.1 request with "Expect: 100-continue". An
// HTTP/1.0 client cannot read one, so it never gets one.
bool ExpectsContinue(std::string_view version, const TIdHeaderList& headers);
