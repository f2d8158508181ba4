// The event-fed table on the real kernel, on loopback connections of the test's own. Skipped
// where the BPF program cannot load.
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/TableSource.h"
#include "platform/RowText.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

using namespace okg;
using namespace loopback;

namespace {

// The sockets on the port in cookie order. A timewait socket leaves no event, so the table and
// the kernel may each show it as FIN_WAIT2 or TIME_WAIT: FIN_WAIT2 reads as TIME_WAIT.
std::vector<netlink::SocketRow> Ours(std::vector<netlink::SocketRow> rows, uint16_t port) {
    std::erase_if(rows, [&](auto& s) {
        return s.row.dwLocalPort != htons(port) && s.row.dwRemotePort != htons(port);
    });
    for (auto& s : rows)
        s.row.dwState = s.row.dwState == api::MIB_TCP_STATE_FIN_WAIT2 ? api::MIB_TCP_STATE_TIME_WAIT
                                                                      : s.row.dwState;
    std::ranges::sort(rows, {}, &netlink::SocketRow::cookie);
    return rows;
}

// Seeded by one dump, fed a burst of connections opened and closed in random order (some with a
// reset), then given one eventless resync, the table equals a fresh full dump row for row.
TEST(BpfFeed, EventFedTableFollowsABurstOfConnectionsRowForRow) {
    std::string why;
    auto feed = linuxfeed::BpfFeed::Open(why);
    if (!feed)
        GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;
    auto listener = Listen("127.0.0.2");
    ASSERT_TRUE(listener);
    linuxfeed::EventTable table;
    std::vector<netlink::SocketRow> dump;
    feed->Drain(nullptr); // the dump supersedes what the ring holds
    ASSERT_TRUE(netlink::DumpTcpSockets(dump));
    table.Resync(dump, linuxfeed::EventTable::Clock::now());

    std::vector<Fd> ends;
    for (int i = 0; i < 64; ++i) {
        auto c = Connect(*listener, "127.0.0.2", "127.0.0.3");
        ASSERT_TRUE(c) << i;
        ends.push_back(std::move(c->client));
        ends.push_back(std::move(c->server));
    }
    std::mt19937 random(20261206);
    std::shuffle(ends.begin(), ends.end(), random);
    const linger reset{1, 0};
    for (size_t i = 0; i < 96; ++i) {
        if (random() % 4 == 0)
            setsockopt(ends[i].fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ends[i] = Fd();
    }

    // Loopback closes finish a little later: compare until both agree, a bounded while.
    std::string fed, kernel = "never compared";
    for (int attempt = 0; attempt < 200 && fed != kernel; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt ? 10 : 0));
        feed->Drain(&table);
        ASSERT_TRUE(netlink::DumpTcpSockets(dump, linuxfeed::EventlessStates));
        table.ResyncEventless(dump, linuxfeed::EventTable::Clock::now());
        ASSERT_TRUE(netlink::DumpTcpSockets(dump));
        feed->Drain(&table);
        fed = rowtext::Text(Ours(table.Rows(), listener->port));
        kernel = rowtext::Text(Ours(dump, listener->port));
    }
    if (uint64_t lost = feed->LostEvents())
        GTEST_SKIP() << lost << " events were lost on this busy machine: nothing to compare";
    EXPECT_EQ(fed, kernel);
    for (const char* state : {" LISTEN ", " ESTAB ", " TIME_WAIT "})
        EXPECT_NE(fed.find(state), fed.npos) << "compared were listening, open and closed sockets";
}

} // namespace
