// ProgramHarness: what the end-to-end tests need besides the shared program
// runner, origin server and waits of tests/support: raw proxy clients, a
// held port, and the exact text the program prints. Linux only; every wait
// in here has a deadline.
#pragma once

#ifndef _WIN32

#include <string>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/OriginServer.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"

namespace e2e {

using namespace vtltest;

// Whether a socket can be bound to ::1 (containers may lack IPv6).
bool HasIPv6Loopback();

// Holds a TCP port by listening on it on all IPv4 addresses.
class THeldPort {
public:
    explicit THeldPort(int port) : socket_(TLoopbackSocket::Listen("0.0.0.0", port, 4)) {}
    bool Held() const { return socket_.Valid(); }

private:
    TLoopbackSocket socket_;
};

// Connects to 127.0.0.1:port, sends the bytes, and collects the answer
// until the peer closes or the limit passes.
std::string ExchangeWithProxy(int port, const std::string& request, Ms limit = Ms{10000});

// A connected loopback socket for tests that speak step by step.
class TClientSocket {
public:
    explicit TClientSocket(int port, const std::string& address = "127.0.0.1") { socket_.ConnectTo(address, port); }
    bool Connected() const { return socket_.Valid(); }
    bool Send(const std::string& bytes) { return socket_.SendAll(bytes, After(ToolLimit)); }
    // Half-close: the proxy sees the end of what we send, we go on reading.
    void ShutdownSending() { socket_.ShutdownWrite(); }
    // Reads until the collected bytes contain the text (true), or the peer
    // closes or the limit passes (false).
    bool ReadUntil(const std::string& text, Ms limit);
    // Reads until the peer closes (true) or the limit passes (false).
    bool ReadUntilClosed(Ms limit);
    const std::string& Received() const { return received_; }

private:
    TLoopbackSocket socket_;
    std::string received_;
};

// The seven banner lines as the program writes them to a non-terminal on
// Linux (box pieces in UTF-8).
std::string BannerText();
// Everything up to and including "Starting proxy server..." and its line
// end, for the given status line (with its leading blank).
std::string StartupText(const std::string& statusLine);
// What follows once the server listens, when output is redirected.
std::string ActiveText();

// The console form of text from the network: bytes below 32, 127 and
// 128-159 shown as "?".
std::string Cleaned(const std::string& text);

// Three log rows in their redirected form.
std::string LogEntry(const std::string& request, const std::string& from, const std::string& size);

// Reads everything a pseudo-terminal master delivers until the collected
// bytes contain the text or the limit passes.
bool ReadTerminalUntil(int masterFd, std::string& collected, const std::string& text, Ms limit);

}  // namespace e2e

#endif  // _WIN32
