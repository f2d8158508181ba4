// The kernel's TCP socket list over netlink sock_diag, in the table's row layout, and the
// writing of rows into a caller's table buffer. The reply parsing is a pure function so that
// crafted replies can exercise every path of it.
#pragma once

#include "engine/basAPI.h"

#include <linux/inet_diag.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace okg::netlink {

// One kernel socket as a table row. The cookie names the socket for its whole life (the 4-tuple
// does not: ports are 0 before a connect completes).
struct SocketRow {
    uint64_t cookie = 0;
    api::MIB_TCPROW row{}; // of an IPv6 row: the state and ports, the addresses 0
    bool v4mapped = false; // an IPv4 connection carried by a dual-stack IPv6 socket
    // An IPv6 connection (not v4-mapped): a row of the IPv6 table, its addresses here.
    bool v6 = false;
    api::IN6_ADDR local6{};
    api::IN6_ADDR remote6{};
    uint32_t ifindex = 0; // the interface the socket is bound to, 0 for any
    // A timewait or request socket: it reports no event, so only a dump finds it gone; its timer
    // runs out this many milliseconds after the dump.
    bool eventless = false;
    uint32_t endsInMs = 0;
};

// The IPv6 table row of an IPv6 SocketRow; a link-local address has the socket's interface as
// its scope id.
api::MIB_TCP6ROW Tcp6RowOf(const SocketRow& r);

// The kernel's TCP state numbers (TCP_ESTABLISHED 1 .. TCP_NEW_SYN_RECV 12) asked for in a dump:
// bits 1..12. Bit 13 (a bound, inactive socket) would also walk the port-binding table.
inline constexpr uint32_t DumpStates = 0x1ffe;

// A NETLINK_SOCK_DIAG socket bound to a port id the kernel chose, with a receive buffer large
// enough for one read of a dump (the kernel fills up to 32 KiB per message batch).
class DiagSocket {
public:
    static constexpr size_t BufferBytes = 64 * 1024;

    DiagSocket() = default;
    DiagSocket(const DiagSocket&) = delete;
    DiagSocket& operator=(const DiagSocket&) = delete;
    ~DiagSocket() { Close(); }

    bool Open(); // no-op when open
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    uint32_t PortId() const { return portId_; }
    uint32_t NextSeq() { return ++seq_; }

    // Sends one request to the kernel; false on failure.
    bool Send(const void* message, size_t length);
    // Reads one datagram from the kernel into the buffer. Empty with ok false on failure or when
    // the datagram did not fit; datagrams not sent by the kernel are dropped.
    std::span<const std::byte> Receive(bool& ok);

private:
    int fd_ = -1;
    uint32_t portId_ = 0;
    uint32_t seq_ = 0;
    std::vector<std::byte> buffer_;
};

// The table's state number (1..12) of a kernel TCP state; 0 for a state the table has no name for.
uint32_t TableState(uint8_t kernelState);

enum class ReplyStatus {
    More,      // the dump goes on in the next read
    Done,      // NLMSG_DONE seen: the dump is complete
    Error,     // the kernel reported an error (errorNumber)
    Truncated, // a message does not fit in the bytes read: the reply cannot be trusted
};

struct ReplyResult {
    ReplyStatus status = ReplyStatus::More;
    int errorNumber = 0;      // positive errno, with Error
    bool interrupted = false; // a message carried NLM_F_DUMP_INTR: the dump may be inconsistent
    uint32_t foreign = 0;     // messages skipped for another sequence number or port id
};

// Parses the bytes of one receive of a dump reply (SOCK_DIAG_BY_FAMILY, or TCPDIAG_GETSOCK, the
// older request that lists every family in one walk). Messages of another sequence number or port
// id are skipped; TCP sockets of every state the table knows are appended to out (IPv6 ones with
// v4-mapped addresses as IPv4 rows, the others as IPv6 rows). Parsing stops at NLMSG_DONE,
// NLMSG_ERROR or the first malformed message.
ReplyResult ParseDumpReply(std::span<const std::byte> bytes, uint32_t seq, uint32_t portId,
                           std::vector<SocketRow>& out);

// Replaces out with every TCP socket of the machine in the states 1..12, IPv4 and IPv6 (the IPv4
// connections of dual-stack IPv6 sockets as IPv4 rows), read in one walk of the kernel's hash
// where the kernel serves the older request that lists both families (else one dump per family).
// False when the kernel could not be read (out is then unspecified). Reuses one netlink socket
// across calls; one thread only. states narrows the dump to some kernel states (bit n for state
// n; a timewait socket is matched by its substate, a request socket by SYN_RECV or NEW_SYN_RECV):
// the kernel still walks its hash but builds and sends only those sockets, and leaves the
// listeners' table alone unless LISTEN is asked for.
bool DumpTcpSockets(std::vector<SocketRow>& out, uint32_t states = DumpStates);
// The same over the caller's socket (one per thread).
bool DumpTcpSockets(DiagSocket& socket, std::vector<SocketRow>& out, uint32_t states);

// As FindConnection, among the IPv6 rows; the scope ids are not compared.
const SocketRow* FindConnection6(std::span<const SocketRow> rows, const api::MIB_TCP6ROW& row);

// The entry of rows that names the same connection as row (both addresses and ports; the state
// is not compared), an established one first, then any but TIME_WAIT; null when there is none.
// A listening socket is never returned: a cut is for connections.
const SocketRow* FindConnection(std::span<const SocketRow> rows, const api::MIB_TCPROW& row);

// The result code of SetTcpEntry for the kernel's errno of a cut: 0 done, 5 no rights, 1168 no
// such socket, 50 not supported by this kernel, 317 anything else.
uint32_t CutResult(int error);

// The sock_diag id of target's socket in family: AF_INET, or AF_INET6 with the addresses
// v4-mapped (a dual-stack socket's IPv4 connection) or, of an IPv6 row, its own. The cookie is
// the row's.
inet_diag_sockid SocketIdOf(const SocketRow& target, uint8_t family);

// Cuts target through cut(family, id), which answers a result code of SetTcpEntry: a v4-mapped
// row in AF_INET6; a plain row that is not found in AF_INET is tried again v4-mapped, since a row
// read before the v4-mapped form was known may still name a dual-stack socket. An IPv6 row is cut
// in AF_INET6.
uint32_t CutInFamilies(const SocketRow& target,
                       const std::function<uint32_t(uint8_t, const inet_diag_sockid&)>& cut);

// The kernel's "no cookie", for which it skips its cookie check: both halves all ones.
inline bool IsNoCookie(const inet_diag_sockid& id) {
    return id.idiag_cookie[0] == INET_DIAG_NOCOOKIE && id.idiag_cookie[1] == INET_DIAG_NOCOOKIE;
}

// The kernel's own entry of the one socket id names, looked up by its addresses and ports; the
// kernel also checks the cookie, except the "no cookie" value INET_DIAG_NOCOOKIE. 0 with found
// filled in, else the kernel's errno (ENOENT when there is no such socket).
int LookupTcpSocket(DiagSocket& socket, uint8_t family, const inet_diag_sockid& id,
                    inet_diag_msg& found);

// Destroys the socket id names with SOCK_DESTROY (needs CAP_NET_ADMIN). The kernel checks the
// cookie: looked up by its 4-tuple alone, a connection that has just gone would resolve to its
// listener, which would be destroyed instead. 0 when done, else the kernel's errno.
int DestroyTcpSocket(DiagSocket& socket, uint8_t family, const inet_diag_sockid& id);

// Cuts target's socket from this process (which then needs CAP_NET_ADMIN); a result code of
// SetTcpEntry.
uint32_t CutTcpSocket(const SocketRow& target);

// Writes the IPv4 rows of rows into table as the entry count followed by 20-byte rows. 0 on
// success; 122 when *pdwSize is too small (or table is null), with the size needed written to
// *pdwSize and nothing written to table; 87 without pdwSize.
uint32_t WriteTcpTable(const std::vector<SocketRow>& rows, api::MIB_TCPTABLE* table,
                       uint32_t* pdwSize);
// The same for the IPv6 rows, as 52-byte rows of the IPv6 table.
uint32_t WriteTcp6Table(const std::vector<SocketRow>& rows, api::MIB_TCP6TABLE* table,
                        uint32_t* pdwSize);
// The same from rows kept ready as the table lists them (the event-fed table's).
uint32_t WriteTcpTable(std::span<const api::MIB_TCPROW> rows, api::MIB_TCPTABLE* table,
                       uint32_t* pdwSize);
uint32_t WriteTcp6Table(std::span<const api::MIB_TCP6ROW> rows, api::MIB_TCP6TABLE* table,
                        uint32_t* pdwSize);

} // namespace okg::netlink
