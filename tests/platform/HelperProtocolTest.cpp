// okgate-helper trusts nothing it is sent: every malformed request ends it, without an answer.
#include "engine/basAPI.h"
#include "platform/HelperProcess.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <linux/inet_diag.h>
#include <string>
#include <vector>

namespace {

using namespace okg;
using helpertest::Helper;

std::vector<unsigned char> Bytes(const helper::ResetRequest& r, size_t length) {
    std::vector<unsigned char> bytes(length, 0);
    std::memcpy(bytes.data(), &r, std::min(length, sizeof r));
    return bytes;
}

// Each case also carries a descriptor along when `descriptor` is set.
TEST(HelperProtocol, GreetsThenEndsAtTheFirstMalformedRequest) {
    helper::ResetRequest good;
    good.family = AF_INET;
    good.cookie = 1;
    helper::ResetRequest unknown = good, hello = good, family = good, zero = good;
    unknown.type = 0x6f6b00ff;
    hello.type = helper::HelloMessage;
    family.family = AF_UNIX;
    zero.ifindex = 1;
    const struct {
        const char* what;
        std::vector<unsigned char> bytes;
        bool descriptor = false;
    } cases[] = {
        {"a type cut short", Bytes(good, 3)},
        {"a request one byte short", Bytes(good, sizeof good - 1)},
        {"a request one byte long", Bytes(good, sizeof good + 1)},
        {"a request far too long", Bytes(good, 4096)},
        {"an unknown type", Bytes(unknown, sizeof unknown)},
        {"the helper's own message", Bytes(hello, sizeof hello)},
        {"another address family", Bytes(family, sizeof family)},
        {"an interface with an IPv4 request", Bytes(zero, sizeof zero)},
        {"a descriptor sent along", Bytes(good, sizeof good), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Helper h;
        ASSERT_GT(h.pid, 0);
        EXPECT_EQ(h.hello.type, helper::HelloMessage) << "it greets first";
        iovec io{const_cast<unsigned char*>(c.bytes.data()), c.bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{nullptr, 0, &io, 1, control, c.descriptor ? sizeof control : 0, 0};
        if (c.descriptor) {
            *CMSG_FIRSTHDR(&msg) = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
            std::memset(CMSG_DATA(CMSG_FIRSTHDR(&msg)), 0, sizeof(int)); // standard input
        }
        ASSERT_EQ(sendmsg(h.fd, &msg, MSG_NOSIGNAL), ssize_t(c.bytes.size()));
        EXPECT_EQ(h.Exit(5000), 3) << "it ends, as malformed";
        char byte;
        EXPECT_EQ(recv(h.fd, &byte, 1, MSG_DONTWAIT), 0) << "with no answer";
    }
}

// The window closing the pair ends it cleanly; a well-formed request it cannot honour is answered
// and the helper goes on: the "no cookie" value (the kernel would skip its cookie check) and a
// socket that does not exist. Meanwhile it runs under its system call filter.
TEST(HelperProtocol, AnswersWellFormedRequestsAndEndsWithThePair) {
    Helper h;
    ASSERT_GT(h.pid, 0);
    helper::ResetRequest request;
    request.family = AF_INET;
    request.cookie = INET_DIAG_NOCOOKIE;
    request.local[0] = request.remote[0] = htonl(INADDR_LOOPBACK + 2);
    request.localPort = request.remotePort = htons(9); // nothing listens or connects there
    EXPECT_EQ(h.Reset(request), api::ERROR_INVALID_PARAMETER);
    request.cookie = 12345;
    EXPECT_EQ(h.Reset(request), api::ERROR_NOT_FOUND);
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer build goes without the system call filter
    std::ifstream status("/proc/" + std::to_string(h.pid) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("Seccomp:")) {
    }
    EXPECT_EQ(line, "Seccomp:\t2") << "confined to its few system calls";
#endif
    shutdown(h.fd, SHUT_RDWR);
    EXPECT_EQ(h.Exit(5000), 0);
}

TEST(HelperProtocol, RefusesToRunWithoutItsSocket) {
    const pid_t pid = fork();
    if (pid == 0) {
        close(helper::ChannelFd);
        execl(OKG_HELPER, OKG_HELPER, nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

} // namespace
