// The connection table kept in memory between full reads: seeded by a netlink dump, then fed the
// kernel's TCP state changes keyed by socket cookie. Pure logic, no kernel access, so that crafted
// event sequences can exercise it.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/bpf/tcpstate_event.h"

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace okg::linuxfeed {

// The kernel's TCP state numbers as the events carry them.
inline constexpr uint8_t KernelEstablished = 1;
inline constexpr uint8_t KernelFinWait2 = 5;
inline constexpr uint8_t KernelClose = 7;
inline constexpr uint8_t KernelClosing = 11;

class EventTable {
public:
    using Clock = std::chrono::steady_clock;
    // Timewait sockets and request sockets leave no event: a periodic full read removes them.
    static constexpr Clock::duration ResyncInterval = std::chrono::seconds(1);

    // Makes the rows those of a fresh dump. A socket already known keeps its row position and new
    // ones are appended, so the engine's per-position cache sees only what really changed.
    void Resync(const std::vector<netlink::SocketRow>& dump, Clock::time_point now);

    // Applies one state change.
    void Apply(const okg_tcp_event& event);

    // Takes the feed's running count of lost events (ring drops and skipped program runs); any
    // growth makes the table untrustworthy until the next resync.
    void NoteLostEvents(uint64_t total);

    // True before the first resync, after lost events, and once the resync interval has passed.
    bool ResyncDue(Clock::time_point now) const;

    const std::vector<netlink::SocketRow>& Rows() const { return rows_; }
    // Changes whenever the rows change (and differs from any other table's), so that a copy of the
    // rows need be refreshed only then.
    uint64_t Version() const { return version_; }
    // The row of a socket, or null.
    const netlink::SocketRow* Find(uint64_t cookie) const;

private:
    void Append(const netlink::SocketRow& row);
    void Remove(uint32_t index);
    void DropRequestRowOf(uint32_t childIndex);

    std::vector<netlink::SocketRow> rows_;
    std::unordered_map<uint64_t, uint32_t> index_; // cookie -> row position
    // SYN_RCVD rows a dump showed; most are request sockets, which never report their end.
    uint32_t synRcvdRows_ = 0;
    bool seeded_ = false;
    bool lost_ = false;
    uint64_t lostSeen_ = 0;
    Clock::time_point lastResync_{};
    uint64_t version_ = 0;
};

// The IPv4 view of an event's address: the address in network byte order when it is IPv4, or a
// v4-mapped IPv6 address, or unset (all zero). False for a real IPv6 address.
bool EventAddress(uint16_t family, const unsigned char (&addr)[16], uint32_t& ipv4, bool& unset);

} // namespace okg::linuxfeed
