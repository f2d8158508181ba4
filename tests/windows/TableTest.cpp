// A real loopback connection in the live table (Wine's lists the host's sockets).
#include "container/List.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/windows/TcpTable.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include <winsock2.h>
#include <ws2tcpip.h>

// A listener on loopback at a port the system picks, a client (over IPv4 from 127.0.0.2), the
// served side.
template <typename Address> struct Link {
    static constexpr int family = std::is_same_v<Address, sockaddr_in> ? AF_INET : AF_INET6;
    SOCKET s[3] = {socket(family, SOCK_STREAM, 0), socket(family, SOCK_STREAM, 0), INVALID_SOCKET};
    Address server{}, peer{};
    int size = sizeof(Address);
    bool Open() {
        if constexpr (family == AF_INET) {
            server.sin_family = peer.sin_family = AF_INET;
            server.sin_addr.s_addr = inet_addr("127.0.0.1");
            peer.sin_addr.s_addr = inet_addr("127.0.0.2");
            if (bind(s[1], (sockaddr*)&peer, size))
                return false;
        } else {
            server.sin6_family = peer.sin6_family = AF_INET6;
            server.sin6_addr = in6addr_loopback;
        }
        return s[0] != INVALID_SOCKET && !bind(s[0], (sockaddr*)&server, size) &&
               !listen(s[0], 1) && !getsockname(s[0], (sockaddr*)&server, &size) &&
               !connect(s[1], (sockaddr*)&server, size) &&
               !getsockname(s[1], (sockaddr*)&peer, &size) &&
               (s[2] = accept(s[0], nullptr, nullptr)) != INVALID_SOCKET;
    }
    ~Link() { std::for_each(std::begin(s), std::end(s), closesocket); }
};

// A row as the Linux layer writes it: little-endian state, each end's address and port as sent.
static std::array<uint8_t, 20> Image(uint8_t state, sockaddr_in local, sockaddr_in remote) {
    std::array<uint8_t, 20> row{state};
    std::memcpy(&row[4], &local.sin_addr, 4);
    std::memcpy(&row[8], &local.sin_port, 2);
    std::memcpy(&row[12], &remote.sin_addr, 4);
    std::memcpy(&row[16], &remote.sin_port, 2);
    return row;
}

// Our rows appear once each, byte for byte; only the served side is cut (state 12): the listener
// is not connected, the client's peer 127.0.0.1 is allowed. Wine's SetTcpEntry does nothing.
TEST(WindowsTable, LoopbackRowsAndVerdict) {
    ASSERT_EQ(api::WSAStartup(0x0101), 0);
    Link<sockaddr_in> link;
    ASSERT_TRUE(link.Open()) << WSAGetLastError();
    TcpTable table;
    ASSERT_EQ(table.Read(), 0u);
    const std::array<uint8_t, 20> ours[] = {Image(2, link.server, {}),
                                            Image(5, link.server, link.peer),
                                            Image(5, link.peer, link.server)};
    std::array<int, 3> found{};
    bool shared = false;
    for (uint32_t i = 0; i < table.EntryCount(); ++i) {
        const api::MIB_TCPROW& r = table.Row(i);
        for (int k = 0; k < 3; ++k)
            found[k] += std::memcmp(&r, ours[k].data(), 20) == 0;
        for (const sockaddr_in& end : {link.server, link.peer})
            shared |= r.dwLocalPort == end.sin_port && r.dwLocalAddr != end.sin_addr.s_addr;
    }
    EXPECT_EQ(found, (std::array<int, 3>{1, 1, 1}));
    if (shared) // a port is blocked on every address: never decide another program's connection
        GTEST_SKIP() << "another connection shares a port of ours";

    std::vector<api::MIB_TCPROW> cuts;
    win::SetCutObserver([&](const api::MIB_TCPROW& row, uint32_t result) {
        cuts.push_back(row);
        EXPECT_TRUE(result == 0 || result == 5) << result; // 5: no administrator rights
    });
    oManager = std::make_unique<Manager>();
    oManager->oAllowedIP->AddItem(Variant::Text("127.0.0.1"));
    for (const sockaddr_in& end : {link.server, link.peer})
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(ntohs(end.sin_port)));
    ScanTcpTable();
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(std::memcmp(&cuts[0], Image(12, link.server, link.peer).data(), 20), 0);
}

static api::MIB_TCP6ROW Row6(uint32_t state, const sockaddr_in6& local,
                             const sockaddr_in6* remote) {
    api::MIB_TCP6ROW row{state, {}, local.sin6_scope_id, local.sin6_port, {}, 0, 0};
    std::memcpy(row.LocalAddr.Byte, &local.sin6_addr, 16);
    if (remote) {
        std::memcpy(row.RemoteAddr.Byte, &remote->sin6_addr, 16);
        row.dwRemoteScopeId = remote->sin6_scope_id;
        row.dwRemotePort = remote->sin6_port;
    }
    return row;
}

// Field for field, but for two things Wine fills in its own way: the scope ids (4096 on [::1]),
// and a listener's remote address (its local one).
static bool Same(const api::MIB_TCP6ROW& a, const api::MIB_TCP6ROW& b) {
    const bool listener = b.State == api::MIB_TCP_STATE_LISTEN;
    return a.State == b.State && std::memcmp(&a.LocalAddr, &b.LocalAddr, 16) == 0 &&
           a.dwLocalPort == b.dwLocalPort && a.dwRemotePort == b.dwRemotePort &&
           (listener || std::memcmp(&a.RemoteAddr, &b.RemoteAddr, 16) == 0);
}

// Our IPv6 rows appear once each, field for field; the engine's cut of the served side answers
// 50 (Windows cannot reset an IPv6 connection), and the user is told so once.
TEST(WindowsTable, Ipv6LoopbackRowsAndTheCutThatCannotBe) {
    ASSERT_EQ(api::WSAStartup(0x0101), 0);
    Link<sockaddr_in6> link;
    if (!link.Open())
        GTEST_SKIP() << "no IPv6 loopback here: " << WSAGetLastError();
    Tcp6Table table;
    ASSERT_EQ(table.Read(), 0u);
    const api::MIB_TCP6ROW ours[] = {Row6(2, link.server, nullptr),
                                     Row6(5, link.server, &link.peer),
                                     Row6(5, link.peer, &link.server)};
    std::array<int, 3> found{};
    for (uint32_t i = 0; i < table.EntryCount(); ++i)
        for (int k = 0; k < 3; ++k)
            found[k] += Same(table.Row(i), ours[k]);
    EXPECT_EQ(found, (std::array<int, 3>{1, 1, 1})) << table.EntryCount() << " IPv6 rows";

    fake::Reset();
    oManager = std::make_unique<Manager>();
    oManager->oBlockedLocalPorts->AddItem(Variant::Long(ntohs(link.server.sin6_port)));
    ClearConnectionCache();
    ScanTcpTable();
    ScanTcpTable();
    EXPECT_EQ(fake::P().notices.size(), 1u);
    EXPECT_NE(fake::P().notices.at(0).find(u"IPv6 connections cannot be cut"),
              std::u16string::npos);
}
