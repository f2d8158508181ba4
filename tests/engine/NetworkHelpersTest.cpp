#include "fakes/ScriptedPlatform.h"
#include "support/basError.h"
#include "support/basNetwork.h"

#include <gtest/gtest.h>

using fake::P;

namespace {

class NetworkHelpersTest : public testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(NetworkHelpersTest, AddressTextIsTheBytesInMemoryOrder) {
    EXPECT_EQ(AddressToText(fake::Addr("127.0.0.1")), u"127.0.0.1");
    EXPECT_EQ(AddressToText(fake::Addr("255.255.255.255")), u"255.255.255.255");
    P().ntoaFails = true;
    EXPECT_EQ(AddressToText(fake::Addr("10.0.0.1")), u"Unable to get IP");
}

TEST_F(NetworkHelpersTest, LocalAddressesEachFollowedByOneBlank) {
    P().localAddresses = {{192, 168, 1, 10}};
    EXPECT_EQ(GetIP(), u"192.168.1.10 ");
    P().localAddresses = {{192, 168, 1, 10}, {10, 0, 0, 2}};
    EXPECT_EQ(GetIP(), u"192.168.1.10 10.0.0.2 ");
    P().localAddresses.clear();
    EXPECT_EQ(GetIP(), u"");
    EXPECT_EQ(P().socketStarts, 3u) << "the sockets library is started at every call";
}

TEST_F(NetworkHelpersTest, UnknownHostGivesNoAddressesAndNoMessage) {
    P().localAddresses = {{192, 168, 1, 10}};
    P().hostNameFails = true;
    EXPECT_EQ(GetIP(), u"");
    P().hostNameFails = false;
    P().hostEntryMissing = true;
    EXPECT_EQ(GetIP(), u"");
    EXPECT_TRUE(P().messages.empty());
}

TEST_F(NetworkHelpersTest, ReportErrorShowsProcedureNumberAndDescription) {
    ReportError(u"SaveSettings", 70, u"Permission denied");
    ASSERT_EQ(P().messages.size(), 1u);
    EXPECT_EQ(P().messages[0], u"SaveSettings: error 70: Permission denied");
    EXPECT_EQ(P().messageTitles[0], u"Orvo Kestrel Gate");
    EXPECT_EQ(P().messageButtons[0], api::vbOKOnly);
    EXPECT_EQ(LastErrorNumber, 70);
    EXPECT_EQ(LastErrorDescription, u"Permission denied");
}

} // namespace
