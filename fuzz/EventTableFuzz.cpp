// The event-fed table under arbitrary sequences of dumps, eventless dumps, events and loss counts.
// After every step: one row per cookie, Find agrees with the rows, and the sockets that stay keep
// their order (new ones come after them).
#include "engine/platform/linux/EventTable.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

using namespace okg;
using namespace okg::linuxfeed;

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    uint16_t Port() { return uint16_t(Byte() % 4); } // few ports, so that connections collide
};

netlink::SocketRow Row(Input& in) {
    netlink::SocketRow r;
    r.cookie = in.Byte() % 16;
    r.row.dwState = 1 + in.Byte() % 12;
    r.row.dwLocalAddr = 0x0100007f;
    r.row.dwRemoteAddr = in.Byte() % 2 ? 0x0200007f : 0;
    r.row.dwLocalPort = in.Port();
    r.row.dwRemotePort = in.Port();
    return r;
}

// The live rows' cookies by their rank among the live rows, and whether each is an IPv6 row.
struct Rank {
    uint32_t rank;
    bool v6;
};
std::unordered_map<uint64_t, Rank> Ranks(const EventTable& table) {
    std::unordered_map<uint64_t, Rank> ranks;
    for (const netlink::SocketRow& r : table.Rows())
        if (r.row.dwState != 0 &&
            !ranks.emplace(r.cookie, Rank{uint32_t(ranks.size()), r.v6}).second)
            std::abort(); // two rows for one cookie
    return ranks;
}

// Sockets an event named in this step may have gone and come back at the end: not compared.
// A row that a dump moves to the other table goes to its end: not compared either.
void Check(const EventTable& table, std::unordered_map<uint64_t, Rank> before,
           const std::unordered_set<uint64_t>& evented) {
    for (uint64_t cookie : evented)
        before.erase(cookie);
    uint32_t last = 0, live = 0;
    bool known = true;
    for (const netlink::SocketRow& r : table.Rows()) {
        if (r.row.dwState == 0)
            continue;
        ++live;
        if (table.Find(r.cookie) != &r)
            std::abort();
        const auto old = before.find(r.cookie);
        if (evented.contains(r.cookie))
            continue;
        if (old != before.end() && old->second.v6 != r.v6)
            continue;
        if (old == before.end()) {
            known = false;
            continue;
        }
        if (!known || old->second.rank < last)
            std::abort(); // a known row after a new one, or two known rows out of order
        last = old->second.rank;
    }
    if (live != table.LiveRows())
        std::abort();
    (void)Ranks(table);
    // The tables kept ready list the rows, gaps as empty rows, in their order.
    std::vector<api::MIB_TCPROW> table4;
    std::vector<api::MIB_TCP6ROW> table6;
    for (const netlink::SocketRow& r : table.Rows()) {
        if (r.v6)
            table6.push_back(r.row.dwState == 0 ? api::MIB_TCP6ROW{} : netlink::Tcp6RowOf(r));
        else
            table4.push_back(r.row);
    }
    if (!std::ranges::equal(table4, table.Table4()) || !std::ranges::equal(table6, table.Table6()))
        std::abort();
}

okg_tcp_event Event(Input& in) {
    okg_tcp_event event{};
    event.cookie = in.Byte() % 16;
    event.family = in.Byte() % 2 ? 2 : 10; // AF_INET, AF_INET6
    event.local_addr[0] = 127;
    event.local_addr[3] = 1;
    event.remote_addr[0] = in.Byte() % 2 ? 127 : 0;
    event.local_port = in.Port();
    event.remote_port = in.Port();
    event.old_state = in.Byte() % 14;
    event.new_state = in.Byte() % 14;
    return event;
}

uint64_t Apply(EventTable& table, const okg_tcp_event& event) {
    table.Apply(event);
    return event.cookie;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    EventTable table;
    auto now = EventTable::Clock::time_point{};
    uint64_t lost = 0;
    for (int step = 0; step < 64 && in.size; ++step) {
        const std::unordered_map<uint64_t, Rank> before = Ranks(table);
        std::unordered_set<uint64_t> evented;
        now += std::chrono::milliseconds(in.Byte() * 50);
        const uint8_t op = in.Byte() % 4;
        if (op < 2) {
            std::vector<netlink::SocketRow> dump(in.Byte() % 8);
            for (auto& r : dump)
                r = Row(in);
            if (op == 1) // an eventless dump lists only sockets in those states
                std::erase_if(dump, [](const auto& r) { return !IsEventlessState(r.row.dwState); });
            // Merged in slices, with events before each.
            table.BeginResync(op == 0 ? ResyncKind::Full : ResyncKind::Eventless, now);
            do {
                for (int events = in.Byte() % 3; events > 0; --events)
                    evented.insert(Apply(table, Event(in)));
            } while (!table.MergeSlice(dump, 1 + in.Byte() % 4, now));
        } else if (op == 2) {
            evented.insert(Apply(table, Event(in)));
        } else {
            lost += in.Byte() % 2;
            table.NoteLostEvents(lost);
        }
        (void)table.DueResync(now);
        Check(table, before, evented);
    }
    return 0;
}
