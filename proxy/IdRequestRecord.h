// IdRequestRecord: what the proxy tells about one finished request (served,
// refused or cut short), for the access log. Credentials never go in here.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct TIdRequestRecord {
    std::chrono::system_clock::time_point started;  // when the connection's request began
    std::string client;                              // client address text
    std::string method;                              // first word of the request line as received
    std::string target;                              // host:port for CONNECT, the request URI otherwise
    int status = -1;                                 // status code sent to the client; -1 when none was sent
    uint64_t bytesToClient = 0;
    uint64_t bytesFromClient = 0;
    int64_t durationMs = 0;
};
