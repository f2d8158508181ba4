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

// The kernel states, as a dump's state mask, of the sockets that leave no event: timewait sockets
// (listed as TIME_WAIT or, while the peer has not closed, FIN_WAIT2) and request sockets (listed as
// SYN_RECV; either bit selects them). Full sockets in FIN_WAIT2 or SYN_RECV are listed too.
inline constexpr uint32_t EventlessStates = 1u << 3 | 1u << 5 | 1u << 6 | 1u << 12;

// The table states a row of an eventless socket can have. A full socket may show them as well, but
// a dump of EventlessStates lists such a socket for as long as it lives.
bool IsEventlessState(uint32_t tableState);

enum class ResyncKind {
    None,
    Eventless, // a dump of EventlessStates only, merged by ResyncEventless
    Full,      // a dump of every state, merged by Resync
};

class EventTable {
public:
    using Clock = std::chrono::steady_clock;
    // Timewait and request sockets leave no event: a dump of their states alone finds them gone,
    // and spares the kernel building and sending every other socket.
    static constexpr Clock::duration EventlessInterval = std::chrono::seconds(1);
    // A full read now and then, in case an event was lost without the loss counters seeing it.
    static constexpr Clock::duration FullInterval = std::chrono::seconds(10);

    // Makes the rows those of a fresh dump. A socket already known keeps its row position and new
    // ones are appended, so the engine's per-position cache sees only what really changed.
    void Resync(const std::vector<netlink::SocketRow>& dump, Clock::time_point now);

    // Merges a dump of EventlessStates: rows in an eventless state that it no longer lists go, the
    // sockets it lists are updated or appended, every other row stays as the events left it.
    // Known sockets keep their row position here too.
    void ResyncEventless(const std::vector<netlink::SocketRow>& dump, Clock::time_point now);

    // Merges a dump read off the loop's thread while the events of `since` were being applied: the
    // dump is merged as Resync (full) or ResyncEventless would, then those events are applied
    // again on top, so that a socket the dump saw before its latest event ends in its latest state
    // (a connection made meanwhile stays, one closed meanwhile goes).
    void MergeBackgroundDump(ResyncKind kind, const std::vector<netlink::SocketRow>& dump,
                             const std::vector<okg_tcp_event>& since, Clock::time_point now);

    // Applies one state change.
    void Apply(const okg_tcp_event& event);

    // Takes the feed's running count of lost events (ring drops and skipped program runs); any
    // growth makes the table untrustworthy until the next resync.
    void NoteLostEvents(uint64_t total);
    // Events were lost while a background dump ran: that dump cannot stand for the table.
    void MarkUntrusted() { lost_ = true; }

    // Full before the first resync, after lost events and once FullInterval has passed since the
    // last full one; otherwise Eventless once EventlessInterval has passed since any resync.
    ResyncKind DueResync(Clock::time_point now) const;

    const std::vector<netlink::SocketRow>& Rows() const { return rows_; }
    // True while events were lost since the last resync: the rows may be stale.
    bool MissedEvents() const { return lost_; }
    // Changes whenever the rows may have changed.
    uint64_t Version() const { return version_; }
    // The row of a socket, or null.
    const netlink::SocketRow* Find(uint64_t cookie) const;

private:
    void Append(const netlink::SocketRow& row);
    void Remove(uint32_t index);
    void Replace(uint32_t index, const netlink::SocketRow& row);
    // Updates the known sockets of dump, appends the others, and marks in seen (one flag per row)
    // the rows it listed.
    void MergeListed(const std::vector<netlink::SocketRow>& dump, std::vector<bool>& seen);
    // Removes the rows not marked in seen for which keep is false.
    template <typename Keep> void RemoveUnlisted(std::vector<bool>& seen, Keep keep);
    void DropRequestRowOf(uint32_t childIndex);

    std::vector<netlink::SocketRow> rows_;
    uint64_t version_ = 1;
    std::unordered_map<uint64_t, uint32_t> index_; // cookie -> row position
    // SYN_RCVD rows a dump showed; most are request sockets, which never report their end.
    uint32_t synRcvdRows_ = 0;
    bool seeded_ = false;
    bool lost_ = false;
    uint64_t lostSeen_ = 0;
    Clock::time_point lastResync_{};
    Clock::time_point lastFullResync_{};
};

// The IPv4 view of an event's address: the address in network byte order when it is IPv4, or a
// v4-mapped IPv6 address, or unset (all zero). False for a real IPv6 address.
bool EventAddress(uint16_t family, const unsigned char (&addr)[16], uint32_t& ipv4, bool& unset);

} // namespace okg::linuxfeed
