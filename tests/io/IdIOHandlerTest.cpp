// Tests of the buffered I/O handler over a scripted transport: line reading
// (terminators split across receives, the length limit, timeouts, a peer
// that closes mid-line), header capture, block and stream reads, and the
// writers with their gathering into single sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "io/IdIntercept.h"
#include "io/IdStream.h"
#include "base/IdStrings.h"
#include "tests/io/FakeTransport.h"
#include "tests/io/OpaqueStream.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

TStrings MakeStrings(const Lines& lines) {
    TStrings result;
    for (const std::string& line : lines) {
        result.Add(line);
    }
    return result;
}

std::string StreamText(const TMemoryStream& stream) {
    const std::vector<uint8_t> bytes = stream.ToBytes();
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that differ from their neighbours, so a shifted or repeated chunk shows.
std::string Pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return text;
}

void WriteText(TMemoryStream& stream, const std::string& text) {
    stream.Write(text.data(), static_cast<int64_t>(text.size()));
}

class IOHandlerTest : public ::testing::Test {
protected:
    FakeTransport io_;
};

// ------------------------------------------------------------- line reading

struct LineCase {
    const char* name;
    Lines chunks;        // each delivered by one receive...
    int32_t chunkSize;   // ...or cut into pieces of this size (0: whole)
    Lines expected;
};

class ReadLineTableTest : public IOHandlerTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReadLineTableTest, ReadsEachLineAndConsumesItsTerminator) {
    const LineCase& c = GetParam();
    for (const std::string& chunk : c.chunks) {
        io_.Deliver(chunk, c.chunkSize);
    }
    for (const std::string& expected : c.expected) {
        EXPECT_EQ(expected, io_.ReadLine());
        EXPECT_FALSE(io_.LineTimedOut());
        EXPECT_FALSE(io_.LineWasSplit());
    }
    EXPECT_TRUE(io_.InputIsEmpty());
    EXPECT_TRUE(io_.ScriptUsedUp());
}

INSTANTIATE_TEST_SUITE_P(
    Terminators, ReadLineTableTest,
    ::testing::Values(
        LineCase{"CrLf", {"GET / HTTP/1.0\r\n"}, 0, {"GET / HTTP/1.0"}},
        LineCase{"BareLf", {"GET / HTTP/1.0\n"}, 0, {"GET / HTTP/1.0"}},
        LineCase{"CrLfAloneIsEmptyLine", {"\r\n"}, 0, {""}},
        LineCase{"LfAloneIsEmptyLine", {"\n"}, 0, {""}},
        LineCase{"LoneCrStaysInLine", {"a\rb\r\n"}, 0, {"a\rb"}},
        LineCase{"OnlyOneCrDropped", {"abc\r\r\n"}, 0, {"abc\r"}},
        LineCase{"CrAndLfInSeparateReceives", {"GET /\r", "\nHost: x\r", "\n"}, 0, {"GET /", "Host: x"}},
        LineCase{"SeveralLinesInOneReceive", {"a\r\nb\nc\r\n\r\n"}, 0, {"a", "b", "c", ""}},
        LineCase{"OneByteReceives", {"x\r\nyz\n\r\n"}, 1, {"x", "yz", ""}},
        LineCase{"TwoByteReceivesSplitEveryPair", {"ab\r\ncd\r\n"}, 2, {"ab", "cd"}}),
    [](const ::testing::TestParamInfo<LineCase>& testInfo) { return std::string(testInfo.param.name); });

TEST_F(IOHandlerTest, LineOfExactlyMaxLengthIsAccepted) {
    const std::string line(16384, 'a');
    io_.Deliver(line + "\n");
    EXPECT_EQ(line, io_.ReadLine());
    EXPECT_FALSE(io_.LineWasSplit());
}

TEST_F(IOHandlerTest, LineOneByteOverMaxLengthRaises) {
    io_.Deliver(std::string(16385, 'a'));
    try {
        io_.ReadLine();
        FAIL() << "expected EIdReadLnMaxLineLengthExceeded";
    } catch (const EIdReadLnMaxLineLengthExceeded& e) {
        EXPECT_STREQ("Max line length exceeded.", e.what());
    }
}

TEST_F(IOHandlerTest, LineFeedBeyondTheLimitStillRaises) {
    io_.Deliver(std::string(16390, 'a') + "\r\n");
    EXPECT_THROW(io_.ReadLine(), EIdReadLnMaxLineLengthExceeded);
}

TEST_F(IOHandlerTest, OverLongLineArrivingByteByByteRaisesWithoutReadingFurther) {
    io_.Deliver(std::string(20000, 'a'), 1);
    EXPECT_THROW(io_.ReadLine(), EIdReadLnMaxLineLengthExceeded);
    // The limit is noticed as soon as it is passed, not after more input.
    EXPECT_EQ(16385, io_.FillCalls());
}

TEST_F(IOHandlerTest, SplitActionCutsOverLongLine) {
    io_.SetMaxLineAction(maSplit);
    io_.Deliver(std::string(16384, 'a') + "b");
    const std::string first = io_.ReadLine();
    EXPECT_EQ(std::string(16384, 'a'), first);
    EXPECT_TRUE(io_.LineWasSplit());
    EXPECT_EQ("b", io_.Queued());

    io_.Deliver("c\r\n");
    EXPECT_EQ("bc", io_.ReadLine());
    EXPECT_FALSE(io_.LineWasSplit());
}

TEST_F(IOHandlerTest, ExplicitMaxLengthOverridesTheDefault) {
    io_.Deliver("abcde\nabcdef\n");
    EXPECT_EQ("abcde", io_.ReadLine(TimeoutDefault, 5));
    EXPECT_THROW(io_.ReadLine(TimeoutDefault, 5), EIdReadLnMaxLineLengthExceeded);
}

TEST_F(IOHandlerTest, TimeoutGivesEmptyLineAndKeepsPartialLineQueued) {
    io_.Deliver("par").TimesOut();
    EXPECT_EQ("", io_.ReadLine());
    EXPECT_TRUE(io_.LineTimedOut());
    EXPECT_EQ("par", io_.Queued());

    io_.Deliver("tial\r\n");
    EXPECT_EQ("partial", io_.ReadLine());
    EXPECT_FALSE(io_.LineTimedOut());
}

TEST_F(IOHandlerTest, PeerClosingAfterUnterminatedLineRaisesAndKeepsBytes) {
    io_.Deliver("last line").PeerCloses();
    try {
        io_.ReadLine();
        FAIL() << "expected EIdConnClosedGracefully";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_STREQ("Connection Closed Gracefully.", e.what());
    }
    EXPECT_EQ("last line", io_.Queued());
    EXPECT_TRUE(io_.PeerClosed());
}

TEST_F(IOHandlerTest, CompleteLinesQueuedBeforeThePeerClosedAreStillRead) {
    io_.Deliver("one\r\ntwo\r\n").PeerCloses();
    EXPECT_EQ("one", io_.ReadLine());
    EXPECT_EQ("two", io_.ReadLine());
    EXPECT_THROW(io_.ReadLine(), EIdConnClosedGracefully);
}

TEST_F(IOHandlerTest, ReadNonEmptyLineSkipsBlankLinesAndTrims) {
    io_.Deliver("\r\n \t\r\n  GET x \r\n");
    EXPECT_EQ("GET x", io_.ReadNonEmptyLine(5));

    io_.Deliver("\r\n\r\nlate\r\n");
    EXPECT_EQ("", io_.ReadNonEmptyLine(2));
    EXPECT_EQ("late\r\n", io_.Queued());
}

// The line search looks only at bytes that arrived since the previous search:
// a long line trickling in one byte per receive must cost linear time.
TEST_F(IOHandlerTest, MaxLengthLineArrivingByteByByteNeedsOneReceivePerByte) {
    const std::string line(16384, 'q');
    io_.Deliver(line + "\n", 1);
    const auto start = Clock::now();
    EXPECT_EQ(line, io_.ReadLine());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(16385, io_.FillCalls());
}

TEST_F(IOHandlerTest, LongLineInSmallPiecesIsNotRescanned) {
    // Rescanning the whole queue after every 8-byte receive would search
    // about 10^12 bytes here (most of a minute); the incremental search
    // takes well under a second, a few seconds under sanitizers.
    constexpr int32_t length = 4 * 1024 * 1024;
    io_.SetMaxLineLength(length);
    io_.Deliver(std::string(length, 'r') + "\n", 8);
    const auto start = Clock::now();
    const std::string line = io_.ReadLine();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(static_cast<size_t>(length), line.size());
}

TEST_F(IOHandlerTest, QueuedLineIsReturnedWithoutReceiving) {
    io_.Deliver("first\r\nsecond\r\n");
    EXPECT_EQ("first", io_.ReadLine());
    const int32_t calls = io_.FillCalls();
    EXPECT_EQ("second", io_.ReadLine());
    EXPECT_EQ(calls, io_.FillCalls());
}

// ---------------------------------------------------------- capturing lines

TEST_F(IOHandlerTest, CaptureHeaderBlockWithDotUnstuffing) {
    io_.Deliver("Host: a\r\n..x\r\n\r\nbody");
    TStrings lines;
    EXPECT_EQ(2, io_.CaptureLines(lines, "", true));
    EXPECT_EQ((Lines{"Host: a", ".x"}), lines.Lines());
    EXPECT_EQ("body", io_.Queued());
}

TEST_F(IOHandlerTest, CaptureWithoutUnstuffingKeepsDots) {
    io_.Deliver("..x\r\n.y\r\n.\r\n");
    TStrings lines;
    EXPECT_EQ(2, io_.CaptureLines(lines, ".", false));
    EXPECT_EQ((Lines{"..x", ".y"}), lines.Lines());
}

TEST_F(IOHandlerTest, CaptureIntoStreamWritesLinesWithCrLf) {
    io_.Deliver("a\n..b\r\n\r\n");
    TMemoryStream stream;
    EXPECT_EQ(2, io_.CaptureLines(stream, "", true));
    EXPECT_EQ("a\r\n.b\r\n", StreamText(stream));
}

TEST_F(IOHandlerTest, TimeoutEndsCaptureLikeAnEmptyLine) {
    io_.Deliver("Host: a\r\n").TimesOut();
    TStrings lines;
    EXPECT_EQ(1, io_.CaptureLines(lines, "", true));
    EXPECT_TRUE(io_.LineTimedOut());
}

TEST_F(IOHandlerTest, OverLongLineRaisesOutOfCapture) {
    io_.Deliver("Host: a\r\n" + std::string(16385, 'h'));
    TStrings lines;
    EXPECT_THROW(io_.CaptureLines(lines, "", true), EIdReadLnMaxLineLengthExceeded);
}

// ------------------------------------------------------------- byte blocks

TEST_F(IOHandlerTest, ReadBytesCollectsAcrossReceives) {
    io_.Deliver("ab").Deliver("cdef").Deliver("never");
    TIdBytes dest = TextToBytes("xy");
    io_.ReadBytesInto(dest, 5, true);
    EXPECT_EQ("xyabcde", BytesToText(dest));
    EXPECT_EQ("f", io_.Queued());
    EXPECT_FALSE(io_.ScriptUsedUp());
}

TEST_F(IOHandlerTest, ReadAvailableWithNothingArrivingLeavesDestUnchanged) {
    io_.SetReadTimeout(100);
    io_.TimesOut();
    TIdBytes dest = TextToBytes("keep");
    io_.ReadBytesInto(dest, -1, true);
    EXPECT_EQ("keep", BytesToText(dest));
    // The configured wait itself is passed, not "use the default".
    EXPECT_EQ((std::vector<int32_t>{100}), io_.FillTimeouts());
}

TEST_F(IOHandlerTest, ReadAvailableRaisesOnceThePeerHasClosed) {
    io_.Deliver("tail").PeerCloses();
    TIdBytes first;
    io_.ReadBytesInto(first, -1, false);
    EXPECT_EQ("tail", BytesToText(first));
    TIdBytes second;
    EXPECT_THROW(io_.ReadBytesInto(second, -1, false), EIdConnClosedGracefully);
    EXPECT_TRUE(second.empty());
}

TEST_F(IOHandlerTest, ZeroOrInvalidCountReadsNothing) {
    io_.Deliver("abc");
    TIdBytes dest;
    io_.ReadBytesInto(dest, 0, false);
    io_.ReadBytesInto(dest, -5, false);
    EXPECT_TRUE(dest.empty());
    EXPECT_EQ(0, io_.FillCalls());
}

TEST_F(IOHandlerTest, ReadBytesTimeoutRaisesAndKeepsWhatArrived) {
    io_.Deliver("ab").TimesOut();
    TIdBytes dest;
    EXPECT_THROW(io_.ReadBytesInto(dest, 5, false), EIdReadTimeout);
    EXPECT_EQ("ab", io_.Queued());
}

TEST_F(IOHandlerTest, ReadBytesPeerCloseShortRaisesAndKeepsWhatArrived) {
    io_.Deliver("ab").PeerCloses();
    TIdBytes dest;
    EXPECT_THROW(io_.ReadBytesInto(dest, 5, false), EIdConnClosedGracefully);
    EXPECT_EQ("ab", io_.Queued());
}

TEST_F(IOHandlerTest, IntegerValuesHonourByteOrder) {
    io_.Deliver(std::string("\x01\x02\x03\x04\x01\x02\x03\x04\xff\xff\xff\xfe", 12));
    io_.Deliver(std::string("\x00\x00\x00\x01\x00\x00\x00\x02\x7f", 9));
    EXPECT_EQ(0x01020304, io_.ReadInt32Value(true));
    EXPECT_EQ(0x04030201, io_.ReadInt32Value(false));
    EXPECT_EQ(-2, io_.ReadInt32Value(true));
    EXPECT_EQ(int64_t{0x0000000100000002}, io_.ReadInt64Value(true));
    EXPECT_EQ(0x7f, io_.ReadByteValue());

    io_.WriteInt32Value(0x01020304, true);
    io_.WriteInt32Value(0x01020304, false);
    io_.WriteInt64Value(int64_t{0x0102030405060708}, true);
    EXPECT_EQ(std::string("\x01\x02\x03\x04\x04\x03\x02\x01\x01\x02\x03\x04\x05\x06\x07\x08", 16),
              io_.SentText());
}

// ---------------------------------------------------------------- streams

TEST_F(IOHandlerTest, StreamCountZeroReadsNothing) {
    io_.Deliver("queued");
    io_.IsConnected();
    TMemoryStream stream;
    io_.ReadIntoStream(stream, 0, false);
    EXPECT_EQ(0, stream.Size());
    EXPECT_EQ("queued", io_.Queued());
}

TEST_F(IOHandlerTest, StreamFixedCountFillsFromCurrentPosition) {
    TMemoryStream stream;
    WriteText(stream, "HDR");
    io_.Deliver("abc").Deliver("defgh");
    io_.ReadIntoStream(stream, 5, false);
    EXPECT_EQ("HDRabcde", StreamText(stream));
    EXPECT_EQ(8, stream.Position());
    EXPECT_EQ("fgh", io_.Queued());
}

TEST_F(IOHandlerTest, StreamUntilCloseKeepsEveryByte) {
    const std::string body = Pattern(70000);
    io_.Deliver(body, 1000).PeerCloses();
    TMemoryStream stream;
    io_.ReadIntoStream(stream, -1, true);
    EXPECT_EQ(70000, stream.Size());
    EXPECT_EQ(body, StreamText(stream));
}

TEST_F(IOHandlerTest, StreamFixedCountPeerClosingEarlyRaisesAndCutsStream) {
    const std::string body = Pattern(60);
    io_.Deliver(body).PeerCloses();
    TMemoryStream stream;
    EXPECT_THROW(io_.ReadIntoStream(stream, 100, false), EIdConnClosedGracefully);
    EXPECT_EQ(60, stream.Size());
    EXPECT_EQ(body, StreamText(stream));
}

TEST_F(IOHandlerTest, StreamFixedCountEndsQuietlyWhenCloseWasAlreadySeen) {
    const std::string body = Pattern(60);
    io_.Deliver(body).PeerCloses();
    io_.IsConnected();
    io_.IsConnected();
    ASSERT_TRUE(io_.PeerClosed());
    TMemoryStream stream;
    io_.ReadIntoStream(stream, 100, false);
    EXPECT_EQ(60, stream.Size());
    EXPECT_EQ(body, StreamText(stream));
}

TEST_F(IOHandlerTest, StreamTimeoutRaisesAfterSalvagingWhatArrived) {
    io_.Deliver("0123456789").TimesOut();
    TMemoryStream stream;
    EXPECT_THROW(io_.ReadIntoStream(stream, 100, false), EIdReadTimeout);
    EXPECT_EQ("0123456789", StreamText(stream));
}

TEST_F(IOHandlerTest, StreamSizePrefixIsReadWhenCountUnknown) {
    io_.Deliver(std::string("\x00\x00\x00\x05hello+", 10));
    TMemoryStream stream;
    io_.ReadIntoStream(stream, -1, false);
    EXPECT_EQ("hello", StreamText(stream));
    EXPECT_EQ("+", io_.Queued());
}

TEST_F(IOHandlerTest, StreamLargeSizePrefixIsEightBytes) {
    io_.SetUseLargeSizes(true);
    io_.Deliver(std::string("\x00\x00\x00\x00\x00\x00\x00\x03xyz", 11));
    TMemoryStream stream;
    io_.ReadIntoStream(stream, -1, false);
    EXPECT_EQ("xyz", StreamText(stream));
}

// ---------------------------------------------------------------- writing

TEST_F(IOHandlerTest, WriteLinesLeavesAsOneSend) {
    io_.WriteLines(MakeStrings({"GET / HTTP/1.0", "Host: a", ""}));
    EXPECT_EQ((Lines{"GET / HTTP/1.0\r\nHost: a\r\n\r\n"}), io_.Sends());
    EXPECT_FALSE(io_.WriteBufferingActive());
}

TEST_F(IOHandlerTest, WriteLinesOfEmptyListSendsNothing) {
    io_.WriteLines(TStrings());
    EXPECT_TRUE(io_.Sends().empty());
}

TEST_F(IOHandlerTest, WriteLinesWithCountPrefixesTheBlock) {
    io_.WriteLines(MakeStrings({"a", "b"}), true);
    EXPECT_EQ((Lines{std::string("\x00\x00\x00\x02" "a\r\nb\r\n", 10)}), io_.Sends());
}

TEST_F(IOHandlerTest, WriteDotStuffedLinesDoublesLeadingDotsAndEnds) {
    io_.WriteDotStuffedLines(MakeStrings({".a", "b"}), true);
    EXPECT_EQ("..a\r\nb\r\n.\r\n", io_.SentText());
}

TEST_F(IOHandlerTest, WriteDotStuffedLinesWithoutEndLine) {
    io_.WriteDotStuffedLines(MakeStrings({"x.", "."}), false);
    EXPECT_EQ("x.\r\n..\r\n", io_.SentText());
}

TEST_F(IOHandlerTest, EmptyTextSendsNothingButEmptyLineSendsCrLf) {
    io_.WriteText("");
    io_.WriteBytes(TIdBytes());
    EXPECT_TRUE(io_.Sends().empty());
    io_.WriteLine("");
    EXPECT_EQ((Lines{"\r\n"}), io_.Sends());
}

TEST_F(IOHandlerTest, WholeStreamFromItsStartInSendBufferChunks) {
    const std::string body = Pattern(70000);
    TMemoryStream stream;
    WriteText(stream, body);
    ASSERT_EQ(70000, stream.Position());
    io_.WriteFromStream(stream, 0, false);
    ASSERT_EQ(3u, io_.Sends().size());
    EXPECT_EQ(32768u, io_.Sends()[0].size());
    EXPECT_EQ(32768u, io_.Sends()[1].size());
    EXPECT_EQ(4464u, io_.Sends()[2].size());
    EXPECT_EQ(body, io_.SentText());
}

TEST_F(IOHandlerTest, StreamRestFromCurrentPositionOrGivenCount) {
    TMemoryStream stream;
    WriteText(stream, "0123456789");
    stream.SetPosition(4);
    io_.WriteFromStream(stream, -1, false);
    EXPECT_EQ("456789", io_.SentText());

    stream.SetPosition(2);
    io_.WriteFromStream(stream, 3, false);
    EXPECT_EQ("456789234", io_.SentText());
}

TEST_F(IOHandlerTest, StreamWithLengthPrefix) {
    TMemoryStream stream;
    WriteText(stream, "abc");
    io_.WriteFromStream(stream, 0, true);
    EXPECT_EQ(std::string("\x00\x00\x00\x03" "abc", 7), io_.SentText());

    io_.SetUseLargeSizes(true);
    io_.WriteFromStream(stream, 0, true);
    EXPECT_EQ(std::string("\x00\x00\x00\x00\x00\x00\x00\x03" "abc", 11), io_.SentText().substr(7));
}

TEST_F(IOHandlerTest, StreamShorterThanAskedRaisesNoDataToRead) {
    TMemoryStream stream;
    WriteText(stream, "0123456789");
    stream.SetPosition(0);
    try {
        io_.WriteFromStream(stream, 20, false);
        FAIL() << "expected EIdNoDataToRead";
    } catch (const EIdNoDataToRead& e) {
        EXPECT_STREQ("No data to read.", e.what());
    }
    EXPECT_EQ("0123456789", io_.SentText());
}

TEST_F(IOHandlerTest, OnlyALengthPrefixBeyond32BitsNeedsLargeSizes) {
    TMemoryStream stream;
    WriteText(stream, "x");
    EXPECT_THROW(io_.WriteFromStream(stream, int64_t{3000000000}, true), EIdIoHandlerRequiresLargeStream);
    EXPECT_TRUE(io_.Sends().empty());
    // Without a prefix the size is only a count: the byte there goes out,
    // then the stream runs dry.
    stream.SetPosition(0);
    EXPECT_THROW(io_.WriteFromStream(stream, int64_t{3000000000}, false), EIdNoDataToRead);
    EXPECT_EQ("x", io_.SentText());
}

TEST_F(IOHandlerTest, GatheringFlushesAtThreshold) {
    io_.BeginWriteBuffering(10);
    io_.WriteText("abcd");
    EXPECT_TRUE(io_.Sends().empty());
    io_.WriteText("efghijkl");
    EXPECT_EQ((Lines{"abcdefghij"}), io_.Sends());
    io_.EndWriteBuffering();
    EXPECT_EQ((Lines{"abcdefghij", "kl"}), io_.Sends());
    EXPECT_FALSE(io_.WriteBufferingActive());
}

TEST_F(IOHandlerTest, GatheringWithoutThresholdSendsOnlyOnFlush) {
    io_.BeginWriteBuffering();
    io_.WriteText(std::string(100000, 'z'));
    io_.WriteLine("end");
    EXPECT_TRUE(io_.Sends().empty());
    io_.FlushWriteBuffer();
    ASSERT_EQ(1u, io_.Sends().size());
    EXPECT_EQ(100005u, io_.Sends()[0].size());
    EXPECT_TRUE(io_.WriteBufferingActive());
    io_.EndWriteBuffering();
    EXPECT_EQ(1u, io_.Sends().size());
}

TEST_F(IOHandlerTest, GatheringRestartDropsPendingAndCancelSendsNothing) {
    io_.BeginWriteBuffering();
    io_.WriteText("dropped");
    io_.BeginWriteBuffering();
    io_.WriteText("kept");
    io_.EndWriteBuffering();
    EXPECT_EQ((Lines{"kept"}), io_.Sends());

    io_.BeginWriteBuffering();
    io_.WriteText("cancelled");
    io_.CancelWriteBuffering();
    EXPECT_FALSE(io_.WriteBufferingActive());
    io_.WriteText("direct");
    EXPECT_EQ((Lines{"kept", "direct"}), io_.Sends());
}

TEST_F(IOHandlerTest, WriteLinesInsideAnOpenGatheringKeepsWhatWasGathered) {
    io_.BeginWriteBuffering();
    io_.WriteText("before|");
    io_.WriteLines(MakeStrings({"HTTP/1.0 200 OK", "Content-Length: 4", ""}));
    EXPECT_TRUE(io_.Sends().empty());
    EXPECT_TRUE(io_.WriteBufferingActive());
    io_.WriteText("body");
    io_.EndWriteBuffering();
    EXPECT_EQ((Lines{"before|HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody"}), io_.Sends());
}

// A stream that keeps its memory to itself is read out into chunks of
// SendBufferSize, as the memory stream's own blocks are sent.
TEST_F(IOHandlerTest, StreamWithoutDirectAccessIsSentInTheSameChunks) {
    const std::string body = Pattern(70000);
    OpaqueStream stream(body);
    io_.WriteFromStream(stream, 0, false);
    ASSERT_EQ(3u, io_.Sends().size());
    EXPECT_EQ(32768u, io_.Sends()[0].size());
    EXPECT_EQ(4464u, io_.Sends()[2].size());
    EXPECT_EQ(body, io_.SentText());
}

TEST_F(IOHandlerTest, SendAfterPeerCloseRaisesEvenWithQueuedInput) {
    io_.Deliver("unread").PeerCloses();
    io_.IsConnected();
    io_.IsConnected();
    ASSERT_TRUE(io_.PeerClosed());
    EXPECT_THROW(io_.WriteLine("late"), EIdConnClosedGracefully);
    EXPECT_EQ("unread", io_.Queued());
}

// --------------------------------------------------------- lifecycle, misc

TEST_F(IOHandlerTest, ReopeningDiscardsOldInputAndPeerClose) {
    io_.Deliver("old\r\n").PeerCloses();
    io_.IsConnected();
    io_.IsConnected();
    ASSERT_TRUE(io_.PeerClosed());
    io_.OpenChannel();
    EXPECT_FALSE(io_.PeerClosed());
    EXPECT_TRUE(io_.IsOpened());
    EXPECT_TRUE(io_.InputIsEmpty());
}

struct TimeoutCase {
    int32_t readTimeout;
    int32_t requested;
    int32_t resolved;
};

class ResolveTimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(ResolveTimeoutTest, DefaultWaitFollowsReadTimeout) {
    FakeTransport io;
    io.SetReadTimeout(GetParam().readTimeout);
    EXPECT_EQ(GetParam().resolved, io.ResolveTimeout(GetParam().requested));
}

INSTANTIATE_TEST_SUITE_P(Table, ResolveTimeoutTest,
                         ::testing::Values(TimeoutCase{-1, TimeoutDefault, TimeoutInfinite},
                                           TimeoutCase{0, TimeoutDefault, TimeoutInfinite},
                                           TimeoutCase{100, TimeoutDefault, 100},
                                           TimeoutCase{100, 0, 0},
                                           TimeoutCase{100, 250, 250},
                                           TimeoutCase{100, TimeoutInfinite, TimeoutInfinite}));

class CountingIntercept : public TIdConnectionIntercept {
public:
    void Disconnect() override { ++disconnects; }
    int disconnects = 0;
};

TEST_F(IOHandlerTest, InterceptIsToldOfCloseAndForgottenWhenDestroyed) {
    auto intercept = std::make_unique<CountingIntercept>();
    io_.SetIntercept(intercept.get());
    io_.CloseChannel();
    EXPECT_EQ(1, intercept->disconnects);
    intercept.reset();
    EXPECT_EQ(nullptr, io_.Intercept());
    io_.CloseChannel();  // must not reach the destroyed intercept
}

}  // namespace
