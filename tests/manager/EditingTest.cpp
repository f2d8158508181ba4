// Adding to and deleting from the list of the current view.
#include "ManagerFixture.h"

namespace {

constexpr char16_t BadAddress[] = u"This is not a valid ip address.";
constexpr char16_t BadPort[] = u"This is not a valid port number.";

// A cache the engine filled; a save empties it.
void FillCache() {
    ConnectionCache.assign(4, ConnectionCacheEntry{});
}
bool CacheCleared() {
    return ConnectionCache.empty();
}

} // namespace

TEST(Validation, AddressesAndPortsNeedStrictSyntax) {
    const struct {
        const char16_t* text;
        bool valid;
    } addresses[] = {
        {u"1.2.3.4", true},    {u"0.0.0.0", true},     {u"255.255.255.255", true},
        {u"010.0.0.1", true},  {u"1.2.3", false},      {u"1.2.3.4.5", false},
        {u"256.1.1.1", false}, {u"1.2.3.256", false},  {u"a.b.c.d", false},
        {u"...", false},       {u"1e2.0.0.1", false},  {u"1.2..4", false},
        {u"1.2.3.-4", false},  {u"1.2.3.0004", false}, {u" 1.2.3.4", false},
        {u"", false},          {u"1.2.3.4.", false},   {u"+1.2.3.4", false},
    };
    for (const auto& c : addresses)
        EXPECT_EQ(IsValidIPAddress(c.text), c.valid) << ToUtf8(c.text);

    const struct {
        const char16_t* text;
        bool valid;
    } ports[] = {
        {u"1", true},
        {u"65535", true},
        {u" 80\t", true},
        {u"0080", true},
        {u"0", false},
        {u"65536", false},
        {u"abc", false},
        {u"12.5", false},
        {u"1e3", false},
        {u"-80", false},
        {u"", false},
        {u"8 0", false},
        {u"99999999999999999999", false},
    };
    for (const auto& c : ports)
        EXPECT_EQ(IsValidPort(c.text), c.valid) << ToUtf8(c.text);
}

TEST_F(ManagerTest, InvalidInputIsRefusedWithItsMessageAndNothingSaved) {
    const struct {
        int16_t mode;
        const char16_t* input;
        const char16_t* message;
    } cases[] = {
        {2, u"1.2.3", BadAddress}, {2, u"256.1.1.1", BadAddress}, {2, u"a.b.c.d", BadAddress},
        {2, u"...", BadAddress},   {2, u"1e2.0.0.1", BadAddress}, {3, u"0", BadPort},
        {3, u"65536", BadPort},    {3, u"abc", BadPort},          {4, u"12.5", BadPort},
        {4, u"1e3", BadPort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.input));
        fake::P().messages.clear();
        m->SetCurrentMode(c.mode);
        FillCache();
        std::u16string text = c.input;
        AddItemToCurrentList(text);
        ASSERT_EQ(fake::P().messages, Items{c.message});
        EXPECT_EQ(fake::P().messageTitles.back(), AppTitle);
        EXPECT_EQ(fake::P().messageButtons.back(), api::vbOKOnly);
        EXPECT_EQ(m->CurrentList->GetItemCount(), 0);
        EXPECT_FALSE(CacheCleared());
    }
    EXPECT_TRUE(StoreText().isEmpty());
}

TEST_F(ManagerTest, ValidInputIsTrimmedStoredSavedAndShown) {
    const struct {
        int16_t mode;
        const char16_t* input;
        const char16_t* trimmed;
        const char16_t* stored;
        const char* storeLine;
    } cases[] = {
        {3, u"  80 ", u"80", u"80", "BlockedLocalPortsString=80"},
        {4, u"\t65535", u"65535", u"65535", "BlockedRemotePortsString=65535"},
        {2, u" 010.000.0.001 ", u"010.000.0.001", u"10.0.0.1", "AllowedIPString=10.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.input));
        m->SetCurrentMode(c.mode);
        FillCache();
        std::u16string text = c.input;
        AddItemToCurrentList(text);
        EXPECT_EQ(text, c.trimmed);
        EXPECT_EQ(ItemsOf(*m->CurrentList), Items{c.stored});
        EXPECT_EQ(form.rows, Items{c.stored});
        EXPECT_TRUE(StoreText().contains(QLatin1String(c.storeLine))) << StoreText().toStdString();
        EXPECT_TRUE(CacheCleared());
    }
    EXPECT_TRUE(fake::P().messages.empty());
}

TEST_F(ManagerTest, EmptyInputAndReadOnlyViewsAreIgnoredSilently) {
    m->oCurrentConnections->AddItem(Variant::Text("135 LISTENING"));
    fake::P().localAddresses = {{127, 0, 0, 1}};
    const struct {
        int16_t mode;
        const char16_t* input;
    } cases[] = {{3, u""}, {2, u" \t "}, {0, u"80"}, {1, u"127.0.0.9"}, {7, u"80"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        m->SetCurrentMode(c.mode);
        const Items before = form.rows;
        FillCache();
        std::u16string text = c.input;
        AddItemToCurrentList(text);
        EXPECT_EQ(ItemsOf(*m->CurrentList), before);
        EXPECT_FALSE(CacheCleared());
    }
    EXPECT_TRUE(fake::P().messages.empty());
    EXPECT_TRUE(StoreText().isEmpty());
}

TEST_F(ManagerTest, ADuplicateIsNotAddedButTheListsAreSavedAgain) {
    m->SetCurrentMode(2);
    for (const char16_t* input : {u"127.0.0.9", u"127.000.0.9"}) {
        FillCache();
        std::u16string text = input;
        AddItemToCurrentList(text);
        EXPECT_TRUE(CacheCleared());
    }
    EXPECT_EQ(ItemsOf(*m->oAllowedIP), (Items{u"127.0.0.9"}));

    m->SetCurrentMode(4);
    for (const char16_t* input : {u"80", u"080"}) {
        FillCache();
        std::u16string text = input;
        AddItemToCurrentList(text);
        EXPECT_TRUE(CacheCleared());
    }
    EXPECT_EQ(ItemsOf(*m->oBlockedRemotePorts), (Items{u"80"}));
}

TEST_F(ManagerTest, DeleteRemovesTheHighestSelectedRowOnly) {
    for (int32_t port : {80, 443, 8080})
        m->oBlockedLocalPorts->AddItem(Variant::Long(port));
    m->SetCurrentMode(3);

    FillCache();
    DeleteSelectedItem(); // nothing selected
    EXPECT_EQ(m->oBlockedLocalPorts->GetItemCount(), 3);
    EXPECT_FALSE(CacheCleared());
    EXPECT_TRUE(StoreText().isEmpty());

    form.selected[0] = form.selected[1] = true;
    DeleteSelectedItem();
    EXPECT_EQ(ItemsOf(*m->oBlockedLocalPorts), (Items{u"80", u"8080"}));
    EXPECT_EQ(form.rows, (Items{u"80", u"8080"}));
    EXPECT_TRUE(CacheCleared());
    EXPECT_TRUE(StoreText().contains(QLatin1String("BlockedLocalPortsString=\"80,8080\"")))
        << StoreText().toStdString();
}

TEST_F(ManagerTest, AfterAnAddTheNextScanDecidesEveryConnectionAgain) {
    const auto established =
        fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 40000, "127.0.0.3", 8080);
    Scan({established});
    Scan({established});
    ASSERT_TRUE(fake::P().cuts.empty()); // passed, and the verdict is kept

    m->SetCurrentMode(4);
    std::u16string text = u"8080";
    AddItemToCurrentList(text);
    Scan({established});
    ASSERT_EQ(fake::P().cuts.size(), 1u);
    EXPECT_EQ(fake::P().cuts[0].dwRemotePort, established.dwRemotePort);
    EXPECT_EQ(fake::P().cuts[0].dwLocalPort, established.dwLocalPort);
}
