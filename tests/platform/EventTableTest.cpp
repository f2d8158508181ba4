// The event-fed table on crafted events; row positions matter (verdicts are cached per position).
#include "engine/platform/linux/EventTable.h"
#include "RowText.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace okg::linuxfeed;
using namespace rowtext;

constexpr std::string_view KernelStates[] = {"",           "ESTAB",     "SYN_SENT",  "SYN_RECV",
                                             "FIN_WAIT1",  "FIN_WAIT2", "TIME_WAIT", "CLOSE",
                                             "CLOSE_WAIT", "LAST_ACK",  "LISTEN",    "CLOSING"};
const EventTable::Clock::time_point T0{};

// "7 SYN_SENT>ESTAB 1:50000 2:4000": socket 7 changes kernel state, its ends as in a row (left
// out: unset); then "reset" for a socket error, "v6" for an IPv6 socket carrying an IPv4
// connection or "v6only" for one that does not. Events are separated by commas.
void Feed(EventTable& table, const std::string& text) {
    Parse(text, [&](const std::string& s, uint64_t cookie, std::string_view states, auto e) {
        const bool v6 = s.find(" v6") != s.npos, mapped = v6 && s.find(" v6only") == s.npos;
        const size_t arrow = states.find('>');
        okg_tcp_event event{};
        event.cookie = cookie;
        event.sk_err = s.ends_with(" reset") ? ECONNRESET : 0;
        event.family = v6 ? AF_INET6 : AF_INET;
        std::tie(event.local_port, event.remote_port, event.old_state, event.new_state) =
            std::tuple(e[1], e[3], Index(KernelStates, states.substr(0, arrow)),
                       Index(KernelStates, states.substr(arrow + 1)));
        for (auto [addr, ip] : {std::pair{event.local_addr, e[0]}, {event.remote_addr, e[2]}}) {
            std::memcpy(addr + (v6 ? 12 : 0), &ip, 4);
            addr[10] = addr[11] = ip && mapped ? 0xff : 0;
        }
        table.Apply(event);
    });
}

// A removed row leaves the others in order; the cookie, not the 4-tuple, names a socket; an
// eventless dump only drops timewait and request rows; a full one keeps known sockets' rows; a
// socket an event spoke of while a dump was read or merged keeps what the event said.
TEST(EventTable, CraftedSequencesLeaveTheExpectedTable) {
    struct Case {
        const char* seed = ""; // the first full dump
        const char* events = "";
        const char* dump = nullptr; // a later dump, eventless unless full
        bool full = false;
        const char* after = "";       // events raised while that dump ran
        const char* during = nullptr; // events while a dump ran off the loop
        const char* between = "";     // events between the first and the other slices of it
        const char* expected = "";
    } cases[] = {
        {.events = "7 CLOSE>SYN_SENT 0:0 2:4000, 7 SYN_SENT>ESTAB 1:50000 2:4000, "
                   "8 CLOSE>SYN_SENT 0:0 2:4000, 8 SYN_SENT>CLOSE reset, "
                   "5 CLOSE>SYN_SENT 0:0 2:4000 v6, 5 SYN_SENT>ESTAB 1:50001 2:4000 v6, "
                   "6 CLOSE>LISTEN 0:4100 v6, 10 SYN_SENT>ESTAB 1:50002 1:4000 v6only, "
                   "12 CLOSE>SYN_SENT 0:0 2:4000 v6only, 12 SYN_SENT>ESTAB 1:50003 0:4000 v6only",
         .expected = "7 ESTAB 1:50000 2:4000, 5 ESTAB 1:50001 2:4000 mapped, "
                     "6 LISTEN [::]:4100 [::]:0, 10 ESTAB [::127.0.0.1]:50002 [::127.0.0.1]:4000, "
                     "12 ESTAB [::127.0.0.1]:50003 [::127.0.0.2]:4000"},
        {.seed = "1 LISTEN 2:4000 0:0, 9 ESTAB 2:4000 1:50002, 7 ESTAB 1:50000 2:4000, "
                 "8 ESTAB 1:50001 2:4000, 10 FIN_WAIT2 1:50003 2:4000",
         .events = "7 ESTAB>FIN_WAIT1, 7 FIN_WAIT1>FIN_WAIT2, 7 FIN_WAIT2>CLOSE, "
                   "8 ESTAB>FIN_WAIT1, 8 FIN_WAIT1>CLOSING, 8 CLOSING>CLOSE, "
                   "9 ESTAB>CLOSE_WAIT, 9 CLOSE_WAIT>LAST_ACK, 9 LAST_ACK>CLOSE, "
                   "10 FIN_WAIT2>CLOSE reset",
         .expected = "1 LISTEN 2:4000 0:0, 7 TIME_WAIT 1:50000 2:4000, 8 TIME_WAIT 1:50001 2:4000"},
        {.seed = "7 ESTAB 1:50000 2:4000, 20 TIME_WAIT 1:50010 2:4000",
         .events = "8 SYN_SENT>ESTAB 1:50000 2:4000, 7 ESTAB>CLOSE reset, 99 ESTAB>CLOSE reset, "
                   "3 CLOSE>LISTEN 3:4200, 98 FIN_WAIT2>CLOSE",
         .expected = "20 TIME_WAIT 1:50010 2:4000, 8 ESTAB 1:50000 2:4000, 3 LISTEN 3:4200 0:0"},
        {.seed =
             "20 TIME_WAIT 1:50010 2:4000, 7 ESTAB 1:50000 2:4000, 21 FIN_WAIT2 1:50011 2:4000, "
             "50 SYN_RCVD 2:4000 1:50020, 9 CLOSE_WAIT 2:4000 1:50002",
         .events = "7 ESTAB>FIN_WAIT1, 11 CLOSE>SYN_SENT 0:0 2:4000",
         .dump = "21 TIME_WAIT 1:50011 2:4000, 60 TIME_WAIT 1:50021 2:4000",
         .expected =
             "7 FIN_WAIT1 1:50000 2:4000, 21 TIME_WAIT 1:50011 2:4000, "
             "9 CLOSE_WAIT 2:4000 1:50002, 11 SYN_SENT 0:0 2:4000, 60 TIME_WAIT 1:50021 2:4000"},
        {.seed = "1 LISTEN 2:4000 0:0, 50 ESTAB 2:4000 1:50000",
         .events = "9 LISTEN>SYN_RECV 2:4000 0:50001",
         .dump = "50 SYN_RCVD 2:4000 1:50000",
         .after = "9 SYN_RECV>ESTAB 2:4000 1:50001, 10 LISTEN>SYN_RECV 2:4000 0:50000, "
                  "10 SYN_RECV>ESTAB 2:4000 1:50000",
         .expected = "1 LISTEN 2:4000 0:0, 9 ESTAB 2:4000 1:50001, 10 ESTAB 2:4000 1:50000"},
        {.seed = "1 LISTEN 2:4001 0:0, 2 ESTAB 1:50000 2:4001, 3 ESTAB 1:50001 2:4001",
         .dump = "3 CLOSE_WAIT 1:50001 2:4001, 4 SYN_SENT 1:50002 2:4001, 1 LISTEN 2:4001 0:0, "
                 "4 ESTAB 1:50003 2:4001",
         .full = true,
         .expected = "1 LISTEN 2:4001 0:0, 3 CLOSE_WAIT 1:50001 2:4001, 4 SYN_SENT 1:50002 2:4001"},
        {.seed = "7 ESTAB 1:50000 2:4000, 20 TIME_WAIT 1:50010 2:4000",
         .dump = "7 ESTAB 1:50000 2:4000, 20 TIME_WAIT 1:50010 2:4000",
         .full = true,
         .during = "8 SYN_SENT>ESTAB 1:50001 2:4000, 7 ESTAB>CLOSE reset",
         .between = "9 CLOSE>LISTEN 3:4300",
         .expected = "20 TIME_WAIT 1:50010 2:4000, 8 ESTAB 1:50001 2:4000, 9 LISTEN 3:4300 0:0"},
        {.seed = "7 ESTAB 1:50000 2:4000, 21 FIN_WAIT2 1:50011 2:4000",
         .dump = "21 FIN_WAIT2 1:50011 2:4000",
         .during = "21 FIN_WAIT2>CLOSE",
         .expected = "7 ESTAB 1:50000 2:4000, 21 TIME_WAIT 1:50011 2:4000"},
    };
    for (const Case& c : cases) {
        EventTable table;
        table.Resync(Rows(c.seed), T0);
        Feed(table, c.events);
        const auto kind = c.full ? ResyncKind::Full : ResyncKind::Eventless;
        if (c.during) { // events while the dump is read and between two slices of its merge
            const auto dump = Rows(c.dump);
            table.BeginResync(kind, T0);
            Feed(table, c.during);
            EXPECT_EQ(table.MergeSlice(dump, 1, T0), dump.size() == 1);
            Feed(table, c.between);
            EXPECT_TRUE(table.MergeSlice(dump, dump.size(), T0));
        } else if (c.dump)
            c.full ? table.Resync(Rows(c.dump), T0) : table.ResyncEventless(Rows(c.dump), T0);
        Feed(table, c.after);
        EXPECT_EQ(Text(table.Rows()), c.expected) << "seeded with " << c.seed;
        for (const SocketRow& r : table.Rows())
            EXPECT_TRUE(r.row.dwState == 0 || table.Find(r.cookie) == &r) << "the index follows";
    }
}

// A full resync first, after lost events (until one begun after them has ended) and every
// FullInterval; an eventless one only while the table holds eventless rows, once the first of
// their timers has run out.
TEST(EventTable, ResyncSchedule) {
    using std::chrono::seconds;
    EventTable table;
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
    table.Resync({}, T0);
    EXPECT_EQ(table.NextResync(), T0 + EventTable::FullInterval);
    EXPECT_EQ(table.DueResync(T0 + seconds(59)), ResyncKind::None);
    EXPECT_EQ(table.DueResync(T0 + EventTable::FullInterval), ResyncKind::Full);
    table.NoteLostEvents(3);
    table.BeginResync(ResyncKind::Full, T0);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::None) << "one at a time";
    table.NoteLostEvents(4); // while its dump was read
    table.MergeSlice({}, 1, T0);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
    auto dump = Rows("20 TIME_WAIT 1:50010 2:4000");
    dump[0].endsInMs = 5000;
    table.Resync(dump, T0);
    EXPECT_EQ(table.NextResync(), T0 + seconds(5));
    EXPECT_EQ(table.DueResync(T0 + seconds(4)), ResyncKind::None);
    EXPECT_EQ(table.DueResync(T0 + seconds(5)), ResyncKind::Eventless);
    table.ResyncEventless({}, T0 + seconds(5));
    EXPECT_EQ(Text(table.Rows()), "");
    EXPECT_EQ(table.NextResync(), T0 + EventTable::FullInterval);
}

} // namespace
