#include "fakes/EngineFixture.h"
#include "fakes/FakeMainForm.h"

using fake::P;
using fake::Row;

namespace {

constexpr uint32_t LISTEN = api::MIB_TCP_STATE_LISTEN;
constexpr uint32_t SYN_SENT = api::MIB_TCP_STATE_SYN_SENT;
constexpr uint32_t ESTAB = api::MIB_TCP_STATE_ESTAB;

// One row after another at the same position: each is decided afresh by the whole connection,
// and only once established (the key changes with the state).
TEST_F(EngineTest, BlockedPortsCutUnlessTheAddressIsAllowed) {
    EXPECT_EQ(ConnectionCache.size(), 1u) << "an empty table still makes one cache entry";
    Allow("10.0.0.5");
    BlockLocal(35);
    BlockLocal(8443);
    BlockRemote(25);
    BlockRemote(65535);
    const struct {
        api::MIB_TCPROW row;
        bool cut;
    } sequence[] = {
        {Row(LISTEN, "0.0.0.0", 35, "0.0.0.0", 0), false},         // not connected
        {Row(SYN_SENT, "10.0.0.1", 40000, "10.0.0.6", 25), false}, // not yet
        {Row(ESTAB, "10.0.0.1", 40000, "10.0.0.6", 25), true},     // now
        {Row(ESTAB, "10.0.0.1", 135, "10.0.0.5", 25), false},      // allowed address
        {Row(ESTAB, "10.0.0.1", 135, "10.0.0.6", 80), false},      // no port blocked
        {Row(ESTAB, "10.0.0.1", 35, "10.0.0.6", 801), true},       // 801|35 run together as 80|135
        {Row(ESTAB, "10.0.0.1", 1042, "10.0.0.7", 65535), true},   // remote port above 32767
        {Row(ESTAB, "10.0.0.1", 50000, "10.0.0.7", 8443), false},  // remote port on the local list
        {Row(ESTAB, "10.0.0.1", 8443, "10.0.0.5", 25), false},     // allowed wins over both lists
    };
    size_t cuts = 0;
    for (size_t i = 0; i < std::size(sequence); ++i) {
        P().table = {sequence[i].row};
        ScanTcpTable();
        cuts += sequence[i].cut;
        ASSERT_EQ(CutCount(), cuts) << i;
        EXPECT_EQ(ConnectionCache[0].Allowed() || ConnectionCache[0].NotBlocked(),
                  !sequence[i].cut && sequence[i].row.dwState == ESTAB)
            << i;
    }
    EXPECT_EQ(Port(P().cuts[0].dwRemotePort), 25);
}

// Zone-less allowed entries allow every zone; one changed address byte is decided afresh.
TEST_F(EngineTest, Ipv6RowsAreDecidedByTheSameRule) {
    using fake::Row6;
    Allow("2001:db8::5");
    Allow("fe80::9");
    BlockLocal(135);
    BlockRemote(25);
    P().table = {Row(ESTAB, "10.0.0.1", 135, "10.0.0.7", 50000)};
    P().table6 = {Row6(ESTAB, "2001:db8::1", 135, "2001:db8::7", 50000),
                  Row6(ESTAB, "2001:db8::1", 50001, "2001:db8::7", 25),
                  Row6(ESTAB, "2001:db8::1", 135, "2001:db8::5", 50002),
                  Row6(ESTAB, "fe80::1", 135, "fe80::9", 50003, 3),
                  Row6(ESTAB, "2001:db8::1", 80, "2001:db8::7", 50004),
                  Row6(LISTEN, "::", 135, "::", 0)};
    P().cutRemovesRow = false;
    ScanTcpTable();
    ASSERT_EQ(CutCount(), 1u);
    ASSERT_EQ(P().cuts6.size(), 2u);
    EXPECT_EQ(Port(P().cuts6[0].dwLocalPort), 135);
    EXPECT_EQ(Port(P().cuts6[1].dwRemotePort), 25);
    EXPECT_EQ(Connection6Cache[3].RemoteAddressText, u"fe80::9%if3");
    EXPECT_TRUE(Connection6Cache[2].Allowed() && Connection6Cache[3].Allowed() &&
                Connection6Cache[4].NotBlocked());
    P().table6.resize(3);
    P().table6[2].RemoteAddr.Byte[15] = 6; // 2001:db8::6 in the allowed row's place
    P().cut6Result = api::ERROR_NOT_SUPPORTED;
    P().table.clear();
    P().tableVersion = 7; // unchanged from now on: only the refused IPv6 cuts bring the passes
    ScanTcpTable();
    ScanTcpTable();
    EXPECT_EQ(P().cuts6.size(), 8u) << "refused cuts are tried again at every pass";
    EXPECT_EQ(P().notices,
              std::vector<std::u16string>{api::CutRefusedText(api::ERROR_NOT_SUPPORTED)});
}

// An unchanged table spares the pass, but not what a list edit or a refused cut leaves to decide.
TEST_F(EngineTest, UnchangedTableIsPassedOverUnlessSomethingIsLeftToDecide) {
    P().tableVersion = 7;
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
    ScanTcpTable();
    P().news.notices = {u"news"};
    ScanTcpTable();
    EXPECT_EQ(P().tableReads, 1u);
    EXPECT_EQ(P().notices, std::vector<std::u16string>{u"news"}) << "told over a skipped pass too";
    BlockRemote(8080);
    P().tableVersion = 8;
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u) << "the verdict holds until the cache is cleared";
    ClearConnectionCache(); // what every list edit does
    P().cutResult = api::ERROR_ACCESS_DENIED;
    for (int pass = 0; pass < 3; ++pass)
        ScanTcpTable();
    EXPECT_EQ(CutCount(), 3u) << "a refused cut is tried at every pass";
    EXPECT_EQ(P().tableReads, 2u) << "over the table as it stands";
    P().cutResult = 0;
    ScanTcpTable(); // cut, and gone
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 4u);
    EXPECT_EQ(P().tableReads, 3u);
}

// Between a pass's read and its cut's re-read the table changes: a row comes before the blocked
// one, which is cut where it went; at the next pass it ends instead, and nothing is cut.
TEST_F(EngineTest, CutReachesOnlyTheSameConnectionAfterTheReRead) {
    BlockRemote(8080);
    const auto blocked = Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080);
    P().table = {blocked};
    P().beforeTableRead = [] {
        if (P().tableReads == 2)
            P().table.insert(P().table.begin(), Row(ESTAB, "10.0.0.1", 50002, "10.0.0.8", 443));
        else if (P().tableReads == 4)
            P().table.clear();
    };
    ScanTcpTable();
    ASSERT_EQ(CutCount(), 1u);
    EXPECT_EQ(Port(P().cuts[0].dwLocalPort), 50001);
    P().table.push_back(blocked);
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 1u);
    EXPECT_EQ(P().tableReads, 4u);
}

// A pass or a tick of "established only" (ticked, or grayed, which counts as ticked) shows the
// snapshot: a line rewritten where its row changed or moved, IPv6 lines after the IPv4 ones, a
// listener's address unless it is any, a state without a name left blank, no local port 0 (nor
// an empty row where a connection went).
TEST_F(EngineTest, ShowsTheSnapshotAfterEveryPassAndTick) {
    ShowWindow(0);
    using fake::Row6;
    const auto a = Row(ESTAB, "10.0.0.1", 1042, "10.0.0.5", 80),
               b = Row(ESTAB, "10.0.0.1", 1043, "10.0.0.6", 443);
    const auto listen = Row(LISTEN, "0.0.0.0", 135, "0.0.0.0", 0);
    const auto six = Row6(ESTAB, "2001:db8::2", 443, "2001:db8::1", 51000);
    const std::vector<api::MIB_TCP6ROW> listeners6 = {six, Row6(LISTEN, "::", 22, "::", 0),
                                                      Row6(LISTEN, "fe80::1", 22, "::", 0, 2)};
    auto a81 = a, openedLater = listen;
    auto closing = six;
    a81.dwRemotePort = 81 << 8;
    closing.State = api::MIB_TCP_STATE_CLOSE_WAIT;
    openedLater.dwState = ESTAB;
    const std::vector<api::MIB_TCPROW> listeners4 = {
        listen, Row(LISTEN, "127.0.0.4", 139, "0.0.0.0", 0),
        Row(13, "127.0.0.2", 7, "127.0.0.5", 9), Row(ESTAB, "127.0.0.2", 0, "127.0.0.5", 81)};
    const std::u16string est = u" ESTABLISHED", six443 = u"443 <--> [2001:db8::1]:51000";
    const struct {
        std::vector<api::MIB_TCPROW> table;
        std::vector<api::MIB_TCP6ROW> table6;
        int32_t showX;
        std::u16string lines;
    } steps[] = {
        // clang-format off
        {{a, listen, b}, {}, 1, u"1042 <--> 10.0.0.5:80" + est + u"|1043 <--> 10.0.0.6:443" + est},
        {{a81, listen, b}, {}, 1, u"1042 <--> 10.0.0.5:81" + est + u"|1043 <--> 10.0.0.6:443" + est},
        {{a81, openedLater, b}, {}, 1,
         u"1042 <--> 10.0.0.5:81" + est + u"|135" + est + u"|1043 <--> 10.0.0.6:443" + est},
        {{a81, {}, b}, {}, 1, u"1042 <--> 10.0.0.5:81" + est + u"|1043 <--> 10.0.0.6:443" + est},
        {{a81, {}}, {}, 1, u"1042 <--> 10.0.0.5:81" + est},
        {{a81, openedLater}, {}, 1, u"1042 <--> 10.0.0.5:81" + est + u"|135" + est},
        {listeners4, listeners6, 0, u"135 LISTENING|139 :127.0.0.4 LISTENING|7 <--> 127.0.0.5:9 |" +
         six443 + est + u"|22 LISTENING|22 :[fe80::1%if2] LISTENING"},
        {listeners4, listeners6, 2, six443 + est},
        {{}, {closing, listeners6[1]}, 0, six443 + u" CLOSE_WAIT|22 LISTENING"},
        {{}, {six, listeners6[1]}, 0, six443 + est + u"|22 LISTENING"},
        // clang-format on
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        P().table = steps[i].table;
        P().table6 = steps[i].table6;
        form.showX = steps[i].showX;
        ScanTcpTable();
        if (i == 7) // the box ticked, the table unchanged
            oManager->RefreshCurrentConnections();
        std::u16string lines;
        for (const std::u16string& line : form.rows)
            lines += (lines.empty() ? u"" : u"|") + line;
        EXPECT_EQ(lines, steps[i].lines) << i;
    }
    form.showX = 1;
    oManager->RefreshCurrentConnections();
    const int clears = form.clears;
    ScanTcpTable();
    P().table.push_back(Row(SYN_SENT, "10.0.0.1", 1050, "10.0.0.9", 80));
    ScanTcpTable();
    EXPECT_EQ(form.clears, clears) << "an unchanged table, or a row left out, rebuilds nothing";
    ClearConnectionCache(); // a list edit: a line may stand for a row no entry knows
    P().table6[0].State = api::MIB_TCP_STATE_FIN_WAIT1;
    ScanTcpTable();
    EXPECT_TRUE(form.rows.empty());
    const int shown = form.clears;
    oManager->SetCurrentMode(3);
    Scan({a});
    EXPECT_EQ(form.clears, shown + 1) << "only the connections view follows the table";
}

// A refused cut is retried, told once for each reason in the platform's words, says cutting is off
// until a cut works, and leaves the snapshot; a rebuild in the pump shows rows not yet reached
// from the snapshot. Only cuts done are counted; the platform's news is told as it comes.
TEST_F(EngineTest, TellsTheTruthAroundARefusedCut) {
    ShowWindow(0);
    BlockRemote(8080);
    P().cutResult = api::ERROR_ACCESS_DENIED;
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.9", 443),
                 Row(ESTAB, "10.0.0.1", 50002, "127.0.0.8", 443)};
    ScanTcpTable();
    P().table = {Row(ESTAB, "10.0.0.1", 50003, "10.0.0.7", 8080),
                 Row(ESTAB, "10.0.0.1", 50002, "127.0.0.6", 443)};
    P().onDoEvents = [] { oManager->RefreshCurrentConnections(); };
    for (int pass = 0; pass < 3; ++pass) {
        ScanTcpTable();
        EXPECT_EQ(form.rows, (std::vector<std::u16string>{u"50003 <--> 10.0.0.7:8080 ESTABLISHED",
                                                          u"50002 <--> 127.0.0.6:443 ESTABLISHED"}))
            << pass;
    }
    ASSERT_EQ(CutCount(), 3u);
    EXPECT_EQ(P().tableReads, 1u + 3 * 2);
    EXPECT_EQ(P().cutCount, 0u);
    P().cutResult = api::ERROR_NOT_OWNER; // another user's connection, refused by the helper
    ScanTcpTable();
    ScanTcpTable();
    P().news = {{u"The helper has ended."}, false, u"helper gone"};
    P().cutResult = api::NO_ERROR_;
    ScanTcpTable();
    const uint64_t cuts = P().cutCount;
    P().table.push_back(Row(ESTAB, "10.0.0.1", 50004, "10.0.0.7", 8080));
    ScanTcpTable();
    EXPECT_EQ(P().cutCount, cuts + 1);
    EXPECT_EQ(P().notices,
              (std::vector<std::u16string>{api::CutRefusedText(5), api::CutRefusedText(288),
                                           u"The helper has ended."}));
    using State = std::pair<bool, std::u16string>;
    EXPECT_EQ(
        P().cuttingStates,
        (std::vector<State>{{false, u"no right to cut"}, {false, u"helper gone"}, {true, u""}}));
}

// Where the table tells its changes, the loop sleeps until there is work: without a deadline
// while nothing is pending, until the table's own, until a cut's retry (backing off while it is
// refused, at once again after one went through); a table read by dumps is polled. A blocked
// connection whose events the IPv6 read took in, after the IPv4 read, leaves nothing in the ring
// to end the wait: the loop passes again at once.
TEST_F(EngineTest, LoopWaitsForWorkNotForAClock) {
    BlockRemote(8080);
    P().tableVersion = 1;
    P().tableQuietMs = api::INFINITE;
    P().cutResult = api::ERROR_ACCESS_DENIED;
    P().beforeTable6Read = [] {
        if (P().tableReads == 1) {
            P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
            ++P().tableVersion;
        }
    };
    int waits = 0;
    P().onWait = [&] {
        switch (++waits) {
        case 4:
            P().cutResult = api::NO_ERROR_;
            break;
        case 6:
            P().tableQuietMs = 40; // a resync due then
            break;
        case 7:
            P().tableQuietMs = 0; // read by dumps from now on
            break;
        case 8:
            ExitRequested = true;
            break;
        }
    };
    ProcessingLoop();
    ProcessingLoop(); // closed during start-up: one pass all the same, and no wait
    constexpr uint32_t Ever = api::INFINITE;
    // After the cut that went through, the table tells the connection's end: at once again.
    EXPECT_EQ(P().waits, (std::vector<uint32_t>{0, 2, 4, 8, 0, Ever, 40, 1, 0}));
    EXPECT_EQ(CutCount(), 4u);
}

// A connection that closes leaves an empty row, or moves the rows after it up: their entries move
// along, verdicts and all (a verdict holds until a list edit clears the cache), however many rows
// went before them, and when the empty rows go too; rows beyond the first buffer's 101 too.
TEST_F(EngineTest, EntriesFollowTheirRowsWhenRowsBeforeThemGo) {
    BlockRemote(8080);
    Allow("10.0.0.7");
    for (uint16_t i = 0; i < 120; ++i)
        P().table.push_back(Row(ESTAB, "10.0.0.1", uint16_t(50000 + i), "10.0.0.5", 443));
    P().table.push_back(Row(ESTAB, "10.0.0.1", 51000, "10.0.0.7", 8080));
    ScanTcpTable();
    oManager->oAllowedIP->Reset(); // no list edit: the verdicts stand
    P().table[39] = {};
    ScanTcpTable();
    EXPECT_EQ(ConnectionCache[39].Key.dwState, 0u);
    P().table.erase(P().table.begin() + 39); // the empty row goes: the rows after it move up
    ScanTcpTable();
    for (size_t gone : {1, 30}) { // a short gap, and one past the rows looked ahead at
        P().table.erase(P().table.begin() + 2, P().table.begin() + 2 + long(gone));
        ScanTcpTable();
    }
    EXPECT_EQ(CutCount(), 0u);
    ASSERT_EQ(TcpTableBuffer.EntryCount(), 89u);
    EXPECT_TRUE(ConnectionCache[88].Matches(TcpTableBuffer.Row(88)) &&
                ConnectionCache[88].Allowed());
}

} // namespace
