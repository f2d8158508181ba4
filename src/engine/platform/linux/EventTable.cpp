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

bool SameConnection(const api::MIB_TCPROW& a, const api::MIB_TCPROW& b) {
    return a.dwLocalAddr == b.dwLocalAddr && a.dwLocalPort == b.dwLocalPort &&
           a.dwRemoteAddr == b.dwRemoteAddr && a.dwRemotePort == b.dwRemotePort;
}

} // namespace

bool EventAddress(uint16_t family, const unsigned char (&addr)[16], uint32_t& ipv4, bool& unset) {
    if (family == AF_INET) {
        std::copy_n(addr, 4, reinterpret_cast<unsigned char*>(&ipv4));
        unset = ipv4 == 0;
        return true;
    }
    if (std::all_of(addr, addr + 16, [](unsigned char b) { return b == 0; })) {
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
        if (localV4 && !localUnset)
            row.dwLocalAddr = local;
        if (remoteV4 && !remoteUnset)
            row.dwRemoteAddr = remote;
        if (event.local_port != 0)
            row.dwLocalPort = PortField(event.local_port);
        if (event.remote_port != 0)
            row.dwRemotePort = PortField(event.remote_port);
    } else {
        // Only IPv4 connections become rows; an IPv6 socket counts once an address shows it
        // carries one (v4-mapped).
        if (!localV4 || !remoteV4)
            return;
        bool mapped = event.family != AF_INET;
        if (mapped && localUnset && remoteUnset)
            return;
        netlink::SocketRow fresh;
        fresh.cookie = event.cookie;
        fresh.v4mapped = mapped;
        fresh.row = {state, local, PortField(event.local_port), remote,
                     PortField(event.remote_port)};
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
            SameConnection(r.row, child.row)) {
            Remove(i);
            return;
        }
    }
}

} // namespace okg::linuxfeed
