// Answers: what tests expect of the proxy's answers: the "Connection:
// close" that ends every head it relays, and its own answers (a status
// line, a head whose Content-Length fits the page, the page). Header only.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/support/SameBytes.h"

namespace vtltest {

// An origin's answer (its head, or head and body) as the client gets it
// through the proxy: "Connection: close" ends every head.
inline std::string AsRelayed(std::string answer) {
    answer.insert(answer.find("\r\n\r\n") + 2, "Connection: close\r\n");
    return answer;
}

// The status code of the answer received, -1 when it has no status line.
inline int StatusOf(std::string_view received) {
    if (received.substr(0, 5) != "HTTP/" || received.size() < 12) {
        return -1;
    }
    return std::atoi(std::string(received.substr(9, 3)).c_str());
}

// Whether received is exactly one of the proxy's own answers with that
// status: its head, a page of the length the head gives, and nothing else.
inline ::testing::AssertionResult IsProxyAnswer(std::string_view received, int status) {
    const size_t end = received.find("\r\n\r\n");
    if (StatusOf(received) != status || received.substr(0, 9) != "HTTP/1.0 " || end == std::string_view::npos) {
        return ::testing::AssertionFailure() << "not a " << status << " answer: \"" << EscapedBytes(received) << '"';
    }
    const std::string_view head = received.substr(0, end + 2);
    const std::string_view page = received.substr(end + 4);
    const std::string length = "\r\nContent-Length: " + std::to_string(page.size()) + "\r\n";
    if (head.find(length) == std::string_view::npos || head.find("\r\nContent-Type: text/html") == std::string::npos ||
        head.substr(head.size() - 19) != "Connection: close\r\n" || page.find("<html>") == std::string::npos) {
        return ::testing::AssertionFailure() << "malformed answer: \"" << EscapedBytes(received) << '"';
    }
    return ::testing::AssertionSuccess();
}

// Whether received is the proxy's 407 with its Basic challenge.
inline ::testing::AssertionResult IsAuthRequired(std::string_view received) {
    const ::testing::AssertionResult answer = IsProxyAnswer(received, 407);
    if (answer && received.find("\r\nProxy-Authenticate: Basic realm=\"Connection to Vantrel: Authentication "
                                "Required\"\r\n") == std::string_view::npos) {
        return ::testing::AssertionFailure() << "no challenge: \"" << EscapedBytes(received) << '"';
    }
    return answer;
}

}  // namespace vtltest
