// IdSocketApi: private to net/. Pulls in the platform's socket headers
// (Winsock 2 or POSIX) and names the few constants whose spelling differs,
// so that the BSD-style stack code above it is written once.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>

#include "net/IdPlatform.h"

// The portable option and level numbers of IdPlatform.h reach the system
// unchanged: one that differs from this system's own must not compile.
static_assert(Id_SOL_SOCKET == SOL_SOCKET);
static_assert(Id_SO_REUSEADDR == SO_REUSEADDR);
static_assert(Id_SO_SNDBUF == SO_SNDBUF);
static_assert(Id_SO_RCVBUF == SO_RCVBUF);
static_assert(Id_IPPROTO_TCP == IPPROTO_TCP);
static_assert(Id_TCP_NODELAY == TCP_NODELAY);
static_assert(Id_SOCK_STREAM == SOCK_STREAM);

namespace IdSocketApi {
#ifdef _WIN32
constexpr int32_t ShutReceive = SD_RECEIVE;
constexpr int32_t ShutSend = SD_SEND;
constexpr int32_t ShutBoth = SD_BOTH;
#else
constexpr int32_t ShutReceive = SHUT_RD;
constexpr int32_t ShutSend = SHUT_WR;
constexpr int32_t ShutBoth = SHUT_RDWR;
#endif
}  // namespace IdSocketApi
