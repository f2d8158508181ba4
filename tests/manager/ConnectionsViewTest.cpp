// The current-connections lines built from the engine's snapshot and cache.
#include "ManagerFixture.h"

namespace {

using fake::Row;
constexpr uint32_t Listen = api::MIB_TCP_STATE_LISTEN;
constexpr uint32_t Estab = api::MIB_TCP_STATE_ESTAB;

const std::vector<api::MIB_TCPROW> Table = {
    Row(Listen, "0.0.0.0", 135, "0.0.0.0", 0),
    Row(Listen, "127.0.0.4", 139, "0.0.0.0", 0),
    Row(Estab, "127.0.0.2", 50000, "127.0.0.3", 443),
    Row(api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.2", 1042, "127.0.0.5", 80),
    Row(13, "127.0.0.2", 7, "127.0.0.5", 9), // a state without a name
    Row(Estab, "127.0.0.2", 0, "127.0.0.5", 81),
};

const Items AllLines = {
    u"135 LISTENING",
    u"139 :127.0.0.4 LISTENING",
    u"50000 <--> 127.0.0.3:443 ESTABLISHED",
    u"1042 <--> 127.0.0.5:80 CLOSE_WAIT",
    u"7 <--> 127.0.0.5:9 ",
};

} // namespace

TEST_F(ManagerTest, LinesFollowTheSnapshotAndTheShowOnlyConnectedBox) {
    m->SetCurrentMode(0);
    form.showX = 0;
    Scan(Table);
    EXPECT_EQ(ItemsOf(*m->oCurrentConnections), AllLines);
    EXPECT_EQ(form.rows, AllLines);

    // Ticked and grayed both mean "only connected".
    for (int32_t value : {1, 2}) {
        form.showX = value;
        m->RefreshCurrentConnections();
        EXPECT_EQ(form.rows, (Items{u"50000 <--> 127.0.0.3:443 ESTABLISHED"})) << value;
    }
    form.showX = 0;
    m->RefreshCurrentConnections();
    EXPECT_EQ(form.rows, AllLines);
}

TEST_F(ManagerTest, RowsBeyondTheEntryCountAreNeverShown) {
    form.showX = 0;
    m->SetCurrentMode(0);
    Scan(Table);
    // A shorter snapshot leaves the old rows in the buffer behind its count.
    fake::P().table.resize(2);
    TcpTableBuffer.Read();
    m->RefreshCurrentConnections();
    EXPECT_EQ(form.rows, (Items{u"135 LISTENING", u"139 :127.0.0.4 LISTENING"}));

    fake::P().table.clear();
    TcpTableBuffer.Read();
    m->RefreshCurrentConnections();
    EXPECT_TRUE(form.rows.empty());
}

TEST_F(ManagerTest, RowsWithoutACacheEntryShowPortAndStateOnly) {
    form.showX = 0;
    m->SetCurrentMode(0);
    Scan(Table);
    ClearConnectionCache();
    m->RefreshCurrentConnections();
    EXPECT_EQ(form.rows, (Items{u"135 LISTENING", u"139 LISTENING", u"50000 ESTABLISHED",
                                u"1042 CLOSE_WAIT", u"7 "}));
}

TEST_F(ManagerTest, OutsideTheConnectionsViewOnlyTheListChanges) {
    form.showX = 0;
    m->oBlockedLocalPorts->AddItem(Variant::Long(135));
    m->SetCurrentMode(3);
    const int clears = form.clears;
    Scan(Table);
    EXPECT_EQ(ItemsOf(*m->oCurrentConnections), AllLines);
    EXPECT_EQ(form.clears, clears);
    EXPECT_EQ(form.rows, (Items{u"135"}));

    m->SetCurrentMode(0);
    EXPECT_EQ(form.rows, AllLines);
}
