// The connection table kept in memory between full reads: seeded by a netlink dump, then fed the
// kernel's TCP state changes keyed by socket cookie. Pure logic, no kernel access, so that crafted
// event sequences can exercise it.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/bpf/tcpstate_event.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <unordered_set>
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
    Eventless, // a dump of EventlessStates only: rows in those states that it does not list go
    Full,      // a dump of every state: every row that it does not list goes
};

// The rows keep their order: a socket that goes leaves a gap (a row of state 0 and its family,
// which the tables given to the engine list as an empty row) and new sockets come at the end, so
// that a closed connection moves no other row. The gaps close now and then: only then do the
// rows after them move up.
class EventTable {
public:
    using Clock = std::chrono::steady_clock;
    // Timewait and request sockets leave no event: while the table holds one, a dump of their
    // states alone finds them gone once their timer has run out (at most this often), and spares
    // the kernel building and sending every other socket.
    static constexpr Clock::duration EventlessInterval = std::chrono::seconds(1);
    // A full read now and then, in case an event was lost without the loss counters seeing it:
    // the counters see every loss the kernel can report, so this is a belt to the braces, paced
    // so that an idle program spends on it a few hundredths of a percent of a processor.
    static constexpr Clock::duration FullInterval = std::chrono::seconds(60);
    // A timewait socket's life (the kernel's TCP_TIMEWAIT_LEN).
    static constexpr Clock::duration TimewaitLife = std::chrono::seconds(60);

    // Merges a whole dump of its kind at once (the first read, and tests).
    void Resync(const std::vector<netlink::SocketRow>& dump, Clock::time_point now);
    void ResyncEventless(const std::vector<netlink::SocketRow>& dump, Clock::time_point now);

    // A resync whose dump is read off the loop's thread: begun when the dump is asked for, merged
    // in slices once it is read. Events applied in between mark their sockets, for which the
    // events know better than the dump. A socket the dump lists is updated or appended, known
    // sockets keep their row; at the end, rows the dump did not list go (of a Full dump every row,
    // of an Eventless one the rows in eventless states), unless an event spoke for them.
    void BeginResync(ResyncKind kind, Clock::time_point now);
    // Merges up to maxRows more rows of the dump; true once it is merged to the end.
    bool MergeSlice(const std::vector<netlink::SocketRow>& dump, size_t maxRows,
                    Clock::time_point now);
    // The dump could not be read: the resync is given up, and asked for again.
    void AbandonResync();
    bool Resyncing() const { return resyncing_ != ResyncKind::None; }

    // Applies one state change.
    void Apply(const okg_tcp_event& event);

    // Takes the feed's running count of lost events (ring drops and skipped program runs); any
    // growth makes the table untrustworthy until a full resync begun after it.
    void NoteLostEvents(uint64_t total);
    // A row was found stale (a cut found no such socket): as after lost events.
    void Distrust() { lost_ = true; }

    // Full before the first resync, after lost events and once FullInterval has passed since the
    // last full one; otherwise Eventless once the first timer of the table's eventless rows runs
    // out (EventlessInterval at least since the last resync). None while a resync runs.
    ResyncKind DueResync(Clock::time_point now) const;
    // When DueResync next answers something other than None (while none runs).
    Clock::time_point NextResync() const;

    // The rows in order, with the gaps of sockets that went (state 0).
    const std::vector<netlink::SocketRow>& Rows() const { return rows_; }
    size_t LiveRows() const { return rows_.size() - gaps_; }
    // The IPv4 and the IPv6 table as the engine reads them: the rows of each family in order,
    // each gap an empty row, kept as the rows change so that a read is one copy.
    std::span<const api::MIB_TCPROW> Table4() const { return table4_; }
    std::span<const api::MIB_TCP6ROW> Table6() const { return table6_; }
    // True while events were lost since the last full resync: the rows may be stale.
    bool MissedEvents() const { return lost_; }
    // Changes whenever the rows may have changed.
    uint64_t Version() const { return version_; }
    // The row of a socket, or null.
    const netlink::SocketRow* Find(uint64_t cookie) const;

private:
    // Apply's three cases: the socket closed, a known socket changed, a new one.
    void Close(uint32_t index, const okg_tcp_event& event);
    uint32_t Update(uint32_t index, uint32_t state, const okg_tcp_event& event);
    uint32_t Insert(uint32_t state, const okg_tcp_event& event);
    void Append(const netlink::SocketRow& row, Clock::time_point now);
    void Remove(uint32_t index);
    void Replace(uint32_t index, const netlink::SocketRow& row, Clock::time_point now);
    void Count(const netlink::SocketRow& row, int sign);
    void EndResync(Clock::time_point now);
    void CloseGaps();
    void DropRequestRowOf(uint32_t childIndex);

    std::vector<netlink::SocketRow> rows_;
    // Beside each row: the resync that last listed it, and when an eventless one's timer ends.
    struct Slot {
        uint32_t listedIn = 0;
        Clock::time_point ends{};
        uint32_t at = 0; // the row's place in its family's table
    };
    std::vector<Slot> slots_;
    std::vector<api::MIB_TCPROW> table4_;
    std::vector<api::MIB_TCP6ROW> table6_;
    void Place(uint32_t index); // gives the row at index the next place in its family's table
    void Show(uint32_t index);  // writes the row at index into its family's table
    uint32_t gaps_ = 0;
    uint64_t version_ = 1;
    std::unordered_map<uint64_t, uint32_t> index_; // cookie -> row position
    // SYN_RCVD rows by their ports: a dump shows a half-open connection as a request socket with
    // its own cookie, which no event ends when its child socket becomes established.
    std::unordered_multimap<uint32_t, uint64_t> synRcvd_;
    // Rows of sockets that report nothing more (SocketRow::eventless), and the first of their
    // timers to run out.
    uint32_t eventlessRows_ = 0;
    Clock::time_point eventlessEnds_ = Clock::time_point::max();

    ResyncKind resyncing_ = ResyncKind::None;
    uint32_t generation_ = 0;
    size_t merged_ = 0; // rows of the dump merged so far
    std::unordered_set<uint64_t> touched_;
    uint64_t lostAtBegin_ = 0;

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
