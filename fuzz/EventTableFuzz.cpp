// The event-fed table under arbitrary sequences of dumps, eventless dumps, events and loss counts.
// After every step: one row per cookie, Find agrees with the rows, and a socket that stays keeps
// its position (only the last row may move, into the gap a removed one left).
#include "engine/platform/linux/EventTable.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

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

void Check(const EventTable& table, const std::unordered_map<uint64_t, uint32_t>& before) {
    const auto& rows = table.Rows();
    std::unordered_map<uint64_t, uint32_t> seen;
    for (uint32_t i = 0; i < rows.size(); ++i) {
        if (!seen.emplace(rows[i].cookie, i).second)
            std::abort(); // two rows for one cookie
        if (table.Find(rows[i].cookie) != &rows[i])
            std::abort();
        const auto old = before.find(rows[i].cookie);
        if (old != before.end() && old->second != i && old->second < rows.size())
            std::abort(); // a known row moved although it was not the one past the new end
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    EventTable table;
    auto now = EventTable::Clock::time_point{};
    uint64_t lost = 0;
    for (int step = 0; step < 64 && in.size; ++step) {
        std::unordered_map<uint64_t, uint32_t> before;
        for (uint32_t i = 0; i < table.Rows().size(); ++i)
            before[table.Rows()[i].cookie] = i;
        now += std::chrono::milliseconds(in.Byte() * 50);
        const uint8_t op = in.Byte() % 4;
        if (op < 2) {
            std::vector<netlink::SocketRow> dump(in.Byte() % 8);
            for (auto& r : dump)
                r = Row(in);
            if (op == 0) {
                table.Resync(dump, now);
            } else {
                // An eventless dump lists only sockets in those states.
                std::erase_if(dump, [](const auto& r) { return !IsEventlessState(r.row.dwState); });
                table.ResyncEventless(dump, now);
            }
        } else if (op == 2) {
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
            table.Apply(event);
        } else {
            lost += in.Byte() % 2;
            table.NoteLostEvents(lost);
        }
        (void)table.DueResync(now);
        Check(table, before);
    }
    return 0;
}
