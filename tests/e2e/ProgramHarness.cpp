// ProgramHarness: the raw clients of the end-to-end tests and the text the
// program is expected to print.
#ifndef _WIN32

#include "tests/e2e/ProgramHarness.h"

#include <poll.h>
#include <unistd.h>

namespace e2e {

namespace {

Ms Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    return left.count() > 0 ? left : Ms{0};
}

std::string Repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

}  // namespace

bool HasIPv6Loopback() {
    return TLoopbackSocket::Listen("::1", 0, 1).Valid();
}

bool TClientSocket::ReadUntil(const std::string& text, Ms limit) {
    TEnd end = TEnd::TimedOut;
    return socket_.ReadUntil(received_, text, After(limit), end);
}

bool TClientSocket::ReadUntilClosed(Ms limit) {
    return socket_.ReadToEnd(received_, After(limit)) != TEnd::TimedOut;
}

std::string ExchangeWithProxy(int port, const std::string& request, Ms limit) {
    TClientSocket client(port);
    if (!client.Send(request)) {
        return {};
    }
    client.ReadUntilClosed(limit);
    return client.Received();
}

// ---------------------------------------------------------- expected text

std::string BannerText() {
    // U+2554 U+2550 U+2557 U+2551 U+255A U+255D in UTF-8.
    const std::string topLeft = "\xE2\x95\x94";
    const std::string horizontal = "\xE2\x95\x90";
    const std::string topRight = "\xE2\x95\x97";
    const std::string vertical = "\xE2\x95\x91";
    const std::string bottomLeft = "\xE2\x95\x9A";
    const std::string bottomRight = "\xE2\x95\x9D";
    auto framed = [&vertical](std::string text) {
        text.resize(41, ' ');
        return vertical + text + vertical + "\n";
    };
    return topLeft + Repeated(horizontal, 41) + topRight + "\n" + framed(" Vantrel v0.3") + framed("") +
           framed(" HTTP/1.0 forward proxy with CONNECT") + framed(" Settings: vtl.ini beside the program") +
           framed(" Stop: Ctrl+C") + bottomLeft + Repeated(horizontal, 41) + bottomRight + "\n";
}

std::string StartupText(const std::string& statusLine) {
    return BannerText() + "\nReading settings... \n" + statusLine + "\nStarting proxy server...\n";
}

std::string ActiveText() {
    return "\nProxy server is active...\n";
}

std::string Cleaned(const std::string& text) {
    std::string clean = text;
    for (char& c : clean) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 || code == 127 || (code >= 128 && code <= 159)) {
            c = '?';
        }
    }
    return clean;
}

std::string LogEntry(const std::string& request, const std::string& from, const std::string& size) {
    return "Request: " + request + "\nFrom: " + from + "\nSize: " + size + "\n";
}

bool ReadTerminalUntil(int masterFd, std::string& collected, const std::string& text, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (collected.find(text) == std::string::npos) {
        pollfd entry{masterFd, POLLIN, 0};
        if (Remaining(deadline).count() == 0 || poll(&entry, 1, static_cast<int>(Remaining(deadline).count())) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t got = read(masterFd, buffer, sizeof buffer);
        if (got <= 0) {
            // EIO: every slave descriptor is closed, the program has ended.
            break;
        }
        collected.append(buffer, static_cast<size_t>(got));
    }
    return collected.find(text) != std::string::npos;
}

}  // namespace e2e

#endif  // _WIN32
