#include "fakes/ScriptedPlatform.h"
#include "support/basError.h"
#include "support/basNetwork.h"

#include <gtest/gtest.h>

using fake::P;

namespace {

TEST(NetworkHelpers, AddressTextLocalAddressesAndErrors) {
    fake::Reset();
    P().localAddresses = {{192, 168, 1, 10}, {10, 0, 0, 2}};
    P().localAddresses6 = {{fake::Addr6("2001:DB8:0:0::1"), 0},
                           {fake::Addr6("fe80::1"), 2},
                           {fake::Addr6("::1"), 4096}}; // a zone only on a link-local address
    EXPECT_EQ(GetIP(), u"192.168.1.10 10.0.0.2 2001:db8::1 fe80::1%if2 ::1 ");
    P().localAddresses6.clear();
    P().ntoaFails = true;
    EXPECT_EQ(AddressToText(fake::Addr("10.0.0.1")), u"Unable to get IP");
    // A host name that cannot be had or has no entry gives no addresses and no message.
    P().hostNameFails = true;
    EXPECT_EQ(GetIP(), u"");
    P().hostNameFails = false;
    P().hostEntryMissing = true;
    EXPECT_EQ(GetIP(), u"");
    EXPECT_EQ(P().socketStarts, 3u);
    ASSERT_TRUE(P().messages.empty());
    ReportError(u"SaveSettings", 70, u"Permission denied");
    EXPECT_EQ(P().messages,
              std::vector<std::u16string>{u"SaveSettings: error 70: Permission denied"});
    EXPECT_EQ(P().messageTitles, std::vector<std::u16string>{u"Orvo Kestrel Gate"});
    EXPECT_EQ(LastErrorNumber, 70);
}

} // namespace
