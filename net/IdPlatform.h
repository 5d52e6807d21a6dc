// IdPlatform: the one place that names the platform's socket type, its
// invalid value and the socket option constants, so that everything above
// net/ is written once for Windows and POSIX. Each platform's stack checks
// these numbers against the system's headers when it is compiled.
#pragma once

#include <cstdint>

#ifdef _WIN32
using TIdStackSocketHandle = std::uintptr_t;  // SOCKET
constexpr TIdStackSocketHandle InvalidSocket = ~static_cast<TIdStackSocketHandle>(0);
constexpr int32_t Id_SOL_SOCKET = 0xFFFF;
constexpr int32_t Id_SO_REUSEADDR = 4;
constexpr int32_t Id_SO_SNDBUF = 0x1001;
constexpr int32_t Id_SO_RCVBUF = 0x1002;
constexpr int32_t Id_IPPROTO_TCP = 6;
constexpr int32_t Id_TCP_NODELAY = 1;
constexpr int32_t Id_SOCK_STREAM = 1;
#else
using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle InvalidSocket = -1;
constexpr int32_t Id_SOL_SOCKET = 1;
constexpr int32_t Id_SO_REUSEADDR = 2;
constexpr int32_t Id_SO_SNDBUF = 7;
constexpr int32_t Id_SO_RCVBUF = 8;
constexpr int32_t Id_IPPROTO_TCP = 6;
constexpr int32_t Id_TCP_NODELAY = 1;
constexpr int32_t Id_SOCK_STREAM = 1;
#endif
