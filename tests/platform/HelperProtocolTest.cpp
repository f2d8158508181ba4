// okgate-helper trusts nothing it is sent: every malformed request is refused, and ends it; once
// confined it can do little else.
#include "engine/basAPI.h"
#include "helper/SystemCallFilter.h"
#include "platform/HelperProcess.h"

#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <linux/inet_diag.h>
#include <string>
#include <vector>

namespace {

using namespace okg;
using helpertest::Helper;

// A request of type for family on interface ifindex, cut to (or padded with zeros to) length.
std::vector<std::byte> Bytes(uint32_t type, uint32_t family = AF_INET, uint32_t ifindex = 0,
                             size_t length = sizeof(helper::ResetRequest)) {
    const helper::ResetRequest r{.type = type, .family = family, .cookie = 1, .ifindex = ifindex};
    std::vector<std::byte> bytes(length);
    std::memcpy(bytes.data(), &r, std::min(length, sizeof r));
    return bytes;
}

TEST(HelperProtocol, RefusesEveryRequestNoWindowSends) {
    using enum helper::MessageType;
    constexpr size_t Size = sizeof(helper::ResetRequest);
    const struct {
        const char* what;
        std::vector<std::byte> bytes;
        int flags = 0;
        const char* refusal = nullptr; // null: taken
    } cases[] = {
        {"an IPv4 request", Bytes(ResetMessage)},
        {"an IPv6 request on an interface", Bytes(ResetMessage, AF_INET6, 2)},
        {"the skipped runs asked for", Bytes(MissesMessage, 0, 0, 4)},
        {"the skipped runs with a byte more", Bytes(MissesMessage, 0, 0, 5), 0, "wrong length"},
        {"nothing", {}, 0, "a request without its type"},
        {"a type cut short", Bytes(ResetMessage, AF_INET, 0, 3), 0, "without its type"},
        {"one byte short", Bytes(ResetMessage, AF_INET, 0, Size - 1), 0, "of the wrong length"},
        {"one byte long", Bytes(ResetMessage, AF_INET, 0, Size + 1), 0, "of the wrong length"},
        {"cut short by the read", Bytes(ResetMessage), MSG_TRUNC, "cut short"},
        {"a descriptor sent along", Bytes(ResetMessage), MSG_CTRUNC, "with descriptors"},
        {"an unknown type", Bytes(0x6f6b00ff), 0, "an unknown request"},
        {"the helper's own message", Bytes(HelloMessage), 0, "an unknown request"},
        {"another address family", Bytes(ResetMessage, AF_UNIX), 0, "another address family"},
        {"an IPv4 request on an interface", Bytes(ResetMessage, AF_INET, 1), 0, "an interface"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const helper::Request r = helper::ParseRequest(c.bytes, c.flags);
        if (!c.refusal) {
            const bool reset = c.bytes.size() == Size;
            ASSERT_EQ(r.kind, reset ? helper::Request::Reset : helper::Request::Misses)
                << r.refusal;
            EXPECT_TRUE(!reset || std::memcmp(&r.reset, c.bytes.data(), Size) == 0);
        } else {
            EXPECT_EQ(r.kind, helper::Request::Refused);
            EXPECT_NE(std::string(r.refusal).find(c.refusal), std::string::npos) << r.refusal;
        }
    }
}

// The process: it greets, answers a well-formed request it cannot honour and goes on (the "no
// cookie" value, for which the kernel would skip its cookie check, and a socket that does not
// exist), runs under its system call filter, ends at the first malformed request without an
// answer, and cleanly when the window closes the pair. Started without its socket it refuses to
// run.
TEST(HelperProtocol, AnswersUntilAMalformedRequestOrTheEndOfThePair) {
    Helper h;
    ASSERT_GT(h.pid, 0);
    EXPECT_EQ(h.hello.type, helper::HelloMessage) << "it greets first";
    helper::ResetRequest request;
    request.family = AF_INET;
    request.local[0] = request.remote[0] = htonl(INADDR_LOOPBACK + 2);
    request.localPort = request.remotePort = htons(9); // nothing listens or connects there
    for (const auto& [cookie, result] :
         {std::pair{~uint64_t(0), api::ERROR_INVALID_PARAMETER},
          {uint64_t(INET_DIAG_NOCOOKIE), api::ERROR_NOT_FOUND},
          {uint64_t(INET_DIAG_NOCOOKIE) << 32, api::ERROR_NOT_FOUND}}) {
        request.cookie = cookie;
        EXPECT_EQ(h.Reset(request), result) << std::hex << cookie;
    }
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer build goes without the system call filter
    std::ifstream status("/proc/" + std::to_string(h.pid) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("Seccomp:"))
        continue;
    EXPECT_EQ(line, "Seccomp:\t2") << "confined to its few system calls";
#endif
    const int standardInput = 0;
    ASSERT_TRUE(fdpass::Send(h.fd, &request, sizeof request, std::span(&standardInput, 1)));
    EXPECT_EQ(h.Exit(5000), 3) << "a request with a descriptor ends it, as malformed";
    char byte;
    EXPECT_EQ(recv(h.fd, &byte, 1, MSG_DONTWAIT), 0) << "with no answer";

    Helper closed;
    ASSERT_GT(closed.pid, 0);
    shutdown(closed.fd, SHUT_RDWR);
    EXPECT_EQ(closed.Exit(5000), 0);
    EXPECT_EQ(helpertest::InChild([] {
                  close(helper::ChannelFd);
                  execl(OKG_HELPER, OKG_HELPER, nullptr);
              }),
              2);
}

#if !defined(__SANITIZE_ADDRESS__)
// Once confined, a process may open a sock_diag socket again and no other: any other ends it.
TEST(HelperProtocol, TheFilterLetsOnlyASockDiagSocketBeOpened) {
    const struct {
        int domain, type, protocol;
        bool lives;
    } cases[] = {
        {AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG, true},
        {AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK, NETLINK_SOCK_DIAG, true},
        {AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG, false},
        {AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE, false},
        {AF_INET, SOCK_STREAM, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(helpertest::InChild([&] {
                      if (!helper::Confine() || socket(c.domain, c.type, c.protocol) < 0)
                          _exit(1);
                  }),
                  c.lives ? 0 : -2)
            << c.domain << " " << c.type << " " << c.protocol;
}
#endif

// One per user, in its login session: the user's runtime folder is the lock.
TEST(HelperProtocol, ServesOneWindowPerUser) {
    const uid_t user = 2000000000 + uid_t(getpid() % 100000); // no one's
    const std::string folder = "/run/user/" + std::to_string(user);
    if (geteuid() != 0 || access("/run/user", W_OK) != 0 || access(folder.c_str(), F_OK) == 0)
        GTEST_SKIP() << "needs root to run a helper as a user of its own, with /run/user";
    const struct Removed {
        const std::string& path;
        ~Removed() { rmdir(path.c_str()); }
    } removed{folder};
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const Helper none(user); // a folder not the user's own: no login session, no helper
    EXPECT_EQ(none.hello.startError, ENOENT);
    EXPECT_NE(std::string(none.hello.reason).find(folder), std::string::npos);
    ASSERT_EQ(chown(folder.c_str(), user, user), 0);
    {
        Helper first(user);
        EXPECT_EQ(first.hello.startError, 0) << first.hello.reason;
        Helper second(user);
        EXPECT_EQ(second.hello.startError, EBUSY);
        EXPECT_EQ(second.Exit(5000), 5);
    }
    EXPECT_EQ(Helper(user).hello.startError, 0) << "the lock went with the first";
}

} // namespace
