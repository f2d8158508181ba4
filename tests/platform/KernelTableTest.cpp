// The table reader and the cut against the real kernel, on loopback connections the tests make.
#include "Loopback.h"
#include "engine/platform/linux/NetlinkDiag.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace loopback;

api::MIB_TCPROW WithState(api::MIB_TCPROW row, uint32_t state) {
    row.dwState = state;
    return row;
}

const okg::netlink::SocketRow* Find(const std::vector<okg::netlink::SocketRow>& rows,
                                    const api::MIB_TCPROW& row) {
    for (const auto& r : rows)
        if (r.row.dwState == row.dwState && r.row.dwLocalAddr == row.dwLocalAddr &&
            r.row.dwLocalPort == row.dwLocalPort && r.row.dwRemoteAddr == row.dwRemoteAddr &&
            r.row.dwRemotePort == row.dwRemotePort)
            return &r;
    return nullptr;
}

bool IsReset(int error) {
    return error == ECONNRESET || error == ECONNABORTED;
}

TEST(KernelTable, ListsOwnConnectionThroughItsStates) {
    auto listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(c);

    const auto table = ReadTable();
    const api::MIB_TCPROW listening = {api::MIB_TCP_STATE_LISTEN, Addr("127.0.0.3"),
                                       htons(listener->port), 0, 0};
    EXPECT_EQ(CountRows(table, listening), 1);
    EXPECT_EQ(CountRows(table, c->ClientRow()), 1);
    EXPECT_EQ(CountRows(table, c->ServerRow()), 1);

    std::vector<okg::netlink::SocketRow> rows;
    ASSERT_TRUE(okg::netlink::DumpTcpSockets(rows));
    const auto* client = Find(rows, c->ClientRow());
    const auto* server = Find(rows, c->ServerRow());
    ASSERT_TRUE(client && server);
    EXPECT_NE(client->cookie, server->cookie);
    EXPECT_FALSE(client->v4mapped);

    // The client closes first: it waits in FIN_WAIT2 while the server is in CLOSE_WAIT, then
    // TIME_WAIT once the server has closed too.
    ASSERT_EQ(shutdown(c->client.get(), SHUT_WR), 0);
    EXPECT_TRUE(WaitForRow(WithState(c->ClientRow(), api::MIB_TCP_STATE_FIN_WAIT2)));
    EXPECT_TRUE(WaitForRow(WithState(c->ServerRow(), api::MIB_TCP_STATE_CLOSE_WAIT)));
    c->server = Fd();
    EXPECT_TRUE(WaitForRow(WithState(c->ClientRow(), api::MIB_TCP_STATE_TIME_WAIT)));
}

TEST(KernelTable, DualStackListenersConnectionIsAnIpv4Row) {
    auto listener = Listen(nullptr, 0, true);
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(c);

    const auto table = ReadTable();
    EXPECT_EQ(CountRows(table, c->ServerRow()), 1);
    EXPECT_EQ(CountRows(table, c->ClientRow()), 1);
    for (const auto& row : table) // the :: listener itself is IPv6 only
        EXPECT_FALSE(row.dwState == api::MIB_TCP_STATE_LISTEN &&
                     row.dwLocalPort == htons(listener->port));

    std::vector<okg::netlink::SocketRow> rows;
    ASSERT_TRUE(okg::netlink::DumpTcpSockets(rows));
    const auto* server = Find(rows, c->ServerRow());
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(server->v4mapped);
}

struct CutCase {
    const char* name;
    bool dualStack;
    bool serverSide; // cut the server's end (the client then sees the reset it sends)
};

class KernelCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(KernelCut, ResetsOnlyThatConnection) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    const CutCase& p = GetParam();
    auto listener = Listen("127.0.0.3", 0, p.dualStack);
    ASSERT_TRUE(listener);
    auto target = Connect(*listener, "127.0.0.3", "127.0.0.2");
    auto other = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(target && other);

    ReadTable(); // as the engine does right before a cut
    api::MIB_TCPROW row = p.serverSide ? target->ServerRow() : target->ClientRow();
    row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
    EXPECT_EQ(api::SetTcpEntry(&row), api::NO_ERROR_);

    const int error = ReadError(target->client.get());
    EXPECT_TRUE(IsReset(error)) << "client read gave " << error;
    const auto table = ReadTable();
    EXPECT_EQ(CountRows(table, p.serverSide ? target->ServerRow() : target->ClientRow()), 0);
    EXPECT_TRUE(StillConnected(*other));
    EXPECT_TRUE(Connect(*listener, "127.0.0.3", "127.0.0.2")) << "the listener survives";
}

INSTANTIATE_TEST_SUITE_P(, KernelCut,
                         ::testing::Values(CutCase{"ClientEnd", false, false},
                                           CutCase{"ServerEnd", false, true},
                                           CutCase{"DualStackClientEnd", true, false},
                                           CutCase{"DualStackServerEnd", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KernelCutRefused, AnotherStateIsAnInvalidParameter) {
    auto listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(c);
    for (uint32_t state : {api::MIB_TCP_STATE_ESTAB, api::MIB_TCP_STATE_CLOSED, 13u}) {
        api::MIB_TCPROW row = WithState(c->ClientRow(), state);
        EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(api::SetTcpEntry(nullptr), api::ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(StillConnected(*c));
}

TEST(KernelCutRefused, ConnectionThatIsGoneIsNotFoundAndItsListenerSurvives) {
    if (!HasNetAdmin())
        GTEST_SKIP() << NoNetAdmin;
    auto listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(c);
    ReadTable(); // the cut will name the connection as this read saw it

    // The client closes first, so the server's end leaves the table at once (no TIME_WAIT).
    // Looked up by its 4-tuple alone, the server row would now find the listener.
    c->client = Fd();
    ASSERT_EQ(ReadError(c->server.get()), -2);
    c->server = Fd();
    bool gone = false;
    for (int tries = 0; tries < 200 && !gone; ++tries) {
        std::vector<okg::netlink::SocketRow> rows;
        ASSERT_TRUE(okg::netlink::DumpTcpSockets(rows));
        gone = true;
        for (uint32_t state = 1; state <= 12; ++state)
            gone = gone && !Find(rows, WithState(c->ServerRow(), state));
        if (!gone)
            api::Sleep(5);
    }
    ASSERT_TRUE(gone);

    api::MIB_TCPROW row = WithState(c->ServerRow(), api::MIB_TCP_STATE_DELETE_TCB);
    EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_NOT_FOUND);
    EXPECT_TRUE(Connect(*listener, "127.0.0.3", "127.0.0.2")) << "the listener was destroyed";

    // A connection that never was, between ports this test holds.
    auto spare = Listen("127.0.0.2");
    ASSERT_TRUE(spare);
    row = {api::MIB_TCP_STATE_DELETE_TCB, Addr("127.0.0.2"), htons(spare->port), Addr("127.0.0.3"),
           htons(listener->port)};
    EXPECT_EQ(api::SetTcpEntry(&row), api::ERROR_NOT_FOUND);
}

// Drops CAP_NET_ADMIN from this process's effective set.
bool DropNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

TEST(KernelCutRefused, WithoutTheRightItIsAccessDenied) {
    auto listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(c);

    // In a child, so that this process keeps its rights.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!DropNetAdmin() || HasNetAdmin())
            _exit(100);
        ReadTable();
        api::MIB_TCPROW row = WithState(c->ClientRow(), api::MIB_TCP_STATE_DELETE_TCB);
        _exit(static_cast<int>(api::SetTcpEntry(&row)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(api::ERROR_ACCESS_DENIED));
    EXPECT_TRUE(StillConnected(*c));
}

} // namespace
