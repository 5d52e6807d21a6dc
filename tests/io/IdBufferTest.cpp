// Tests of the connection byte buffer: growth and adoption of appended
// arrays, compaction and shrinking, the consumed callback, takes into arrays,
// text and streams, searches, and the exact error messages.
#include "io/IdBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "io/IdStream.h"
#include "net/IdStack.h"

namespace {

TIdBytes Bytes(std::string_view text) {
    return TIdBytes(text.begin(), text.end());
}

TIdBytes Counting(size_t size) {
    TIdBytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i % 251);
    }
    return bytes;
}

std::string Held(const TIdBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.Data()), static_cast<size_t>(buffer.Used()));
}

class IdBufferTest : public ::testing::Test {
protected:
    IdBufferTest() : buffer_([this](TIdBuffer& sender, int32_t count) {
        EXPECT_EQ(&sender, &buffer_);
        consumed_.push_back(count);
    }) {}

    TIdBuffer buffer_;
    std::vector<int32_t> consumed_;
};

TEST_F(IdBufferTest, AppendToEmptyAdoptsThenGrowsWithSlack) {
    TIdBytes first = Bytes("hello");
    const uint8_t* adopted = first.data();
    buffer_.AppendBytes(std::move(first));
    EXPECT_EQ(buffer_.Data(), adopted);  // handed over, not copied
    EXPECT_EQ(buffer_.Capacity(), 5);
    EXPECT_EQ(buffer_.Start(), 0);
    EXPECT_EQ(buffer_.Used(), 5);

    buffer_.AppendBytes(Bytes("abc"));
    EXPECT_EQ(buffer_.Capacity(), 5 + 3 + 2048);
    EXPECT_EQ(Held(buffer_), "helloabc");

    // Fits in the slack: no growth.
    const TIdBytes more = Bytes("xyz");
    buffer_.AppendBytes(more);
    buffer_.AppendData(more.data(), 2);
    EXPECT_EQ(buffer_.Capacity(), 2056);
    EXPECT_EQ(Held(buffer_), "helloabcxyzxy");
}

TEST_F(IdBufferTest, AppendCompactsDeadFrontFirst) {
    buffer_.AppendBytes(Counting(100));
    buffer_.Discard(10);
    EXPECT_EQ(buffer_.Start(), 10);
    buffer_.AppendBytes(Bytes("!"));
    EXPECT_EQ(buffer_.Start(), 0);
    EXPECT_EQ(buffer_.Used(), 91);
    EXPECT_EQ(buffer_.Capacity(), 100);  // the freed front made room
    EXPECT_EQ(buffer_.At(0), 10);
    EXPECT_EQ(buffer_.At(90), '!');
}

TEST_F(IdBufferTest, CompactsOnlyPastGrowByDeadBytesAndShrinks) {
    const TIdBytes data = Counting(5000);
    buffer_.AppendBytes(data);
    buffer_.Discard(2048);
    EXPECT_EQ(buffer_.Start(), 2048);
    EXPECT_EQ(buffer_.Capacity(), 5000);

    buffer_.Discard(1);
    EXPECT_EQ(buffer_.Start(), 0);
    EXPECT_EQ(buffer_.Used(), 2951);
    EXPECT_EQ(buffer_.Capacity(), 2951 + 2048);
    EXPECT_EQ(Held(buffer_), std::string(data.begin() + 2049, data.end()));
    EXPECT_EQ(consumed_, (std::vector<int32_t>{2048, 1}));
}

TEST_F(IdBufferTest, RepackWithoutShrinkKeepsCapacity) {
    buffer_.AppendBytes(Counting(5000));
    buffer_.Discard(100);
    buffer_.Repack(false);
    EXPECT_EQ(buffer_.Start(), 0);
    EXPECT_EQ(buffer_.Capacity(), 5000);
    buffer_.Discard(100);
    buffer_.Repack(true);  // 200 free bytes are within the slack
    EXPECT_EQ(buffer_.Capacity(), 5000);
    EXPECT_EQ(buffer_.At(0), 200 % 251);
}

TEST_F(IdBufferTest, DiscardBeyondHeldEmptiesAndReportsAskedCount) {
    buffer_.AppendBytes(Bytes("abcd"));
    buffer_.Discard(10);
    EXPECT_EQ(buffer_.Used(), 0);
    EXPECT_EQ(buffer_.Capacity(), 0);
    EXPECT_EQ(consumed_, (std::vector<int32_t>{10}));
}

TEST_F(IdBufferTest, EmptyTakesChangeNothing) {
    TIdBytes dest = Bytes("keep");
    buffer_.TakeBytes(dest, -1, true);
    buffer_.AppendBytes(Bytes("abc"));
    buffer_.TakeBytes(dest, 0, true);
    buffer_.TakeBytes(dest, -5, false);
    buffer_.Discard(-3);
    EXPECT_EQ(buffer_.TakeText(0), "");
    TMemoryStream stream;
    buffer_.TakeToStream(stream, 0);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(dest, Bytes("keep"));
    EXPECT_EQ(Held(buffer_), "abc");
    EXPECT_TRUE(consumed_.empty());
}

TEST_F(IdBufferTest, TakeBytesAppendsOrOverwritesTheFront) {
    buffer_.AppendBytes(Bytes("abcdef"));
    TIdBytes dest = Bytes("12345");
    buffer_.TakeBytes(dest, 2, true);
    EXPECT_EQ(dest, Bytes("12345ab"));
    buffer_.TakeBytes(dest, 2, false);
    EXPECT_EQ(dest, Bytes("cd345ab"));  // long enough already: only the front changes
    TIdBytes small;
    buffer_.TakeBytes(small, -1, false);
    EXPECT_EQ(small, Bytes("ef"));
    EXPECT_EQ(buffer_.Used(), 0);
    EXPECT_EQ(consumed_, (std::vector<int32_t>{2, 2, 2}));
}

TEST_F(IdBufferTest, TakeTooMuchRaisesAndKeepsBytes) {
    buffer_.AppendBytes(Bytes("abcd"));
    TIdBytes dest;
    try {
        buffer_.TakeBytes(dest, 10, true);
        FAIL() << "take of 10 from 4 accepted";
    } catch (const EIdNotEnoughDataInBuffer& e) {
        EXPECT_STREQ(e.what(), "Not enough data in buffer. (10/4)");
    }
    EXPECT_THROW(buffer_.TakeText(5), EIdNotEnoughDataInBuffer);
    TMemoryStream stream;
    EXPECT_THROW(buffer_.TakeToStream(stream, 5), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_TRUE(dest.empty());
    EXPECT_EQ(Held(buffer_), "abcd");
    EXPECT_TRUE(consumed_.empty());
}

TEST_F(IdBufferTest, TakeTextCopiesBytesUnchanged) {
    buffer_.AppendBytes(TIdBytes{'a', 0, 0xE4, '\r', '\n'});
    EXPECT_EQ(buffer_.TakeText(3), std::string("a\0\xE4", 3));
    EXPECT_EQ(buffer_.TakeText(-1), "\r\n");
    EXPECT_EQ(buffer_.Used(), 0);
}

TEST_F(IdBufferTest, TakeToStreamWritesAtStreamPosition) {
    buffer_.AppendBytes(Counting(3000));
    buffer_.AppendBytes(Bytes("tail"));
    buffer_.Discard(1000);
    TMemoryStream stream;
    const TIdBytes head = Bytes("HEAD");
    stream.Write(head.data(), 4);
    stream.SetPosition(2);
    buffer_.TakeToStream(stream, 1000);
    // The take compacted and shrank before writing: 1000 of 2004 are left.
    EXPECT_EQ(buffer_.Start(), 1000);
    EXPECT_EQ(buffer_.Capacity(), 2004 + 2048);
    EXPECT_EQ(stream.Size(), 1002);
    const TIdBytes written = stream.ToBytes();
    EXPECT_EQ(written[0], 'H');
    EXPECT_EQ(written[1], 'E');
    EXPECT_EQ(written[2], 1000 % 251);

    buffer_.TakeToStream(stream, -1);
    const TIdBytes all = stream.ToBytes();
    EXPECT_EQ(std::string(all.end() - 4, all.end()), "tail");
    EXPECT_EQ(stream.Size(), 2 + 2004);
    EXPECT_EQ(consumed_, (std::vector<int32_t>{1000, 1000, 1004}));
}

TEST_F(IdBufferTest, TooMuchDataIsRefusedBeforeAnyCopy) {
    buffer_.AppendBytes(Bytes("x"));
    const uint8_t small[1] = {0};
    try {
        // The count is checked before the source is read.
        buffer_.AppendData(small, INT32_MAX);
        FAIL() << "overflowing append accepted";
    } catch (const EIdTooMuchDataInBuffer& e) {
        EXPECT_STREQ(e.what(), "Too much data in buffer.");
    }
    EXPECT_EQ(Held(buffer_), "x");
}

TEST_F(IdBufferTest, AtRejectsIndexesOutsideHeldBytes) {
    buffer_.AppendBytes(Bytes("ab"));
    buffer_.Discard(1);
    EXPECT_EQ(buffer_.At(0), 'b');
    EXPECT_THROW(buffer_.At(1), EIdRangeException);
    EXPECT_THROW(buffer_.At(-1), EIdRangeException);
}

TEST(IdBufferStackTest, CountsAsStackUser) {
    const int32_t before = TIdStack::Users();
    {
        TIdBuffer buffer;
        EXPECT_EQ(TIdStack::Users(), before + 1);
    }
    EXPECT_EQ(TIdStack::Users(), before);
}

// --- Searching ----------------------------------------------------------------

struct FindCase {
    std::string held;
    int32_t discarded;  // bytes taken off the front first
    std::string pattern;
    int32_t from;
    int32_t expected;
};

class IdBufferFindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(IdBufferFindTest, FindsFirstMatchRelativeToHeldBytes) {
    const FindCase& c = GetParam();
    TIdBuffer buffer;
    buffer.AppendBytes(Bytes(c.held));
    buffer.Discard(c.discarded);
    EXPECT_EQ(buffer.FindText(c.pattern, c.from), c.expected);
    EXPECT_EQ(buffer.FindBytes(Bytes(c.pattern), c.from), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdBufferFindTest,
    ::testing::Values(FindCase{"", 0, "\n", 0, -1}, FindCase{"", 0, "", 5, -1},
                      FindCase{"ab\ncd", 0, "\n", 0, 2}, FindCase{"ab\r", 0, "\r\n", 2, -1},
                      FindCase{"ab\ncd\n", 0, "\n", 3, 5}, FindCase{"aaaaaab", 0, "aaab", 0, 3},
                      FindCase{"xxab\r\n", 2, "\r\n", 0, 2}, FindCase{"abc", 0, "abcd", 0, -1},
                      FindCase{"abc", 0, "bc", 1, 1}, FindCase{"abc", 0, "bc", 2, -1},
                      FindCase{"a\r\r\n", 0, "\r\n", 0, 2}, FindCase{std::string(5000, 'z') + "\n", 2100, "\n", 0, 2900}));

TEST(IdBufferFindErrorsTest, RejectsEmptyPatternAndBadStart) {
    TIdBuffer buffer;
    buffer.AppendBytes(Bytes("abc"));
    try {
        buffer.FindText("", 0);
        FAIL() << "empty pattern accepted";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Buffer terminator must be specified.");
    }
    for (int32_t from : {3, -1, INT32_MAX, INT32_MIN}) {
        try {
            buffer.FindBytes(Bytes("a"), from);
            ADD_FAILURE() << "start " << from << " accepted";
        } catch (const EIdException& e) {
            EXPECT_STREQ(e.what(), "Buffer start position is invalid.");
        }
    }
}

}  // namespace
