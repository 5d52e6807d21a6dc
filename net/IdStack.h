// IdStack: the process-wide socket stack. TIdStack declares what the upper
// layers may ask of the platform's sockets; TIdStackBSDBase implements the
// common BSD-style part over a raw layer of single platform calls; one
// platform class per OS (TIdStackPosix, TIdStackWindows) supplies that layer.
// Every failing call raises EIdSocketError carrying the Winsock-style number
// (10000 + BSD number, 11001 for an unknown host) on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/IdGlobal.h"
#include "base/IdIPAddress.h"
#include "net/IdPlatform.h"
#include "net/IdSocketPump.h"

// Error numbers of the socket error table (identical on every platform).
namespace IdErr {
constexpr int32_t Interrupted = 10004;
constexpr int32_t BadFile = 10009;
constexpr int32_t AccessDenied = 10013;
constexpr int32_t InvalidArgument = 10022;
constexpr int32_t TooManyFiles = 10024;
constexpr int32_t WouldBlock = 10035;
constexpr int32_t InProgress = 10036;
constexpr int32_t NotASocket = 10038;
constexpr int32_t AddressInUse = 10048;
constexpr int32_t ConnectionAborted = 10053;
constexpr int32_t ConnectionReset = 10054;
constexpr int32_t NotConnected = 10057;
constexpr int32_t TimedOut = 10060;
constexpr int32_t ConnectionRefused = 10061;
constexpr int32_t HostNotFound = 11001;
}  // namespace IdErr

// Why an accept gave no connection, as far as the listener has to know.
enum class TIdAcceptFault {
    None,       // a connection was accepted
    Retry,      // only that one connection failed (reset or aborted while it
                // waited, nothing pending after all): the next may be taken
                // at once
    Exhausted,  // out of descriptors, buffers or memory, or a failure of no
                // known kind: the connection stays queued, and trying again
                // at once would fail again until resources are freed
    Closed,     // the listening socket was closed or shut down, or does not
                // listen: nothing will ever be accepted from it again
};

class TIdStack {
public:
    TIdStack();
    virtual ~TIdStack();
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // --- Lifetime: StackUsers counts live users; the first creates the stack,
    // the last frees it. Thread-safe.
    static void IncUsage();
    static void DecUsage();
    static int32_t Users();
    // The live stack (valid while a user exists).
    static TIdStack& Instance();

    // --- Sockets (all raise EIdSocketError on failure unless noted).
    virtual TIdStackSocketHandle CreateSocket(int32_t socketType, int32_t protocol,
                                              TIdIPVersion ipVersion, bool overlapped = false) = 0;
    // ip empty = the any-address of that family; port 0 = the platform picks.
    virtual void Bind(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                      TIdIPVersion ipVersion) = 0;
    virtual void Listen(TIdStackSocketHandle socket, int32_t backlog) = 0;
    // Never raises: a failed accept returns InvalidSocket, and fault (when
    // given) tells why. The peer text is made for the family the platform
    // reports (peerVersion).
    virtual TIdStackSocketHandle Accept(TIdStackSocketHandle listening, std::string& peerIP, int32_t& peerPort,
                                        TIdIPVersion& peerVersion, TIdAcceptFault* fault) = 0;
    TIdStackSocketHandle Accept(TIdStackSocketHandle listening, std::string& peerIP, int32_t& peerPort,
                                TIdIPVersion& peerVersion) {
        return Accept(listening, peerIP, peerPort, peerVersion, nullptr);
    }
    // ip must be an address text of that version (no lookup here).
    virtual void Connect(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                         TIdIPVersion ipVersion) = 0;
    // The same connect, given up after timeoutMs (> 0): false then, and the
    // socket is of no further use. Other failures raise.
    virtual bool ConnectWithin(TIdStackSocketHandle socket, const std::string& ip, int32_t port,
                               TIdIPVersion ipVersion, int32_t timeoutMs) = 0;
    // One platform send; may send fewer bytes than asked. Never raises SIGPIPE.
    virtual int32_t Send(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) = 0;
    int32_t Send(TIdStackSocketHandle socket, const TIdBytes& bytes, int32_t offset, int32_t size = -1);
    // One send that never waits for room: the count taken, or -1 when the
    // socket cannot take anything now. Other failures raise.
    virtual int32_t SendNoWait(TIdStackSocketHandle socket, const uint8_t* data, int32_t size) = 0;
    // One platform receive of at most size bytes; 0 = the peer closed.
    virtual int32_t Receive(TIdStackSocketHandle socket, uint8_t* data, int32_t size) = 0;
    // One receive that never waits: the count (0 = the peer closed), or -1
    // when nothing has arrived. Other failures raise.
    virtual int32_t ReceiveNoWait(TIdStackSocketHandle socket, uint8_t* data, int32_t size) = 0;
    int32_t Receive(TIdStackSocketHandle socket, TIdBytes& buffer);
    // Whether the peer has ended its stream or reset the connection, told
    // without taking a byte and without waiting: false while bytes wait to
    // be read, and while nothing has arrived.
    virtual bool PeerHasClosed(TIdStackSocketHandle socket) = 0;
    // Shuts down sending, then closes; errors ignored.
    virtual void Disconnect(TIdStackSocketHandle socket) = 0;
    // Closes without shutting anything down first (after SetAbortiveClose:
    // the peer gets the reset and no end of stream before it); errors ignored.
    virtual void CloseAtOnce(TIdStackSocketHandle socket) = 0;
    // Shuts down both directions without closing, so that a thread blocked
    // in a wait or receive on this socket wakes up; errors ignored.
    virtual void WakeAndShutdown(TIdStackSocketHandle socket) = 0;
    // Half-close: shuts down the sending direction only (the peer sees the
    // end of the stream and can still send to us); errors ignored.
    virtual void ShutdownSending(TIdStackSocketHandle socket) = 0;
    // Makes the coming close reset the connection (zero linger) instead of
    // queueing an end-of-stream behind bytes the peer will never read;
    // errors ignored.
    virtual void SetAbortiveClose(TIdStackSocketHandle socket) = 0;
    virtual void LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                               TIdIPVersion& ipVersion) = 0;
    virtual void PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port,
                              TIdIPVersion& ipVersion) = 0;
    // level/name are the platform's values; use the Id_ constants of IdPlatform.h.
    virtual void SetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name, int32_t value) = 0;
    virtual int32_t GetIntOption(TIdStackSocketHandle socket, int32_t level, int32_t name) = 0;

    // --- Readiness. Waits until at least one of the sockets is readable
    // (data, a pending connection, or end-of-stream) or timeoutMs passes
    // (TimeoutInfinite: no limit, 0: poll). ready (when given, count entries)
    // tells which. Returns whether any is readable; a failing wait raises.
    virtual bool WaitReadable(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                              bool* ready = nullptr) = 0;
    // Waits until the socket is writable or timeoutMs passes (the timed
    // connect, and writes bounded by a write timeout).
    virtual bool WaitWritable(TIdStackSocketHandle socket, int32_t timeoutMs) = 0;
    // Waits until the connect begun without waiting on at least one of the
    // sockets (at most 64) has come to an end, made or failed (PendingError
    // tells which), or timeoutMs passes; ready tells which ended.
    virtual bool WaitConnected(const TIdStackSocketHandle* sockets, int32_t count, int32_t timeoutMs,
                               bool* ready) = 0;
    virtual void SetBlocking(TIdStackSocketHandle socket, bool blocking) = 0;
    // Pending error of a socket (SO_ERROR), as a table number; 0 when none.
    virtual int32_t PendingError(TIdStackSocketHandle socket) = 0;

    // The best pump the platform has for relaying bytes between sockets.
    virtual std::unique_ptr<TIdSocketPump> CreatePump();

    // --- Names and addresses.
    // LOCALHOST (any case) -> 127.0.0.1 and IPv4 text unchanged, without a
    // lookup; everything else through LookupHost.
    std::string HostToIP(const std::string& host, TIdIPVersion ipVersion);
    // Thread-safe address-info lookup, first address; 11001 "Host not found."
    // when the name does not resolve.
    virtual std::string LookupHost(const std::string& name, TIdIPVersion ipVersion) = 0;
    // The same lookup, every address (at most limit), in the resolver's order.
    virtual std::vector<std::string> LookupHostAll(const std::string& name, TIdIPVersion ipVersion,
                                                   size_t limit) = 0;
    // Every address of both families (IPv6 where the system has it) in one
    // lookup, each once, at most limit, in the resolver's order (RFC 6724).
    // Raises as LookupHost does.
    virtual std::vector<TIdIPAddress> LookupAddresses(const std::string& name, size_t limit) = 0;
    // Every address host names: address text (IPv4 in the tolerant form
    // HostToIP passes on, IPv6 with or without brackets) gives the address
    // it names, LOCALHOST 127.0.0.1 and, where the system has IPv6, ::1; a
    // name every address of its lookup (at most 64). Raises as LookupHost
    // does.
    std::vector<TIdIPAddress> ResolveAddresses(const std::string& host);
    const std::string& LocalHostName() const { return localHostName_; }
    // Whether the address belongs to this machine (loopback, the
    // any-address, an address of any interface): a socket can be bound to
    // it. Raises only when no socket can be made at all.
    bool IsLocalAddress(const std::string& ip, TIdIPVersion ipVersion);
    virtual std::vector<std::string> LocalAddresses() = 0;
    virtual bool HasIPv6() = 0;
    // Whether a listening socket should take the address-reuse option when
    // the choice is left to the platform. POSIX systems refuse to bind a
    // port while closed connections on it wait out TIME_WAIT (a minute
    // after traffic) unless it is set, and there it only allows exactly
    // that. On Windows it would let another program take the port, and
    // binding over TIME_WAIT works without it.
    virtual bool ReuseAddressByDefault() const = 0;
    static bool IsIPv4Text(std::string_view text);
    // A name under the top-level domain "invalid" (any case, with or
    // without the final dot), which is never looked up.
    static bool IsReservedInvalidName(std::string_view name);

    // --- Errors.
    static std::string SocketErrorText(int32_t code);
    [[noreturn]] static void ThrowSocketError(int32_t code);
    // Raises the last socket error when result is -1; returns result otherwise.
    int32_t CheckSocketResult(int32_t result);
    // Last error of the calling thread, mapped to the table's numbers.
    virtual int32_t LastErrorNumber() = 0;

protected:
    std::string localHostName_;
};
