// okgate-helper: the only part of the program that holds rights. Installed with the permitted
// capabilities cap_net_admin, cap_bpf and cap_perfmon and executable by the group okgate only,
// it is started by the window over a socket pair (its descriptor 3) and does two things: loads
// and attaches the BPF program and hands the window the descriptors it reads the events from;
// and resets a connection on request, only one that the kernel lists now as ESTABLISHED with
// exactly the fields named. Any member of the group can run it directly, so it trusts nothing it
// is sent: anything malformed ends it. It ends when the window closes the pair.
#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/Capabilities.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "helper/HelperProtocol.h"

#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>

namespace {

using namespace okg;

constexpr int Channel = helper::ChannelFd;
constexpr uint8_t KernelEstablished = 1;

// Exit statuses, for whoever reads them: the window only sees the pair close.
enum Exit { Done = 0, Usage = 2, Malformed = 3, ChannelLost = 4 };

[[noreturn]] void End(Exit status, const char* why) {
    if (why)
        std::fprintf(stderr, "okgate-helper: %s\n", why); // never on the channel
    std::_Exit(status);
}

// Descriptors 0 and 1 on /dev/null, 2 kept for messages, the channel checked, every other
// inherited descriptor closed.
void TidyDescriptors() {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        End(Usage, "cannot open /dev/null");
    dup2(null, 0);
    dup2(null, 1);
    if (null > Channel)
        close(null);
    if (syscall(SYS_close_range, Channel + 1, ~0u, 0) != 0)
        for (int fd = Channel + 1; fd < 1024; ++fd)
            close(fd);
    int type = 0, domain = 0;
    socklen_t length = sizeof type;
    if (getsockopt(Channel, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET ||
        (length = sizeof domain, getsockopt(Channel, SOL_SOCKET, SO_DOMAIN, &domain, &length)) ||
        domain != AF_UNIX)
        End(Usage, "started without its socket: it is started by okgate");
    fcntl(Channel, F_SETFD, FD_CLOEXEC);
}

void Send(const void* message, size_t length, const int* fds = nullptr, size_t count = 0) {
    iovec io{const_cast<void*>(message), length};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    if (count) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    while (sendmsg(Channel, &msg, MSG_NOSIGNAL) < 0)
        if (errno != EINTR)
            End(ChannelLost, nullptr);
}

// From here on the helper only reads requests, asks the kernel over netlink and answers: any
// other system call ends it. The netlink socket may be opened again after a failed request.
bool Confine() {
#if defined(__SANITIZE_ADDRESS__) // the sanitizer's runtime needs more than the helper
    return true;
#else
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return false;
    bool ok = true;
    for (int call :
         {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(sendto), SCMP_SYS(write), SCMP_SYS(close),
          SCMP_SYS(bind), SCMP_SYS(getsockname), SCMP_SYS(setsockopt), SCMP_SYS(brk),
          SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(futex), SCMP_SYS(rt_sigreturn),
          SCMP_SYS(restart_syscall), SCMP_SYS(exit_group), SCMP_SYS(exit)})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    const scmp_arg_cmp netlinkOnly{0, SCMP_CMP_EQ, AF_NETLINK, 0}; // the first argument
    ok = ok &&
         seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1, &netlinkOnly) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
#endif
}

bool SameId(const inet_diag_sockid& a, const inet_diag_sockid& b) {
    return a.idiag_sport == b.idiag_sport && a.idiag_dport == b.idiag_dport &&
           std::memcmp(a.idiag_src, b.idiag_src, sizeof a.idiag_src) == 0 &&
           std::memcmp(a.idiag_dst, b.idiag_dst, sizeof a.idiag_dst) == 0 &&
           std::memcmp(a.idiag_cookie, b.idiag_cookie, sizeof a.idiag_cookie) == 0;
}

// Resets the socket the request names, if the kernel lists it now with exactly those fields, in
// ESTABLISHED. A result code of SetTcpEntry.
uint32_t Reset(netlink::DiagSocket& diag, const helper::ResetRequest& request) {
    if (request.cookie == INET_DIAG_NOCOOKIE) // the kernel would skip its cookie check
        return api::ERROR_INVALID_PARAMETER;
    inet_diag_sockid id{};
    id.idiag_sport = request.localPort;
    id.idiag_dport = request.remotePort;
    std::memcpy(id.idiag_src, request.local, sizeof id.idiag_src);
    std::memcpy(id.idiag_dst, request.remote, sizeof id.idiag_dst);
    id.idiag_cookie[0] = uint32_t(request.cookie);
    id.idiag_cookie[1] = uint32_t(request.cookie >> 32);
    id.idiag_if = request.ifindex;
    const auto family = uint8_t(request.family);
    inet_diag_msg found{};
    if (const int error = netlink::LookupTcpSocket(diag, family, id, found))
        return netlink::CutResult(error);
    // The kernel found the socket by its addresses and ports, and may fall back to a listener:
    // the entry must be the very one named, and a connection.
    if (found.idiag_family != family || found.idiag_state != KernelEstablished ||
        !SameId(found.id, id))
        return api::ERROR_NOT_FOUND;
    return netlink::CutResult(netlink::DestroyTcpSocket(diag, family, id));
}

} // namespace

int main() {
    clearenv();
    TidyDescriptors();

    // Permitted by the file, raised here: only these three, and no way to gain more.
    constexpr uint64_t NetAdmin = caps::Bit(CAP_NET_ADMIN);
    constexpr uint64_t Loading = NetAdmin | caps::Bit(CAP_BPF) | caps::Bit(CAP_PERFMON);
    const uint64_t held = caps::Get().permitted & Loading;
    if (!caps::KeepOnly(held) || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        End(Usage, "cannot set its capabilities");

    helper::Hello hello;
    hello.canCut = (held & NetAdmin) ? 1 : 0;
    netlink::DiagSocket diag;
    diag.Open(); // before anything is asked

    std::string whyNot;
    std::unique_ptr<linuxfeed::BpfProgram> program;
    if ((held & Loading) == Loading) {
        program = linuxfeed::BpfProgram::Load(whyNot);
        if (!program)
            hello.feedError = EPERM;
    } else {
        hello.feedError = EPERM;
        whyNot = "okgate-helper lacks cap_bpf and cap_perfmon";
    }
    std::snprintf(hello.reason, sizeof hello.reason, "%s", whyNot.c_str());
    if (program) {
        const linuxfeed::FeedDescriptors fds = program->Descriptors();
        hello.ringBytes = fds.ringBytes;
        const int handed[3] = {fds.ring, fds.counters, fds.program};
        Send(&hello, sizeof hello, handed, 3);
    } else {
        Send(&hello, sizeof hello);
    }
    // Loaded and handed over: only the right to reset remains. The program keeps its link here,
    // so it goes when the helper does.
    if (!caps::KeepOnly(held & NetAdmin))
        End(Usage, "cannot drop its capabilities");
    if (!Confine())
        End(Usage, "cannot install its system call filter");

    for (;;) {
        // One byte more than the largest request, so that a longer one shows as such.
        alignas(helper::ResetRequest) unsigned char buffer[sizeof(helper::ResetRequest) + 1];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec io{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(Channel, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            End(Done, nullptr); // the window closed the pair
        if (n < 0)
            End(ChannelLost, "the socket to the window failed");
        if (msg.msg_controllen != 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
            End(Malformed, "a request came with descriptors or was cut short");
        uint32_t type = 0;
        if (size_t(n) >= sizeof type)
            std::memcpy(&type, buffer, sizeof type);
        if (type != helper::ResetMessage || size_t(n) != sizeof(helper::ResetRequest))
            End(Malformed, "a malformed request");
        helper::ResetRequest request;
        std::memcpy(&request, buffer, sizeof request);
        if ((request.family != AF_INET && request.family != AF_INET6) ||
            (request.family == AF_INET && request.ifindex != 0))
            End(Malformed, "a malformed request");
        helper::ResetResult answer;
        answer.result = Reset(diag, request);
        Send(&answer, sizeof answer);
    }
}
