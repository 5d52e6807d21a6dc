// Tests of the outbound client and its socket I/O handler over real loopback
// connections: connect checks and failures, reuse after a failed connect,
// line and stream exchange, the peer's close as the reader sees it, read
// timeouts, the timed connect, and sending to a peer that has gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/IdException.h"
#include "io/IdIOHandlerSocket.h"
#include "io/IdStream.h"
#include "io/IdTCPClient.h"
#include "tests/io/OpaqueStream.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/OriginServer.h"
#include "tests/support/SameBytes.h"
#include "tests/support/Wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtltest::SameBytes;
using vtltest::TOriginConnection;
using vtltest::TOriginServer;
using vtltest::WaitUntil;

std::string Pattern(size_t size, unsigned seed = 0) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 13 + i / 509 + seed) & 0xFF);
    }
    return text;
}

std::string StreamText(const TMemoryStream& stream) {
    const std::vector<uint8_t> bytes = stream.ToBytes();
    return std::string(bytes.begin(), bytes.end());
}

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A port on 127.0.0.1 that refuses connections: bound, never listening, and
// held for the fixture's lifetime so nobody else can take it meanwhile.
class RefusingPort {
public:
    RefusingPort() {
        socket_.SetIP("127.0.0.1");
        socket_.SetPort(0);
        socket_.OpenSocket();
        socket_.Bind();
    }
    int32_t Port() const { return socket_.Port(); }

private:
    vtltest::TStackUse stackUse_;
    TIdSocketHandle socket_;
};

class TCPClientTest : public ::testing::Test {
protected:
    // Declared before the client, so the client closes first and a server
    // handler waiting for that close sees it.
    std::unique_ptr<TOriginServer> server_;
    TIdTCPClient client_;
    size_t connections_ = 0;

    void Serve(TOriginServer::TScript handler, size_t connections = 1) {
        server_ = std::make_unique<TOriginServer>(std::move(handler));
        connections_ = connections;
    }
    void ConnectToServer(const std::string& host = "127.0.0.1") {
        client_.SetHost(host);
        client_.SetPort(server_->Port());
        client_.Connect();
    }
    TIdIOHandler& IO() { return *client_.IOHandler(); }
    // Waits until the handler has served every connection.
    bool Served() { return server_->WaitFinished(connections_); }
    void ExpectServerFine() {
        EXPECT_TRUE(Served()) << "no client connected";
        EXPECT_EQ("", server_->Errors());
    }
};

// Echoes one line back with a prefix, then waits for the client to close.
void EchoOneLine(TOriginConnection& peer) {
    EXPECT_TRUE(peer.Send("echo " + peer.ReadLine() + "\r\n"));
    peer.ReadUntilClose();
}

// ------------------------------------------------------------------ connect

TEST_F(TCPClientTest, PortZeroIsRejectedBeforeAnySocketExists) {
    client_.SetHost("127.0.0.1");
    client_.SetPort(0);
    EXPECT_THROW(client_.Connect(), EIdPortRequired);
    EXPECT_EQ(nullptr, client_.IOHandler());
}

TEST_F(TCPClientTest, EmptyHostIsRejected) {
    client_.SetPort(80);
    EXPECT_THROW(client_.Connect(), EIdHostRequired);
    EXPECT_EQ(nullptr, client_.IOHandler());
}

TEST_F(TCPClientTest, RefusedConnectLeavesClientReusable) {
    RefusingPort refusing;
    client_.SetHost("127.0.0.1");
    client_.SetPort(refusing.Port());
    try {
        client_.Connect();
        FAIL() << "expected EIdSocketError";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(IdErr::ConnectionRefused, e.LastError());
        EXPECT_STREQ("Socket Error # 10061\r\nConnection refused.", e.what());
    }
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_EQ(nullptr, client_.IOHandler());  // the implicit handler was freed

    Serve(EchoOneLine);
    client_.SetPort(server_->Port());
    client_.Connect();
    IO().WriteLine("again");
    EXPECT_EQ("echo again", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, RefusedConnectClosesButKeepsBorrowedHandler) {
    RefusingPort refusing;
    TIdIOHandlerStack handler;
    client_.SetIOHandler(&handler);
    client_.SetHost("127.0.0.1");
    client_.SetPort(refusing.Port());
    EXPECT_THROW(client_.Connect(), EIdSocketError);
    EXPECT_EQ(&handler, client_.IOHandler());
    EXPECT_FALSE(handler.IsOpened());
    EXPECT_FALSE(handler.Binding()->HasSocket());
    client_.SetIOHandler(nullptr);
}

TEST_F(TCPClientTest, LocalHostInAnyCaseConnectsToLoopback) {
    Serve(EchoOneLine);
    std::vector<std::string> statuses;
    client_.OnStatus = [&statuses](TIdComponent&, TIdStatus, const std::string& text) { statuses.push_back(text); };
    ConnectToServer("LocalHost");
    ASSERT_NE(nullptr, client_.SocketHandler());
    EXPECT_EQ("127.0.0.1", client_.SocketHandler()->Binding()->PeerIP());
    EXPECT_EQ(server_->Port(), client_.SocketHandler()->Binding()->PeerPort());
    // The client hands its status handler to the handler it creates.
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Connecting to 127.0.0.1."), statuses.end());
    EXPECT_EQ("Connected.", statuses.back());
    IO().WriteLine("hi");
    EXPECT_EQ("echo hi", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, SecondConnectWhileConnectedRaises) {
    Serve(EchoOneLine);
    ConnectToServer();
    try {
        client_.Connect();
        FAIL() << "expected EIdAlreadyConnected";
    } catch (const EIdAlreadyConnected& e) {
        EXPECT_STREQ("Already connected.", e.what());
    }
    IO().WriteLine("still");
    EXPECT_EQ("echo still", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, ReconnectAfterDisconnectReusesTheHandler) {
    Serve(EchoOneLine, 2);
    ConnectToServer();
    TIdIOHandler* first = client_.IOHandler();
    IO().WriteLine("one");
    EXPECT_EQ("echo one", IO().ReadLine());
    client_.Disconnect();

    client_.Connect();
    EXPECT_EQ(first, client_.IOHandler());
    IO().WriteLine("two");
    EXPECT_EQ("echo two", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, TimedConnectSucceedsOnListeningPort) {
    Serve(EchoOneLine);
    client_.SetConnectTimeout(5000);
    ConnectToServer();
    EXPECT_EQ(server_->Port(), client_.SocketHandler()->Binding()->PeerPort());
    EXPECT_EQ("127.0.0.1", client_.SocketHandler()->Binding()->IP());
    IO().WriteLine("timed");
    EXPECT_EQ("echo timed", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, TimedConnectReportsRefusal) {
    RefusingPort refusing;
    client_.SetConnectTimeout(5000);
    client_.SetHost("127.0.0.1");
    client_.SetPort(refusing.Port());
    try {
        client_.Connect();
        FAIL() << "expected EIdSocketError";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(IdErr::ConnectionRefused, e.LastError());
    }
    EXPECT_EQ(nullptr, client_.IOHandler());
}

// ------------------------------------------------------------ exchanging

TEST_F(TCPClientTest, MegabyteBothWaysWithLinesThenCleanDisconnect) {
    constexpr size_t size = 1024 * 1024;
    const std::string upload = Pattern(size, 1);
    const std::string download = Pattern(size, 2);
    bool uploadIntact = false;
    std::string closingLine;
    Serve([&](TOriginConnection& peer) {
        EXPECT_EQ("SIZE 1048576", peer.ReadLine());
        uploadIntact = peer.ReadExactly(size) == upload;
        EXPECT_TRUE(peer.Send("OK\r\n" + download + "DONE\r\n"));
        closingLine = peer.ReadLine();
        peer.ReadUntilClose();
    });
    ConnectToServer();
    int disconnects = 0;
    client_.OnDisconnected = [&disconnects](TIdComponent&) { ++disconnects; };

    TMemoryStream out;
    out.Write(upload.data(), static_cast<int64_t>(upload.size()));
    IO().WriteLine("SIZE 1048576");
    IO().WriteFromStream(out, 0, false);
    EXPECT_EQ("OK", IO().ReadLine());
    TMemoryStream in;
    IO().ReadIntoStream(in, static_cast<int64_t>(size), false);
    EXPECT_EQ(static_cast<int64_t>(size), in.Size());
    EXPECT_TRUE(SameBytes(StreamText(in), download));
    EXPECT_EQ("DONE", IO().ReadLine());
    IO().WriteLine("BYE");

    client_.Disconnect();
    EXPECT_EQ(1, disconnects);
    EXPECT_FALSE(client_.IsConnected());
    client_.Disconnect();
    EXPECT_EQ(1, disconnects);
    ExpectServerFine();
    EXPECT_TRUE(uploadIntact);
    EXPECT_EQ("BYE", closingLine);
}

TEST_F(TCPClientTest, StreamUntilCloseGetsEveryByteWithoutError) {
    const std::string body = Pattern(70000);
    Serve([&body](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send(body));
        peer.Close();
    });
    ConnectToServer();
    TMemoryStream stream;
    IO().ReadIntoStream(stream, -1, true);
    EXPECT_EQ(70000, stream.Size());
    EXPECT_TRUE(SameBytes(StreamText(stream), body));
    EXPECT_FALSE(client_.IsConnected());
    ExpectServerFine();
}

TEST_F(TCPClientTest, FixedStreamCutShortByPeerHoldsWhatArrived) {
    const std::string body = Pattern(60);
    Serve([&body](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send(body));
        peer.Close();
    });
    ConnectToServer();
    TMemoryStream stream;
    try {
        IO().ReadIntoStream(stream, 100, false);
    } catch (const EIdConnClosedGracefully&) {
        // Raised unless the close was already seen before a chunk read began.
    }
    EXPECT_EQ(60, stream.Size());
    EXPECT_EQ(body, StreamText(stream));
    ExpectServerFine();
}

// Bodies go straight into the stream's memory in chunks of RecvBufferSize;
// a close before a chunk's first byte ends a fixed-size read quietly, a
// close inside a chunk raises. Both keep every byte that came.
struct CutShortCase {
    size_t sent;
    int64_t asked;
    bool raises;
};

class FixedStreamCutShortTest : public TCPClientTest, public ::testing::WithParamInterface<CutShortCase> {};

TEST_P(FixedStreamCutShortTest, KeepsWhatArrivedAndRaisesOnlyInsideAChunk) {
    const CutShortCase c = GetParam();
    const std::string body = Pattern(c.sent, 3);
    Serve([&body](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send(body));
        peer.Close();
    });
    ConnectToServer();
    TMemoryStream stream;
    bool raised = false;
    try {
        IO().ReadIntoStream(stream, c.asked, false);
    } catch (const EIdConnClosedGracefully&) {
        raised = true;
    }
    EXPECT_EQ(c.raises, raised);
    EXPECT_EQ(static_cast<int64_t>(c.sent), stream.Size());
    EXPECT_TRUE(SameBytes(StreamText(stream), body));
    ExpectServerFine();
}

INSTANTIATE_TEST_SUITE_P(Chunks, FixedStreamCutShortTest,
                         ::testing::Values(CutShortCase{32768, 40000, false}, CutShortCase{65536, 70000, false},
                                           CutShortCase{40000, 70000, true}, CutShortCase{1, 32768, true}));

// A stream that cannot offer its memory is filled through the input queue.
TEST_F(TCPClientTest, StreamWithoutDirectAccessGetsEveryByteThroughTheQueue) {
    const std::string body = Pattern(70000, 4);
    Serve([&body](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send(body));
        peer.Close();
    });
    ConnectToServer();
    OpaqueStream stream;
    IO().ReadIntoStream(stream, -1, true);
    EXPECT_TRUE(SameBytes(StreamText(stream.Inner()), body));
    ExpectServerFine();
}

TEST_F(TCPClientTest, QueuedInputKeepsClosedConnectionReadable) {
    const std::string body = Pattern(100);
    Serve([&body](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send(body));
        peer.Close();
    });
    ConnectToServer();
    EXPECT_TRUE(Served());
    // IsConnected collects what is ready, the close included.
    ASSERT_TRUE(WaitUntil([this] { return !client_.IsConnected() || IO().PeerClosed(); }));
    EXPECT_TRUE(IO().PeerClosed());
    EXPECT_TRUE(client_.IsConnected());
    EXPECT_EQ(100, IO().InputQueue()->Used());

    TIdBytes bytes;
    IO().ReadBytesInto(bytes, 100, false);
    EXPECT_EQ(body, BytesToText(bytes));
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_THROW(IO().ReadBytesInto(bytes, 1, false), EIdConnClosedGracefully);
    EXPECT_THROW(IO().ReadLine(), EIdConnClosedGracefully);
    EXPECT_EQ("", server_->Errors());
}

TEST_F(TCPClientTest, ZeroTimeoutFillOnIdleConnectionReturnsAtOnce) {
    Serve([](TOriginConnection& peer) { peer.ReadUntilClose(); });
    ConnectToServer();
    const auto start = Clock::now();
    EXPECT_EQ(-1, IO().FillFromSource(false, 0, false));
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_TRUE(IO().InputIsEmpty());
    EXPECT_TRUE(client_.IsConnected());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, ReadTimeoutEndsLineReadWithEmptyLine) {
    Serve([](TOriginConnection& peer) {
        EXPECT_TRUE(peer.Send("hello\r\npart"));
        EXPECT_EQ("go", peer.ReadLine());
        EXPECT_TRUE(peer.Send("ial\r\n"));
        peer.ReadUntilClose();
    });
    ConnectToServer();
    EXPECT_EQ("hello", IO().ReadLine());
    ASSERT_TRUE(WaitUntil([this] {
        IO().FillFromSource(false, 50, false);
        return IO().InputQueue()->Used() == 4;
    }));

    client_.SetReadTimeout(100);
    EXPECT_EQ(100, IO().ReadTimeout());
    const auto start = Clock::now();
    EXPECT_EQ("", IO().ReadLine());
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_TRUE(IO().LineTimedOut());
    EXPECT_GE(elapsed, 80);  // coarse timers may end a wait a tick early
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(4, IO().InputQueue()->Used());

    IO().WriteLine("go");
    EXPECT_EQ("partial", IO().ReadLine());
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, ReadAvailableReturnsWhatArrivesWithinReadTimeout) {
    Serve([](TOriginConnection& peer) {
        EXPECT_EQ("ping", peer.ReadLine());
        EXPECT_TRUE(peer.Send("pong"));
        peer.ReadUntilClose();
    });
    ConnectToServer();
    client_.SetReadTimeout(100);
    TIdBytes chunk = TextToBytes("=");
    IO().ReadBytesInto(chunk, -1, true);  // nothing sent yet: times out quietly
    EXPECT_EQ("=", BytesToText(chunk));

    IO().WriteLine("ping");
    ASSERT_TRUE(WaitUntil([&] {
        IO().ReadBytesInto(chunk, -1, true);
        return chunk.size() >= 5;
    }));
    EXPECT_EQ("=pong", BytesToText(chunk));
    client_.Disconnect();
    ExpectServerFine();
}

TEST_F(TCPClientTest, SendingToPeerThatHasGoneRaisesSocketError) {
    Serve([](TOriginConnection& peer) { peer.Close(); });
    ConnectToServer();
    EXPECT_TRUE(Served());
    const TIdBytes chunk(65536, 'x');
    bool raised = false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    // The first sends may still be taken by the local stack; once the peer's
    // reset is back, a send fails, and must do so by raising (no SIGPIPE).
    while (!raised && Clock::now() < deadline) {
        try {
            IO().WriteBytes(chunk);
        } catch (const EIdSocketError&) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);
    client_.Disconnect();
}

// ------------------------------------------------------ the socket handler

TEST(IOHandlerStackTest, NeverOpenedHandlerRaisesInsteadOfTouchingASocket) {
    TIdIOHandlerStack handler;
    EXPECT_FALSE(handler.IsConnected());
    EXPECT_EQ(0, handler.FillFromSource(false, 0, false));
    try {
        handler.ReadLine();
        FAIL() << "expected EIdException";
    } catch (const EIdException& e) {
        EXPECT_STREQ("Not Connected", e.what());
    }
    EXPECT_THROW(handler.WriteLine("nowhere"), EIdException);
}

TEST_F(TCPClientTest, NagleSettingIsWrittenToEveryNewSocket) {
    Serve([](TOriginConnection& peer) { peer.ReadUntilClose(); }, 2);
    TIdIOHandlerStack handler;  // borrowed: the client copies its settings in
    client_.SetIOHandler(&handler);
    handler.SetUseNagle(false);
    ConnectToServer();
    EXPECT_NE(0, handler.Binding()->GetIntOption(Id_IPPROTO_TCP, Id_TCP_NODELAY));
    handler.SetUseNagle(true);  // applied at once to the open socket
    EXPECT_EQ(0, handler.Binding()->GetIntOption(Id_IPPROTO_TCP, Id_TCP_NODELAY));
    client_.Disconnect();

    client_.Connect();
    EXPECT_EQ(0, handler.Binding()->GetIntOption(Id_IPPROTO_TCP, Id_TCP_NODELAY));
    client_.Disconnect();
    client_.SetIOHandler(nullptr);
    ExpectServerFine();
}

struct DestinationCase {
    const char* text;
    std::string host;
    int32_t port;
};

class DestinationTest : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(DestinationTest, TextSplitsIntoHostAndPort) {
    TIdIOHandlerStack handler;
    handler.SetDefaultPort(80);
    handler.SetHost("before");
    handler.SetPort(1);
    handler.SetDestination(GetParam().text);
    EXPECT_EQ(GetParam().host, handler.Host());
    EXPECT_EQ(GetParam().port, handler.Port());
}

INSTANTIATE_TEST_SUITE_P(Table, DestinationTest,
                         ::testing::Values(DestinationCase{"origin.example:8080", "origin.example", 8080},
                                           DestinationCase{"h: 99 ", "h", 99},
                                           DestinationCase{"h:abc", "h", 80},
                                           DestinationCase{"h:", "h", 80},
                                           DestinationCase{"no-colon", "before", 1}));

TEST(IOHandlerStackTest, DestinationLeavesOutTheDefaultPort) {
    TIdIOHandlerStack handler;
    handler.SetDefaultPort(80);
    handler.SetHost("h");
    handler.SetPort(80);
    EXPECT_EQ("h", handler.Destination());
    handler.SetPort(8080);
    EXPECT_EQ("h:8080", handler.Destination());
    handler.SetPort(0);
    EXPECT_EQ("h", handler.Destination());
}

}  // namespace
