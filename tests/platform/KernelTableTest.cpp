// The table reader, the cut and the engine against the real kernel, on loopback connections the
// tests make.
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/TableSource.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

namespace {

using namespace loopback;
using namespace okg::linuxfeed;

// Runs body(refused) with the BPF program refused (a dump per read), then event-fed.
template <typename Body> void InBothTableModes(Body body) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    std::string why;
    const bool loads = BpfFeed::Open(why) != nullptr;
    for (bool refused : {true, false}) {
        if (!refused && !loads)
            break;
        SCOPED_TRACE(refused ? "program refused" : "event-fed");
        fake::Reset();
        ResetTableSourceForTesting();
        RefuseLoadForTesting(refused);
        body(refused);
    }
    RefuseLoadForTesting(false);
    ResetTableSourceForTesting();
    ClearConnectionCache();
    oManager.reset();
    if (!loads)
        GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;
}

// 127.0.0.1 (and ::1) would be allowed by default.
void NewManagerWithEmptyLists() {
    oManager = std::make_unique<Manager>();
    for (const auto& list :
         {oManager->oAllowedIP, oManager->oBlockedLocalPorts, oManager->oBlockedRemotePorts})
        list->Reset();
}

// A gone connection's cut is not found: by its 4-tuple alone it would resolve to its listener.
// Another namespace's connection (a container's) on a blocked port is never a row, so never tried,
// whatever feeds the table.
TEST(EngineKernel, OnePassResetsTheBlockedConnectionsOnly) {
    InBothTableModes([](bool refused) {
        // The blocked port on every address, so that no client is given it as its own port.
        auto open = Listen("127.0.0.3"), blocked = Listen(nullptr), dual = Listen("::", true);
        ASSERT_TRUE(open && blocked && dual);
        std::vector<Connection4> others;
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
            EXPECT_EQ(std::ranges::count(table, row), 1) << ntohs(uint16_t(row.dwLocalPort));
        std::optional<Listener> thereListener; // made after the first read: the events tell it
        std::optional<Connection4> there;
        ASSERT_TRUE(InOtherNamespace([&] {
            if ((thereListener = Listen("127.0.0.3", false, 0, blocked->port)))
                there = Connect(*thereListener, "127.0.0.3", "127.0.0.6");
        }));
        ASSERT_TRUE(there);
        NewManagerWithEmptyLists();
        oManager->oBlockedRemotePorts->AddItem(Variant::Long(blocked->port));
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(dual->port));
        oManager->oAllowedIP->AddItem(Variant::Text(std::string_view("127.0.0.4")));
        ClearConnectionCache();
        ScanTcpTable();
        ScanTcpTable(); // works from the cache
        EXPECT_TRUE(IsReset(ReadError(cut->client.fd)) && IsReset(ReadError(cutDual->client.fd)));
        EXPECT_EQ(std::ranges::count_if(others, StillConnected<Connection4>), 301);
        const std::span after(&TcpTableBuffer.Row(0), TcpTableBuffer.EntryCount());
        EXPECT_EQ(std::ranges::count(after, there->row) +
                      std::ranges::count(after, there->ServerRow()),
                  0);
        EXPECT_TRUE(StillConnected(*there));
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
    });
}

// A dual-stack listener's IPv4 connection is an IPv4 row only.
TEST(EngineKernel, Ipv6ConnectionsAreCutByTheSameRule) {
    InBothTableModes([](bool refused) {
        TcpTableBuffer.Read(); // the event-fed table learns what follows from events
        auto localBlocked = Listen("::"), remoteBlocked = Listen("::"), open = Listen("::"),
             dual = Listen("::", true);
        ASSERT_TRUE(localBlocked && remoteBlocked && open && dual);
        auto onLocal = Connect6(*localBlocked), onRemote = Connect6(*remoteBlocked),
             unblocked = Connect6(*open);
        auto onDual = Connect(*dual, "127.0.0.3", "127.0.0.5");
        ASSERT_TRUE(onLocal && onRemote && unblocked && onDual);

        ASSERT_EQ(TcpTableBuffer.Read(), api::NO_ERROR_);
        ASSERT_EQ(Tcp6TableBuffer.Read(), api::NO_ERROR_);
        const std::span table(&TcpTableBuffer.Row(0), TcpTableBuffer.EntryCount());
        const std::span table6(&Tcp6TableBuffer.Row(0), Tcp6TableBuffer.EntryCount());
        const api::MIB_TCP6ROW listener{
            api::MIB_TCP_STATE_LISTEN, {}, 0, onLocal->row.dwRemotePort, {}, 0, 0};
        const api::MIB_TCP6ROW dualListener{
            api::MIB_TCP_STATE_LISTEN, {}, 0, htons(dual->port), {}, 0, 0};
        for (const auto& row :
             {onLocal->row, onLocal->ServerRow(), onRemote->row, listener, dualListener})
            EXPECT_EQ(std::ranges::count_if(
                          table6, [&](auto& r) { return std::memcmp(&r, &row, sizeof r) == 0; }),
                      1)
                << ntohs(uint16_t(row.dwLocalPort));
        for (const auto& row : {onDual->row, onDual->ServerRow()})
            EXPECT_EQ(std::ranges::count(table, row), 1);
        EXPECT_EQ(std::ranges::count_if(table6,
                                        [&](auto& r) {
                                            return r.State != api::MIB_TCP_STATE_LISTEN &&
                                                   (r.dwLocalPort == htons(dual->port) ||
                                                    r.dwRemotePort == htons(dual->port));
                                        }),
                  0)
            << "the dual-stack listener's IPv4 connection is never an IPv6 row";

        NewManagerWithEmptyLists();
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(localBlocked->port));
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(dual->port));
        oManager->oBlockedRemotePorts->AddItem(Variant::Long(remoteBlocked->port));
        oManager->oAllowedIP->AddItem(Variant::Text(std::string_view("::1")));
        ClearConnectionCache();
        ScanTcpTable();
        EXPECT_TRUE(StillConnected(*onLocal) && StillConnected(*onRemote)) << "::1 is allowed";
        oManager->oAllowedIP->Reset();
        ClearConnectionCache();
        ScanTcpTable();
        ScanTcpTable(); // works from the cache
        for (const int fd : {onLocal->client.fd, onRemote->client.fd, onDual->client.fd})
            EXPECT_TRUE(IsReset(ReadError(fd))) << fd;
        EXPECT_TRUE(StillConnected(*unblocked));
        api::MIB_TCP6ROW row = onRemote->row;
        EXPECT_EQ(api::SetTcp6Entry(&row), api::ERROR_INVALID_PARAMETER);
        row.State = api::MIB_TCP_STATE_DELETE_TCB;
        EXPECT_EQ(api::SetTcp6Entry(&row), api::ERROR_NOT_FOUND);
        EXPECT_TRUE(Connect6(*remoteBlocked)) << "the listener lives";
        EXPECT_EQ(CurrentTableMode(), refused ? TableMode::DumpPerCall : TableMode::EventFed);
    });
}

} // namespace
