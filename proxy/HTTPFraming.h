// HTTPFraming: the decisions of the forwarding path that need no socket:
// where a request's and a response's bodies end, whether a request may be
// forwarded at all, and the head the origin is sent. The proxy's handlers
// act on these answers; keeping them here lets each rule be read and tested
// on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/IdStrings.h"
#include "proxy/IdHeaderList.h"

enum class THTTPMethod { Get, Post, Head };

// The method word as it goes on the wire ("GET", "POST", "HEAD").
std::string_view MethodName(THTTPMethod method);

// Every length read off the wire goes through this one parser: plain
// decimal digits, blanks around them allowed, at most 2^63-1 (RFC 9110
// 8.6). Signs, hexadecimal and empty texts are not lengths.
bool ParseContentLength(std::string_view text, int64_t& length);

// Whether the request line and header block may be forwarded as they are:
// no control byte in the request line, and every header line a name that
// is a token, a colon right behind it, and no NUL or CR anywhere. A line
// that starts with a blank (obsolete folding), a name with a blank before
// its colon, or a line without a colon can be read one way by us and
// another by the origin (RFC 9112 2.2, 5.1, 5.2): such a request is
// refused rather than passed on.
bool IsWellFormedRequest(std::string_view requestLine, const TIdHeaderList& headers);

// What to do with a request whose header block has been read.
struct TRequestFraming {
    enum TVerdict { Forward, BadRequest, LengthRequired };
    TVerdict verdict = Forward;
    // Bytes of body that follow the head (0: none).
    int64_t bodyLength = 0;
};

// Only a body whose end both sides agree on is relayed: one Content-Length
// (or several equal ones) of plain digits and no Transfer-Encoding (RFC 9112
// 6.3: both together are a smuggling risk; chunked alone is a length we do
// not decode). The same rules hold for every method: a GET or HEAD that
// declares a body has it relayed, or the origin would wait for it.
TRequestFraming FrameRequest(const TIdHeaderList& headers);

// The length of a response's body: 0 when it has none (HEAD, 1xx, 204,
// 304), the Content-Length when there is exactly one usable value, and -1
// (the body ends when the origin closes) otherwise.
int64_t FrameResponse(THTTPMethod method, const TIdHeaderList& headers);

// The status code of a status line ("HTTP/1.1 204 No Content"), -1 when
// it holds none.
int StatusCodeOf(std::string_view statusLine);

// The target as the access log shows it: the request URI, or host:port for
// a tunnel, without the user name and password a URI may carry.
std::string TargetForLog(std::string_view target);

// The head sent to the origin: the request line in HTTP/1.0 form, the
// client's header lines unchanged (without Proxy-Authorization and its
// continuation lines when the proxy consumed the credentials), and the
// empty line that ends it.
TStrings OriginRequestHead(THTTPMethod method, const std::string& path, const TIdHeaderList& headers,
                           bool dropProxyAuthorization);

// Whether the client waits for an interim answer before it sends its body
// (RFC 9110 10.1.1): an HTTP/1.1 request with "Expect: 100-continue". An
// HTTP/1.0 client cannot read one, so it never gets one.
bool ExpectsContinue(std::string_view protocol, const TIdHeaderList& headers);
