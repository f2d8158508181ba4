#include "EngineFixture.h"
#include "fakes/FakeMainForm.h"

using fake::P;
using fake::Row;

namespace {

constexpr uint32_t LISTEN = api::MIB_TCP_STATE_LISTEN;
constexpr uint32_t SYN_SENT = api::MIB_TCP_STATE_SYN_SENT;
constexpr uint32_t ESTAB = api::MIB_TCP_STATE_ESTAB;
constexpr uint32_t TIME_WAIT = api::MIB_TCP_STATE_TIME_WAIT;

TEST_F(EngineTest, RowsThatAreNotEstablishedAreRecordedButNeverCut) {
    BlockLocal(135);
    BlockRemote(445);
    P().table = {Row(LISTEN, "0.0.0.0", 135, "0.0.0.0", 0),
                 Row(SYN_SENT, "10.0.0.1", 135, "10.0.0.9", 445),
                 Row(TIME_WAIT, "10.0.0.1", 50000, "10.0.0.9", 445)};
    ScanTcpTable();
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
    ASSERT_GE(ConnectionCache.size(), 3u);
    EXPECT_EQ(ConnectionCache[0].RemoteAddressText, u"0.0.0.0");
    EXPECT_EQ(ConnectionCache[1].RemoteAddressText, u"10.0.0.9");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ConnectionCache[i].Recorded);
        EXPECT_FALSE(ConnectionCache[i].Allowed || ConnectionCache[i].NotBlocked);
    }
}

TEST_F(EngineTest, ConnectionBeingOpenedIsDecidedOnceEstablished) {
    BlockRemote(25);
    P().table = {Row(SYN_SENT, "10.0.0.1", 40000, "10.0.0.25", 25)};
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
    P().table[0].dwState = ESTAB;
    ScanTcpTable();
    ASSERT_EQ(CutCount(), 1u);
    EXPECT_EQ(P().cuts[0].dwState, api::MIB_TCP_STATE_DELETE_TCB);
    EXPECT_EQ(Port(P().cuts[0].dwRemotePort), 25);
    EXPECT_TRUE(P().table.empty());
}

TEST_F(EngineTest, AllowedAddressWinsOverBothPortListsAndIsRemembered) {
    BlockLocal(135);
    BlockRemote(80);
    Allow("10.0.0.5");
    P().table = {Row(ESTAB, "10.0.0.1", 135, "10.0.0.5", 80)};
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
    EXPECT_TRUE(ConnectionCache[0].Allowed);

    // The verdict is cached: taking the address off the list does nothing until the cache is
    // cleared, as every list edit does.
    oManager->oAllowedIP->Reset();
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
    ClearConnectionCache();
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 1u);
}

TEST_F(EngineTest, EitherBlockedPortCutsAndPortsAbove32767CompareAsPositive) {
    struct Case {
        const char* name;
        int32_t blockedLocal;
        int32_t blockedRemote;
        uint16_t localPort;
        uint16_t remotePort;
        bool cut;
    };
    const Case cases[] = {
        {"local port blocked", 135, 0, 135, 50000, true},
        {"remote port blocked", 0, 80, 50000, 80, true},
        {"high local port blocked", 50000, 0, 50000, 80, true},
        {"high remote port blocked", 0, 65535, 1042, 65535, true},
        {"other ports blocked", 135, 80, 50000, 8080, false},
        {"remote port on the local list only", 80, 0, 50000, 80, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.blockedLocal)
            BlockLocal(c.blockedLocal);
        if (c.blockedRemote)
            BlockRemote(c.blockedRemote);
        P().table = {Row(ESTAB, "10.0.0.1", c.localPort, "10.0.0.7", c.remotePort)};
        ScanTcpTable();
        EXPECT_EQ(CutCount(), c.cut ? 1u : 0u);
        if (!c.cut) {
            EXPECT_TRUE(ConnectionCache[0].NotBlocked);
        }
        TearDown();
    }
}

TEST_F(EngineTest, NewlyBlockedPortCutsAPassedConnectionAfterTheCacheIsCleared) {
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
    ScanTcpTable();
    EXPECT_TRUE(ConnectionCache[0].NotBlocked);
    BlockRemote(8080);
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u) << "a passed row keeps its verdict until the lists change";
    ClearConnectionCache();
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 1u);
}

TEST_F(EngineTest, RefusedCutIsRepeatedEveryPassAndToldOnce) {
    BlockRemote(8080);
    P().cutResult = api::ERROR_ACCESS_DENIED;
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
    for (int pass = 0; pass < 3; ++pass)
        ScanTcpTable();
    EXPECT_EQ(CutCount(), 3u);
    EXPECT_EQ(P().notices.size(), 1u);
    // Each cut worked on a fresh read of the table: three passes and three re-reads.
    EXPECT_EQ(P().tableReads, 6u);
}

TEST_F(EngineTest, DifferentConnectionAtTheSamePositionIsDecidedAfresh) {
    BlockRemote(80);
    Allow("10.0.0.5");
    P().table = {Row(ESTAB, "10.0.0.1", 40000, "10.0.0.5", 80)};
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
    // Same ports and state, another remote address: not allowed, so cut.
    P().table = {Row(ESTAB, "10.0.0.1", 40000, "10.0.0.6", 80)};
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 1u);

    // Ports whose digits run together (80|135 against 801|35) are different connections too.
    SetUp();
    BlockLocal(35);
    P().table = {Row(ESTAB, "10.0.0.1", 135, "10.0.0.6", 80)};
    ScanTcpTable();
    EXPECT_TRUE(ConnectionCache[0].NotBlocked);
    P().table = {Row(ESTAB, "10.0.0.1", 35, "10.0.0.6", 801)};
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 1u);
}

TEST_F(EngineTest, EmptyTableStillCreatesOneCacheEntry) {
    ClearConnectionCache();
    ScanTcpTable();
    EXPECT_EQ(ConnectionCache.size(), 1u);
    EXPECT_FALSE(ConnectionCache[0].Recorded);
    EXPECT_EQ(CutCount(), 0u);
}

TEST_F(EngineTest, ConnectionsBeyondTheFirst101AreDecidedLikeAllOthers) {
    BlockRemote(9999);
    for (uint16_t i = 0; i < 300; ++i)
        P().table.push_back(Row(ESTAB, "10.0.0.1", uint16_t(20000 + i), "10.0.0.7", 8080));
    P().table[250].dwRemotePort = fake::Row(ESTAB, "0.0.0.0", 0, "0.0.0.0", 9999).dwRemotePort;
    ScanTcpTable();
    ASSERT_EQ(CutCount(), 1u);
    EXPECT_EQ(Port(P().cuts[0].dwLocalPort), 20250);
    EXPECT_GE(ConnectionCache.size(), 300u);
    EXPECT_GE(TcpTableBuffer.Capacity(), 299u);
}

TEST_F(EngineTest, CutHitsTheSameConnectionWhenTheTableChangedBeforeTheReRead) {
    BlockRemote(8080);
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
    // Between the pass's read and the cut's re-read a new connection takes row 0.
    P().beforeTableRead = [] {
        if (P().tableReads == 2)
            P().table.insert(P().table.begin(), Row(ESTAB, "10.0.0.1", 50002, "10.0.0.8", 443));
    };
    ScanTcpTable();
    ASSERT_EQ(CutCount(), 1u);
    EXPECT_EQ(Port(P().cuts[0].dwLocalPort), 50001);
    ASSERT_EQ(P().table.size(), 1u);
    EXPECT_EQ(Port(P().table[0].dwLocalPort), 50002);

    // A connection that ended before the re-read is not cut at all.
    SetUp();
    BlockRemote(8080);
    P().table = {Row(ESTAB, "10.0.0.1", 50001, "10.0.0.7", 8080)};
    P().beforeTableRead = [] {
        if (P().tableReads == 2)
            P().table.clear();
    };
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 0u);
}

TEST_F(EngineTest, ListEditInThePumpAfterACutEmptiesTheCacheSafely) {
    BlockRemote(8080);
    for (uint16_t i = 0; i < 150; ++i)
        P().table.push_back(
            Row(ESTAB, "10.0.0.1", uint16_t(30000 + i), "10.0.0.7", i % 50 == 0 ? 8080 : 443));
    P().cutRemovesRow = false;
    int clears = 0;
    P().onDoEvents = [&] {
        ++clears;
        ClearConnectionCache(); // what SaveChanges does after an add or delete
    };
    ScanTcpTable();
    EXPECT_EQ(clears, 3);
    EXPECT_EQ(CutCount(), 3u);
    P().onDoEvents = nullptr;
    ClearConnectionCache();
    ScanTcpTable();
    EXPECT_EQ(CutCount(), 6u) << "every row is decided again on the next pass";
}

TEST_F(EngineTest, ViewFollowsTheSnapshotAfterEveryPass) {
    FakeMainForm form;
    oManager->oMainForm = &form;
    oManager->SetCurrentMode(0);
    P().table = {Row(ESTAB, "10.0.0.1", 1042, "10.0.0.5", 80),
                 Row(LISTEN, "0.0.0.0", 135, "0.0.0.0", 0),
                 Row(ESTAB, "10.0.0.1", 1043, "10.0.0.6", 443)};
    ScanTcpTable();
    EXPECT_EQ(form.rows.size(), 2u) << "only connected rows are shown";

    // The last row going away changes no other row, yet its line must go.
    P().table.pop_back();
    ScanTcpTable();
    EXPECT_EQ(form.rows.size(), 1u);

    // An unchanged table rebuilds nothing.
    const int clears = form.clears;
    ScanTcpTable();
    EXPECT_EQ(form.clears, clears);
    oManager->oMainForm = nullptr;
}

TEST_F(EngineTest, LoopRunsAtLeastOncePerPassScansSleepsAndPumps) {
    ExitRequested = true; // the window was closed during start-up
    ProcessingLoop();
    EXPECT_EQ(P().tableReads, 1u);
    EXPECT_EQ(P().sleeps, 1u);
    EXPECT_EQ(P().pumps, 1u);

    ExitRequested = false;
    int pumps = 0;
    P().onDoEvents = [&] { ExitRequested = ++pumps == 5; };
    ProcessingLoop();
    EXPECT_EQ(pumps, 5);
    EXPECT_EQ(P().sleeps, 6u);
    EXPECT_EQ(P().tableReads, 6u) << "no scan after the pump that closed the window";
}

} // namespace
