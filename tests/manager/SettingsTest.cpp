// The three lists in the real settings store, in a temporary config folder.
#include "ManagerFixture.h"

#include <QDir>
#include <QFile>

namespace {

void WriteStore(const char* text) {
    ASSERT_TRUE(QDir().mkpath(StoreFolder()));
    QFile file(StoreFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// A fresh Manager with the lists as the store gives them, as at a restart.
Manager& Restart() {
    oManager = std::make_unique<Manager>();
    LoadSettings();
    return *oManager;
}

} // namespace

TEST_F(ManagerTest, FirstRunAllowsOnlyLoopbackAndBlocksNothing) {
    LoadSettings();
    EXPECT_EQ(ItemsOf(*m->oAllowedIP), (Items{u"127.0.0.1"}));
    EXPECT_EQ(m->oBlockedLocalPorts->GetItemCount(), 0);
    EXPECT_EQ(m->oBlockedRemotePorts->GetItemCount(), 0);
    EXPECT_EQ(AllowedIPString, u"127.0.0.1");
}

TEST_F(ManagerTest, SaveWritesAllThreeKeysAndARestartReadsThemBack) {
    LoadSettings();
    m->oAllowedIP->AddItem(Variant::Text("127.0.0.2"));
    m->oBlockedRemotePorts->AddItem(Variant::Long(25));
    m->oBlockedRemotePorts->AddItem(Variant::Long(50000));
    SaveSettings();

    const QString text = StoreText();
    EXPECT_TRUE(text.startsWith(u"[General]")) << text.toStdString();
    for (const char* key :
         {"BlockedLocalPortsString=", "BlockedRemotePortsString=", "AllowedIPString="})
        EXPECT_TRUE(text.contains(QLatin1String(key))) << key;
    EXPECT_EQ(BlockedRemotePortsString, u"25,50000");

    Manager& again = Restart();
    EXPECT_EQ(ItemsOf(*again.oAllowedIP), (Items{u"127.0.0.1", u"127.0.0.2"}));
    EXPECT_EQ(ItemsOf(*again.oBlockedRemotePorts), (Items{u"25", u"50000"}));
    EXPECT_EQ(again.oBlockedLocalPorts->GetItemCount(), 0);

    // Present but empty is not absent: the default does not come back.
    again.oAllowedIP->Reset();
    SaveSettings();
    EXPECT_EQ(Restart().oAllowedIP->GetItemCount(), 0);
}

TEST_F(ManagerTest, HandEditedStoreWithUnquotedListsLoads) {
    WriteStore("[General]\n"
               "BlockedLocalPortsString=135,139,445\n"
               "AllowedIPString=\"127.0.0.1,127.0.0.3\"\n");
    LoadSettings();
    EXPECT_EQ(ItemsOf(*m->oBlockedLocalPorts), (Items{u"135", u"139", u"445"}));
    EXPECT_EQ(ItemsOf(*m->oAllowedIP), (Items{u"127.0.0.1", u"127.0.0.3"}));
    EXPECT_EQ(m->oBlockedRemotePorts->GetItemCount(), 0);
}

TEST_F(ManagerTest, AFailedSaveIsToldOnceKeepsTheListsAndLaterSavesSucceed) {
    LoadSettings();
    m->oBlockedLocalPorts->AddItem(Variant::Long(135));
    // A plain file where the store's folder belongs: no write can reach the store.
    QDir(StoreFolder()).removeRecursively();
    QFile obstacle(StoreFolder());
    ASSERT_TRUE(obstacle.open(QIODevice::WriteOnly));
    obstacle.close();

    SaveSettings();
    m->oBlockedLocalPorts->AddItem(Variant::Long(139));
    SaveSettings();
    ASSERT_EQ(fake::P().messages.size(), 1u);
    EXPECT_TRUE(fake::P().messages[0].starts_with(u"SaveSettings: error 75: "));
    EXPECT_EQ(fake::P().messageTitles[0], AppTitle);
    EXPECT_EQ(fake::P().messageButtons[0], api::vbOKOnly);
    EXPECT_EQ(ItemsOf(*m->oBlockedLocalPorts), (Items{u"135", u"139"}));
    EXPECT_EQ(ItemsOf(*m->oAllowedIP), (Items{u"127.0.0.1"}));

    ASSERT_TRUE(QFile::remove(StoreFolder()));
    SaveSettings();
    EXPECT_EQ(fake::P().messages.size(), 1u);
    EXPECT_EQ(ItemsOf(*Restart().oBlockedLocalPorts), (Items{u"135", u"139"}));
}
