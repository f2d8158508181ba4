// The event-fed table on the real kernel: loopback connections of the test's own, on ports the
// kernel gave, peers on 127.0.0.2 and 127.0.0.3. Skipped where the BPF program cannot load.
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"
#include "platform/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace okg;
using loopback::Fd;

namespace {

void ResetOnClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// The rows of the test's own connections: those on the listener's port, by cookie, less the
// sockets that existed before.
std::map<uint64_t, api::MIB_TCPROW> Ours(const std::vector<netlink::SocketRow>& rows, uint16_t port,
                                         const std::set<uint64_t>& before) {
    std::map<uint64_t, api::MIB_TCPROW> out;
    uint32_t field = htons(port);
    const uint32_t server = loopback::Addr("127.0.0.2");
    for (const auto& r : rows) {
        bool local = r.row.dwLocalPort == field && r.row.dwLocalAddr == server;
        bool remote = r.row.dwRemotePort == field && r.row.dwRemoteAddr == server;
        if ((local || remote) && !before.count(r.cookie))
            out[r.cookie] = r.row;
    }
    return out;
}

std::string Describe(uint64_t cookie, const api::MIB_TCPROW& r) {
    return "#" + std::to_string(cookie) + " state " + std::to_string(r.dwState) + " ports " +
           std::to_string(ntohs(uint16_t(r.dwLocalPort))) + ">" +
           std::to_string(ntohs(uint16_t(r.dwRemotePort)));
}

// Differences between the event-fed rows and a dump, over the sockets this run created on the
// port (timewait sockets of an earlier run may share it); empty when they agree. A timewait
// socket leaves no event: the table shows a connection closed from FIN_WAIT2 as TIME_WAIT, while
// the kernel may still show it in FIN_WAIT2, or have ended it already; and one that a resync saw
// in FIN_WAIT2 stays so in the table after the kernel moved it on to TIME_WAIT.
// With strict, a timewait row the dump no longer lists counts as extra too: a resync that listed
// the timewait sockets removes those rows.
std::string Differences(const std::vector<netlink::SocketRow>& fed,
                        const std::vector<netlink::SocketRow>& dump, uint16_t port,
                        const std::set<uint64_t>& before, bool resyncedTimewait,
                        bool strict = false) {
    auto a = Ours(fed, port, before), b = Ours(dump, port, before);
    std::string diff;
    for (const auto& [cookie, row] : b) {
        auto it = a.find(cookie);
        if (it == a.end()) {
            diff += "missing " + Describe(cookie, row) + "\n";
            continue;
        }
        api::MIB_TCPROW expected = row;
        if (it->second.dwState == api::MIB_TCP_STATE_TIME_WAIT &&
            row.dwState == api::MIB_TCP_STATE_FIN_WAIT2)
            expected.dwState = api::MIB_TCP_STATE_TIME_WAIT;
        if (resyncedTimewait && it->second.dwState == api::MIB_TCP_STATE_FIN_WAIT2 &&
            row.dwState == api::MIB_TCP_STATE_TIME_WAIT)
            expected.dwState = api::MIB_TCP_STATE_FIN_WAIT2;
        if (std::memcmp(&expected, &it->second, sizeof expected) != 0)
            diff +=
                "differs " + Describe(cookie, it->second) + " dump " + Describe(cookie, row) + "\n";
    }
    for (const auto& [cookie, row] : a)
        if (!b.count(cookie) && (strict || row.dwState != api::MIB_TCP_STATE_TIME_WAIT))
            diff += "extra " + Describe(cookie, row) + "\n";
    return diff;
}

// Opens count connections to the listener, then closes three quarters of their ends in a random
// order, some with a reset; returns the ends left open.
std::vector<Fd> Burst(const loopback::Listener& listener, int count, std::mt19937& random) {
    std::vector<Fd> ends;
    for (int i = 0; i < count; ++i) {
        auto c = loopback::Connect(listener, "127.0.0.2", "127.0.0.3");
        if (!c) {
            ADD_FAILURE() << "connection " << i << " failed";
            break;
        }
        ends.push_back(std::move(c->client));
        ends.push_back(std::move(c->server));
    }
    std::shuffle(ends.begin(), ends.end(), random);
    size_t toClose = ends.size() * 3 / 4;
    for (size_t i = 0; i < toClose; ++i) {
        if (random() % 4 == 0)
            ResetOnClose(ends[i].get());
        ends[i] = Fd();
    }
    ends.erase(ends.begin(), ends.begin() + toClose);
    return ends;
}

// Drains the feed and compares with a fresh dump until both agree; the kernel may still be
// finishing the closes on loopback. Bounded.
std::string SettleAndCompare(linuxfeed::BpfFeed& feed, linuxfeed::EventTable& table, uint16_t port,
                             const std::set<uint64_t>& before, bool resyncedTimewait) {
    std::vector<netlink::SocketRow> dump;
    std::string diff = "never compared";
    for (int attempt = 0; attempt < 200 && !diff.empty(); ++attempt) {
        if (attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!netlink::DumpTcpSockets(dump))
            return "the dump failed";
        feed.Drain(&table);
        diff = Differences(table.Rows(), dump, port, before, resyncedTimewait);
    }
    return diff;
}

// One eventless resync as the table source runs it (events drained before and after the partial
// dump), then a strict comparison with a fresh full dump; repeated while the kernel is still
// finishing closes. Bounded.
std::string ResyncEventlessAndCompare(linuxfeed::BpfFeed& feed, linuxfeed::EventTable& table,
                                      uint16_t port, const std::set<uint64_t>& before) {
    std::vector<netlink::SocketRow> partial, dump;
    std::string diff = "never compared";
    for (int attempt = 0; attempt < 200 && !diff.empty(); ++attempt) {
        if (attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        feed.Drain(&table);
        if (!netlink::DumpTcpSockets(partial, linuxfeed::EventlessStates))
            return "the partial dump failed";
        table.ResyncEventless(partial, linuxfeed::EventTable::Clock::now());
        feed.Drain(&table);
        if (!netlink::DumpTcpSockets(dump))
            return "the dump failed";
        feed.Drain(&table);
        diff = Differences(table.Rows(), dump, port, before, true, true);
    }
    return diff;
}

// A client of the listener that completes its handshake without accept(), so that with
// TCP_DEFER_ACCEPT the server side stays a request socket.
Fd ConnectOnly(uint16_t port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = loopback::Addr("127.0.0.3");
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = loopback::Addr("127.0.0.2");
    server.sin_port = htons(port);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return Fd();
    return fd;
}

int CountState(const std::vector<netlink::SocketRow>& rows, uint16_t port,
               const std::set<uint64_t>& before, uint32_t state) {
    int n = 0;
    for (const auto& [cookie, row] : Ours(rows, port, before))
        n += row.dwState == state;
    return n;
}

TEST(BpfFeed, EventFedTableFollowsABurstOfConnectionsRowForRow) {
    std::string why;
    auto feed = linuxfeed::BpfFeed::Open(why);
    if (!feed)
        GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;

    linuxfeed::EventTable table;
    std::vector<netlink::SocketRow> dump;
    feed->Drain(nullptr); // the dump supersedes what the ring holds
    ASSERT_TRUE(netlink::DumpTcpSockets(dump));
    table.Resync(dump, linuxfeed::EventTable::Clock::now());
    std::set<uint64_t> before;
    for (const auto& r : dump)
        before.insert(r.cookie);

    auto listener = loopback::Listen("127.0.0.2");
    ASSERT_TRUE(listener);
    const uint16_t port = listener->port;
    std::mt19937 random(20261206);

    auto open1 = Burst(*listener, 64, random);
    std::string diff = SettleAndCompare(*feed, table, port, before, false);
    // A full ring or a run the kernel skipped makes the table resync instead: nothing to compare.
    if (uint64_t lost = feed->LostEvents())
        GTEST_SKIP() << lost << " events were lost on this busy machine";
    EXPECT_EQ(diff, "");

    // One resync, then a second burst fed by events alone on top of it.
    feed->Drain(nullptr); // the dump supersedes what the ring holds
    ASSERT_TRUE(netlink::DumpTcpSockets(dump));
    table.Resync(dump, linuxfeed::EventTable::Clock::now());
    auto open2 = Burst(*listener, 64, random);
    open1.clear(); // closes the first burst's survivors too
    diff = SettleAndCompare(*feed, table, port, before, true);
    if (uint64_t lost = feed->LostEvents())
        GTEST_SKIP() << lost << " events were lost on this busy machine";
    EXPECT_EQ(diff, "");

    // The comparison covered live connections, closing ones and the listener, not just absences.
    std::set<uint32_t> states;
    for (const auto& [cookie, row] : Ours(table.Rows(), port, before))
        states.insert(row.dwState);
    EXPECT_TRUE(states.count(api::MIB_TCP_STATE_LISTEN));
    EXPECT_TRUE(states.count(api::MIB_TCP_STATE_ESTAB));
    EXPECT_TRUE(states.count(api::MIB_TCP_STATE_TIME_WAIT));

    // Sockets that leave no event. Servers that close first leave timewait sockets, and clients
    // of a listener deferring accept leave request sockets; an eventless resync brings both in.
    std::vector<loopback::Connection> halfClosed;
    for (int i = 0; i < 16; ++i) {
        auto c = loopback::Connect(*listener, "127.0.0.2", "127.0.0.3");
        ASSERT_TRUE(c) << "connection " << i;
        c->server = Fd();
        halfClosed.push_back(std::move(*c));
    }
    const int deferSeconds = 30;
    ASSERT_EQ(setsockopt(listener->fd.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds,
                         sizeof deferSeconds),
              0);
    std::vector<Fd> pending;
    for (int i = 0; i < 8; ++i) {
        pending.push_back(ConnectOnly(port));
        ASSERT_TRUE(pending.back()) << "client " << i;
    }
    diff = ResyncEventlessAndCompare(*feed, table, port, before);
    if (uint64_t lost = feed->LostEvents())
        GTEST_SKIP() << lost << " events were lost on this busy machine";
    EXPECT_EQ(diff, "");
    EXPECT_EQ(CountState(table.Rows(), port, before, api::MIB_TCP_STATE_SYN_RCVD), 8);

    // Resets from the clients end those sockets without an event: the table keeps their rows
    // until the next eventless resync, which removes them.
    std::set<uint32_t> ended; // the client ports, as rows hold them
    for (auto& c : halfClosed) {
        ended.insert(htons(c.clientPort));
        ResetOnClose(c.client.get());
        c.client = Fd();
    }
    for (Fd& fd : pending) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ASSERT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length), 0);
        ended.insert(local.sin_port);
        ResetOnClose(fd.get());
        fd = Fd();
    }
    auto listsEnded = [&](const std::vector<netlink::SocketRow>& rows) {
        for (const auto& [cookie, row] : Ours(rows, port, before))
            if (ended.count(row.dwLocalPort) || ended.count(row.dwRemotePort))
                return true;
        return false;
    };
    for (int attempt = 0; attempt < 200; ++attempt) {
        ASSERT_TRUE(netlink::DumpTcpSockets(dump));
        if (!listsEnded(dump))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(listsEnded(dump)) << "the kernel still lists the reset connections";
    feed->Drain(&table);
    EXPECT_TRUE(listsEnded(table.Rows())) << "their timewait and request rows left no event";
    diff = ResyncEventlessAndCompare(*feed, table, port, before);
    if (uint64_t lost = feed->LostEvents())
        GTEST_SKIP() << lost << " events were lost on this busy machine";
    EXPECT_EQ(diff, "");
    EXPECT_EQ(CountState(table.Rows(), port, before, api::MIB_TCP_STATE_SYN_RCVD), 0);
}

// The engine over the real platform: a fresh Manager with no window, the test's port blocked.
class EventFedCut : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        linuxfeed::ResetTableSourceForTesting();
        InitTcpStateNames();
        ClearConnectionCache();
        oManager = std::make_unique<Manager>();
        oManager->oAllowedIP->Reset();
        oManager->oAllowedIP->AddItem(Variant::Text("127.0.0.1"));
    }
    void TearDown() override {
        oManager.reset();
        linuxfeed::RefuseLoadForTesting(false);
        linuxfeed::ResetTableSourceForTesting();
    }

    // Scans until the client sees its connection reset; bounded.
    static bool ScanUntilReset(int client) {
        for (int pass = 0; pass < 2000; ++pass) {
            ScanTcpTable();
            char byte;
            ssize_t n = recv(client, &byte, 1, MSG_DONTWAIT);
            // The cut end reads ECONNABORTED, its peer ECONNRESET.
            if (n < 0 && (errno == ECONNRESET || errno == ECONNABORTED))
                return true;
            if (n == 0)
                return false; // an orderly close is not a cut
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

TEST_F(EventFedCut, BlockedConnectionIsCutThroughTheEventFedTable) {
    std::string why;
    if (!linuxfeed::BpfFeed::Open(why))
        GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;

    auto listener = loopback::Listen("127.0.0.2");
    ASSERT_TRUE(listener);
    oManager->oBlockedRemotePorts->AddItem(Variant::Long(listener->port));
    ScanTcpTable(); // seeds the table before the connection exists
    ASSERT_EQ(linuxfeed::CurrentTableMode(), linuxfeed::TableMode::EventFed);

    auto c = loopback::Connect(*listener, "127.0.0.2", "127.0.0.3");
    ASSERT_TRUE(c);
    EXPECT_TRUE(ScanUntilReset(c->client.get()));
    EXPECT_EQ(linuxfeed::CurrentTableMode(), linuxfeed::TableMode::EventFed);
    EXPECT_TRUE(fake::P().notices.empty());
}

TEST_F(EventFedCut, RefusedProgramFallsBackToADumpPerReadAndStillCuts) {
    linuxfeed::RefuseLoadForTesting(true);
    auto listener = loopback::Listen("127.0.0.2");
    ASSERT_TRUE(listener);
    oManager->oBlockedLocalPorts->AddItem(Variant::Long(listener->port));

    auto c = loopback::Connect(*listener, "127.0.0.2", "127.0.0.3");
    ASSERT_TRUE(c);
    // The server's end has the blocked local port; cutting it resets the client.
    EXPECT_TRUE(ScanUntilReset(c->client.get()));
    EXPECT_EQ(linuxfeed::CurrentTableMode(), linuxfeed::TableMode::DumpPerCall);

    // Said once, however many reads follow, and with what to grant.
    ScanTcpTable();
    ASSERT_EQ(fake::P().notices.size(), 1u);
    std::u16string notice = fake::P().notices[0];
    EXPECT_NE(notice.find(u"cap_bpf"), std::u16string::npos);
    EXPECT_NE(notice.find(u"CAP_BPF"), std::u16string::npos) << "the reason is part of it";
}

} // namespace
