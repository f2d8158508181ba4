#include "engine/platform/linux/NetlinkDiag.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace okg::netlink {

namespace {

// A dump the kernel marks as interrupted is read again, a few times at most.
constexpr int MaxDumpAttempts = 5;
// Bounds the reads of one dump: far more than any real table needs (hundreds of rows per read).
constexpr int MaxReadsPerDump = 1 << 16;
constexpr int ReceiveBufferBytes = 1 << 20;

// The errno a reply's error field carries (negative as the kernel sends it, positive from some
// senders). A value no errno has, INT_MIN among them (whose negation overflows), is EPROTO.
int ErrnoOf(int error) {
    constexpr int MaxErrno = 4095;
    if (error < 0 && error >= -MaxErrno)
        return -error;
    return error > 0 && error <= MaxErrno ? error : EPROTO;
}

template <typename T> T ReadAt(std::span<const std::byte> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

bool IsV4Mapped(const uint32_t (&a)[4]) {
    return a[0] == 0 && a[1] == 0 && a[2] == htonl(0xffff);
}

bool IsUnspecified(const uint32_t (&a)[4]) {
    return (a[0] | a[1] | a[2] | a[3]) == 0;
}

bool MappedOrUnspecified(const uint32_t (&a)[4]) {
    return IsV4Mapped(a) || IsUnspecified(a);
}

bool IsLinkLocal(const api::IN6_ADDR& a) {
    return a.Byte[0] == 0xfe && (a.Byte[1] & 0xc0) == 0x80;
}

// The row of one inet_diag message; false when the socket has no place in the tables.
bool ToRow(const inet_diag_msg& m, SocketRow& out) {
    const uint32_t state = TableState(m.idiag_state);
    if (state == 0 || (m.idiag_family != AF_INET && m.idiag_family != AF_INET6))
        return false;
    const inet_diag_sockid& id = m.id;
    // An IPv6 socket bound to ::ffff:a.b.c.d, or a dual-stack socket's IPv4 connection, is an
    // IPv4 row; one with neither address set listens on every address, IPv6 ones included.
    out.v4mapped = m.idiag_family == AF_INET6 && MappedOrUnspecified(id.idiag_src) &&
                   MappedOrUnspecified(id.idiag_dst) &&
                   !(IsUnspecified(id.idiag_src) && IsUnspecified(id.idiag_dst));
    out.v6 = m.idiag_family == AF_INET6 && !out.v4mapped;
    const int last = out.v4mapped ? 3 : 0;
    out.cookie = uint64_t(id.idiag_cookie[1]) << 32 | id.idiag_cookie[0];
    out.row.dwState = state;
    out.row.dwLocalAddr = out.v6 ? 0 : id.idiag_src[last];
    out.row.dwLocalPort = id.idiag_sport;
    out.row.dwRemoteAddr = out.v6 ? 0 : id.idiag_dst[last];
    out.row.dwRemotePort = id.idiag_dport;
    out.ifindex = m.id.idiag_if;
    // The kernel gives a timewait socket the timewait timer (3), which no full socket has, and a
    // request socket the state SYN_RECV.
    constexpr uint8_t TimewaitTimer = 3;
    out.eventless = m.idiag_timer == TimewaitTimer || state == api::MIB_TCP_STATE_SYN_RCVD;
    out.endsInMs = out.eventless ? m.idiag_expires : 0;
    if (out.v6) {
        std::memcpy(out.local6.Byte, id.idiag_src, 16);
        std::memcpy(out.remote6.Byte, id.idiag_dst, 16);
    } else {
        out.local6 = out.remote6 = {};
    }
    return true;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// A TCP request of the given type for one address family, numbered for this socket.
DiagRequest MakeRequest(DiagSocket& socket, uint16_t type, uint16_t flags, uint8_t family,
                        uint32_t states) {
    DiagRequest req{};
    req.header.nlmsg_len = sizeof(req);
    req.header.nlmsg_type = type;
    req.header.nlmsg_flags = flags;
    req.header.nlmsg_seq = socket.NextSeq();
    req.request.sdiag_family = family;
    req.request.sdiag_protocol = IPPROTO_TCP;
    req.request.idiag_states = states;
    return req;
}

// The older request, which the kernel answers with the sockets of every address family in one
// walk of its hash (the newer one names a family, so two dumps walk it twice).
struct LegacyRequest {
    nlmsghdr header;
    inet_diag_req request;
};

LegacyRequest MakeLegacyRequest(DiagSocket& socket, uint32_t states) {
    LegacyRequest req{};
    req.header.nlmsg_len = sizeof(req);
    req.header.nlmsg_type = TCPDIAG_GETSOCK;
    req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.header.nlmsg_seq = socket.NextSeq();
    req.request.idiag_family = AF_INET; // not looked at: every family is listed
    req.request.idiag_states = states;
    return req;
}

enum class DumpResult { Done, Failed, Refused };

// One dump, appended to out. Restarts a dump the kernel marks as interrupted; any other failure
// closes the socket, so that the next call starts clean instead of reading the rest of an
// abandoned dump. Refused: the kernel answered the request with an error of its own.
template <typename MakeRequest>
DumpResult Dump(DiagSocket& socket, MakeRequest make, std::vector<SocketRow>& out) {
    for (int attempt = 0; attempt < MaxDumpAttempts; ++attempt) {
        const size_t mark = out.size();
        const auto req = make();
        if (!socket.Send(&req, sizeof(req))) {
            socket.Close();
            return DumpResult::Failed;
        }
        bool interrupted = false;
        ReplyResult r;
        for (int reads = 0; r.status == ReplyStatus::More; ++reads) {
            bool ok = false;
            const auto bytes = socket.Receive(ok);
            if (!ok || reads == MaxReadsPerDump) {
                socket.Close();
                return DumpResult::Failed;
            }
            r = ParseDumpReply(bytes, req.header.nlmsg_seq, socket.PortId(), out);
            interrupted = interrupted || r.interrupted;
        }
        if (r.status == ReplyStatus::Error) {
            out.resize(mark);
            return DumpResult::Refused; // the kernel ended the dump cleanly: the socket is fine
        }
        if (r.status != ReplyStatus::Done) {
            socket.Close();
            return DumpResult::Failed;
        }
        if (!interrupted)
            return DumpResult::Done;
        out.resize(mark);
    }
    return DumpResult::Failed;
}

bool DumpFamily(DiagSocket& socket, uint8_t family, uint32_t states, std::vector<SocketRow>& out) {
    const auto make = [&] {
        return MakeRequest(socket, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, family, states);
    };
    return Dump(socket, make, out) == DumpResult::Done;
}

} // namespace

uint32_t TableState(uint8_t kernelState) {
    // Indexed by the kernel's TCP state: ESTABLISHED 1, SYN_SENT 2, SYN_RECV 3, FIN_WAIT1 4,
    // FIN_WAIT2 5, TIME_WAIT 6, CLOSE 7, CLOSE_WAIT 8, LAST_ACK 9, LISTEN 10, CLOSING 11,
    // NEW_SYN_RECV 12 (a request socket, which the table shows as SYN_RCVD).
    static constexpr uint32_t map[] = {
        0,
        api::MIB_TCP_STATE_ESTAB,
        api::MIB_TCP_STATE_SYN_SENT,
        api::MIB_TCP_STATE_SYN_RCVD,
        api::MIB_TCP_STATE_FIN_WAIT1,
        api::MIB_TCP_STATE_FIN_WAIT2,
        api::MIB_TCP_STATE_TIME_WAIT,
        api::MIB_TCP_STATE_CLOSED,
        api::MIB_TCP_STATE_CLOSE_WAIT,
        api::MIB_TCP_STATE_LAST_ACK,
        api::MIB_TCP_STATE_LISTEN,
        api::MIB_TCP_STATE_CLOSING,
        api::MIB_TCP_STATE_SYN_RCVD,
    };
    return kernelState < std::size(map) ? map[kernelState] : 0;
}

ReplyResult ParseDumpReply(std::span<const std::byte> bytes, uint32_t seq, uint32_t portId,
                           std::vector<SocketRow>& out) {
    ReplyResult result;
    size_t offset = 0;
    while (offset < bytes.size()) {
        const size_t left = bytes.size() - offset;
        if (left < sizeof(nlmsghdr)) {
            result.status = ReplyStatus::Truncated;
            return result;
        }
        const auto header = ReadAt<nlmsghdr>(bytes, offset);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > left) {
            result.status = ReplyStatus::Truncated;
            return result;
        }
        const auto payload = bytes.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
        offset += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), left);

        if (header.nlmsg_seq != seq || header.nlmsg_pid != portId) {
            ++result.foreign;
            continue;
        }
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            result.interrupted = true;

        switch (header.nlmsg_type) {
        case NLMSG_DONE:
            // Newer kernels put the dump's own result after the header.
            if (payload.size() >= sizeof(int)) {
                const int error = ReadAt<int>(payload, 0);
                if (error < 0) {
                    result.status = ReplyStatus::Error;
                    result.errorNumber = ErrnoOf(error);
                    return result;
                }
            }
            result.status = ReplyStatus::Done;
            return result;
        case NLMSG_ERROR: {
            if (payload.size() < sizeof(int)) {
                result.status = ReplyStatus::Truncated;
                return result;
            }
            const int error = ReadAt<int>(payload, 0);
            if (error == 0)
                continue; // an acknowledgement, not a failure
            result.status = ReplyStatus::Error;
            result.errorNumber = ErrnoOf(error);
            return result;
        }
        case SOCK_DIAG_BY_FAMILY:
        case TCPDIAG_GETSOCK: { // the answer to the older request that lists every family
            if (payload.size() < sizeof(inet_diag_msg)) {
                result.status = ReplyStatus::Truncated;
                return result;
            }
            SocketRow row;
            if (ToRow(ReadAt<inet_diag_msg>(payload, 0), row))
                out.push_back(row);
            break;
        }
        default:
            break; // NLMSG_NOOP and anything newer
        }
    }
    return result;
}

bool DumpTcpSockets(std::vector<SocketRow>& out, uint32_t states) {
    // Called about once a millisecond: one socket for the life of the process.
    static DiagSocket socket;
    return DumpTcpSockets(socket, out, states);
}

bool DumpTcpSockets(DiagSocket& socket, std::vector<SocketRow>& out, uint32_t states) {
    static std::atomic<bool> legacyRefused = false;
    out.clear();
    if (!socket.Open())
        return false;
    // The kernel's hash is walked once for both families where the older request is served (it
    // is since sock_diag exists); where it is refused, once per family.
    if (!legacyRefused) {
        const auto make = [&] { return MakeLegacyRequest(socket, states); };
        switch (Dump(socket, make, out)) {
        case DumpResult::Done:
            return true;
        case DumpResult::Failed:
            return false;
        case DumpResult::Refused:
            legacyRefused = true;
            break;
        }
    }
    return DumpFamily(socket, AF_INET, states, out) && DumpFamily(socket, AF_INET6, states, out);
}

api::MIB_TCP6ROW Tcp6RowOf(const SocketRow& r) {
    return {r.row.dwState,     r.local6,  IsLinkLocal(r.local6) ? r.ifindex : 0,
            r.row.dwLocalPort, r.remote6, IsLinkLocal(r.remote6) ? r.ifindex : 0,
            r.row.dwRemotePort};
}

namespace {

// The size protocol of a table of count rows of Row: false, with the result, when it does not
// fit (or cannot be written); else the entry count is written and the rows go at the returned
// place.
template <typename Row>
std::byte* TableRowsAt(size_t count, void* table, uint32_t* pdwSize, uint32_t& result) {
    constexpr size_t header = offsetof(api::MIB_TCPTABLE, table);
    static_assert(header == offsetof(api::MIB_TCP6TABLE, table));
    const size_t needed = header + count * sizeof(Row);
    result = api::ERROR_INVALID_PARAMETER;
    if (!pdwSize)
        return nullptr;
    result = api::ERROR_NOT_SUPPORTED;
    if (needed > UINT32_MAX)
        return nullptr;
    result = api::ERROR_INSUFFICIENT_BUFFER;
    if (!table || *pdwSize < needed) {
        *pdwSize = static_cast<uint32_t>(needed);
        return nullptr;
    }
    // Byte copies: the caller's buffer need only be as large as it says, not a whole struct.
    result = api::NO_ERROR_;
    const auto entries = static_cast<uint32_t>(count);
    std::memcpy(table, &entries, sizeof(entries));
    return static_cast<std::byte*>(table) + header;
}

// The rows of one family as a table (rowOf gives each).
template <typename Row, typename RowOf>
uint32_t WriteTable(const std::vector<SocketRow>& rows, bool v6, void* table, uint32_t* pdwSize,
                    RowOf rowOf) {
    const auto listed = [&](const SocketRow& r) { return r.v6 == v6; };
    const size_t count = static_cast<size_t>(std::count_if(rows.begin(), rows.end(), listed));
    uint32_t result = 0;
    std::byte* dst = TableRowsAt<Row>(count, table, pdwSize, result);
    if (!dst)
        return result;
    for (const SocketRow& r : rows) {
        if (!listed(r))
            continue;
        const Row row = rowOf(r);
        std::memcpy(dst, &row, sizeof(Row));
        dst += sizeof(Row);
    }
    return result;
}

template <typename Row>
uint32_t WriteRows(std::span<const Row> rows, void* table, uint32_t* pdwSize) {
    uint32_t result = 0;
    if (std::byte* dst = TableRowsAt<Row>(rows.size(), table, pdwSize, result);
        dst && !rows.empty())
        std::memcpy(dst, rows.data(), rows.size_bytes());
    return result;
}

// The best of the rows that name one connection (same tells it): an established one first, then
// any but TIME_WAIT; never a listener.
template <typename Same>
const SocketRow* FindBest(std::span<const SocketRow> rows, uint32_t localPort, uint32_t remotePort,
                          Same same) {
    const SocketRow* best = nullptr;
    int bestRank = 3;
    for (const SocketRow& r : rows) {
        if (uint16_t(r.row.dwLocalPort) != uint16_t(localPort) ||
            uint16_t(r.row.dwRemotePort) != uint16_t(remotePort) ||
            r.row.dwState == api::MIB_TCP_STATE_LISTEN || r.row.dwState == 0 || !same(r))
            continue;
        const int rank = r.row.dwState == api::MIB_TCP_STATE_ESTAB       ? 0
                         : r.row.dwState == api::MIB_TCP_STATE_TIME_WAIT ? 2
                                                                         : 1;
        if (rank < bestRank) {
            best = &r;
            bestRank = rank;
        }
    }
    return best;
}

} // namespace

uint32_t WriteTcpTable(const std::vector<SocketRow>& rows, api::MIB_TCPTABLE* table,
                       uint32_t* pdwSize) {
    return WriteTable<api::MIB_TCPROW>(rows, false, table, pdwSize,
                                       [](const SocketRow& r) { return r.row; });
}

uint32_t WriteTcp6Table(const std::vector<SocketRow>& rows, api::MIB_TCP6TABLE* table,
                        uint32_t* pdwSize) {
    return WriteTable<api::MIB_TCP6ROW>(rows, true, table, pdwSize, Tcp6RowOf);
}

uint32_t WriteTcpTable(std::span<const api::MIB_TCPROW> rows, api::MIB_TCPTABLE* table,
                       uint32_t* pdwSize) {
    return WriteRows(rows, table, pdwSize);
}

uint32_t WriteTcp6Table(std::span<const api::MIB_TCP6ROW> rows, api::MIB_TCP6TABLE* table,
                        uint32_t* pdwSize) {
    return WriteRows(rows, table, pdwSize);
}

const SocketRow* FindConnection(std::span<const SocketRow> rows, const api::MIB_TCPROW& row) {
    return FindBest(rows, row.dwLocalPort, row.dwRemotePort, [&](const SocketRow& r) {
        return !r.v6 && r.row.dwLocalAddr == row.dwLocalAddr &&
               r.row.dwRemoteAddr == row.dwRemoteAddr;
    });
}

const SocketRow* FindConnection6(std::span<const SocketRow> rows, const api::MIB_TCP6ROW& row) {
    return FindBest(rows, row.dwLocalPort, row.dwRemotePort, [&](const SocketRow& r) {
        return r.v6 && std::memcmp(&r.local6, &row.LocalAddr, 16) == 0 &&
               std::memcmp(&r.remote6, &row.RemoteAddr, 16) == 0;
    });
}

namespace {

constexpr int MaxAckReads = 64;

// Sends one request about a single socket and reads its answer: the socket's entry (copied to
// found, when given) or an NLMSG_ERROR with the kernel's errno. Anything else belongs to an older
// request and is passed over.
int SingleRequest(DiagSocket& socket, uint16_t type, uint16_t flags, uint8_t family,
                  const inet_diag_sockid& id, inet_diag_msg* found) {
    DiagRequest req = MakeRequest(socket, type, flags, family, ~0u);
    req.request.id = id;
    if (!socket.Send(&req, sizeof(req))) {
        socket.Close();
        return EIO;
    }
    for (int reads = 0; reads < MaxAckReads; ++reads) {
        bool ok = false;
        const auto bytes = socket.Receive(ok);
        if (!ok)
            break;
        size_t offset = 0;
        while (bytes.size() - offset >= sizeof(nlmsghdr)) {
            const auto header = ReadAt<nlmsghdr>(bytes, offset);
            if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > bytes.size() - offset)
                break;
            const size_t body = header.nlmsg_len - NLMSG_HDRLEN;
            if (header.nlmsg_seq == req.header.nlmsg_seq && header.nlmsg_pid == socket.PortId()) {
                if (header.nlmsg_type == NLMSG_ERROR && body >= sizeof(int)) {
                    const int error = ReadAt<int>(bytes, offset + NLMSG_HDRLEN);
                    return error < 0 ? -error : error;
                }
                if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && found &&
                    body >= sizeof(inet_diag_msg)) {
                    *found = ReadAt<inet_diag_msg>(bytes, offset + NLMSG_HDRLEN);
                    return 0;
                }
            }
            offset += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), bytes.size() - offset);
        }
    }
    socket.Close(); // a late answer would otherwise be taken for the next request's
    return EIO;
}

} // namespace

uint32_t CutResult(int error) {
    switch (error) {
    case 0:
        return api::NO_ERROR_;
    case EPERM:
    case EACCES:
        return api::ERROR_ACCESS_DENIED;
    case ENOENT:
        return api::ERROR_NOT_FOUND;
    case EOPNOTSUPP:
        return api::ERROR_NOT_SUPPORTED;
    default:
        return api::ERROR_MR_MID_NOT_FOUND;
    }
}

inet_diag_sockid SocketIdOf(const SocketRow& target, uint8_t family) {
    inet_diag_sockid id{};
    const api::MIB_TCPROW& row = target.row;
    id.idiag_sport = static_cast<uint16_t>(row.dwLocalPort);
    id.idiag_dport = static_cast<uint16_t>(row.dwRemotePort);
    id.idiag_cookie[0] = static_cast<uint32_t>(target.cookie);
    id.idiag_cookie[1] = static_cast<uint32_t>(target.cookie >> 32);
    if (target.v6) {
        std::memcpy(id.idiag_src, target.local6.Byte, 16);
        std::memcpy(id.idiag_dst, target.remote6.Byte, 16);
        id.idiag_if = target.ifindex; // a link-local connection is found on its interface only
        return id;
    }
    const int last = family == AF_INET6 ? 3 : 0;
    if (family == AF_INET6) // ::ffff:a.b.c.d, as a dual-stack socket holds an IPv4 connection
        id.idiag_src[2] = id.idiag_dst[2] = htonl(0xffff);
    id.idiag_src[last] = row.dwLocalAddr;
    id.idiag_dst[last] = row.dwRemoteAddr;
    return id;
}

uint32_t CutInFamilies(const SocketRow& target,
                       const std::function<uint32_t(uint8_t, const inet_diag_sockid&)>& cut) {
    if (target.v4mapped || target.v6)
        return cut(AF_INET6, SocketIdOf(target, AF_INET6));
    const uint32_t result = cut(AF_INET, SocketIdOf(target, AF_INET));
    if (result == api::ERROR_NOT_FOUND)
        return cut(AF_INET6, SocketIdOf(target, AF_INET6));
    return result;
}

int LookupTcpSocket(DiagSocket& socket, uint8_t family, const inet_diag_sockid& id,
                    inet_diag_msg& found) {
    if (!socket.Open())
        return errno == EACCES || errno == EPERM ? EPERM : EIO;
    return SingleRequest(socket, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, family, id, &found);
}

int DestroyTcpSocket(DiagSocket& socket, uint8_t family, const inet_diag_sockid& id) {
    if (!socket.Open())
        return errno == EACCES || errno == EPERM ? EPERM : EIO;
    return SingleRequest(socket, SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, family, id, nullptr);
}

uint32_t CutTcpSocket(const SocketRow& target) {
    // Its own socket: a cut may come between two dumps, never inside one.
    static DiagSocket socket;
    return CutInFamilies(target, [](uint8_t family, const inet_diag_sockid& id) {
        return CutResult(DestroyTcpSocket(socket, family, id));
    });
}

bool DiagSocket::Open() {
    if (fd_ >= 0)
        return true;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    // A large table arrives faster than one read at a time; without room the kernel would pause
    // the dump. SO_RCVBUFFORCE passes the system cap where we have the right to.
    const int size = ReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    // The kernel always answers; the timeout only keeps a broken kernel from hanging the loop.
    const timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t length = sizeof(local);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        length != sizeof(local)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    portId_ = local.nl_pid;
    buffer_.resize(BufferBytes);
    return true;
}

void DiagSocket::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    portId_ = 0;
}

bool DiagSocket::Send(const void* message, size_t length) {
    if (fd_ < 0)
        return false;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (int tries = 0; tries < 8; ++tries) {
        const ssize_t sent =
            sendto(fd_, message, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
        if (sent == static_cast<ssize_t>(length))
            return true;
        if (sent >= 0 || errno != EINTR)
            return false;
    }
    return false;
}

std::span<const std::byte> DiagSocket::Receive(bool& ok) {
    ok = false;
    if (fd_ < 0)
        return {};
    for (int tries = 0; tries < 64; ++tries) {
        sockaddr_nl from{};
        iovec io{buffer_.data(), buffer_.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        const ssize_t n = recvmsg(fd_, &msg, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return {}; // ENOBUFS (replies were lost), timeout, or worse
        }
        if (msg.msg_flags & MSG_TRUNC)
            return {};
        if (msg.msg_namelen != sizeof(from) || from.nl_pid != 0)
            continue; // not from the kernel
        ok = true;
        return std::span<const std::byte>(buffer_.data(), static_cast<size_t>(n));
    }
    return {};
}

} // namespace okg::netlink
