// Fuzz target for the proxy's byte rules: the chunk decoder, the request
// line and head the origin is sent, and the answer head the client is sent.
// The decoder's outcome does not depend on how the bytes arrive and its
// body framed again decodes to itself; a head that passes the checks goes
// on with Host from the target, no hop-by-hop field and no byte that could
// end a line; an answer head that passes goes on without them either.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/IdGlobal.h"
#include "fuzz/FuzzSupport.h"
#include "proxy/HTTPChunked.h"
#include "proxy/HTTPFraming.h"

namespace {

struct Decoded {
    bool done = false;
    bool failed = false;
    std::string body;
    size_t consumed = 0;
};

Decoded Decode(std::string_view input, size_t step) {
    THTTPChunkDecoder decoder;
    Decoded out;
    for (size_t offset = 0; offset < input.size() && !decoder.Done() && !decoder.Failed(); offset += step) {
        std::string_view piece = input.substr(offset, step);
        while (!piece.empty() && !decoder.Done() && !decoder.Failed()) {
            std::string_view data;
            const size_t used = decoder.Decode(piece, data);
            FUZZ_CHECK(used <= piece.size() && data.size() <= used, fuzz::Escaped(piece));
            out.body.append(data);
            out.consumed += used;
            piece.remove_prefix(used);
        }
    }
    out.done = decoder.Done();
    out.failed = decoder.Failed();
    FUZZ_CHECK(decoder.BodySize() == out.body.size(), fuzz::Escaped(input));
    return out;
}

void CheckChunks(std::string_view input, size_t step) {
    const Decoded whole = Decode(input, input.size() + 1);
    const Decoded pieces = Decode(input, step);
    FUZZ_CHECK(whole.done == pieces.done && whole.failed == pieces.failed, fuzz::Escaped(input));
    if (!whole.failed) {
        FUZZ_CHECK(whole.body == pieces.body && whole.consumed == pieces.consumed, fuzz::Escaped(input));
    }
    if (whole.done) {
        const std::string framed = whole.body.empty()
                                       ? std::string(LastChunk)
                                       : ChunkSizeLine(whole.body.size()) + whole.body + std::string(ChunkDataEnd) +
                                             std::string(LastChunk);
        const Decoded again = Decode(framed, framed.size() + 1);
        FUZZ_CHECK(again.done && again.body == whole.body && again.consumed == framed.size(), fuzz::Escaped(input));
    }
}

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

bool EndsALine(char c) { return c == '\r' || c == '\n' || c == '\0'; }

void CheckRequest(const std::vector<std::string>& lines, bool held, bool relayed) {
    TRequestLine request;
    if (lines.empty() || !ParseRequestLine(lines[0], request)) {
        return;
    }
    FUZZ_CHECK(IsToken(request.method) && request.target.find(' ') == std::string::npos, fuzz::Escaped(lines[0]));
    TIdHeaderList headers;
    for (size_t i = 1; i < lines.size(); ++i) {
        headers.Add(lines[i]);
    }
    TForwardTarget target;
    if (FrameRequest(headers).refusal || !ParseForwardTarget(request.target, target)) {
        return;
    }
    TOriginHeadOptions options;
    options.heldChunkedLength = held ? 5 : -1;
    options.relayChunked = relayed;
    const TStrings head = OriginRequestHead(request, target, headers, options);
    int hosts = 0;
    for (int i = 1; i + 1 < head.Count(); ++i) {
        const std::string& line = head[i];
        FUZZ_CHECK(IsWellFormedFieldLine(line) || line.rfind("Host: ", 0) == 0, fuzz::Escaped(line));
        FUZZ_CHECK(std::none_of(line.begin(), line.end(), EndsALine), fuzz::Escaped(line));
        const std::string name = UpperCaseAscii(line.substr(0, line.find(':')));
        hosts += name == "HOST" ? 1 : 0;
        FUZZ_CHECK(name != "KEEP-ALIVE" && name != "PROXY-CONNECTION" && name != "TE" && name != "UPGRADE" &&
                       name != "EXPECT" && (name != "CONNECTION" || (relayed && line == "Connection: close")),
                   fuzz::Escaped(line));
    }
    FUZZ_CHECK(hosts == 1 && head[head.Count() - 1].empty(), fuzz::Escaped(lines[0]));
}

void CheckResponse(const std::vector<std::string>& lines) {
    TIdHeaderList headers;
    for (const std::string& line : lines) {
        headers.Add(line);
    }
    const TResponseFraming framing = FrameResponse("GET", headers);
    if (!framing.problem.empty()) {
        return;
    }
    const TStrings head = ClientResponseHead(headers);
    FUZZ_CHECK(head.Count() >= 3 && head[head.Count() - 2] == "Connection: close" && head[head.Count() - 1].empty(),
               fuzz::Escaped(lines[0]));
    for (const std::string& line : head) {
        FUZZ_CHECK(std::none_of(line.begin(), line.end(), EndsALine), fuzz::Escaped(line));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader reader(data, size);
    const size_t step = reader.Below(16) + 1;
    const bool held = reader.Flag();
    const bool relayed = !held && reader.Flag();
    const std::string input = reader.Rest();
    CheckChunks(input, step);
    const std::vector<std::string> lines = Lines(input);
    CheckRequest(lines, held, relayed);
    CheckResponse(lines);
    return 0;
}
