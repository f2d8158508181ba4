// One engine pass over the real table: blocked connections are reset, the others survive.
#include "Loopback.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace loopback;

class EngineKernel : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HasNetAdmin())
            GTEST_SKIP() << NoNetAdmin;
        oManager = std::make_unique<Manager>();
        oManager->oAllowedIP->Reset(); // 127.0.0.1 and nothing else would be allowed by default
        oManager->oBlockedLocalPorts->Reset();
        oManager->oBlockedRemotePorts->Reset();
        ClearConnectionCache();
    }
    void TearDown() override {
        ClearConnectionCache();
        oManager.reset();
    }
    static void Block(uint16_t remotePort) {
        ASSERT_GE(oManager->oBlockedRemotePorts->AddItem(Variant::Long(remotePort)), 0);
    }
    static void Allow(const char* address) {
        ASSERT_GE(oManager->oAllowedIP->AddItem(Variant::Text(std::string_view(address))), 0);
    }
};

bool IsReset(int error) {
    return error == ECONNRESET || error == ECONNABORTED;
}

TEST_F(EngineKernel, OnePassResetsTheBlockedConnectionOnly) {
    // The blocked port on two server addresses, one of them allowed.
    std::optional<Listener> blocked, allowed;
    for (int tries = 0; tries < 20 && !allowed; ++tries) {
        blocked = Listen("127.0.0.3");
        ASSERT_TRUE(blocked);
        allowed = Listen("127.0.0.4", blocked->port);
    }
    ASSERT_TRUE(allowed) << "no port free on both 127.0.0.3 and 127.0.0.4";
    auto open = Listen("127.0.0.3");
    ASSERT_TRUE(open);

    auto cut = Connect(*blocked, "127.0.0.3", "127.0.0.2");
    auto shielded = Connect(*allowed, "127.0.0.4", "127.0.0.2");
    auto passed = Connect(*open, "127.0.0.3", "127.0.0.2");
    ASSERT_TRUE(cut && shielded && passed);
    Block(blocked->port);
    Allow("127.0.0.4");

    ScanTcpTable();

    const int error = ReadError(cut->client.get());
    EXPECT_TRUE(IsReset(error)) << "client read gave " << error;
    EXPECT_TRUE(StillConnected(*shielded));
    EXPECT_TRUE(StillConnected(*passed));

    // Decided and cached: a second pass leaves them alone too.
    ScanTcpTable();
    EXPECT_TRUE(StillConnected(*shielded));
    EXPECT_TRUE(StillConnected(*passed));
}

TEST_F(EngineKernel, BlockedConnectionAmongThreeHundredIsCut) {
    auto open = Listen("127.0.0.3");
    auto blocked = Listen("127.0.0.3");
    ASSERT_TRUE(open && blocked);
    std::vector<Connection> others;
    for (int i = 0; i < 300; ++i) {
        auto c = Connect(*open, "127.0.0.3", "127.0.0.2");
        ASSERT_TRUE(c) << "connection " << i;
        others.push_back(std::move(*c));
    }
    auto cut = Connect(*blocked, "127.0.0.3", "127.0.0.5");
    ASSERT_TRUE(cut);
    Block(blocked->port);

    ScanTcpTable();

    EXPECT_GT(TcpTableBuffer.EntryCount(), 600u) << "the whole table was read";
    const int error = ReadError(cut->client.get());
    EXPECT_TRUE(IsReset(error)) << "client read gave " << error;
    int alive = 0;
    for (const Connection& c : others)
        alive += StillConnected(c);
    EXPECT_EQ(alive, 300);
}

} // namespace
