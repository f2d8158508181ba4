// okgate-helper on the real kernel, on the test's own loopback connections. The helper gets its
// rights as root's programs do, so these run as root (CI does).
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/Capabilities.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/Rights.h"
#include "engine/platform/linux/TableSource.h"
#include "platform/HelperProcess.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <sys/mman.h>

#include <filesystem>
#include <optional>
#include <string>

namespace {

using namespace okg;
using namespace loopback;
using helpertest::Helper;

// The kernel's entry of a socket of ours, by its table row.
std::optional<netlink::SocketRow> Find(const api::MIB_TCPROW& row) {
    std::vector<netlink::SocketRow> dump;
    if (!netlink::DumpTcpSockets(dump))
        return std::nullopt;
    for (const auto& s : dump)
        if (std::memcmp(&s.row, &row, sizeof row) == 0)
            return s;
    return std::nullopt;
}

helper::ResetRequest RequestFor(const netlink::SocketRow& s) {
    const inet_diag_sockid id = netlink::SocketIdOf(s, AF_INET);
    helper::ResetRequest r{.family = AF_INET, .cookie = s.cookie};
    r.localPort = id.idiag_sport;
    r.remotePort = id.idiag_dport;
    std::memcpy(r.local, id.idiag_src, sizeof r.local);
    std::memcpy(r.remote, id.idiag_dst, sizeof r.remote);
    return r;
}

// Started by root, it hands the window the ring and the loss counters, frozen, and answers what
// it asks for the skipped runs: never the program, which whoever holds it could attach again
// with no capability at all. It resets only the established socket a request names exactly.
TEST(HelperKernel, HandsOverOnlyWhatTheWindowReadsAndResetsOnlyTheSocketNamed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the helper of the build gets its rights only when root starts it";
    Helper h;
    ASSERT_GT(h.pid, 0);
    ASSERT_EQ(h.hello.canCut, 1u) << h.hello.reason;
    ASSERT_EQ(h.hello.feedError, 0) << h.hello.reason;
    std::error_code ignored; // the iterator's own descriptor is gone when read
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        EXPECT_NE(std::filesystem::read_symlink(fd, ignored).string(), "anon_inode:bpf-prog");
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, h.fds[1], 0), MAP_FAILED)
        << "the counters are frozen";
    const helper::MissesRequest misses;
    helper::MissesResult answer;
    ASSERT_TRUE(h.Ask(&misses, sizeof misses, answer));
    EXPECT_EQ(answer.known, 1u);
    auto listener = Listen("127.0.0.2");
    ASSERT_TRUE(listener);
    auto c = Connect(*listener, "127.0.0.2", "127.0.0.3");
    ASSERT_TRUE(c);
    const auto client = Find(c->row);
    const auto listening =
        Find({api::MIB_TCP_STATE_LISTEN, inet_addr("127.0.0.2"), htons(listener->port), 0, 0});
    ASSERT_TRUE(client && listening);

    const helper::ResetRequest exact = RequestFor(*client);
    helper::ResetRequest otherPort = exact, otherCookie = exact, otherWord = exact;
    otherPort.remotePort = htons(listener->port + 1);
    otherCookie.cookie = client->cookie + 1;
    otherWord.remote[1] = 1; // the kernel would look the IPv4 address up by its first word alone
    const struct {
        const char* what;
        helper::ResetRequest request;
    } refused[] = {
        {"the listener", RequestFor(*listening)},
        {"another remote port", otherPort},
        {"another cookie", otherCookie},
        {"an address with more than its own word", otherWord},
    };
    for (const auto& r : refused)
        EXPECT_EQ(h.Reset(r.request), api::ERROR_NOT_FOUND) << r.what;
    EXPECT_TRUE(StillConnected(*c));
    setfsuid(65534); // the client's socket is another user's
    auto foreign = Connect(*listener, "127.0.0.2", "127.0.0.4");
    setfsuid(0);
    const auto foreignClient = foreign ? Find(foreign->row) : std::nullopt;
    ASSERT_TRUE(foreignClient);
    EXPECT_EQ(h.Reset(RequestFor(*foreignClient)), api::ERROR_NOT_OWNER);
    EXPECT_TRUE(StillConnected(*foreign));

    EXPECT_EQ(h.Reset(exact), api::NO_ERROR_);
    EXPECT_TRUE(IsReset(ReadError(c->client.fd)));
    EXPECT_EQ(h.Reset(exact), api::ERROR_NOT_FOUND) << "gone";
}

// A table read, then a cut of c, as the engine does them.
uint32_t ReadThenCut(const Connection4& c, linuxfeed::TableMode mode) {
    EXPECT_EQ(TcpTableBuffer.Read(), api::NO_ERROR_);
    EXPECT_EQ(linuxfeed::CurrentTableMode(), mode);
    api::MIB_TCPROW row = c.row;
    row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
    return api::SetTcpEntry(&row);
}

// In a child that gave up every capability but stays uid 0.
TEST(HelperKernel, AProcessWithoutCapabilitiesCutsOnlyThroughTheHelper) {
    const bool root = geteuid() == 0; // the helper of the build gets its rights only from root
    auto listener = Listen("127.0.0.2"), listener6 = Listen("::");
    ASSERT_TRUE(listener && listener6);
    auto c = Connect(*listener, "127.0.0.2", "127.0.0.5"),
         other = Connect(*listener, "127.0.0.2", "127.0.0.6");
    auto c6 = Connect6(*listener6);
    ASSERT_TRUE(c && other && c6);
    const auto withoutCapabilities = [&] {
        ASSERT_TRUE(caps::KeepOnly(0));
        const caps::Sets held = caps::Get(); // as the kernel tells them
        ASSERT_EQ(held.effective | held.permitted | held.inheritable, 0u);
        rights::SetHelperPathForTesting("/nonexistent/okgate-helper");
        linuxfeed::ResetTableSourceForTesting();
        EXPECT_EQ(ReadThenCut(*c, linuxfeed::TableMode::DumpPerCall), api::ERROR_ACCESS_DENIED)
            << "without the helper";
        auto news = api::TakePlatformNews();
        ASSERT_EQ(news.notices.size(), 1u) << "told once why and how to get the right";
        EXPECT_NE(news.notices[0].find(u"not installed"), std::u16string::npos);
        EXPECT_NE(news.notices[0].find(u"sudo adduser"), std::u16string::npos);
        EXPECT_EQ(news.cutting, false);
        EXPECT_NE(api::CutRefusedText(5).find(u"not installed"), std::u16string::npos);
        if (!root)
            return;
        rights::SetHelperPathForTesting(OKG_HELPER);
        linuxfeed::ResetTableSourceForTesting();
        EXPECT_EQ(ReadThenCut(*c, linuxfeed::TableMode::EventFed), api::NO_ERROR_);
        api::MIB_TCP6ROW row6 = c6->row;
        row6.State = api::MIB_TCP_STATE_DELETE_TCB;
        EXPECT_EQ(Tcp6TableBuffer.Read(), api::NO_ERROR_);
        EXPECT_EQ(api::SetTcp6Entry(&row6), api::NO_ERROR_);
        // The helper killed by its id is started again at the next read, told both ways;
        // a blocked connection made two seconds later is cut.
        api::TakePlatformNews();
        const pid_t helper = rights::HelperPidForTesting(); // never -1: that kills everything
        ASSERT_GT(helper, 0);
        ASSERT_EQ(kill(helper, SIGKILL), 0);
        usleep(100000);
        TcpTableBuffer.Read();
        news = api::TakePlatformNews();
        ASSERT_EQ(news.notices.size(), 2u);
        EXPECT_NE(news.notices[0].find(u"killed by signal 9"), std::u16string::npos);
        EXPECT_NE(news.notices[1].find(u"Cutting is back"), std::u16string::npos);
        EXPECT_EQ(news.cutting, true);
        sleep(2);
        const auto later = Connect(*listener, "127.0.0.2", "127.0.0.7");
        ASSERT_TRUE(later);
        EXPECT_EQ(ReadThenCut(*later, linuxfeed::TableMode::EventFed), api::NO_ERROR_);
        EXPECT_TRUE(IsReset(ReadError(later->client.fd)));
    };
    EXPECT_EQ(helpertest::InChild([&] {
                  withoutCapabilities();
                  linuxfeed::ResetTableSourceForTesting(); // ends its helper
              }),
              0);
    EXPECT_EQ(IsReset(ReadError(c->client.fd)), root);
    EXPECT_EQ(IsReset(ReadError(c->server.fd)), root);
    EXPECT_EQ(IsReset(ReadError(c6->client.fd)), root);
    EXPECT_TRUE(StillConnected(*other));
}

} // namespace
