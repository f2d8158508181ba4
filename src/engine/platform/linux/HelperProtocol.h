// The messages between the window and okgate-helper over a SOCK_SEQPACKET socket pair: one
// message per datagram, each of a fixed size and starting with its type. The helper takes a
// datagram of any other size or type as malformed, and ends. Both sides include this; it includes
// nothing of either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace okg::helper {

// The helper's end of the pair, where the window puts it before the exec.
inline constexpr int ChannelFd = 3;

enum MessageType : uint32_t {
    HelloMessage = 0x6f6b0001,
    ResetMessage = 0x6f6b0002,
    ResetResultMessage = 0x6f6b0003,
    MissesMessage = 0x6f6b0004,
    MissesResultMessage = 0x6f6b0005,
};

// Helper -> window, once, first. When feedError is 0 it carries two descriptors (SCM_RIGHTS): the
// ring buffer map and the counters map (frozen: read-only), in that order. The program stays here:
// with its descriptor any process can attach it again, and keep it attached past the helper's end.
struct Hello {
    uint32_t type = HelloMessage;
    // errno of a helper that cannot run at all: sent by the window's child when the exec fails,
    // or by the helper itself, with the reason (EBUSY: another one serves this user).
    int32_t startError = 0;
    uint32_t canCut = 0;    // 1 when the helper holds CAP_NET_ADMIN
    int32_t feedError = 0;  // errno of loading the BPF program; 0 when loaded
    uint32_t ringBytes = 0; // the ring buffer's data size
    char reason[244] = {};  // why not, NUL-terminated
};

// Window -> helper: reset this connection. The fields of inet_diag_sockid: addresses and ports in
// network byte order, an IPv4 address in the first word.
struct ResetRequest {
    uint32_t type = ResetMessage;
    uint32_t family = 0; // AF_INET or AF_INET6
    uint64_t cookie = 0;
    uint32_t local[4] = {};
    uint32_t remote[4] = {};
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    // The socket's interface, where a link-local IPv6 connection is found; 0 for any, and always
    // 0 with AF_INET.
    uint32_t ifindex = 0;
};

// Helper -> window: the answer to one ResetRequest, a result code of SetTcpEntry.
struct ResetResult {
    uint32_t type = ResetResultMessage;
    uint32_t result = 0;
};

// Window -> helper: how many runs of the program the kernel skipped (its recursion_misses), which
// the window counts as lost events.
struct MissesRequest {
    uint32_t type = MissesMessage;
};

// Helper -> window: the answer; known is 0 when the kernel would not tell.
struct MissesResult {
    uint32_t type = MissesResultMessage;
    uint32_t known = 0;
    uint64_t misses = 0;
};

// The longest request: the helper reads into one byte more, so that a longer one shows as such.
inline constexpr size_t LongestRequest = sizeof(ResetRequest);

// A request as the helper reads it from one datagram.
struct Request {
    enum Kind { Refused, Reset, Misses } kind = Refused;
    ResetRequest reset;       // with Reset
    const char* refusal = ""; // with Refused: what was wrong, for the helper's last words
};

// The request in bytes, one datagram as read, with recvmsg's flags: a datagram cut short
// (MSG_TRUNC) or that came with descriptors (MSG_CTRUNC: the helper leaves no room for any) is
// refused, as is an unknown type, a length that is not its type's, or fields no window sends.
Request ParseRequest(std::span<const std::byte> bytes, int flags);

} // namespace okg::helper
