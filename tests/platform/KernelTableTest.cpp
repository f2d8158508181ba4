// The table reader and the cut against the real kernel, on loopback connections the tests make,
// in both table modes. Which rows the engine cuts is the filter's business, not theirs.
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/TableSource.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

namespace {

using namespace loopback;
using namespace okg::linuxfeed;

template <typename Table, typename Row> long Count(const Table& buffer, const Row& row) {
    const std::span table(&buffer.Row(0), buffer.EntryCount());
    return std::ranges::count_if(table, [&](auto& r) { return !std::memcmp(&r, &row, sizeof r); });
}

// The states of the IPv4 rows at the ends of row, in table order.
std::vector<uint32_t> StatesAt(api::MIB_TCPROW ends) {
    std::vector<uint32_t> states;
    for (uint32_t i = 0; i < TcpTableBuffer.EntryCount(); ++i)
        if (ends.dwState = TcpTableBuffer.Row(i).dwState;
            !std::memcmp(&ends, &TcpTableBuffer.Row(i), sizeof ends))
            states.push_back(ends.dwState);
    return states;
}

// Each IPv4 and IPv6 socket the test made is a row of its table once, with its ends and state
// (those taken by the dual-stack listener are IPv4 rows); another namespace's never are. A cut
// resets the connection it names, both ends, and no other; one asked in another state is refused,
// and one of a gone connection is not found (by its 4-tuple alone it would resolve to its
// listener). Run with the BPF program refused (a dump per read, told once), then event-fed.
TEST(KernelTable, ListsTheSocketsAsTheyAreAndCutsOnlyTheOneNamed) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    std::string why;
    const bool loads = BpfFeed::Open(why) != nullptr;
    for (bool refused : {true, false}) {
        if (!refused && !loads)
            break;
        SCOPED_TRACE(refused ? "program refused" : "event-fed");
        ResetTableSourceForTesting();
        RefuseLoadForTesting(refused);
        api::TakePlatformNews();
        TcpTableBuffer.Read(); // the event-fed table learns what follows from events
        auto listener = Listen("127.0.0.3"), dual = Listen("::", true), listener6 = Listen("::");
        ASSERT_TRUE(listener && dual && listener6);
        std::vector<Connection4> others;
        for (int i = 0; i < 300; ++i)
            if (auto c = Connect(*listener, "127.0.0.3", "127.0.0.2"))
                others.push_back(std::move(*c));
        auto cut = Connect(*listener, "127.0.0.3", "127.0.0.5"),
             onDual = Connect(*dual, "127.0.0.3", "127.0.0.5"),
             closed = Connect(*listener, "127.0.0.3", "127.0.0.7");
        auto cut6 = Connect6(*listener6), other6 = Connect6(*listener6);
        std::optional<Listener> thereListener;
        std::optional<Connection4> there;
        ASSERT_TRUE(InOtherNamespace([&] {
            if ((thereListener = Listen("127.0.0.3")))
                there = Connect(*thereListener, "127.0.0.3", "127.0.0.6");
        }));
        ASSERT_TRUE(others.size() == 300 && cut && onDual && closed && cut6 && other6 && there);

        ASSERT_EQ(TcpTableBuffer.Read(), api::NO_ERROR_);
        ASSERT_EQ(Tcp6TableBuffer.Read(), api::NO_ERROR_);
        EXPECT_GT(TcpTableBuffer.EntryCount(), 600u) << "the whole table was read";
        const api::MIB_TCPROW listening{2, inet_addr("127.0.0.3"), htons(listener->port), 0, 0};
        for (const auto& row :
             {cut->row, cut->serverRow, onDual->row, onDual->serverRow, listening})
            EXPECT_EQ(Count(TcpTableBuffer, row), 1) << ntohs(uint16_t(row.dwLocalPort));
        EXPECT_EQ(Count(TcpTableBuffer, there->row) + Count(TcpTableBuffer, there->serverRow), 0);
        const api::MIB_TCP6ROW listening6{
            api::MIB_TCP_STATE_LISTEN, {}, 0, htons(listener6->port), {}, 0, 0};
        for (const auto& row : {cut6->row, cut6->serverRow, listening6})
            EXPECT_EQ(Count(Tcp6TableBuffer, row), 1) << ntohs(uint16_t(row.dwLocalPort));
        const std::span table6(&Tcp6TableBuffer.Row(0), Tcp6TableBuffer.EntryCount());
        EXPECT_EQ(std::ranges::count_if(table6,
                                        [&](auto& r) {
                                            return r.dwLocalPort == htons(dual->port) ||
                                                   r.dwRemotePort == htons(dual->port);
                                        }),
                  1)
            << "the dual-stack listener is an IPv6 row, its IPv4 connection never one";

        api::MIB_TCPROW row = cut->row, mapped = onDual->serverRow;
        api::MIB_TCP6ROW row6 = cut6->row;
        EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_INVALID_PARAMETER);
        EXPECT_EQ(api::SetTcp6Entry(&row6), api::ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(StillConnected(*cut) && StillConnected(*cut6));
        row.dwState = mapped.dwState = row6.State = api::MIB_TCP_STATE_DELETE_TCB;
        EXPECT_EQ(api::SetTcpEntry(&row), api::NO_ERROR_);
        EXPECT_EQ(api::SetTcpEntry(&mapped), api::NO_ERROR_);
        EXPECT_EQ(api::SetTcp6Entry(&row6), api::NO_ERROR_);
        for (const int fd :
             {cut->client.fd, cut->server.fd, onDual->client.fd, cut6->client.fd, cut6->server.fd})
            EXPECT_TRUE(IsReset(ReadError(fd))) << fd;
        EXPECT_EQ(std::ranges::count_if(others, StillConnected<Connection4>), 300);
        EXPECT_TRUE(StillConnected(*other6) && StillConnected(*there));
        // A connection its client closed first leaves one row, the client's in TIME_WAIT; a cut
        // one leaves none.
        closed->client = Fd();
        EXPECT_EQ(ReadError(closed->server.fd), -2);
        closed->server = Fd();
        // Loopback closes finish a little later; the server's end is the last to close. Only its
        // row is waited for: a resync that came meanwhile would bring the client's back.
        for (int i = 0; i < 200 && (TcpTableBuffer.Read(), !StatesAt(closed->serverRow).empty());
             ++i)
            usleep(10000);
        EXPECT_EQ(StatesAt(closed->row), std::vector<uint32_t>{api::MIB_TCP_STATE_TIME_WAIT});
        for (const auto& row : {closed->serverRow, cut->row, cut->serverRow})
            EXPECT_EQ(StatesAt(row), std::vector<uint32_t>()) << ntohs(uint16_t(row.dwLocalPort));

        row = cut->serverRow;
        row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
        EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_NOT_FOUND);
        EXPECT_EQ(api::SetTcp6Entry(&row6), api::ERROR_NOT_FOUND);
        EXPECT_TRUE(Connect(*listener, "127.0.0.3", "127.0.0.2") && Connect6(*listener6))
            << "the listeners live";
        EXPECT_EQ(CurrentTableMode(), refused ? TableMode::DumpPerCall : TableMode::EventFed);
        const auto notices = api::TakePlatformNews().notices;
        EXPECT_EQ(notices.size(), refused ? 1u : 0u);
        EXPECT_TRUE(!refused || notices.at(0).find(u"CAP_BPF") != std::u16string::npos);
    }
    RefuseLoadForTesting(false);
    ResetTableSourceForTesting();
    if (!loads)
        GTEST_SKIP() << "the BPF program cannot be loaded here: " << why;
}

// A row whose socket went while a newer one took its ends is cut through a fresh dump: the kernel
// finds no socket of the old one's cookie, and the connection now at those ends is cut.
TEST(KernelTable, CutsTheNewerSocketOfARowWhoseSocketWent) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    ResetTableSourceForTesting();
    TcpTableBuffer.Read();
    if (CurrentTableMode() != TableMode::EventFed)
        GTEST_SKIP() << "no event feed here";
    auto listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener);
    auto gone = Connect(*listener, "127.0.0.3", "127.0.0.7");
    ASSERT_TRUE(gone);
    TcpTableBuffer.Read(); // the table holds its row, and its socket's cookie
    api::MIB_TCPROW row = gone->row;
    row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
    ASSERT_EQ(api::SetTcpEntry(&row), api::NO_ERROR_);
    // The same ends again, before the table has read the events of the first one's end.
    const Address from = NameOf(gone->client.fd), to = At("127.0.0.3", listener->port);
    Fd newer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    setsockopt(newer.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(bind(newer.fd, &from.any, from.Length()), 0) << std::strerror(errno);
    ASSERT_EQ(connect(newer.fd, &to.any, to.Length()), 0) << std::strerror(errno);
    EXPECT_EQ(api::SetTcpEntry(&row), api::NO_ERROR_);
    EXPECT_TRUE(IsReset(ReadError(newer.fd)));
    ResetTableSourceForTesting();
}

} // namespace
