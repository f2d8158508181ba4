// The view modes and the lists' text form.
#include "ManagerFixture.h"

namespace {

void AddText(List& list, std::initializer_list<const char*> items) {
    for (const char* item : items)
        list.AddItem(Variant::Text(item));
}

void AddPorts(List& list, std::initializer_list<int32_t> ports) {
    for (int32_t port : ports)
        list.AddItem(Variant::Long(port));
}

} // namespace

TEST_F(ManagerTest, EachModeShowsItsListHeadingAndEditingControls) {
    AddText(*m->oCurrentConnections, {"135 LISTENING"});
    AddText(*m->oAllowedIP, {"127.0.0.1", "127.0.0.2"});
    AddPorts(*m->oBlockedLocalPorts, {8080, 135, 80});
    AddPorts(*m->oBlockedRemotePorts, {25});
    fake::P().localAddresses = {{127, 0, 0, 1}, {10, 1, 2, 3}};

    struct Case {
        int16_t mode;
        std::u16string heading;
        std::shared_ptr<List> list;
        Items rows;
        bool editable;
    };
    // Visited in this order so that every switch between editable and read-only views occurs.
    const Case cases[] = {
        {2, u"Allowed IP Addresses", m->oAllowedIP, {u"127.0.0.1", u"127.0.0.2"}, true},
        {0, u"Current Connections", m->oCurrentConnections, {u"135 LISTENING"}, false},
        {3, u"Blocked Local Ports", m->oBlockedLocalPorts, {u"8080", u"135", u"80"}, true},
        {1, u"Local IP Addresses", m->oLocalIP, {u"127.0.0.1", u"10.1.2.3"}, false},
        {4, u"Blocked Remote Ports", m->oBlockedRemotePorts, {u"25"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        m->SetCurrentMode(c.mode);
        EXPECT_EQ(m->CurrentModeDescriptor, c.heading);
        EXPECT_EQ(form.head, c.heading);
        EXPECT_EQ(m->CurrentList, c.list);
        EXPECT_EQ(form.rows, c.rows);
        EXPECT_EQ(form.deleteEnabled, c.editable);
        EXPECT_EQ(form.itemEnabled, c.editable);
        EXPECT_EQ(form.addEnabled, c.editable);
    }
}

TEST_F(ManagerTest, UnknownModeKeepsHeadingAndListButRefillsAndEnablesEditing) {
    m->SetCurrentMode(9); // no list chosen yet
    EXPECT_TRUE(form.rows.empty());
    EXPECT_EQ(form.clears, 1);

    AddPorts(*m->oBlockedLocalPorts, {135});
    m->SetCurrentMode(0);
    ASSERT_FALSE(form.addEnabled);
    m->SetCurrentMode(-1);
    EXPECT_EQ(m->CurrentMode, -1);
    EXPECT_EQ(form.head, u"Current Connections");
    EXPECT_EQ(m->CurrentList, m->oCurrentConnections);
    EXPECT_TRUE(form.deleteEnabled && form.itemEnabled && form.addEnabled);

    m->SetCurrentMode(3);
    AddPorts(*m->oBlockedLocalPorts, {443});
    m->SetCurrentMode(7);
    EXPECT_EQ(form.head, u"Blocked Local Ports");
    EXPECT_EQ(form.rows, (Items{u"135", u"443"}));
}

TEST_F(ManagerTest, LocalAddressViewReadsTheAddressesAgainEachTime) {
    fake::P().localAddresses = {{127, 0, 0, 1}};
    m->SetCurrentMode(1);
    EXPECT_EQ(form.rows, (Items{u"127.0.0.1"}));

    fake::P().localAddresses = {{127, 0, 0, 1}, {127, 0, 0, 5}};
    m->SetCurrentMode(1);
    EXPECT_EQ(form.rows, (Items{u"127.0.0.1", u"127.0.0.5"}));

    fake::P().hostEntryMissing = true;
    m->RefreshCurrentMode();
    EXPECT_TRUE(form.rows.empty());
    EXPECT_TRUE(fake::P().messages.empty());
}

TEST_F(ManagerTest, NothingTouchesTheWindowBeforeItIsHandedOver) {
    m->oMainForm = nullptr;
    AddPorts(*m->oBlockedLocalPorts, {80});
    AddText(*m->oAllowedIP, {"127.0.0.1"});
    fake::P().localAddresses = {{127, 0, 0, 1}};
    Scan({fake::Row(api::MIB_TCP_STATE_LISTEN, "0.0.0.0", 135, "0.0.0.0", 0)});

    m->SetCurrentMode(2);
    m->SetCurrentMode(3);
    m->RefreshCurrentConnections();
    m->SetCurrentMode(1);
    DeleteSelectedItem();

    EXPECT_EQ(m->CurrentMode, 1);
    EXPECT_EQ(m->CurrentModeDescriptor, u"Local IP Addresses");
    EXPECT_EQ(m->CurrentList, m->oLocalIP);
    // Without a check box to read, every row is listed.
    EXPECT_EQ(ItemsOf(*m->oCurrentConnections), (Items{u"135 LISTENING"}));
    EXPECT_EQ(form.clears, 0);
    EXPECT_EQ(form.head, u"Choose...");
    EXPECT_TRUE(form.deleteEnabled && form.itemEnabled && form.addEnabled);
    EXPECT_TRUE(fake::P().messages.empty());
    EXPECT_TRUE(StoreText().isEmpty());

    m->oMainForm = &form;
    m->RefreshCurrentMode();
    EXPECT_EQ(form.head, u"Local IP Addresses");
}

TEST_F(ManagerTest, TextFormReadsAndWritesLists) {
    struct Case {
        bool ports;
        std::u16string text;
        Items items;
        std::u16string saved;
    };
    const Case cases[] = {
        {true, u"135,139,445", {u"135", u"139", u"445"}, u"135,139,445"},
        {true, u"135,,139,", {u"135", u"139"}, u"135,139"},
        {true, u",,,", {}, u""},
        {true, u"", {}, u""},
        {true, u"-5,70000", {u"-5", u"70000"}, u"-5,70000"},
        {false, u"127.0.0.1, 80", {u"127.0.0.1", u" 80"}, u"127.0.0.1, 80"},
        {false, u"", {}, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.text));
        List& list = c.ports ? *m->oBlockedLocalPorts : *m->oAllowedIP;
        list.AddItem(Variant::Text("999")); // an earlier content is always replaced
        m->LoadListFromString(list, c.text);
        EXPECT_EQ(ItemsOf(list), c.items);
        EXPECT_EQ(m->SaveListToString(list), c.saved);
    }
}

TEST_F(ManagerTest, LocalAddressesJoinTheAllowedListOnceWithoutSaving) {
    AddText(*m->oAllowedIP, {"127.0.0.1"});
    fake::P().localAddresses = {{127, 0, 0, 1}, {127, 0, 0, 9}};
    m->RefreshLocalIPList();
    m->AddLocalIPSToAllowed();
    m->AddLocalIPSToAllowed();
    EXPECT_EQ(ItemsOf(*m->oAllowedIP), (Items{u"127.0.0.1", u"127.0.0.9"}));
    EXPECT_TRUE(StoreText().isEmpty());

    fake::P().hostEntryMissing = true;
    m->RefreshLocalIPList();
    EXPECT_EQ(m->oLocalIP->GetItemCount(), 0);
    m->AddLocalIPSToAllowed();
    EXPECT_EQ(m->oAllowedIP->GetItemCount(), 2);
}
