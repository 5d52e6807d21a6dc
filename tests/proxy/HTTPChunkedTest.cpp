// Tests of the chunk decoder: which framings it takes and refuses, that
// the outcome does not depend on how the bytes arrive, that it never reads
// past the body's end, and the framing the proxy writes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "proxy/HTTPChunked.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace {

using namespace std::string_literals;

enum class TEnd { Done, Failed, Incomplete };

struct ChunkCase {
    const char* name;
    std::string input;
    TEnd end;
    std::string body;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

struct TOutcome {
    TEnd end = TEnd::Incomplete;
    std::string body;
    size_t consumed = 0;
};

// Feeds input in pieces of at most step bytes, as a socket might deliver it.
TOutcome DecodeInPieces(const std::string& input, size_t step) {
    THTTPChunkDecoder decoder;
    TOutcome outcome;
    for (size_t offset = 0; offset < input.size() && !decoder.Done() && !decoder.Failed(); offset += step) {
        std::string_view piece = std::string_view(input).substr(offset, step);
        while (!piece.empty() && !decoder.Done() && !decoder.Failed()) {
            std::string_view data;
            const size_t used = decoder.Decode(piece, data);
            outcome.body.append(data);
            outcome.consumed += used;
            piece.remove_prefix(used);
        }
    }
    outcome.end = decoder.Done() ? TEnd::Done : decoder.Failed() ? TEnd::Failed : TEnd::Incomplete;
    EXPECT_EQ(decoder.BodySize(), outcome.body.size());
    return outcome;
}

class ChunkDecoding : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkDecoding, SameOutcomeWhateverThePieces) {
    const ChunkCase& c = GetParam();
    for (const size_t step : {c.input.size() + 1, size_t{1}, size_t{2}, size_t{7}}) {
        const TOutcome outcome = DecodeInPieces(c.input, step);
        EXPECT_EQ(outcome.end, c.end) << "pieces of " << step;
        if (c.end != TEnd::Failed) {
            EXPECT_EQ(outcome.body, c.body) << "pieces of " << step;
        }
    }
}

const std::string kExtension(5000, 'e');

const ChunkCase kChunkCases[] = {
    {"OneChunk", "5\r\nhello\r\n0\r\n\r\n", TEnd::Done, "hello"},
    {"Several", "3\r\nabc\r\nA\r\n0123456789\r\n1\r\n\n\r\n0\r\n\r\n", TEnd::Done, "abc0123456789\n"},
    {"Empty", "0\r\n\r\n", TEnd::Done, ""},
    {"LeadingZeros", "0005\r\nhello\r\n000\r\n\r\n", TEnd::Done, "hello"},
    {"Extensions", "5;a=b;c=\"q\"\r\nhello\r\n0 ; last\r\n\r\n", TEnd::Done, "hello"},
    {"Trailers", "2\r\nhi\r\n0\r\nX-Sum: 1\r\nX-B:\r\n\r\n", TEnd::Done, "hi"},
    {"BinaryData", "4\r\n\r\n\0\n\r\n0\r\n\r\n"s, TEnd::Done, "\r\n\0\n"s},
    {"LargestSize", "7fffffffffffffff\r\nab", TEnd::Incomplete, "ab"},
    {"Unfinished", "5\r\nhel", TEnd::Incomplete, "hel"},
    {"NoDigits", "\r\nhello\r\n0\r\n\r\n", TEnd::Failed, ""},
    {"NotHex", "g\r\n", TEnd::Failed, ""},
    {"Negative", "-5\r\nhello\r\n", TEnd::Failed, ""},
    {"Overflow", "8000000000000000\r\n", TEnd::Failed, ""},
    {"ManyDigitsOverflow", "10000000000000000\r\n", TEnd::Failed, ""},
    {"BareLfAfterSize", "5\nhello\r\n0\r\n\r\n", TEnd::Failed, ""},
    {"DataLongerThanSize", "5\r\nhelloX\r\n0\r\n\r\n", TEnd::Failed, ""},
    {"JunkAfterSize", "5 x\r\nhello\r\n", TEnd::Failed, ""},
    {"ControlInExtension", "5;a\x01\r\nhello\r\n", TEnd::Failed, ""},
    {"ExtensionTooLong", "5;" + kExtension + "\r\nhello\r\n", TEnd::Failed, ""},
    {"MalformedTrailer", "0\r\nno colon here\r\n\r\n", TEnd::Failed, ""},
    {"BareLfInTrailer", "0\r\nX-A: 1\n\r\n", TEnd::Failed, ""},
    {"EndWithoutFinalLine", "0\r\n\n", TEnd::Failed, ""},
};

INSTANTIATE_TEST_SUITE_P(Table, ChunkDecoding, ::testing::ValuesIn(kChunkCases), proxytest::CaseName());

TEST(ChunkDecoderTest, StopsAtTheEndOfTheBody) {
    const std::string body = "5\r\nhello\r\n0\r\nX: 1\r\n\r\n";
    const TOutcome outcome = DecodeInPieces(body + "GET /next HTTP/1.1\r\n", 1000);
    EXPECT_EQ(outcome.end, TEnd::Done);
    EXPECT_EQ(outcome.consumed, body.size());
}

TEST(ChunkDecoderTest, TrailersAreBounded) {
    std::string input = "0\r\n";
    while (input.size() <= THTTPChunkDecoder::MaxTrailerBytes) {
        input += "X-Filler: " + std::string(1000, 'f') + "\r\n";
    }
    EXPECT_EQ(DecodeInPieces(input + "\r\n", 4096).end, TEnd::Failed);
}

TEST(ChunkFramingTest, WrittenChunksDecodeToTheSameBytes) {
    const std::string pieces[] = {"x", std::string(255, 'y'), proxytest::PatternBytes(70000, 3)};
    std::string framed;
    std::string expected;
    for (const std::string& piece : pieces) {
        framed += ChunkSizeLine(piece.size()) + piece + std::string(ChunkDataEnd);
        expected += piece;
    }
    framed += LastChunk;
    EXPECT_EQ(ChunkSizeLine(255), "FF\r\n");
    const TOutcome outcome = DecodeInPieces(framed, 4096);
    EXPECT_EQ(outcome.end, TEnd::Done);
    EXPECT_TRUE(vtltest::SameBytes(outcome.body, expected));
}

}  // namespace
