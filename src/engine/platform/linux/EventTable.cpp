#include "engine/platform/linux/EventTable.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace okg::linuxfeed {

namespace {

constexpr unsigned char V4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

uint32_t PortField(uint16_t hostPort) {
    return htons(hostPort);
}

bool SameConnection(const netlink::SocketRow& x, const netlink::SocketRow& y) {
    const api::MIB_TCPROW &a = x.row, &b = y.row;
    return a.dwLocalAddr == b.dwLocalAddr && a.dwLocalPort == b.dwLocalPort &&
           a.dwRemoteAddr == b.dwRemoteAddr && a.dwRemotePort == b.dwRemotePort && x.v6 == y.v6 &&
           std::equal(x.local6.Byte, x.local6.Byte + 16, y.local6.Byte) &&
           std::equal(x.remote6.Byte, x.remote6.Byte + 16, y.remote6.Byte);
}

bool IsZero(const unsigned char (&addr)[16]) {
    return std::all_of(addr, addr + 16, [](unsigned char b) { return b == 0; });
}

// An IPv6 address that is set, copied into an IPv6 row.
void SetAddress6(const unsigned char (&addr)[16], api::IN6_ADDR& to) {
    if (!IsZero(addr))
        std::copy_n(addr, 16, to.Byte);
}

} // namespace

bool EventAddress(uint16_t family, const unsigned char (&addr)[16], uint32_t& ipv4, bool& unset) {
    if (family == AF_INET) {
        std::copy_n(addr, 4, reinterpret_cast<unsigned char*>(&ipv4));
        unset = ipv4 == 0;
        return true;
    }
    if (IsZero(addr)) {
        ipv4 = 0;
        unset = true;
        return true;
    }
    unset = false;
    if (!std::equal(addr, addr + 12, V4MappedPrefix))
        return false;
    std::copy_n(addr + 12, 4, reinterpret_cast<unsigned char*>(&ipv4));
    return true;
}

bool IsEventlessState(uint32_t tableState) {
    return tableState == api::MIB_TCP_STATE_TIME_WAIT ||
           tableState == api::MIB_TCP_STATE_FIN_WAIT2 || tableState == api::MIB_TCP_STATE_SYN_RCVD;
}

namespace {

// The same socket row, but for the time left on an eventless socket's timer.
bool SameRow(const netlink::SocketRow& a, const netlink::SocketRow& b) {
    return a.cookie == b.cookie && std::memcmp(&a.row, &b.row, sizeof a.row) == 0 &&
           a.v4mapped == b.v4mapped && a.v6 == b.v6 && a.ifindex == b.ifindex &&
           a.eventless == b.eventless && std::memcmp(&a.local6, &b.local6, 16) == 0 &&
           std::memcmp(&a.remote6, &b.remote6, 16) == 0;
}

uint32_t PortsOf(const netlink::SocketRow& r) {
    return r.row.dwLocalPort << 16 ^ r.row.dwRemotePort;
}

} // namespace

void EventTable::Resync(const std::vector<netlink::SocketRow>& dump, Clock::time_point now) {
    BeginResync(ResyncKind::Full, now);
    MergeSlice(dump, dump.size(), now);
}

void EventTable::ResyncEventless(const std::vector<netlink::SocketRow>& dump,
                                 Clock::time_point now) {
    BeginResync(ResyncKind::Eventless, now);
    MergeSlice(dump, dump.size(), now);
}

void EventTable::BeginResync(ResyncKind kind, Clock::time_point now) {
    resyncing_ = kind;
    ++generation_;
    merged_ = 0;
    touched_.clear();
    lostAtBegin_ = lostSeen_;
    if (kind == ResyncKind::Full)
        lastFullResync_ = now;
    lastResync_ = now;
}

void EventTable::AbandonResync() {
    resyncing_ = ResyncKind::None;
    touched_.clear();
    lastResync_ = lastFullResync_ = {}; // due again at once
}

bool EventTable::MergeSlice(const std::vector<netlink::SocketRow>& dump, size_t maxRows,
                            Clock::time_point now) {
    if (resyncing_ == ResyncKind::None)
        return true;
    const size_t end = std::min(dump.size(), merged_ + maxRows);
    for (; merged_ < end; ++merged_) {
        const netlink::SocketRow& fresh = dump[merged_];
        if (!touched_.empty() && touched_.contains(fresh.cookie))
            continue;
        const auto it = index_.find(fresh.cookie);
        if (it == index_.end()) {
            Append(fresh, now);
            slots_.back().listedIn = generation_;
            continue;
        }
        Slot& slot = slots_[it->second];
        if (slot.listedIn == generation_) // a socket the dump met twice keeps its first row
            continue;
        slot.listedIn = generation_;
        if (!SameRow(rows_[it->second], fresh))
            Replace(it->second, fresh, now);
        else if (fresh.eventless)
            slot.ends = now + std::chrono::milliseconds(fresh.endsInMs);
    }
    if (merged_ < dump.size())
        return false;
    EndResync(now);
    return true;
}

void EventTable::EndResync(Clock::time_point) {
    eventlessEnds_ = Clock::time_point::max();
    for (uint32_t i = 0; i < rows_.size(); ++i) {
        const netlink::SocketRow& r = rows_[i];
        if (r.row.dwState == 0)
            continue;
        // An eventless dump lists every socket in those states, so an unlisted row in one is gone
        // too (or has moved on, and its event, drained next, makes its row again).
        const bool mayGo = resyncing_ == ResyncKind::Full || IsEventlessState(r.row.dwState);
        if (slots_[i].listedIn != generation_ && mayGo && !touched_.contains(r.cookie)) {
            Remove(i);
            continue;
        }
        if (r.eventless)
            eventlessEnds_ = std::min(eventlessEnds_, slots_[i].ends);
    }
    if (resyncing_ == ResyncKind::Full) {
        seeded_ = true;
        // Events lost while the dump was read leave it unable to stand for them.
        lost_ = lostSeen_ != lostAtBegin_;
    }
    resyncing_ = ResyncKind::None;
    touched_.clear();
    CloseGaps();
}

namespace {

// An event's ends as the table holds them: an IPv4 address (of an IPv4 socket, or v4-mapped) or
// an IPv6 one; unset until the kernel has chosen it.
struct EventEnds {
    explicit EventEnds(const okg_tcp_event& event)
        : localV4(EventAddress(event.family, event.local_addr, local, localUnset)),
          remoteV4(EventAddress(event.family, event.remote_addr, remote, remoteUnset)) {}
    uint32_t local = 0, remote = 0;
    bool localUnset = false, remoteUnset = false;
    bool localV4, remoteV4;
};

} // namespace

void EventTable::Apply(const okg_tcp_event& event) {
    ++version_;
    if (resyncing_ != ResyncKind::None)
        touched_.insert(event.cookie);
    const auto it = index_.find(event.cookie);
    if (event.new_state == KernelClose) {
        if (it != index_.end())
            Close(it->second, event);
        return;
    }
    const uint32_t state = netlink::TableState(event.new_state);
    if (state == 0)
        return;
    const uint32_t index =
        it != index_.end() ? Update(it->second, state, event) : Insert(state, event);
    if (state == api::MIB_TCP_STATE_ESTAB && !synRcvd_.empty()) {
        DropRequestRowOf(index);
        CloseGaps();
    }
}

void EventTable::Close(uint32_t index, const okg_tcp_event& event) {
    // A connection closed from FIN_WAIT2 or CLOSING lives on as a timewait socket, which reports
    // nothing more: show it as such until a resync finds it gone.
    const bool timewait = event.sk_err == 0 &&
                          (event.old_state == KernelFinWait2 || event.old_state == KernelClosing);
    if (timewait && rows_[index].row.dwState != api::MIB_TCP_STATE_SYN_RCVD) {
        netlink::SocketRow row = rows_[index];
        row.row.dwState = api::MIB_TCP_STATE_TIME_WAIT;
        row.eventless = true;
        row.endsInMs =
            uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(TimewaitLife).count());
        Replace(index, row, Clock::now());
        return;
    }
    Remove(index);
    CloseGaps();
}

uint32_t EventTable::Update(uint32_t index, uint32_t state, const okg_tcp_event& event) {
    const EventEnds ends(event);
    netlink::SocketRow known = rows_[index];
    api::MIB_TCPROW& row = known.row;
    row.dwState = state;
    // A socket that reports is no timewait or request socket, whatever a dump took it for.
    known.eventless = false;
    // Ports are 0 before a connect binds and addresses unset before a route is chosen: an event
    // never forgets what an earlier one or the dump told.
    if (known.v6) {
        SetAddress6(event.local_addr, known.local6);
        SetAddress6(event.remote_addr, known.remote6);
        known.ifindex = uint32_t(event.bound_dev_if);
    } else {
        if (ends.localV4 && !ends.localUnset)
            row.dwLocalAddr = ends.local;
        if (ends.remoteV4 && !ends.remoteUnset)
            row.dwRemoteAddr = ends.remote;
    }
    if (event.local_port != 0)
        row.dwLocalPort = PortField(event.local_port);
    if (event.remote_port != 0)
        row.dwRemotePort = PortField(event.remote_port);
    Replace(index, known, {});
    return index;
}

uint32_t EventTable::Insert(uint32_t state, const okg_tcp_event& event) {
    const EventEnds ends(event);
    // An IPv6 socket is an IPv4 row when an address shows it carries an IPv4 connection
    // (v4-mapped), else an IPv6 row, as the dump lists it.
    const bool inet6 = event.family != AF_INET;
    const bool v6 =
        inet6 && (!ends.localV4 || !ends.remoteV4 || (ends.localUnset && ends.remoteUnset));
    netlink::SocketRow fresh;
    fresh.cookie = event.cookie;
    fresh.v4mapped = inet6 && !v6;
    fresh.v6 = v6;
    fresh.row = {state, v6 ? 0 : ends.local, PortField(event.local_port), v6 ? 0 : ends.remote,
                 PortField(event.remote_port)};
    if (v6) {
        SetAddress6(event.local_addr, fresh.local6);
        SetAddress6(event.remote_addr, fresh.remote6);
        // A link-local connection's zone, and where a cut finds its socket.
        fresh.ifindex = uint32_t(event.bound_dev_if);
    }
    Append(fresh, {});
    return uint32_t(rows_.size() - 1);
}

void EventTable::NoteLostEvents(uint64_t total) {
    if (total != lostSeen_) {
        lostSeen_ = total;
        lost_ = true;
    }
}

ResyncKind EventTable::DueResync(Clock::time_point now) const {
    if (resyncing_ != ResyncKind::None)
        return ResyncKind::None;
    if (!seeded_ || lost_ || now - lastFullResync_ >= FullInterval)
        return ResyncKind::Full;
    if (eventlessRows_ > 0 && now >= std::max(eventlessEnds_, lastResync_ + EventlessInterval))
        return ResyncKind::Eventless;
    return ResyncKind::None;
}

EventTable::Clock::time_point EventTable::NextResync() const {
    if (!seeded_ || lost_)
        return Clock::time_point::min();
    const Clock::time_point full = lastFullResync_ + FullInterval;
    if (eventlessRows_ == 0)
        return full;
    return std::min(full, std::max(eventlessEnds_, lastResync_ + EventlessInterval));
}

const netlink::SocketRow* EventTable::Find(uint64_t cookie) const {
    auto it = index_.find(cookie);
    return it == index_.end() ? nullptr : &rows_[it->second];
}

// Keeps the counts of SYN_RCVD and eventless rows as a row comes (sign 1) or goes (-1).
void EventTable::Count(const netlink::SocketRow& row, int sign) {
    if (row.row.dwState == api::MIB_TCP_STATE_SYN_RCVD) {
        if (sign > 0) {
            synRcvd_.emplace(PortsOf(row), row.cookie);
        } else {
            auto [first, last] = synRcvd_.equal_range(PortsOf(row));
            for (auto it = first; it != last; ++it)
                if (it->second == row.cookie) {
                    synRcvd_.erase(it);
                    break;
                }
        }
    }
    eventlessRows_ += uint32_t(sign) * uint32_t(row.eventless);
}

void EventTable::Append(const netlink::SocketRow& row, Clock::time_point now) {
    ++version_;
    index_[row.cookie] = uint32_t(rows_.size());
    rows_.push_back(row);
    slots_.emplace_back();
    Place(uint32_t(rows_.size() - 1));
    Count(row, 1);
    if (row.eventless) {
        slots_.back().ends = now + std::chrono::milliseconds(row.endsInMs);
        eventlessEnds_ = std::min(eventlessEnds_, slots_.back().ends);
    }
}

void EventTable::Replace(uint32_t index, const netlink::SocketRow& row, Clock::time_point now) {
    if (row.v6 != rows_[index].v6) {
        // A dual-stack socket that a dump lists in the other table than its events did: it
        // moves to the end of that table.
        const uint32_t listedIn = slots_[index].listedIn;
        Remove(index);
        Append(row, now);
        slots_.back().listedIn = listedIn;
        return;
    }
    ++version_;
    Count(rows_[index], -1);
    rows_[index] = row;
    Show(index);
    Count(row, 1);
    if (row.eventless) {
        slots_[index].ends = now + std::chrono::milliseconds(row.endsInMs);
        eventlessEnds_ = std::min(eventlessEnds_, slots_[index].ends);
    }
}

void EventTable::Place(uint32_t index) {
    if (rows_[index].v6) {
        slots_[index].at = uint32_t(table6_.size());
        table6_.emplace_back();
    } else {
        slots_[index].at = uint32_t(table4_.size());
        table4_.emplace_back();
    }
    Show(index);
}

void EventTable::Show(uint32_t index) {
    const netlink::SocketRow& r = rows_[index];
    if (r.v6)
        table6_[slots_[index].at] = r.row.dwState == 0 ? api::MIB_TCP6ROW{} : netlink::Tcp6RowOf(r);
    else
        table4_[slots_[index].at] = r.row;
}

// Leaves a gap: the rows after it keep their order.
void EventTable::Remove(uint32_t index) {
    ++version_;
    Count(rows_[index], -1);
    index_.erase(rows_[index].cookie);
    const bool v6 = rows_[index].v6;
    rows_[index] = {};
    rows_[index].v6 = v6; // the gap stays in its table
    slots_[index] = {0, {}, slots_[index].at};
    Show(index);
    ++gaps_;
}

// Once gaps are a quarter of the rows (and more than a few): one move of the rows for many
// removals, and readers walk at most a third more rows than there are sockets.
void EventTable::CloseGaps() {
    if (gaps_ < 64 || gaps_ < rows_.size() / 4 || resyncing_ != ResyncKind::None)
        return;
    uint32_t kept = 0;
    table4_.clear();
    table6_.clear();
    for (uint32_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].row.dwState == 0)
            continue;
        if (kept != i) {
            rows_[kept] = rows_[i];
            slots_[kept] = slots_[i];
            index_[rows_[kept].cookie] = kept;
        }
        Place(kept);
        ++kept;
    }
    rows_.resize(kept);
    slots_.resize(kept);
    gaps_ = 0;
}

// A dump shows a half-open connection as a request socket with its own cookie; when the child
// socket becomes established that row is stale, and no event will ever say so.
void EventTable::DropRequestRowOf(uint32_t childIndex) {
    const netlink::SocketRow& child = rows_[childIndex];
    auto [first, last] = synRcvd_.equal_range(PortsOf(child));
    for (auto it = first; it != last; ++it) {
        const auto at = index_.find(it->second);
        if (it->second != child.cookie && at != index_.end() &&
            SameConnection(rows_[at->second], child)) {
            // A dump read before the child was established still lists it: not again.
            if (resyncing_ != ResyncKind::None)
                touched_.insert(it->second);
            Remove(at->second);
            return;
        }
    }
}

} // namespace okg::linuxfeed
