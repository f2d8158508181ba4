#include "engine/platform/linux/EventTable.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>

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

void EventTable::MergeListed(const std::vector<netlink::SocketRow>& dump, std::vector<bool>& seen) {
    seen.assign(rows_.size(), false);
    for (const netlink::SocketRow& fresh : dump) {
        auto it = index_.find(fresh.cookie);
        if (it == index_.end()) {
            Append(fresh);
            seen.push_back(true);
        } else if (!seen[it->second]) { // a socket the dump met twice keeps its first row
            seen[it->second] = true;
            Replace(it->second, fresh);
        }
    }
}

template <typename Keep> void EventTable::RemoveUnlisted(std::vector<bool>& seen, Keep keep) {
    for (uint32_t i = 0; i < rows_.size();) {
        if (seen[i] || keep(rows_[i])) {
            ++i;
            continue;
        }
        // Remove moves the last row into the gap: its flag follows it.
        seen[i] = seen.back();
        seen.pop_back();
        Remove(i);
    }
}

void EventTable::Resync(const std::vector<netlink::SocketRow>& dump, Clock::time_point now) {
    std::vector<bool> seen;
    MergeListed(dump, seen);
    RemoveUnlisted(seen, [](const netlink::SocketRow&) { return false; });
    seeded_ = true;
    lost_ = false;
    lastResync_ = lastFullResync_ = now;
}

void EventTable::ResyncEventless(const std::vector<netlink::SocketRow>& dump,
                                 Clock::time_point now) {
    std::vector<bool> seen;
    MergeListed(dump, seen);
    // A full socket in FIN_WAIT2 or SYN_RCVD is listed while it lives, so an unlisted one is gone
    // too (or has moved on, and its event, drained next, makes its row again).
    RemoveUnlisted(seen,
                   [](const netlink::SocketRow& r) { return !IsEventlessState(r.row.dwState); });
    lastResync_ = now;
}

void EventTable::MergeBackgroundDump(ResyncKind kind, const std::vector<netlink::SocketRow>& dump,
                                     const std::vector<okg_tcp_event>& since,
                                     Clock::time_point now) {
    if (kind == ResyncKind::Full)
        Resync(dump, now);
    else if (kind == ResyncKind::Eventless)
        ResyncEventless(dump, now);
    for (const okg_tcp_event& event : since)
        Apply(event);
}

void EventTable::Apply(const okg_tcp_event& event) {
    ++version_;
    auto it = index_.find(event.cookie);
    if (event.new_state == KernelClose) {
        if (it == index_.end())
            return;
        netlink::SocketRow& known = rows_[it->second];
        // A connection closed from FIN_WAIT2 or CLOSING lives on as a timewait socket, which
        // reports nothing more: show it as such until a resync finds it gone.
        bool timewait = event.sk_err == 0 &&
                        (event.old_state == KernelFinWait2 || event.old_state == KernelClosing);
        if (timewait && known.row.dwState != api::MIB_TCP_STATE_SYN_RCVD) {
            known.row.dwState = api::MIB_TCP_STATE_TIME_WAIT;
        } else {
            Remove(it->second);
        }
        return;
    }

    uint32_t state = netlink::TableState(event.new_state);
    if (state == 0)
        return;
    uint32_t local = 0, remote = 0;
    bool localUnset = false, remoteUnset = false;
    bool localV4 = EventAddress(event.family, event.local_addr, local, localUnset);
    bool remoteV4 = EventAddress(event.family, event.remote_addr, remote, remoteUnset);

    uint32_t index;
    if (it != index_.end()) {
        index = it->second;
        api::MIB_TCPROW& row = rows_[index].row;
        if (row.dwState == api::MIB_TCP_STATE_SYN_RCVD)
            --synRcvdRows_;
        if (state == api::MIB_TCP_STATE_SYN_RCVD)
            ++synRcvdRows_;
        row.dwState = state;
        // Ports are 0 before a connect binds and addresses unset before a route is chosen: an
        // event never forgets what an earlier one or the dump told.
        if (rows_[index].v6) {
            SetAddress6(event.local_addr, rows_[index].local6);
            SetAddress6(event.remote_addr, rows_[index].remote6);
            rows_[index].ifindex = uint32_t(event.bound_dev_if);
        }
        if (localV4 && !localUnset && !rows_[index].v6)
            row.dwLocalAddr = local;
        if (remoteV4 && !remoteUnset && !rows_[index].v6)
            row.dwRemoteAddr = remote;
        if (event.local_port != 0)
            row.dwLocalPort = PortField(event.local_port);
        if (event.remote_port != 0)
            row.dwRemotePort = PortField(event.remote_port);
    } else {
        // An IPv6 socket is an IPv4 row when an address shows it carries an IPv4 connection
        // (v4-mapped), else an IPv6 row, as the dump lists it.
        const bool inet6 = event.family != AF_INET;
        const bool v6 = inet6 && (!localV4 || !remoteV4 || (localUnset && remoteUnset));
        netlink::SocketRow fresh;
        fresh.cookie = event.cookie;
        fresh.v4mapped = inet6 && !v6;
        fresh.v6 = v6;
        fresh.row = {state, v6 ? 0 : local, PortField(event.local_port), v6 ? 0 : remote,
                     PortField(event.remote_port)};
        if (v6) {
            SetAddress6(event.local_addr, fresh.local6);
            SetAddress6(event.remote_addr, fresh.remote6);
            // A link-local connection's zone, and where a cut finds its socket.
            fresh.ifindex = uint32_t(event.bound_dev_if);
        }
        index = uint32_t(rows_.size());
        Append(fresh);
    }
    if (state == api::MIB_TCP_STATE_ESTAB && synRcvdRows_ > 0)
        DropRequestRowOf(index);
}

void EventTable::NoteLostEvents(uint64_t total) {
    if (total != lostSeen_) {
        lostSeen_ = total;
        lost_ = true;
    }
}

ResyncKind EventTable::DueResync(Clock::time_point now) const {
    if (!seeded_ || lost_ || now - lastFullResync_ >= FullInterval)
        return ResyncKind::Full;
    if (now - lastResync_ >= EventlessInterval)
        return ResyncKind::Eventless;
    return ResyncKind::None;
}

const netlink::SocketRow* EventTable::Find(uint64_t cookie) const {
    auto it = index_.find(cookie);
    return it == index_.end() ? nullptr : &rows_[it->second];
}

void EventTable::Append(const netlink::SocketRow& row) {
    ++version_;
    index_[row.cookie] = uint32_t(rows_.size());
    rows_.push_back(row);
    if (row.row.dwState == api::MIB_TCP_STATE_SYN_RCVD)
        ++synRcvdRows_;
}

void EventTable::Replace(uint32_t index, const netlink::SocketRow& row) {
    ++version_;
    netlink::SocketRow& old = rows_[index];
    const bool was = rows_[index].row.dwState == api::MIB_TCP_STATE_SYN_RCVD;
    const bool is = row.row.dwState == api::MIB_TCP_STATE_SYN_RCVD;
    synRcvdRows_ += uint32_t(is) - uint32_t(was);
    old = row;
}

// Swaps the last row into the gap: one other row moves instead of every row after the gap.
void EventTable::Remove(uint32_t index) {
    ++version_;
    if (rows_[index].row.dwState == api::MIB_TCP_STATE_SYN_RCVD)
        --synRcvdRows_;
    index_.erase(rows_[index].cookie);
    uint32_t last = uint32_t(rows_.size() - 1);
    if (index != last) {
        rows_[index] = rows_[last];
        index_[rows_[index].cookie] = index;
    }
    rows_.pop_back();
}

// A dump shows a half-open connection as a request socket with its own cookie; when the child
// socket becomes established that row is stale, and no event will ever say so.
void EventTable::DropRequestRowOf(uint32_t childIndex) {
    const netlink::SocketRow child = rows_[childIndex];
    for (uint32_t i = 0; i < rows_.size(); ++i) {
        const netlink::SocketRow& r = rows_[i];
        if (r.row.dwState == api::MIB_TCP_STATE_SYN_RCVD && r.cookie != child.cookie &&
            SameConnection(r, child)) {
            Remove(i);
            return;
        }
    }
}

} // namespace okg::linuxfeed
