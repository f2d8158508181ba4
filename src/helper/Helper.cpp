// okgate-helper: the only part of the program that holds rights. Installed with the permitted
// capabilities cap_net_admin, cap_bpf and cap_perfmon and executable by the group okgate only,
// it is started by the window over a socket pair (its descriptor 3) and does two things: loads
// and attaches the BPF program and hands the window the descriptors it reads the events from;
// and resets a connection on request, only one that the kernel lists now as ESTABLISHED with
// exactly the fields named, and only the user's own unless /etc/okgate/helper.conf says otherwise.
// Any member of the group can run it directly, so it trusts nothing it is sent: anything malformed
// ends it. It ends when the window closes the pair.
#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/Capabilities.h"
#include "engine/platform/linux/DescriptorPassing.h"
#include "engine/platform/linux/HelperProtocol.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "helper/CutRule.h"
#include "helper/SystemCallFilter.h"

#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>

namespace {

using namespace okg;

constexpr int Channel = helper::ChannelFd;
constexpr uint8_t KernelEstablished = 1;

// Exit statuses, for whoever reads them: the window only sees the pair close.
enum Exit { Done = 0, Usage = 2, Malformed = 3, ChannelLost = 4, Busy = 5 };

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

void Send(const void* message, size_t length, std::span<const int> fds = {}) {
    if (!fdpass::Send(Channel, message, length, fds))
        End(ChannelLost, nullptr);
}

bool SameId(const inet_diag_sockid& a, const inet_diag_sockid& b) {
    return a.idiag_sport == b.idiag_sport && a.idiag_dport == b.idiag_dport &&
           std::memcmp(a.idiag_src, b.idiag_src, sizeof a.idiag_src) == 0 &&
           std::memcmp(a.idiag_dst, b.idiag_dst, sizeof a.idiag_dst) == 0 &&
           std::memcmp(a.idiag_cookie, b.idiag_cookie, sizeof a.idiag_cookie) == 0;
}

// Whose connections may be reset: the rule, and the user who started the helper.
struct Owners {
    helper::CutOwners rule = helper::CutOwners::Own;
    uid_t user = 0;
};

// Resets the socket the request names, if the kernel lists it now with exactly those fields, in
// ESTABLISHED, and owned by whom the rule allows. A result code of SetTcpEntry, or
// ERROR_NOT_OWNER.
uint32_t Reset(netlink::DiagSocket& diag, const helper::ResetRequest& request,
               const Owners& owners) {
    inet_diag_sockid id{};
    id.idiag_sport = request.localPort;
    id.idiag_dport = request.remotePort;
    std::memcpy(id.idiag_src, request.local, sizeof id.idiag_src);
    std::memcpy(id.idiag_dst, request.remote, sizeof id.idiag_dst);
    id.idiag_cookie[0] = uint32_t(request.cookie);
    id.idiag_cookie[1] = uint32_t(request.cookie >> 32);
    id.idiag_if = request.ifindex;
    if (netlink::IsNoCookie(id)) // the kernel would skip its cookie check
        return api::ERROR_INVALID_PARAMETER;
    const auto family = uint8_t(request.family);
    inet_diag_msg found{};
    if (const int error = netlink::LookupTcpSocket(diag, family, id, found))
        return netlink::CutResult(error);
    // The kernel found the socket by its addresses and ports, and may fall back to a listener:
    // the entry must be the very one named, and a connection.
    if (found.idiag_family != family || found.idiag_state != KernelEstablished ||
        !SameId(found.id, id))
        return api::ERROR_NOT_FOUND;
    // Another user's, root's or the kernel's: not for a member of the group to cut, unless the
    // administrator said so.
    if (owners.rule == helper::CutOwners::Own && found.idiag_uid != owners.user)
        return api::ERROR_NOT_OWNER;
    return netlink::CutResult(netlink::DestroyTcpSocket(diag, family, id));
}

constexpr uint64_t NetAdmin = caps::Bit(CAP_NET_ADMIN);
constexpr uint64_t Loading = NetAdmin | caps::Bit(CAP_BPF) | caps::Bit(CAP_PERFMON);

// Permitted by the file, raised here: only these three, and no way to gain more. Returns those
// held.
uint64_t RaiseCapabilities() {
    const uint64_t held = caps::Get().permitted & Loading;
    if (!caps::KeepOnly(held) || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        End(Usage, "cannot set its capabilities");
    return held;
}

// One helper per user. Each loads a program of its own, which runs at every TCP state change of
// the machine: a member starting helpers by the hundred would slow every connection down. The
// lock is the user's runtime folder, which the login session makes: its parent is root's, so the
// user cannot put another in its place, and no other user may open it to take the lock first.
// It goes with the process. A helper that is still ending is waited for a little. Root is not
// held to one: it holds these rights without any helper. 0 when taken, else an errno with why.
int LockOnePerUser(uid_t user, std::string& why) {
    if (user == 0)
        return 0;
    const std::string folder = "/run/user/" + std::to_string(user);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_uid != user) {
        why = "no runtime folder " + folder + " of this user: it runs in a login session only";
        return ENOENT;
    }
    for (int tries = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
        if (errno != EWOULDBLOCK || tries == 50) {
            why = "another okgate-helper serves this user already";
            return EBUSY;
        }
        usleep(10000);
    }
    return 0; // held open until the end
}

// Loads and attaches the program where the capabilities allow, and greets the window with its
// descriptors, or with why there are none. Null when not loaded.
std::unique_ptr<linuxfeed::BpfProgram> LoadAndGreet(uint64_t held) {
    helper::Hello hello;
    hello.canCut = (held & NetAdmin) ? 1 : 0;
    std::string whyNot;
    std::unique_ptr<linuxfeed::BpfProgram> program;
    if ((held & Loading) == Loading)
        program = linuxfeed::BpfProgram::Load(whyNot);
    else
        whyNot = "okgate-helper lacks cap_bpf and cap_perfmon";
    std::snprintf(hello.reason, sizeof hello.reason, "%s", whyNot.c_str());
    if (!program) {
        hello.feedError = EPERM;
        Send(&hello, sizeof hello);
        return nullptr;
    }
    const linuxfeed::FeedDescriptors fds = program->Descriptors();
    hello.ringBytes = fds.ringBytes;
    const int handed[] = {fds.ring, fds.counters};
    Send(&hello, sizeof hello, handed);
    return program;
}

// Loaded and handed over: only the right to reset remains, under the system call filter.
void DropToReset(uint64_t held) {
    if (!caps::KeepOnly(held & NetAdmin))
        End(Usage, "cannot drop its capabilities");
    if (!helper::Confine())
        End(Usage, "cannot install its system call filter");
}

// Answers requests until the window closes the pair; a malformed one ends the helper.
[[noreturn]] void Serve(netlink::DiagSocket& diag, const linuxfeed::BpfProgram* program,
                        const Owners& owners) {
    for (;;) {
        alignas(helper::ResetRequest) std::byte buffer[helper::LongestRequest + 1];
        const fdpass::Received got = fdpass::Receive(Channel, buffer);
        if (got.bytes == 0)
            End(Done, nullptr); // the window closed the pair
        if (got.bytes < 0)
            End(ChannelLost, "the socket to the window failed");
        const helper::Request request =
            helper::ParseRequest(std::span(buffer, size_t(got.bytes)), got.flags);
        if (request.kind == helper::Request::Refused)
            End(Malformed, request.refusal);
        if (request.kind == helper::Request::Misses) {
            helper::MissesResult answer;
            answer.known = program && program->SkippedRuns(answer.misses) ? 1 : 0;
            Send(&answer, sizeof answer);
            continue;
        }
        helper::ResetResult answer;
        answer.result = Reset(diag, request.reset, owners);
        Send(&answer, sizeof answer);
    }
}

} // namespace

int main() {
    clearenv();
    TidyDescriptors();
    const uint64_t held = RaiseCapabilities();
    std::string why;
    const Owners owners{helper::ReadCutRule(helper::CutRulePath, why), getuid()};
    if (!why.empty())
        std::fprintf(stderr, "okgate-helper: %s\n", why.c_str());
    if (std::string busy; const int error = LockOnePerUser(owners.user, busy)) {
        helper::Hello hello;
        hello.startError = error;
        std::snprintf(hello.reason, sizeof hello.reason, "%s", busy.c_str());
        Send(&hello, sizeof hello);
        End(Busy, hello.reason);
    }
    netlink::DiagSocket diag;
    diag.Open(); // before the filter denies sockets of any other kind
    // The program keeps its link here, so it goes when the helper does.
    const auto program = LoadAndGreet(held);
    DropToReset(held);
    Serve(diag, program.get(), owners);
}
