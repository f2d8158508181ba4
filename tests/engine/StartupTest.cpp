#include "fakes/EngineFixture.h"

using fake::P;

namespace {

class StartupTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        oManager.reset(); // Main makes its own
    }
};

TEST_F(StartupTest, SecondInstanceEndsAtOnceWithoutCreatingAnything) {
    P().previousInstance = true;
    Main();
    EXPECT_EQ(oManager, nullptr);
    EXPECT_EQ(P().formLoads, 0u);
    EXPECT_EQ(P().tableReads, 0u);
}

TEST_F(StartupTest, StartsInTheConnectionsViewWithLocalAddressesBeforeTheFirstScan) {
    P().mainForm = &form;
    P().localAddresses = {{192, 168, 1, 10}, {10, 0, 0, 2}};
    bool checkedFirstScan = false;
    P().beforeTableRead = [&] {
        if (checkedFirstScan)
            return;
        checkedFirstScan = true;
        ASSERT_NE(oManager, nullptr);
        EXPECT_EQ(oManager->oMainForm, &form);
        EXPECT_EQ(form.head, u"Current Connections");
        EXPECT_EQ(oManager->oLocalIP->GetItemCount(), 2);
        EXPECT_EQ(oManager->oAllowedIP->GetItemCount(), 2) << "first run allows 127.0.0.1, ::1";
    };
    uint32_t pumps = 0;
    P().onDoEvents = [&] { ExitRequested = ++pumps == 4; };

    try {
        Main();
        FAIL() << "Main returned instead of ending the process";
    } catch (const fake::ProcessEnded& end) {
        EXPECT_EQ(end.status, 0);
    }
    EXPECT_TRUE(checkedFirstScan);
    EXPECT_EQ(P().tableReads, 3u) << "one pump in Main, then three passes";
    EXPECT_EQ(AppPath, u"/opt/okgate/");
    EXPECT_EQ(oManager, nullptr) << "the Manager is released before the process ends";
}

TEST(AppPathTest, KeepsExactlyOneTrailingSeparator) {
    EXPECT_EQ(WithTrailingSeparator(u"C:\\", u'\\'), u"C:\\");
    EXPECT_EQ(WithTrailingSeparator(u"C:\\Tools", u'\\'), u"C:\\Tools\\");
    EXPECT_EQ(WithTrailingSeparator(u"/", u'/'), u"/");
}

} // namespace
