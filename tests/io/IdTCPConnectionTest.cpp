// Tests of the connection object: owned and borrowed I/O handlers and their
// lifetimes in both orders of destruction, disconnecting, the response-line
// writer, and progress notifications travelling from handler to connection.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "io/IdIOHandlerSocket.h"
#include "io/IdStream.h"
#include "io/IdTCPConnection.h"
#include "tests/io/FakeTransport.h"

namespace {

// Tells the test when it is destroyed.
class FlaggedTransport : public FakeTransport {
public:
    explicit FlaggedTransport(bool& destroyed) : destroyed_(destroyed) { destroyed_ = false; }
    ~FlaggedTransport() override { destroyed_ = true; }

private:
    bool& destroyed_;
};

TStrings MakeStrings(const std::vector<std::string>& lines) {
    TStrings result;
    for (const std::string& line : lines) {
        result.Add(line);
    }
    return result;
}

struct WorkRecord {
    std::string what;  // "begin", "work" or "end"
    TWorkMode mode;
    int64_t value;
    bool operator==(const WorkRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const WorkRecord& r) {
    return out << r.what << "(" << (r.mode == wmRead ? "read" : "write") << ", " << r.value << ")";
}

void RecordWork(TIdComponent& component, std::vector<WorkRecord>& records) {
    component.OnWorkBegin = [&records](TIdComponent&, TWorkMode mode, int64_t max) {
        records.push_back({"begin", mode, max});
    };
    component.OnWork = [&records](TIdComponent&, TWorkMode mode, int64_t count) {
        records.push_back({"work", mode, count});
    };
    component.OnWorkEnd = [&records](TIdComponent&, TWorkMode mode) { records.push_back({"end", mode, 0}); };
}

class TCPConnectionTest : public ::testing::Test {
protected:
    TIdTCPConnection connection_;
};

TEST_F(TCPConnectionTest, WithoutHandlerNothingIsConnectedAndDisconnectIsHarmless) {
    int disconnects = 0;
    connection_.OnDisconnected = [&disconnects](TIdComponent&) { ++disconnects; };
    std::vector<std::string> statuses;
    connection_.OnStatus = [&statuses](TIdComponent&, TIdStatus, const std::string& text) { statuses.push_back(text); };

    EXPECT_FALSE(connection_.IsConnected());
    EXPECT_NO_THROW(connection_.Disconnect());
    EXPECT_EQ(0, disconnects);
    EXPECT_TRUE(statuses.empty());

    EXPECT_NO_THROW(connection_.CheckPeerClosed(false));
    try {
        connection_.CheckPeerClosed(true);
        FAIL() << "expected EIdException";
    } catch (const EIdException& e) {
        EXPECT_STREQ("Not Connected", e.what());
    }
    try {
        connection_.WriteResponseLines(MakeStrings({"x"}));
        FAIL() << "expected EIdNotConnected";
    } catch (const EIdNotConnected& e) {
        EXPECT_STREQ("Not connected.", e.what());
    }
}

TEST_F(TCPConnectionTest, ReplacingOwnedHandlerFreesIt) {
    bool destroyed = false;
    connection_.AdoptIOHandler(std::make_unique<FlaggedTransport>(destroyed));
    EXPECT_TRUE(connection_.OwnsHandler());

    // Setting the same handler again changes nothing, and above all frees nothing.
    connection_.SetIOHandler(connection_.IOHandler());
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(connection_.OwnsHandler());

    FakeTransport borrowed;
    connection_.SetIOHandler(&borrowed);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(connection_.OwnsHandler());
    EXPECT_EQ(&borrowed, connection_.IOHandler());
}

TEST_F(TCPConnectionTest, ReplacingBorrowedHandlerLeavesItAliveAndUnlinked) {
    bool destroyed = false;
    FlaggedTransport first(destroyed);
    FakeTransport second;
    connection_.SetIOHandler(&first);
    EXPECT_EQ(&connection_, first.WorkTarget());
    connection_.SetIOHandler(&second);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(nullptr, first.WorkTarget());
    EXPECT_EQ(&connection_, second.WorkTarget());

    // The old handler's progress no longer reaches the connection.
    std::vector<WorkRecord> records;
    RecordWork(connection_, records);
    TMemoryStream stream;
    stream.Write("abc", 3);
    first.WriteFromStream(stream, 0, false);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ("abc", first.SentText());
}

TEST_F(TCPConnectionTest, HandlerDestroyedFromOutsideIsForgotten) {
    auto handler = std::make_unique<TIdIOHandlerStack>();
    connection_.SetIOHandler(handler.get());
    EXPECT_EQ(handler.get(), connection_.IOHandler());
    EXPECT_EQ(handler.get(), connection_.SocketHandler());
    handler.reset();
    EXPECT_EQ(nullptr, connection_.IOHandler());
    EXPECT_EQ(nullptr, connection_.SocketHandler());
    EXPECT_FALSE(connection_.IsConnected());
    EXPECT_NO_THROW(connection_.Disconnect());
}

TEST_F(TCPConnectionTest, NonSocketHandlerHasNoSocketView) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    EXPECT_EQ(nullptr, connection_.SocketHandler());
}

TEST(TCPConnectionLifetimeTest, ConnectionDestroyedBeforeBorrowedHandler) {
    FakeTransport handler;
    {
        TIdTCPConnection connection;
        connection.SetIOHandler(&handler);
        EXPECT_TRUE(handler.IsOpened());
    }
    // The connection closed the channel and stopped forwarding progress.
    EXPECT_FALSE(handler.IsOpened());
    EXPECT_EQ(nullptr, handler.WorkTarget());
    std::vector<WorkRecord> records;
    RecordWork(handler, records);
    handler.OpenChannel();
    TMemoryStream stream;
    stream.Write("xy", 2);
    handler.WriteFromStream(stream, 0, false);
    EXPECT_EQ((std::vector<WorkRecord>{{"begin", wmWrite, 2}, {"work", wmWrite, 2}, {"end", wmWrite, 0}}), records);
}

TEST_F(TCPConnectionTest, DisconnectClosesOnceAndKeepsQueuedInput) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    int disconnects = 0;
    connection_.OnDisconnected = [&disconnects](TIdComponent&) { ++disconnects; };
    std::vector<std::string> statuses;
    connection_.OnStatus = [&statuses](TIdComponent&, TIdStatus, const std::string& text) { statuses.push_back(text); };

    handler.Deliver("kept\r\n");
    EXPECT_TRUE(connection_.IsConnected());
    connection_.Disconnect();
    EXPECT_EQ(1, disconnects);
    EXPECT_EQ((std::vector<std::string>{"Disconnecting.", "Disconnected."}), statuses);
    EXPECT_FALSE(handler.IsOpened());
    EXPECT_EQ(&handler, connection_.IOHandler());

    connection_.Disconnect();
    EXPECT_EQ(1, disconnects);
    EXPECT_EQ(2u, statuses.size());
    EXPECT_EQ("kept", handler.ReadLine());
}

TEST_F(TCPConnectionTest, PeerCheckRaisesOnceClosedAndDrained) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    handler.PeerCloses();
    EXPECT_FALSE(connection_.IsConnected());
    EXPECT_THROW(connection_.CheckPeerClosed(true), EIdConnClosedGracefully);
}

TEST_F(TCPConnectionTest, ResponseLinesOfEmptyListAreOnlyTheEndLine) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    connection_.WriteResponseLines(TStrings());
    EXPECT_EQ(".\r\n", handler.SentText());
}

TEST_F(TCPConnectionTest, ResponseLinesAreDotStuffed) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    connection_.WriteResponseLines(MakeStrings({".hidden", "plain", ""}));
    EXPECT_EQ("..hidden\r\nplain\r\n\r\n.\r\n", handler.SentText());
}

TEST_F(TCPConnectionTest, HandlerProgressReachesConnectionEvents) {
    FakeTransport handler;
    connection_.SetIOHandler(&handler);
    std::vector<WorkRecord> records;
    RecordWork(connection_, records);
    std::vector<WorkRecord> handlerRecords;
    RecordWork(handler, handlerRecords);

    // Reads count as the bytes taken from the input queue: first the 4 that
    // were already queued, then the 6 that followed.
    handler.Deliver("0123456789", 4);
    handler.IsConnected();
    TMemoryStream in;
    handler.ReadIntoStream(in, 10, false);
    const std::vector<WorkRecord> reads{{"begin", wmRead, 10}, {"work", wmRead, 4}, {"work", wmRead, 10},
                                        {"end", wmRead, 0}};
    EXPECT_EQ(reads, records);

    records.clear();
    TMemoryStream out;
    const std::string body(70000, 'w');
    out.Write(body.data(), static_cast<int64_t>(body.size()));
    handler.WriteFromStream(out, 0, false);
    const std::vector<WorkRecord> writes{{"begin", wmWrite, 70000}, {"work", wmWrite, 32768},
                                         {"work", wmWrite, 65536}, {"work", wmWrite, 70000}, {"end", wmWrite, 0}};
    EXPECT_EQ(writes, records);

    // Outside a begun piece of work nothing is reported.
    records.clear();
    handler.WriteLine("loose");
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(handlerRecords.empty());
}

}  // namespace
