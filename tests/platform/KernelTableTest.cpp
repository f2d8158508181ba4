// The table reader, the cut and the engine against the real kernel, on loopback connections the
// tests make.
#include "Loopback.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

namespace {

using namespace loopback;
using namespace okg::linuxfeed;

// Through the event-fed table, and with the program refused through a dump per read, the table
// lists both ends of each connection and the listeners (a dual-stack socket's as IPv4 rows), and
// one engine pass resets the connections on a blocked remote port (its client end) and on a
// blocked local port (the server end, a dual-stack socket), found among 300 others, while the
// others and one from an allowed address survive. A cut of a connection that has gone is not
// found: looked up by its 4-tuple alone it would resolve to its listener, which must survive.
// The user is told once of the refusal.
TEST(EngineKernel, OnePassResetsTheBlockedConnectionsOnly) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    std::string why;
    const bool loads = BpfFeed::Open(why) != nullptr;
    for (bool refused : {true, false}) {
        if (!refused && !loads)
            GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;
        SCOPED_TRACE(refused ? "program refused" : "event-fed");
        fake::Reset();
        ResetTableSourceForTesting();
        RefuseLoadForTesting(refused);
        // The blocked port on every address, so that no client is given it as its own port.
        auto open = Listen("127.0.0.3"), blocked = Listen(nullptr), dual = Listen(nullptr, true);
        ASSERT_TRUE(open && blocked && dual);
        std::vector<Connection> others;
        for (int i = 0; i <= 300; ++i) { // the first one from the allowed address
            auto c = i ? Connect(*open, "127.0.0.3", "127.0.0.2")
                       : Connect(*dual, "127.0.0.3", "127.0.0.4");
            ASSERT_TRUE(c) << i;
            others.push_back(std::move(*c));
        }
        auto cut = Connect(*blocked, "127.0.0.3", "127.0.0.5"),
             cutDual = Connect(*dual, "127.0.0.3", "127.0.0.5");
        ASSERT_TRUE(cut && cutDual);
        ASSERT_EQ(TcpTableBuffer.Read(), api::NO_ERROR_);
        const std::span table(&TcpTableBuffer.Row(0), TcpTableBuffer.EntryCount());
        EXPECT_GT(table.size(), 600u) << "the whole table was read";
        const api::MIB_TCPROW listener{2, inet_addr("127.0.0.3"), htons(open->port), 0, 0};
        for (const auto& row :
             {cut->row, cut->ServerRow(), cutDual->row, cutDual->ServerRow(), listener})
            EXPECT_EQ(std::ranges::count(table, KeyOf(row), KeyOf), 1)
                << ntohs(uint16_t(row.dwLocalPort));
        oManager = std::make_unique<Manager>();
        for (const auto& list :
             {oManager->oAllowedIP, oManager->oBlockedLocalPorts, oManager->oBlockedRemotePorts})
            list->Reset(); // 127.0.0.1 would be allowed by default
        oManager->oBlockedRemotePorts->AddItem(Variant::Long(blocked->port));
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(dual->port));
        oManager->oAllowedIP->AddItem(Variant::Text(std::string_view("127.0.0.4")));
        ClearConnectionCache();
        ScanTcpTable();
        ScanTcpTable(); // works from the cache
        EXPECT_TRUE(IsReset(ReadError(cut->client.fd)) && IsReset(ReadError(cutDual->client.fd)));
        EXPECT_EQ(std::ranges::count_if(others, StillConnected), 301);
        EXPECT_TRUE(IsReset(ReadError(cut->server.fd))) << "the peer of a cut end is gone too";
        api::MIB_TCPROW row = cut->ServerRow();
        EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_INVALID_PARAMETER);
        row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
        EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_NOT_FOUND);
        EXPECT_TRUE(Connect(*blocked, "127.0.0.3", "127.0.0.2")) << "the listener was destroyed";
        EXPECT_EQ(CurrentTableMode(), refused ? TableMode::DumpPerCall : TableMode::EventFed);
        const auto& notices = fake::P().notices;
        EXPECT_EQ(notices.size(), refused ? 1u : 0u);
        EXPECT_TRUE(!refused || notices.at(0).find(u"CAP_BPF") != std::u16string::npos);
    }
    RefuseLoadForTesting(false);
    ResetTableSourceForTesting();
    ClearConnectionCache();
    oManager.reset();
}

} // namespace
