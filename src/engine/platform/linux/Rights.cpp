#include "engine/platform/linux/Rights.h"

#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/Capabilities.h"
#include "helper/HelperProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

namespace okg::linuxfeed {

namespace {

// An answer the helper has not given within this long will not come.
constexpr int AnswerMilliseconds = 5000;

// The helper process and our end of its socket pair.
class HelperProcess {
public:
    // Starts it and reads its greeting; null with the reason in whyNot when it cannot be run or
    // holds no right to cut. fds receives the feed's descriptors, or feedWhyNot why there are none.
    static std::unique_ptr<HelperProcess> Start(const std::string& path, std::string& whyNot,
                                                FeedDescriptors& fds, std::string& feedWhyNot);
    ~HelperProcess();

    uint32_t Reset(uint8_t family, const inet_diag_sockid& id);
    bool Alive();
    int Channel() const { return fd_; }

private:
    HelperProcess(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
    bool Wait(short events);
    void Lost();

    int fd_;
    pid_t pid_;
};

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path, std::string& whyNot,
                                                    FeedDescriptors& fds, std::string& feedWhyNot) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        whyNot = "no socket for okgate-helper: " + std::string(std::strerror(errno));
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls here: the window may run other threads.
        const int fd = pair[1];
        if (fd == helper::ChannelFd)
            fcntl(fd, F_SETFD, 0);
        else
            dup2(fd, helper::ChannelFd);
        char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
        char* const envp[] = {nullptr};
        execve(path.c_str(), argv, envp);
        helper::Hello failed;
        failed.startError = errno;
        send(helper::ChannelFd, &failed, sizeof failed, MSG_NOSIGNAL);
        _exit(127);
    }
    close(pair[1]);
    if (pid < 0) {
        close(pair[0]);
        whyNot = "okgate-helper could not be started: " + std::string(std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<HelperProcess> self(new HelperProcess(pair[0], pid));

    helper::Hello hello;
    iovec io{&hello, sizeof hello};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = -1;
    if (self->Wait(POLLIN))
        n = recvmsg(self->fd_, &msg, MSG_CMSG_CLOEXEC);
    int received[3] = {-1, -1, -1};
    size_t count = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            std::memcpy(received, CMSG_DATA(c), std::min<size_t>(count, 3) * sizeof(int));
        }
    const bool whole = n == sizeof hello && hello.type == helper::HelloMessage &&
                       !(msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
    hello.reason[sizeof hello.reason - 1] = 0;
    if (whole && hello.feedError == 0 && count == 3) {
        fds = {received[0], hello.ringBytes, received[1], received[2]};
    } else {
        for (int fd : received)
            if (fd >= 0)
                close(fd);
        feedWhyNot = hello.reason[0] ? hello.reason : "okgate-helper did not load the program";
    }
    if (!whole) {
        whyNot = "okgate-helper ended at start";
    } else if (hello.startError == ENOENT) {
        whyNot = "okgate-helper is not installed beside the program";
    } else if (hello.startError == EACCES || hello.startError == EPERM) {
        whyNot = "this user may not run okgate-helper (not a member of the group okgate, or not "
                 "logged in again since joining it)";
    } else if (hello.startError) {
        whyNot = "okgate-helper could not be run: " + std::string(std::strerror(hello.startError));
    } else if (!hello.canCut) {
        whyNot = "okgate-helper holds no capabilities (setting them failed at install, or this "
                 "system refuses them)";
    } else {
        return self;
    }
    if (fds.ring >= 0) { // a feed without the right to cut is of no use: the dump mode tells
        for (int fd : {fds.ring, fds.counters, fds.program})
            close(fd);
        fds = {};
    }
    return nullptr;
}

HelperProcess::~HelperProcess() {
    if (fd_ >= 0)
        close(fd_); // the helper ends at once: it reads the end of the pair
    for (int waited = 0; pid_ > 0 && waited < 100; ++waited) {
        if (waitpid(pid_, nullptr, WNOHANG) != 0)
            return;
        usleep(10000);
    }
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
}

bool HelperProcess::Wait(short events) {
    pollfd p{fd_, events, 0};
    for (;;) {
        const int ready = poll(&p, 1, AnswerMilliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready == 1 && (p.revents & events);
    }
}

void HelperProcess::Lost() {
    close(fd_);
    fd_ = -1;
}

uint32_t HelperProcess::Reset(uint8_t family, const inet_diag_sockid& id) {
    if (fd_ < 0)
        return api::ERROR_ACCESS_DENIED;
    helper::ResetRequest request;
    request.family = family;
    request.cookie = uint64_t(id.idiag_cookie[1]) << 32 | id.idiag_cookie[0];
    std::memcpy(request.local, id.idiag_src, sizeof request.local);
    std::memcpy(request.remote, id.idiag_dst, sizeof request.remote);
    request.localPort = id.idiag_sport;
    request.remotePort = id.idiag_dport;
    request.ifindex = id.idiag_if;
    helper::ResetResult answer;
    if (send(fd_, &request, sizeof request, MSG_NOSIGNAL) != sizeof request || !Wait(POLLIN) ||
        recv(fd_, &answer, sizeof answer, 0) != sizeof answer ||
        answer.type != helper::ResetResultMessage) {
        Lost(); // the right went with the helper
        return api::ERROR_ACCESS_DENIED;
    }
    return answer.result;
}

bool HelperProcess::Alive() {
    if (fd_ < 0)
        return false;
    // The helper says nothing unasked: anything readable is its end.
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && p.revents) {
        Lost();
        return false;
    }
    return true;
}

struct Rights {
    bool started = false;
    bool inProcess = false; // this process holds CAP_NET_ADMIN: it does everything itself
    std::unique_ptr<HelperProcess> helper;
    FeedDescriptors fds; // handed over by the helper, until the feed takes them
    std::string whyNot;  // why there is no helper
    std::string feedWhyNot;
};

Rights& State() {
    static Rights rights;
    return rights;
}

std::string helperPath;

std::string HelperPath() {
    if (!helperPath.empty())
        return helperPath;
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return (exe.parent_path() / "okgate-helper").string();
}

Rights& Started() {
    Rights& r = State();
    if (r.started)
        return r;
    r.started = true;
    r.inProcess = caps::Get().effective & caps::Bit(CAP_NET_ADMIN);
    if (!r.inProcess)
        r.helper = HelperProcess::Start(HelperPath(), r.whyNot, r.fds, r.feedWhyNot);
    return r;
}

} // namespace

std::unique_ptr<BpfFeed> OpenFeedWithRights(std::string& whyNot, bool& noRights) {
    Rights& r = Started();
    noRights = false;
    if (r.inProcess)
        return BpfFeed::Open(whyNot);
    if (!r.helper) {
        noRights = true;
        whyNot = r.whyNot;
        return nullptr;
    }
    if (r.fds.ring < 0) {
        whyNot = r.feedWhyNot;
        return nullptr;
    }
    return BpfFeed::FromDescriptors(std::exchange(r.fds, {}), whyNot);
}

bool FeedStillAttached() {
    Rights& r = State();
    return !r.helper || r.helper->Alive();
}

int HelperChannel() {
    const Rights& r = State();
    return r.helper ? r.helper->Channel() : -1;
}

uint32_t CutWithRights(const netlink::SocketRow& target) {
    Rights& r = Started();
    if (r.inProcess || !r.helper) // without the helper the kernel refuses: 5
        return netlink::CutTcpSocket(target);
    return netlink::CutInFamilies(target, [&](uint8_t family, const inet_diag_sockid& id) {
        return r.helper->Reset(family, id);
    });
}

void SetHelperPathForTesting(const std::string& path) {
    helperPath = path;
}

void ResetRightsForTesting() {
    Rights& r = State();
    for (int fd : {r.fds.ring, r.fds.counters, r.fds.program})
        if (fd >= 0)
            close(fd);
    r = Rights{};
}

} // namespace okg::linuxfeed
