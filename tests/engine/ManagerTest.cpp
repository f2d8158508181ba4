// The Manager's views and list editing, against the window stand-in and the real settings store.
#include "engine/basEditing.h"
#include "fakes/EngineFixture.h"

#include <QDir>
#include <QFile>

using fake::P;
using fake::Row;

namespace {

// The store starts empty in each test (the test's main points XDG_CONFIG_HOME elsewhere).
class ManagerTest : public EngineTest {
protected:
    void SetUp() override {
        QDir(Folder()).removeRecursively();
        EngineTest::SetUp();
        m = oManager.get();
        m->oMainForm = &form;
    }
    // Types `text` into view `mode` and presses Add, with a filled cache that a save empties.
    void Add(int16_t mode, std::u16string text) {
        m->SetCurrentMode(mode);
        ConnectionCache.assign(4, ConnectionCacheEntry{});
        AddItemToCurrentList(text);
    }
    // The window in one line: heading, rows, then "+" or "-" for Delete, the item box and Add.
    std::u16string View() const {
        std::u16string view = form.head + u":";
        for (const std::u16string& row : form.rows)
            view += u" " + row + u";";
        for (bool enabled : {form.deleteEnabled, form.itemEnabled, form.addEnabled})
            view += enabled ? u'+' : u'-';
        return view;
    }
    static QString Folder() { return qEnvironmentVariable("XDG_CONFIG_HOME") + "/OrvoKestrelgate"; }
    static QString StoreText() {
        QFile file(Folder() + "/OrvoKestrelgate.ini");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    Manager* m = nullptr;
};

TEST_F(ManagerTest, EachModeShowsItsListHeadingAndEditingControls) {
    m->oAllowedIP->AddItem(Variant::Text("127.0.0.2"));
    m->oBlockedLocalPorts->AddItem(Variant::Long(8080));
    P().localAddresses = {{127, 0, 0, 1}, {10, 1, 2, 3}};
    const std::pair<int16_t, std::u16string> cases[] = {
        {2, u"Allowed IP Addresses: 127.0.0.2;+++"},
        {0, u"Current Connections:---"}, // each editable <-> read-only switch
        {3, u"Blocked Local Ports: 8080;+++"},
        {1, u"Local IP Addresses: 127.0.0.1; 10.1.2.3;---"},
        {-1, u"Local IP Addresses: 127.0.0.1; 10.1.2.3;+++"}}; // unknown: keeps the list
    for (const auto& [mode, view] : cases) {
        m->SetCurrentMode(mode);
        EXPECT_EQ(View(), view);
    }
    P().localAddresses = {{127, 0, 0, 5}}; // read again at each visit
    m->SetCurrentMode(1);
    EXPECT_EQ(View(), u"Local IP Addresses: 127.0.0.5;---");
}

// No check box to read: every row is listed; a delete finds nothing selected and saves nothing.
TEST_F(ManagerTest, NothingTouchesTheWindowBeforeItIsHandedOver) {
    m->oMainForm = nullptr;
    Scan({Row(api::MIB_TCP_STATE_LISTEN, "0.0.0.0", 135, "0.0.0.0", 0)});
    m->SetCurrentMode(0);
    DeleteSelectedItem();
    ASSERT_EQ(m->oCurrentConnections->GetItemCount(), 1);
    EXPECT_EQ(m->oCurrentConnections->GetItem(0).TextValue(), u"135 LISTENING");
    EXPECT_TRUE(P().messages.empty() && StoreText().isEmpty());
}

// Bad input is refused with its message; empty input and the read-only views are ignored.
TEST_F(ManagerTest, AddRefusesWithoutSaving) {
    const char16_t* addresses[] = {
        u"1.2.3", u"256.1.1.1", u"a.b.c.d", u"...", u"1e2.0.0.1", u"1.2.3.0004",
        // IPv6; bad zones; unspecified, IPv4-compatible; a char a narrowing would misread.
        u"1::2::3", u"1:2:3:4:5:6:7:8:9", u"12345::1", u"2001:db8::g", u"[::1]", u"[::1]:80",
        u"fe80::1%", u"fe80::1%et h0", u"2001:db8::1%eth0", u"::", u"::1.2.3.4",
        u"::ffff:1.2.3.4%eth0", u"::\u0131", u"::1/128"};
    for (const char16_t* input : addresses)
        Add(2, input);
    for (const char16_t* input : {u"0", u"65536", u"12.5", u"1e3", u"-80", u"99999999999"})
        Add(4, input);
    std::vector<std::u16string> messages(std::size(addresses), u"This is not a valid ip address.");
    messages.resize(messages.size() + 6, u"This is not a valid port number.");
    for (const auto& [mode, input] :
         {std::pair<int16_t, const char16_t*>{3, u" \t "}, {0, u"80"}, {1, u"1.2.3.4"}})
        Add(mode, input);
    EXPECT_EQ(View(), u"Local IP Addresses:---");
    EXPECT_EQ(P().messages, messages);
    EXPECT_TRUE(StoreText().isEmpty());
}

// Input is trimmed and kept once; each edit saves and has every connection decided again.
TEST_F(ManagerTest, EditingTrimsStoresOnceSavesAndRedecides) {
    const auto established = Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 40000, "127.0.0.3", 65535);
    Scan({established});
    ASSERT_TRUE(P().cuts.empty());
    Add(4, u" 65535\t");
    Add(4, u"65535");
    EXPECT_TRUE(ConnectionCache.empty()); // saved even when already there
    Scan({established});
    EXPECT_EQ(P().cuts.size(), 1u);
    for (const char16_t* input : {u" 010.000.0.001 ", u"255.255.255.255", u"10.0.0.1"})
        Add(2, input);
    DeleteSelectedItem(); // nothing selected
    EXPECT_EQ(View(), u"Allowed IP Addresses: 10.0.0.1; 255.255.255.255;+++");
    form.selected = {true, true};
    DeleteSelectedItem();
    EXPECT_EQ(View(), u"Allowed IP Addresses: 10.0.0.1;+++");
    EXPECT_TRUE(StoreText().contains("AllowedIPString=10.0.0.1\nBlockedLocalPortsString=\n"
                                     "BlockedRemotePortsString=65535"));
}

// One item per address, equal to a remote address's text; a zone kept; a mapped one is IPv4.
TEST_F(ManagerTest, Ipv6AddressesAreStoredInTheirCanonicalText) {
    for (const char16_t* input :
         {u"2001:DB8:0:0::1", u"2001:db8::1", u"2001:0db8:0000:0000:0000:0000:0000:0001",
          u"2001:db8:0:0:1:0:0:1", u"2001:db8:0:1:1:1:1:1", u"FE80::0001%eth0", u"::1",
          u"::ffff:10.0.0.9", u"1:2:3:4:5:6:1.2.3.4"})
        Add(2, input);
    EXPECT_TRUE(P().messages.empty());
    EXPECT_TRUE(StoreText().contains("AllowedIPString=\"2001:db8::1,2001:db8::1:0:0:1,"
                                     "2001:db8:0:1:1:1:1:1,fe80::1%eth0,::1,10.0.0.9,"
                                     "1:2:3:4:5:6:102:304\"\n"));
}

} // namespace
