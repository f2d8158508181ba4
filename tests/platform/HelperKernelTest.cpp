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
#include <functional>
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
    helper::ResetRequest r;
    r.family = AF_INET;
    r.cookie = s.cookie;
    std::memcpy(r.local, id.idiag_src, sizeof r.local);
    std::memcpy(r.remote, id.idiag_dst, sizeof r.remote);
    r.localPort = id.idiag_sport;
    r.remotePort = id.idiag_dport;
    return r;
}

TEST(HelperKernel, ResetsOnlyTheEstablishedSocketNamedExactly) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the helper of the build gets its rights only when root starts it";
    Helper h;
    ASSERT_GT(h.pid, 0);
    ASSERT_EQ(h.hello.canCut, 1u) << h.hello.reason;
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

// The window gets the ring and the loss counters, frozen, and asks for the skipped runs: never the
// program, which whoever holds it could attach again, with no capability at all.
TEST(HelperKernel, HandsTheWindowOnlyWhatItReads) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the helper of the build gets its rights only when root starts it";
    Helper h;
    ASSERT_EQ(h.hello.feedError, 0) << h.hello.reason;
    std::error_code ignored; // the iterator's own descriptor is gone when read
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        EXPECT_NE(std::filesystem::read_symlink(fd, ignored).string(), "anon_inode:bpf-prog");
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, h.fds[1], 0), MAP_FAILED)
        << "the counters are frozen";
    const helper::MissesRequest request;
    helper::MissesResult answer;
    ASSERT_TRUE(h.Ask(&request, sizeof request, answer));
    EXPECT_EQ(answer.known, 1u);
}

std::string CapabilityLines() {
    std::ifstream status("/proc/self/status");
    std::string lines;
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:") || line.starts_with("CapPrm:") ||
            line.starts_with("CapInh:"))
            lines += line + "\n";
    return lines;
}

// Runs body in a child that gave up every capability but stays uid 0; what it reports, or "".
std::string WithoutCapabilities(const std::function<std::string()>& body) {
    int report[2];
    if (pipe(report) != 0)
        return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        std::string out;
        if (!caps::KeepOnly(0))
            out += "capset failed\n";
        const std::string sets = CapabilityLines();
        if (sets != "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\n"
                    "CapEff:\t0000000000000000\n")
            out += "holds capabilities:\n" + sets;
        out += body();
        linuxfeed::ResetTableSourceForTesting();
        (void)!write(report[1], out.data(), out.size());
        _exit(0);
    }
    close(report[1]);
    std::string out;
    char buffer[256];
    pollfd p{report[0], POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&p, 1, 20000) == 1;)
        if ((n = read(report[0], buffer, sizeof buffer)) > 0)
            out.append(buffer, size_t(n));
    close(report[0]);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : out + "the child failed\n";
}

// A table read, then a cut, as the engine does them.
void ReadThenCut(const Connection4& c, std::string& out, linuxfeed::TableMode mode,
                 uint32_t expected, const char* what) {
    if (TcpTableBuffer.Read() != api::NO_ERROR_)
        out += "the table was not read\n";
    if (linuxfeed::CurrentTableMode() != mode)
        out += "not in the expected table mode\n";
    api::MIB_TCPROW row = c.row;
    row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
    if (const uint32_t result = api::SetTcpEntry(&row); result != expected)
        out += what + (" answered " + std::to_string(result)) + "\n";
}

TEST(HelperKernel, AProcessWithoutCapabilitiesCutsOnlyThroughTheHelper) {
    const bool root = geteuid() == 0; // the helper of the build gets its rights only from root
    auto listener = Listen("127.0.0.2"), listener6 = Listen("::");
    ASSERT_TRUE(listener && listener6);
    auto c = Connect(*listener, "127.0.0.2", "127.0.0.5"),
         other = Connect(*listener, "127.0.0.2", "127.0.0.6");
    auto c6 = Connect6(*listener6);
    ASSERT_TRUE(c && other && c6);
    EXPECT_EQ(WithoutCapabilities([&] {
                  std::string out;
                  linuxfeed::SetHelperPathForTesting("/nonexistent/okgate-helper");
                  linuxfeed::ResetTableSourceForTesting();
                  ReadThenCut(*c, out, linuxfeed::TableMode::DumpPerCall, api::ERROR_ACCESS_DENIED,
                              "without the helper the cut");
                  auto news = api::TakePlatformNews();
                  const auto& notices = news.notices;
                  if (notices.size() != 1 || notices[0].find(u"not installed") == notices[0].npos ||
                      notices[0].find(u"sudo adduser") == notices[0].npos ||
                      news.cutting != false ||
                      api::CutRefusedText(5).find(u"not installed") == std::u16string::npos)
                      out += "not told once why, how to get the right and that it cannot cut\n";
                  if (!root)
                      return out;
                  linuxfeed::SetHelperPathForTesting(OKG_HELPER);
                  linuxfeed::ResetTableSourceForTesting();
                  ReadThenCut(*c, out, linuxfeed::TableMode::EventFed, api::NO_ERROR_, "the cut");
                  api::MIB_TCP6ROW row6 = c6->row;
                  row6.State = api::MIB_TCP_STATE_DELETE_TCB;
                  if (Tcp6TableBuffer.Read() || api::SetTcp6Entry(&row6))
                      out += "the IPv6 cut did not go through\n";
                  const auto own = Find(other->row);
                  if (!own || netlink::CutTcpSocket(*own) != api::ERROR_ACCESS_DENIED)
                      out += "the process could cut by itself\n";
                  // The helper killed by its id is started again at the next read, told both ways;
                  // a blocked connection made two seconds later is cut.
                  api::TakePlatformNews();
                  if (kill(linuxfeed::HelperPidForTesting(), SIGKILL) != 0)
                      out += "no helper to kill\n";
                  usleep(100000);
                  TcpTableBuffer.Read();
                  news = api::TakePlatformNews();
                  if (news.notices.size() != 2 ||
                      news.notices[0].find(u"killed by signal 9") == std::u16string::npos ||
                      news.notices[1].find(u"Cutting is back") == std::u16string::npos ||
                      news.cutting != true)
                      out += "the end and the return of the helper were not told\n";
                  sleep(2);
                  const auto later = Connect(*listener, "127.0.0.2", "127.0.0.7");
                  if (!later)
                      return out + "no later connection\n";
                  ReadThenCut(*later, out, linuxfeed::TableMode::EventFed, api::NO_ERROR_,
                              "two seconds later the cut");
                  if (!IsReset(ReadError(later->client.fd)))
                      out += "the later connection was not reset\n";
                  return out;
              }),
              "");
    EXPECT_EQ(IsReset(ReadError(c->client.fd)), root);
    EXPECT_EQ(IsReset(ReadError(c->server.fd)), root);
    EXPECT_EQ(IsReset(ReadError(c6->client.fd)), root);
    EXPECT_TRUE(StillConnected(*other));
}

} // namespace
