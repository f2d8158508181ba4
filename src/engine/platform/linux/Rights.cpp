#include "engine/platform/linux/Rights.h"

#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/Capabilities.h"
#include "engine/platform/linux/DescriptorPassing.h"
#include "engine/platform/linux/HelperProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <span>
#include <utility>

namespace okg::rights {

using linuxfeed::FeedDescriptors;

namespace {

// An answer the helper has not given within this long will not come.
constexpr int AnswerMilliseconds = 5000;

void CloseAll(const FeedDescriptors& fds) {
    for (int fd : {fds.ring, fds.counters})
        if (fd >= 0)
            close(fd);
}

// The helper process and our end of its socket pair.
class HelperProcess {
public:
    // Starts it and reads its greeting; null with the reason in whyNot when it cannot be run or
    // holds no right to cut. fds receives the feed's descriptors, or feedWhyNot why there are none.
    static std::unique_ptr<HelperProcess> Start(const std::string& path, std::string& whyNot,
                                                FeedDescriptors& fds, std::string& feedWhyNot);
    ~HelperProcess();

    uint32_t Reset(uint8_t family, const inet_diag_sockid& id);
    bool SkippedRuns(uint64_t& misses);
    bool Alive();
    int Channel() const { return fd_; }
    pid_t Pid() const { return pid_; }
    // How the helper ended, once it has: killed by a signal, or its exit status.
    std::string EndReason();

private:
    HelperProcess(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
    static std::unique_ptr<HelperProcess> Spawn(const std::string& path, std::string& whyNot);
    bool ReadHello(helper::Hello& hello, FeedDescriptors& fds);
    bool Wait(short events);
    template <typename Answer> bool Ask(const void* request, size_t length, Answer& answer);
    void Lost();

    int fd_;
    pid_t pid_;
};

// Why a helper that greeted so is of no use; empty when it can cut.
std::string WhyUnusable(const helper::Hello& hello, bool whole) {
    if (!whole)
        return "okgate-helper ended at start";
    if (hello.startError && hello.reason[0]) // told by the helper itself
        return "okgate-helper cannot run: " + std::string(hello.reason);
    if (hello.startError == ENOENT)
        return "okgate-helper is not installed beside the program";
    if (hello.startError == EACCES || hello.startError == EPERM)
        return "this user may not run okgate-helper (not a member of the group okgate, or not "
               "logged in again since joining it)";
    if (hello.startError)
        return "okgate-helper could not be run: " + std::string(std::strerror(hello.startError));
    if (!hello.canCut)
        return "okgate-helper holds no capabilities (setting them failed at install, or this "
               "system refuses them)";
    return {};
}

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path, std::string& whyNot,
                                                    FeedDescriptors& fds, std::string& feedWhyNot) {
    std::unique_ptr<HelperProcess> self = Spawn(path, whyNot);
    if (!self)
        return nullptr;
    helper::Hello hello;
    const bool whole = self->ReadHello(hello, fds);
    if (fds.ring < 0)
        feedWhyNot = hello.reason[0] ? hello.reason : "okgate-helper did not load the program";
    whyNot = WhyUnusable(hello, whole);
    if (whyNot.empty())
        return self;
    CloseAll(fds); // a feed without the right to cut is of no use: the dump mode tells
    fds = {};
    return nullptr;
}

// Forks and runs the helper with its end of the pair as its channel. A failed exec is told by
// the child as a greeting with its errno.
std::unique_ptr<HelperProcess> HelperProcess::Spawn(const std::string& path, std::string& whyNot) {
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
    return std::unique_ptr<HelperProcess>(new HelperProcess(pair[0], pid));
}

// Reads the greeting, within the answer's wait, and takes the feed's descriptors when it carries
// them all. False when no whole greeting came.
bool HelperProcess::ReadHello(helper::Hello& hello, FeedDescriptors& fds) {
    int received[fdpass::MaxDescriptors] = {-1, -1};
    fdpass::Received got;
    if (Wait(POLLIN))
        got = fdpass::Receive(fd_, std::as_writable_bytes(std::span(&hello, 1)), received);
    const bool whole = got.bytes == sizeof hello && hello.type == helper::HelloMessage &&
                       !(got.flags & (MSG_TRUNC | MSG_CTRUNC));
    hello.reason[sizeof hello.reason - 1] = 0;
    if (whole && hello.feedError == 0 && got.count == 2)
        fds = {received[0], hello.ringBytes, received[1]};
    else
        CloseAll({received[0], 0, received[1]});
    return whole;
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

// Sends one request and reads its answer within the wait. False, and the helper taken for lost,
// when none came: the right went with it.
template <typename Answer>
bool HelperProcess::Ask(const void* request, size_t length, Answer& answer) {
    if (fd_ < 0)
        return false;
    if (fdpass::Send(fd_, request, length) && Wait(POLLIN) &&
        recv(fd_, &answer, sizeof answer, 0) == sizeof answer && answer.type == Answer{}.type)
        return true;
    Lost();
    return false;
}

uint32_t HelperProcess::Reset(uint8_t family, const inet_diag_sockid& id) {
    helper::ResetRequest request;
    request.family = family;
    request.cookie = uint64_t(id.idiag_cookie[1]) << 32 | id.idiag_cookie[0];
    std::memcpy(request.local, id.idiag_src, sizeof request.local);
    std::memcpy(request.remote, id.idiag_dst, sizeof request.remote);
    request.localPort = id.idiag_sport;
    request.remotePort = id.idiag_dport;
    request.ifindex = id.idiag_if;
    helper::ResetResult answer;
    return Ask(&request, sizeof request, answer) ? answer.result : api::ERROR_ACCESS_DENIED;
}

bool HelperProcess::SkippedRuns(uint64_t& misses) {
    const helper::MissesRequest request;
    helper::MissesResult answer;
    if (!Ask(&request, sizeof request, answer) || !answer.known)
        return false;
    misses = answer.misses;
    return true;
}

std::string HelperProcess::EndReason() {
    // The pair closes as the process ends: it is reaped within moments.
    int status = 0;
    for (int waited = 0; pid_ > 0 && waited < 50; ++waited, usleep(1000)) {
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            continue;
        pid_ = -1;
        if (WIFSIGNALED(status))
            return "it was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
                   strsignal(WTERMSIG(status)) + ")";
        return "it ended with status " + std::to_string(WEXITSTATUS(status));
    }
    return "it ended";
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
    // After the helper that held the right ended: it is started again, at once, then backing off
    // to a minute between tries.
    bool ended = false;
    std::chrono::steady_clock::time_point nextStart{};
    std::chrono::seconds backoff{0};
};

constexpr std::chrono::seconds LongestBackoff{60};

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

// The feed of the helper that runs, from the descriptors it handed over.
std::unique_ptr<BpfFeed> HelperFeed(Rights& r, std::string& whyNot) {
    if (r.fds.ring < 0) {
        whyNot = r.feedWhyNot;
        return nullptr;
    }
    // Asked of whichever helper runs when the feed asks.
    auto skippedRuns = [](uint64_t& misses) {
        Rights& now = State();
        return now.helper && now.helper->SkippedRuns(misses);
    };
    return BpfFeed::FromDescriptors(std::exchange(r.fds, {}), skippedRuns, whyNot);
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
    return HelperFeed(r, whyNot);
}

std::string HelperEnded() {
    Rights& r = State();
    std::string why = "okgate-helper has ended";
    if (r.helper)
        why += ": " + r.helper->EndReason();
    r.helper.reset();
    r.ended = true;
    r.nextStart = std::chrono::steady_clock::now();
    r.backoff = {};
    return why;
}

HelperRestart RestartHelperWhenDue(std::unique_ptr<BpfFeed>& feed, std::string& whyNot) {
    Rights& r = State();
    const auto now = std::chrono::steady_clock::now();
    if (!r.ended || now < r.nextStart)
        return HelperRestart::NotDue;
    CloseAll(r.fds);
    r.fds = {};
    r.helper = HelperProcess::Start(HelperPath(), r.whyNot, r.fds, r.feedWhyNot);
    if (!r.helper) {
        r.backoff =
            std::min(r.backoff == std::chrono::seconds{} ? std::chrono::seconds{1} : 2 * r.backoff,
                     LongestBackoff);
        r.nextStart = now + r.backoff;
        whyNot = r.whyNot;
        return HelperRestart::Failed;
    }
    r.ended = false;
    r.whyNot.clear();
    feed = HelperFeed(r, whyNot);
    return HelperRestart::Back;
}

pid_t HelperPidForTesting() {
    const Rights& r = State();
    return r.helper ? r.helper->Pid() : -1;
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

std::string CutRefusedText() {
    Rights& r = State();
    if (r.ended) // told as it ended, and again when it is back
        return {};
    if (!r.whyNot.empty())
        return "Cannot cut connections: " + r.whyNot + ". " + RightsAdvice;
    if (r.helper)
        return "Cannot cut connections: okgate-helper has ended.";
    return "Cannot cut connections: the kernel refused them to this process.";
}

namespace {
api::PlatformNews news;

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end()); // the texts are ASCII
}
} // namespace

void TellNotice(const std::string& text) {
    news.notices.push_back(Wide(text));
}

void TellCutting(bool cutting, const std::string& reason) {
    news.cutting = cutting;
    news.reason = Wide(reason);
}

api::PlatformNews TakeNews() {
    return std::exchange(news, {});
}

void SetHelperPathForTesting(const std::string& path) {
    helperPath = path;
}

void ResetRightsForTesting() {
    Rights& r = State();
    CloseAll(r.fds);
    r = Rights{};
    news = {};
}

} // namespace okg::rights
