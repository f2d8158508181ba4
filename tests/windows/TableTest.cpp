// The live Windows table (Wine's reads the host's sockets): a real loopback connection, found
// byte for byte in the layout the Linux layer writes, and decided by the engine.
#include "container/List.h"
#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/windows/TcpTable.h"
#include "manager/Manager.h"
#include "support/basNetwork.h"
#include "windows/Loopback.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using wintest::Address;
using wintest::Endpoint;
using wintest::Loopback;

using RowBytes = std::array<uint8_t, 20>;

void PutWord(uint8_t* at, uint32_t v) { // little-endian, as every field of the table
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(v >> (8 * i));
}

// A row as the Linux layer writes it: state, then address and port of each end; addresses in
// network order, a port's two network-order bytes first in its field and the upper half zero.
RowBytes Image(uint32_t state, Endpoint local, Endpoint remote) {
    RowBytes row{};
    PutWord(&row[0], state);
    std::memcpy(&row[4], &local.address, 4);
    row[8] = uint8_t(local.port >> 8);
    row[9] = uint8_t(local.port);
    std::memcpy(&row[12], &remote.address, 4);
    row[16] = uint8_t(remote.port >> 8);
    row[17] = uint8_t(remote.port);
    return row;
}

// The whole table as raw bytes, read with the size the platform asks for.
std::vector<uint8_t> ReadRaw() {
    std::vector<uint32_t> words(1);
    uint32_t size = 4;
    uint32_t result = api::ERROR_INSUFFICIENT_BUFFER;
    for (int tries = 0; tries < 8 && result == api::ERROR_INSUFFICIENT_BUFFER; ++tries) {
        words.assign(size / 4 + 1, 0);
        size = uint32_t(words.size() * 4);
        result = api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(words.data()), &size, 0);
    }
    EXPECT_EQ(result, api::NO_ERROR_);
    std::vector<uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

TEST(WindowsTable, RowsReadAsTheLinuxLayerWritesThem) {
    Loopback link;
    ASSERT_TRUE(link.ok()) << link.error();
    const Endpoint server = link.listener(), client = link.client();
    const Endpoint none{0, 0};
    ASSERT_EQ(client.address, Address("127.0.0.2"));

    const std::vector<uint8_t> bytes = ReadRaw();
    const uint32_t count = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
    ASSERT_LE(4 + count * 20, bytes.size());

    struct Expected {
        const char* what;
        RowBytes image;
    };
    const Expected rows[] = {
        {"listener", Image(api::MIB_TCP_STATE_LISTEN, server, none)},
        {"server side", Image(api::MIB_TCP_STATE_ESTAB, server, client)},
        {"client side", Image(api::MIB_TCP_STATE_ESTAB, client, server)},
    };
    for (const auto& row : rows) {
        int found = 0;
        for (uint32_t i = 0; i < count; ++i)
            found += std::memcmp(&bytes[4 + 20 * i], row.image.data(), 20) == 0;
        EXPECT_EQ(found, 1) << row.what;
    }

    // The engine's snapshot gives the same connection back through ntohs and AddressToText.
    TcpTable table;
    ASSERT_EQ(table.Read(), api::NO_ERROR_);
    int seen = 0;
    for (uint32_t i = 0; i < table.EntryCount(); ++i) {
        const api::MIB_TCPROW& r = table.Row(i);
        if (r.dwLocalAddr != server.address || api::ntohs(uint16_t(r.dwLocalPort)) != server.port ||
            r.dwState != api::MIB_TCP_STATE_ESTAB)
            continue;
        ++seen;
        EXPECT_EQ(api::ntohs(uint16_t(r.dwRemotePort)), client.port);
        EXPECT_EQ(AddressToText(r.dwRemoteAddr), u"127.0.0.2");
        EXPECT_EQ(AddressToText(r.dwLocalAddr), u"127.0.0.1");
    }
    EXPECT_EQ(seen, 1);
}

struct CutCase {
    const char* name;
    bool blockServerPort; // the listener's port, local port of the server side
    bool blockClientPort; // the client's port, local port of the client side
    const char* alsoAllowed;
    bool cutServerSide;
    bool cutClientSide;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const CutCase& c, std::ostream* out) {
    *out << c.name;
}

class WindowsCut : public testing::TestWithParam<CutCase> {
protected:
    void SetUp() override {
        InitTcpStateNames();
        ClearConnectionCache();
        oManager = std::make_unique<Manager>();
        oManager->oAllowedIP->AddItem(Variant::Text("127.0.0.1")); // the stored default
        win::SetCutObserver([this](const api::MIB_TCPROW& row, uint32_t result) {
            requests.push_back(row);
            results.push_back(result);
        });
    }
    void TearDown() override {
        win::SetCutObserver({});
        oManager.reset();
        ClearConnectionCache();
    }
    std::vector<api::MIB_TCPROW> requests;
    std::vector<uint32_t> results;
};

std::string Describe(const api::MIB_TCPROW& row) {
    const auto end = [](uint32_t address, uint32_t port) {
        return ToUtf8(AddressToText(address)) + ":" + std::to_string(api::ntohs(uint16_t(port)));
    };
    return "state " + std::to_string(row.dwState) + ", " + end(row.dwLocalAddr, row.dwLocalPort) +
           " to " + end(row.dwRemoteAddr, row.dwRemotePort);
}

bool Names(const api::MIB_TCPROW& row, Endpoint local, Endpoint remote) {
    return row.dwLocalAddr == local.address &&
           api::ntohs(uint16_t(row.dwLocalPort)) == local.port &&
           row.dwRemoteAddr == remote.address &&
           api::ntohs(uint16_t(row.dwRemotePort)) == remote.port;
}

// The engine blocks a port on every local address, and Wine's table lists the whole machine's
// sockets: a connection on the blocked port elsewhere (another program's, on 127.0.0.3 say)
// would be decided too. Take a connection whose two ports no other row uses; bounded tries.
std::unique_ptr<Loopback> ExclusiveLink() {
    for (int tries = 0; tries < 10; ++tries) {
        auto link = std::make_unique<Loopback>();
        if (!link->ok())
            return link;
        const Endpoint server = link->listener(), client = link->client();
        TcpTable table;
        if (table.Read() != api::NO_ERROR_)
            return link;
        bool foreign = false;
        for (uint32_t i = 0; i < table.EntryCount(); ++i) {
            const api::MIB_TCPROW& r = table.Row(i);
            const uint16_t port = api::ntohs(uint16_t(r.dwLocalPort));
            const bool ours = (r.dwLocalAddr == server.address && port == server.port) ||
                              (r.dwLocalAddr == client.address && port == client.port);
            foreign = foreign || (!ours && (port == server.port || port == client.port));
        }
        if (!foreign)
            return link;
    }
    return nullptr;
}

TEST_P(WindowsCut, DecidedThroughTheEngine) {
    const CutCase& c = GetParam();
    const std::unique_ptr<Loopback> held = ExclusiveLink();
    ASSERT_NE(held, nullptr) << "no connection with ports of its own";
    Loopback& link = *held;
    ASSERT_TRUE(link.ok()) << link.error();
    const Endpoint server = link.listener(), client = link.client();
    // Only local ports of the test's own sockets are blocked, so nothing else can be cut.
    if (c.blockServerPort)
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(server.port));
    if (c.blockClientPort)
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(client.port));
    if (c.alsoAllowed)
        oManager->oAllowedIP->AddItem(Variant::Text(c.alsoAllowed));

    ScanTcpTable();
    ScanTcpTable(); // a cut row keeps no verdict: asked again while it is listed

    bool serverSide = false, clientSide = false;
    for (const auto& row : requests) {
        EXPECT_EQ(row.dwState, api::MIB_TCP_STATE_DELETE_TCB);
        const bool s = Names(row, server, client), k = Names(row, client, server);
        EXPECT_TRUE(s || k) << "a cut asked for a connection the test does not own: "
                            << Describe(row);
        serverSide = serverSide || s;
        clientSide = clientSide || k;
    }
    EXPECT_EQ(serverSide, c.cutServerSide);
    EXPECT_EQ(clientSide, c.cutClientSide);
    if (requests.empty())
        return;

    if (wintest::UnderWine()) {
        // Wine's SetTcpEntry does nothing: only the request can be checked there.
        std::printf("Wine: SetTcpEntry answered %u and left the connection in place\n",
                    unsigned(results.front()));
    } else if (results.front() == api::NO_ERROR_) {
        EXPECT_TRUE(link.ClientWasReset());
    } else {
        // Without administrator rights Windows refuses the cut.
        EXPECT_EQ(results.front(), api::ERROR_ACCESS_DENIED);
        EXPECT_TRUE(link.Alive());
    }
}

const CutCase cutCases[] = {
    // The peer 127.0.0.2 is not on the allowed list: the server side goes; the listener, on the
    // same blocked port, is never cut.
    {"ServerPortBlocked", true, false, nullptr, true, false},
    // An allowed peer wins over the blocked port.
    {"ServerPortBlockedPeerAllowed", true, false, "127.0.0.2", false, false},
    // The client side's peer is 127.0.0.1, allowed by default.
    {"ClientPortBlockedPeerIsDefaultAllowed", false, true, nullptr, false, false},
    {"NothingBlocked", false, false, nullptr, false, false},
};

INSTANTIATE_TEST_SUITE_P(Loopback, WindowsCut, testing::ValuesIn(cutCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
