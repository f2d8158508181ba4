// The event-fed table against crafted event sequences: each case seeds a dump, feeds events and
// checks the whole table, row positions included.
#include "engine/platform/linux/EventTable.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using okg::linuxfeed::EventTable;
using okg::netlink::SocketRow;

namespace {

// Kernel state numbers as events carry them.
enum : uint8_t {
    K_ESTABLISHED = 1,
    K_SYN_SENT,
    K_SYN_RECV,
    K_FIN_WAIT1,
    K_FIN_WAIT2,
    K_TIME_WAIT,
    K_CLOSE,
    K_CLOSE_WAIT,
    K_LAST_ACK,
    K_LISTEN,
    K_CLOSING,
};

constexpr int ECONNRESET_ = 104;
constexpr int ECONNREFUSED_ = 111;

void PutAddress(unsigned char (&out)[16], uint16_t family, const char* text) {
    std::memset(out, 0, sizeof out);
    if (family == AF_INET)
        inet_pton(AF_INET, text, out);
    else
        inet_pton(AF_INET6, text, out);
}

okg_tcp_event Event(uint64_t cookie, uint8_t from, uint8_t to, const char* local, uint16_t lport,
                    const char* remote, uint16_t rport, int err = 0, uint16_t family = AF_INET) {
    okg_tcp_event e{};
    e.cookie = cookie;
    e.family = family;
    e.old_state = from;
    e.new_state = to;
    PutAddress(e.local_addr, family, local);
    PutAddress(e.remote_addr, family, remote);
    e.local_port = lport;
    e.remote_port = rport;
    e.sk_err = err;
    return e;
}

okg_tcp_event Event6(uint64_t cookie, uint8_t from, uint8_t to, const char* local, uint16_t lport,
                     const char* remote, uint16_t rport) {
    return Event(cookie, from, to, local, lport, remote, rport, 0, AF_INET6);
}

// The CLOSE event as the kernel gives it: ports already released.
okg_tcp_event Close(uint64_t cookie, uint8_t from, int err = 0) {
    return Event(cookie, from, K_CLOSE, "0.0.0.0", 0, "0.0.0.0", 0, err);
}

uint32_t Addr(const char* text) {
    uint32_t a = 0;
    inet_pton(AF_INET, text, &a);
    return a;
}

SocketRow Row(uint64_t cookie, uint32_t state, const char* local, uint16_t lport,
              const char* remote, uint16_t rport, bool mapped = false) {
    SocketRow r;
    r.cookie = cookie;
    r.row = {state, Addr(local), htons(lport), Addr(remote), htons(rport)};
    r.v4mapped = mapped;
    return r;
}

std::string Text(const SocketRow& r) {
    char local[INET_ADDRSTRLEN], remote[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &r.row.dwLocalAddr, local, sizeof local);
    inet_ntop(AF_INET, &r.row.dwRemoteAddr, remote, sizeof remote);
    return "#" + std::to_string(r.cookie) + " state " + std::to_string(r.row.dwState) + " " +
           local + ":" + std::to_string(ntohs(uint16_t(r.row.dwLocalPort))) + " > " + remote + ":" +
           std::to_string(ntohs(uint16_t(r.row.dwRemotePort))) + (r.v4mapped ? " mapped" : "");
}

std::vector<std::string> Texts(const std::vector<SocketRow>& rows) {
    std::vector<std::string> out;
    for (const SocketRow& r : rows)
        out.push_back(Text(r));
    return out;
}

const EventTable::Clock::time_point T0{};

struct Sequence {
    const char* name;
    std::vector<SocketRow> dump;
    std::vector<okg_tcp_event> events;
    std::vector<SocketRow> expected;
};

void PrintTo(const Sequence& s, std::ostream* os) {
    *os << s.name;
}

class EventSequence : public testing::TestWithParam<Sequence> {};

TEST_P(EventSequence, LeavesTheExpectedTable) {
    const Sequence& s = GetParam();
    EventTable table;
    table.Resync(s.dump, T0);
    for (const okg_tcp_event& e : s.events)
        table.Apply(e);
    EXPECT_EQ(Texts(table.Rows()), Texts(s.expected));
    for (const SocketRow& r : s.expected)
        ASSERT_NE(table.Find(r.cookie), nullptr) << Text(r);
}

const SocketRow Listener = Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4000, "0.0.0.0", 0);

INSTANTIATE_TEST_SUITE_P(
    Transitions, EventSequence,
    testing::Values(
        Sequence{"ClientConnectsWithPortsLearnedLate",
                 {},
                 {Event(7, K_CLOSE, K_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000),
                  Event(7, K_SYN_SENT, K_ESTABLISHED, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)}},
        Sequence{"SynSentRowShowsWhatIsKnown",
                 {},
                 {Event(7, K_CLOSE, K_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000)},
                 {Row(7, api::MIB_TCP_STATE_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000)}},
        Sequence{"ActiveCloseLeavesATimewaitRow",
                 {Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
                  Event(7, K_FIN_WAIT1, K_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000),
                  Close(7, K_FIN_WAIT2)},
                 {Row(7, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50000, "127.0.0.2", 4000)}},
        Sequence{"SimultaneousCloseLeavesATimewaitRow",
                 {Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
                  Event(7, K_FIN_WAIT1, K_CLOSING, "127.0.0.1", 50000, "127.0.0.2", 4000),
                  Close(7, K_CLOSING)},
                 {Row(7, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50000, "127.0.0.2", 4000)}},
        Sequence{"ResetInFinWait2LeavesNoRow",
                 {Row(7, api::MIB_TCP_STATE_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Close(7, K_FIN_WAIT2, ECONNRESET_)},
                 {}},
        Sequence{
            "ResetOfAnEstablishedConnectionRemovesIt",
            {Listener, Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)},
            {Close(7, K_ESTABLISHED, ECONNRESET_)},
            {Listener}},
        Sequence{"RefusedConnectRemovesTheRow",
                 {},
                 {Event(7, K_CLOSE, K_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000),
                  Close(7, K_SYN_SENT, ECONNREFUSED_)},
                 {}},
        Sequence{"PassiveCloseRemovesTheRow",
                 {Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000)},
                 {Event(9, K_ESTABLISHED, K_CLOSE_WAIT, "127.0.0.2", 4000, "127.0.0.1", 50000),
                  Event(9, K_CLOSE_WAIT, K_LAST_ACK, "127.0.0.2", 4000, "127.0.0.1", 50000),
                  Close(9, K_LAST_ACK)},
                 {}},
        Sequence{
            "ServerChildFillsItsAddressesAtEstablished",
            {Listener},
            {Event(9, K_LISTEN, K_SYN_RECV, "127.0.0.2", 4000, "0.0.0.0", 50000),
             Event(9, K_SYN_RECV, K_ESTABLISHED, "127.0.0.2", 4000, "127.0.0.1", 50000)},
            {Listener, Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000)}},
        Sequence{"ListenerComesAndGoes",
                 {},
                 {Event(3, K_CLOSE, K_LISTEN, "0.0.0.0", 4100, "0.0.0.0", 0),
                  Event(4, K_CLOSE, K_LISTEN, "127.0.0.3", 4200, "0.0.0.0", 0), Close(3, K_LISTEN)},
                 {Row(4, api::MIB_TCP_STATE_LISTEN, "127.0.0.3", 4200, "0.0.0.0", 0)}},
        Sequence{"ZeroPortsAndAddressesKeepKnownOnes",
                 {Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "0.0.0.0", 0, "0.0.0.0", 0)},
                 {Row(7, api::MIB_TCP_STATE_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000)}},
        Sequence{"CloseOfAnUnknownSocketChangesNothing",
                 {Listener},
                 {Close(99, K_ESTABLISHED, ECONNRESET_), Close(98, K_FIN_WAIT2)},
                 {Listener}},
        Sequence{"CookieNotTupleNamesTheSocket",
                 // Two sockets with the same ports one after the other: only the closed one goes.
                 {Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Event(8, K_SYN_SENT, K_ESTABLISHED, "127.0.0.1", 50000, "127.0.0.2", 4000),
                  Close(7, K_ESTABLISHED, ECONNRESET_)},
                 {Row(8, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)}},
        Sequence{"RemovalMovesOnlyTheLastRow",
                 {Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4001, "0.0.0.0", 0),
                  Row(2, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4002, "0.0.0.0", 0),
                  Row(3, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4003, "0.0.0.0", 0),
                  Row(4, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4004, "0.0.0.0", 0)},
                 {Close(1, K_LISTEN)},
                 {Row(4, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4004, "0.0.0.0", 0),
                  Row(2, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4002, "0.0.0.0", 0),
                  Row(3, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4003, "0.0.0.0", 0)}},
        Sequence{"DualStackSocketCarriesAnIpv4Connection",
                 {},
                 {Event6(5, K_CLOSE, K_SYN_SENT, "::", 0, "::ffff:127.0.0.2", 4000),
                  Event6(5, K_SYN_SENT, K_ESTABLISHED, "::ffff:127.0.0.1", 50001,
                         "::ffff:127.0.0.2", 4000)},
                 {Row(5, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50001, "127.0.0.2", 4000, true)}},
        Sequence{"Ipv6OnlySocketsAreNotRows",
                 {},
                 {Event6(5, K_CLOSE, K_SYN_SENT, "::", 0, "::1", 4000),
                  Event6(5, K_SYN_SENT, K_ESTABLISHED, "::1", 50001, "::1", 4000),
                  Event6(6, K_CLOSE, K_LISTEN, "::", 4100, "::", 0)},
                 {}},
        Sequence{"RequestRowGivesWayToItsEstablishedChild",
                 {Listener,
                  Row(50, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50000),
                  Row(51, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50001)},
                 {Event(9, K_LISTEN, K_SYN_RECV, "127.0.0.2", 4000, "0.0.0.0", 50000),
                  Event(9, K_SYN_RECV, K_ESTABLISHED, "127.0.0.2", 4000, "127.0.0.1", 50000)},
                 {Listener, Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000),
                  Row(51, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50001)}},
        Sequence{"TimewaitRowsOfADumpStay",
                 {Row(20, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50000, "127.0.0.2", 4000)},
                 {Event(21, K_SYN_SENT, K_ESTABLISHED, "127.0.0.1", 50002, "127.0.0.2", 4000),
                  Close(21, K_ESTABLISHED, ECONNRESET_)},
                 {Row(20, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50000, "127.0.0.2", 4000)}}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

// A dump of the eventless states merged between events: the seed dump, events drained before the
// partial dump, the partial dump, events raised while it ran, and the table expected.
struct PartialMerge {
    const char* name;
    std::vector<SocketRow> seed;
    std::vector<okg_tcp_event> before;
    std::vector<SocketRow> partial;
    std::vector<okg_tcp_event> after;
    std::vector<SocketRow> expected;
};

void PrintTo(const PartialMerge& m, std::ostream* os) {
    *os << m.name;
}

class EventlessResync : public testing::TestWithParam<PartialMerge> {};

TEST_P(EventlessResync, LeavesTheExpectedTable) {
    const PartialMerge& m = GetParam();
    EventTable table;
    table.Resync(m.seed, T0);
    for (const okg_tcp_event& e : m.before)
        table.Apply(e);
    table.ResyncEventless(m.partial, T0);
    for (const okg_tcp_event& e : m.after)
        table.Apply(e);
    EXPECT_EQ(Texts(table.Rows()), Texts(m.expected));
    for (uint32_t i = 0; i < m.expected.size(); ++i) {
        const SocketRow* found = table.Find(m.expected[i].cookie);
        ASSERT_NE(found, nullptr) << Text(m.expected[i]);
        EXPECT_EQ(found, &table.Rows()[i]) << "the index must follow the rows";
    }
}

const SocketRow Estab7 = Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000);
const SocketRow Estab8 = Row(8, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50001, "127.0.0.2", 4000);

INSTANTIATE_TEST_SUITE_P(
    Merges, EventlessResync,
    testing::Values(
        PartialMerge{
            "TimewaitRowsGoWhenGoneAndFollowTheirSubstate",
            {Row(20, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50010, "127.0.0.2", 4000), Estab7,
             Row(21, api::MIB_TCP_STATE_FIN_WAIT2, "127.0.0.1", 50011, "127.0.0.2", 4000), Estab8,
             Row(22, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50012, "127.0.0.2", 4000)},
            {},
            // 20 ended; 21's peer closed too; 22 lives on.
            {Row(22, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50012, "127.0.0.2", 4000),
             Row(21, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50011, "127.0.0.2", 4000)},
            {},
            {Row(22, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50012, "127.0.0.2", 4000), Estab7,
             Row(21, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50011, "127.0.0.2", 4000), Estab8}},
        PartialMerge{
            "RequestRowsGoWhenGone",
            {Listener, Row(50, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50000),
             Row(51, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50001), Estab7},
            {},
            {Row(51, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50001)},
            {},
            {Listener, Estab7,
             Row(51, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50001)}},
        PartialMerge{"EventFollowedRowsAreLeftAsTheEventsMadeThem",
                     {Listener, Estab7,
                      Row(9, api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.2", 4000, "127.0.0.1", 50002),
                      Row(10, api::MIB_TCP_STATE_LAST_ACK, "127.0.0.2", 4000, "127.0.0.1", 50003)},
                     {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
                      Event(11, K_CLOSE, K_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000),
                      Event(12, K_CLOSE, K_LISTEN, "127.0.0.3", 4100, "0.0.0.0", 0)},
                     {},
                     {},
                     {Listener,
                      Row(7, api::MIB_TCP_STATE_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
                      Row(9, api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.2", 4000, "127.0.0.1", 50002),
                      Row(10, api::MIB_TCP_STATE_LAST_ACK, "127.0.0.2", 4000, "127.0.0.1", 50003),
                      Row(11, api::MIB_TCP_STATE_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000),
                      Row(12, api::MIB_TCP_STATE_LISTEN, "127.0.0.3", 4100, "0.0.0.0", 0)}},
        PartialMerge{
            "NewEventlessSocketsAreAppendedInDumpOrder",
            {Listener, Estab7},
            {},
            {Row(60, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50020),
             Row(61, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50021, "127.0.0.2", 4000)},
            {},
            {Listener, Estab7,
             Row(60, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50020),
             Row(61, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50021, "127.0.0.2", 4000)}},
        PartialMerge{"ClosedFromFinWait2ItGoesWhenTheTimewaitSocketEnds",
                     {Estab7, Estab8},
                     {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
                      Event(7, K_FIN_WAIT1, K_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000),
                      Close(7, K_FIN_WAIT2)},
                     {},
                     {},
                     {Estab8}},
        PartialMerge{
            "HalfClosedSocketInFinWait2StaysWhileListedAndItsEventsGoOn",
            {Estab7, Estab8},
            {Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000),
             Event(7, K_FIN_WAIT1, K_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000)},
            {Row(7, api::MIB_TCP_STATE_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000)},
            {Close(7, K_FIN_WAIT2)},
            {Row(7, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50000, "127.0.0.2", 4000), Estab8}},
        PartialMerge{
            // The child was SYN_RCVD when drained and ESTABLISHED by the dump: its row goes, and
            // the event drained after the dump makes it again.
            "ChildThatMovedOnDuringTheDumpComesBackFromItsEvent",
            {Listener},
            {Event(9, K_LISTEN, K_SYN_RECV, "127.0.0.2", 4000, "0.0.0.0", 50000)},
            {},
            {Event(9, K_SYN_RECV, K_ESTABLISHED, "127.0.0.2", 4000, "127.0.0.1", 50000)},
            {Listener, Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000)}},
        PartialMerge{
            // The request row the dump listed gives way to its child, which counts it as such.
            "ListedRequestRowGivesWayToItsEstablishedChild",
            {Listener},
            {},
            {Row(50, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50000)},
            {Event(9, K_LISTEN, K_SYN_RECV, "127.0.0.2", 4000, "0.0.0.0", 50000),
             Event(9, K_SYN_RECV, K_ESTABLISHED, "127.0.0.2", 4000, "127.0.0.1", 50000)},
            {Listener, Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000)}}),
    [](const testing::TestParamInfo<PartialMerge>& info) { return std::string(info.param.name); });

TEST(EventTableResync, ARowADumpRewroteAsARequestStillGivesWayToItsChild) {
    // Lost events left 50 in a wrong state; the dump that repairs it shows a request socket.
    EventTable table;
    table.Resync(
        {Listener, Row(50, api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 4000, "127.0.0.1", 50000)}, T0);
    table.Resync(
        {Listener, Row(50, api::MIB_TCP_STATE_SYN_RCVD, "127.0.0.2", 4000, "127.0.0.1", 50000)},
        T0);
    table.Apply(Event(9, K_LISTEN, K_SYN_RECV, "127.0.0.2", 4000, "0.0.0.0", 50000));
    table.Apply(Event(9, K_SYN_RECV, K_ESTABLISHED, "127.0.0.2", 4000, "127.0.0.1", 50000));
    EXPECT_EQ(Texts(table.Rows()), Texts({Listener, Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.2",
                                                        4000, "127.0.0.1", 50000)}));
}

TEST(EventTableResync, EventlessMergeChangesTheVersionOnlyWhenARowChanged) {
    const SocketRow timewait =
        Row(20, api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.1", 50010, "127.0.0.2", 4000);
    EventTable table;
    table.Resync({Listener, Estab7, timewait}, T0);
    uint64_t version = table.Version();
    table.ResyncEventless({timewait}, T0);
    EXPECT_EQ(table.Version(), version) << "the same timewait socket, the same table";

    SocketRow moved = timewait;
    moved.row.dwRemotePort = htons(4001);
    table.ResyncEventless({moved}, T0);
    EXPECT_NE(table.Version(), version) << "a listed row changed";
    version = table.Version();
    table.ResyncEventless({}, T0);
    EXPECT_NE(table.Version(), version) << "a row went";
    version = table.Version();
    table.ResyncEventless({timewait}, T0);
    EXPECT_NE(table.Version(), version) << "a row came";
}

TEST(EventTableResync, KeepsEachKnownSocketAtItsPosition) {
    EventTable table;
    table.Resync({Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4001, "0.0.0.0", 0),
                  Row(2, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4001),
                  Row(3, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50001, "127.0.0.2", 4001)},
                 T0);
    // 2 is gone, 3 and 1 changed, 4 is new, and the dump met 4 twice.
    table.Resync({Row(3, api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.1", 50001, "127.0.0.2", 4001),
                  Row(4, api::MIB_TCP_STATE_SYN_SENT, "127.0.0.1", 50002, "127.0.0.2", 4001),
                  Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4001, "0.0.0.0", 0),
                  Row(4, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50003, "127.0.0.2", 4001)},
                 T0);
    EXPECT_EQ(
        Texts(table.Rows()),
        Texts({Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4001, "0.0.0.0", 0),
               Row(4, api::MIB_TCP_STATE_SYN_SENT, "127.0.0.1", 50002, "127.0.0.2", 4001),
               Row(3, api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.1", 50001, "127.0.0.2", 4001)}));
    EXPECT_EQ(table.Find(2), nullptr);

    // Events still find every row after the moves.
    table.Apply(Close(4, K_SYN_SENT, ECONNREFUSED_));
    table.Apply(Close(3, K_LAST_ACK));
    EXPECT_EQ(Texts(table.Rows()),
              Texts({Row(1, api::MIB_TCP_STATE_LISTEN, "127.0.0.2", 4001, "0.0.0.0", 0)}));
}

TEST(EventTableResync, EventlessEverySecondFullEveryTenAndAtOnceAfterLostEvents) {
    using okg::linuxfeed::ResyncKind;
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    EventTable table;
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
    table.Resync({}, T0);
    EXPECT_EQ(table.DueResync(T0 + milliseconds(999)), ResyncKind::None);
    // The loop as it runs: an eventless resync whenever one is due, a full one every ten seconds.
    for (int s = 1; s < 10; ++s) {
        ASSERT_EQ(table.DueResync(T0 + seconds(s)), ResyncKind::Eventless) << s;
        table.ResyncEventless({}, T0 + seconds(s));
        ASSERT_EQ(table.DueResync(T0 + seconds(s) + milliseconds(999)), ResyncKind::None) << s;
    }
    EXPECT_EQ(table.DueResync(T0 + seconds(10)), ResyncKind::Full);
    table.Resync({}, T0 + seconds(10));
    EXPECT_EQ(table.DueResync(T0 + seconds(10)), ResyncKind::None);

    table.Resync({}, T0);
    table.NoteLostEvents(0);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::None);
    table.NoteLostEvents(3);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
    // A partial dump cannot repair rows that events should have changed.
    table.ResyncEventless({}, T0);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
    table.Resync({}, T0);
    table.NoteLostEvents(3); // the same count: nothing new was lost
    EXPECT_EQ(table.DueResync(T0), ResyncKind::None);
    table.NoteLostEvents(4);
    EXPECT_EQ(table.DueResync(T0), ResyncKind::Full);
}

TEST(EventTableResync, RepairsWhatLostEventsLeftWrong) {
    EventTable table;
    table.Resync({Row(7, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50000, "127.0.0.2", 4000)}, T0);
    // The close of 7 and the connect of 8 were lost: the ring was full.
    table.NoteLostEvents(2);
    table.Apply(Event(8, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50010, "127.0.0.2", 4000));
    ASSERT_EQ(table.DueResync(T0), okg::linuxfeed::ResyncKind::Full);
    table.Resync({Row(8, api::MIB_TCP_STATE_FIN_WAIT1, "127.0.0.1", 50010, "127.0.0.2", 4000),
                  Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50011, "127.0.0.2", 4000)},
                 T0);
    // 9 takes the gap 7 left.
    EXPECT_EQ(Texts(table.Rows()),
              Texts({Row(9, api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 50011, "127.0.0.2", 4000),
                     Row(8, api::MIB_TCP_STATE_FIN_WAIT1, "127.0.0.1", 50010, "127.0.0.2", 4000)}));
    EXPECT_EQ(table.DueResync(T0), okg::linuxfeed::ResyncKind::None);
}

TEST(EventTableResync, EventsReplayedOverTheDumpThatSawThemEndInTheLatestState) {
    // Events raised while a dump ran are applied after it: the socket must end where the last
    // event left it, and a socket opened and closed meanwhile must not stay.
    EventTable table;
    table.Resync({Row(7, api::MIB_TCP_STATE_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000)}, T0);
    table.Apply(Event(7, K_ESTABLISHED, K_FIN_WAIT1, "127.0.0.1", 50000, "127.0.0.2", 4000));
    table.Apply(Event(7, K_FIN_WAIT1, K_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000));
    table.Apply(Event(8, K_CLOSE, K_SYN_SENT, "0.0.0.0", 0, "127.0.0.2", 4000));
    table.Apply(Close(8, K_SYN_SENT, ECONNREFUSED_));
    EXPECT_EQ(Texts(table.Rows()),
              Texts({Row(7, api::MIB_TCP_STATE_FIN_WAIT2, "127.0.0.1", 50000, "127.0.0.2", 4000)}));
}

} // namespace
