// Soak of the engine in event-fed mode over many loopback connections (not a test; needs root).
//
// Forked children hold the connections (each process stays under the open-file limit): one
// client and one server holder per source address 127.13.0.k, the servers listening on
// 127.13.1.k. After a ramp to the target count they close and open connections in random order,
// half of the closes abortive, for the run's length, and every 100 ms try a connection to a
// listener whose port is blocked (127.13.2.1), which must be reset within a second. Every few
// seconds the children pause: the engine's event-fed table is then compared with a fresh dump
// (rows of the soak's addresses, states that report their changes). Meanwhile another network
// namespace holds and churns a few connections on the same addresses, which must never reach the
// table. Every resync is also compared as it happens, and every pass is timed.
//
// Usage: okg_soak [connections=30000] [seconds=60]
#include "BenchSockets.h"
#include "BenchStats.h"
#include "BenchWindow.h"
#include "container/List.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/TableSource.h"
#include "manager/MainForm.h"
#include "manager/Manager.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <time.h>
#include <tuple>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using okg::linuxfeed::EventTable;
using okg::netlink::SocketRow;

constexpr int Pairs = 4;          // source addresses, each with its client and server holder
constexpr int OpsPerSecond = 150; // per client, once ramped
constexpr int ProbeIntervalMs = 100;

struct Shared {
    std::atomic<int> phase{0}; // 0 ramp, 1 churn, 2 stop
    std::atomic<int> quiet{0};
    std::atomic<int> ramped{0};
    std::atomic<uint64_t> opened{0}, closed{0}, connectFailures{0};
    std::atomic<uint64_t> probes{0}, probesCut{0}, probesNotCut{0};
    std::atomic<uint64_t> otherOpened{0};
    std::atomic<int> held[Pairs]{};
};
Shared* shared = nullptr;

std::string Ip(int b, int c) {
    return "127.13." + std::to_string(b) + "." + std::to_string(c);
}

int Listener(const std::string& ip, uint16_t& port) {
    return ::Listener(ip.c_str(), port, SOCK_NONBLOCK);
}

// The port is chosen at connect, per destination: many more connections per source address.
int Connect(const std::string& from, const std::string& to, uint16_t port) {
    return loopback::Dial(from.c_str(), to.c_str(), port, true).Release();
}

void RaiseFileLimit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

// Accepts and holds connections until their client goes; ends when the parent does.
[[noreturn]] void ServerHolder(int listener) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    RaiseFileLimit();
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{EPOLLIN, {.fd = listener}};
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    epoll_event events[256];
    while (shared->phase.load() != 2) {
        const int n = epoll_wait(ep, events, 256, 100);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (int c; (c = accept4(listener, nullptr, nullptr,
                                         SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
                    epoll_event e{EPOLLRDHUP | EPOLLIN, {.fd = c}};
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                }
            } else {
                close(fd); // the client closed or was cut (nothing is ever sent)
            }
        }
    }
    _exit(0);
}

void CloseConnection(int fd, bool abortive) {
    if (abortive) {
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(fd);
}

// Holds `target` connections to its server, then closes and opens them in random order, and
// probes the blocked listener.
[[noreturn]] void Client(int k, int target, uint16_t port, uint16_t blockedPort) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    RaiseFileLimit();
    const std::string from = Ip(0, k + 1), to = Ip(1, k + 1), blocked = Ip(2, 1);
    std::mt19937 random(1000 + k);
    std::vector<int> held;
    auto open = [&] {
        const int fd = Connect(from, to, port);
        if (fd < 0) {
            ++shared->connectFailures;
            return false;
        }
        held.push_back(fd);
        ++shared->opened;
        return true;
    };
    for (int failures = 0; int(held.size()) < target && failures < 100;)
        failures += open() ? 0 : 1;
    shared->held[k] = int(held.size());
    ++shared->ramped;
    while (shared->phase.load() == 0)
        usleep(10000);

    struct Probe {
        int fd;
        Clock::time_point deadline;
    };
    std::vector<Probe> probes;
    auto nextOp = Clock::now(), nextProbe = Clock::now();
    const auto opInterval = std::chrono::microseconds(1000000 / OpsPerSecond);
    while (shared->phase.load() == 1) {
        const auto now = Clock::now();
        // Probes: a reset (or any end) within a second is a cut.
        for (size_t i = 0; i < probes.size();) {
            pollfd p{probes[i].fd, POLLIN, 0};
            char byte;
            bool done = false;
            if (poll(&p, 1, 0) == 1) {
                const ssize_t got = recv(probes[i].fd, &byte, 1, MSG_DONTWAIT);
                if (got < 0 && (errno == ECONNRESET || errno == ECONNABORTED)) {
                    ++shared->probesCut;
                    done = true;
                } else if (got == 0) {
                    ++shared->probesNotCut; // closed by the server: not a cut
                    done = true;
                }
            }
            if (!done && now > probes[i].deadline) {
                ++shared->probesNotCut;
                done = true;
            }
            if (done) {
                close(probes[i].fd);
                probes[i] = probes.back();
                probes.pop_back();
            } else {
                ++i;
            }
        }
        if (shared->quiet.load()) {
            nextOp = now; // no burst of missed operations after the pause
            usleep(5000);
            continue;
        }
        if (now >= nextProbe) {
            nextProbe = now + std::chrono::milliseconds(ProbeIntervalMs);
            const int fd = Connect(from, blocked, blockedPort);
            if (fd >= 0) {
                ++shared->probes;
                probes.push_back({fd, now + std::chrono::seconds(1)});
            }
        }
        if (now >= nextOp) {
            nextOp += opInterval;
            // Close a random one (half abortive, the rest leave TIME_WAIT), then open one; now and
            // then only one of the two, so the count wanders around the target.
            const unsigned coin = random() % 8;
            if (coin != 0 && !held.empty()) {
                const size_t i = random() % held.size();
                CloseConnection(held[i], random() % 2);
                held[i] = held.back();
                held.pop_back();
                ++shared->closed;
            }
            if (coin != 1 || int(held.size()) < target / 2)
                open();
            shared->held[k] = int(held.size());
        } else {
            usleep(200);
        }
    }
    _exit(0);
}

// Holds and churns a few connections in a network namespace of its own, on the soak's addresses:
// had their events reached the table, the quiet checks would count them.
[[noreturn]] void OtherNamespace() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!loopback::EnterNewNamespace()) {
        std::perror("another network namespace");
        _exit(1);
    }
    uint16_t port = 0;
    const int listener = Listener(Ip(1, 1), port);
    std::vector<int> clients, servers;
    for (unsigned turn = 0; shared->phase.load() != 2; ++turn, usleep(20000)) {
        for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            servers.push_back(fd);
        if (clients.size() >= 8) {
            CloseConnection(clients.front(), turn % 2);
            clients.erase(clients.begin());
        }
        if (servers.size() > 8) {
            close(servers.front());
            servers.erase(servers.begin());
        }
        if (const int fd = Connect(Ip(0, 1), Ip(1, 1), port); fd >= 0) {
            clients.push_back(fd);
            ++shared->otherOpened;
        }
    }
    _exit(0);
}

bool Ours(const SocketRow& r) {
    auto ours = [](uint32_t addr) { // network byte order: 127.13.x.x
        const auto* b = reinterpret_cast<const uint8_t*>(&addr);
        return b[0] == 127 && b[1] == 13;
    };
    return ours(r.row.dwLocalAddr) || ours(r.row.dwRemoteAddr);
}

using RowKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;

std::map<uint64_t, RowKey> Keyed(const std::vector<SocketRow>& rows, bool eventless) {
    std::map<uint64_t, RowKey> keyed;
    for (const SocketRow& r : rows)
        if (Ours(r) && okg::linuxfeed::IsEventlessState(r.row.dwState) == eventless)
            keyed[r.cookie] = {r.cookie,          r.row.dwState,      r.row.dwLocalAddr,
                               r.row.dwLocalPort, r.row.dwRemoteAddr, r.row.dwRemotePort};
    return keyed;
}

// Rows of the soak present in one and not the other, or different.
size_t Differences(const std::vector<SocketRow>& table, const std::vector<SocketRow>& dump,
                   bool eventless) {
    const auto a = Keyed(table, eventless), b = Keyed(dump, eventless);
    size_t differ = 0;
    const auto tell = [&](const char* what, const RowKey& key) {
        if (++differ <= 3 && std::getenv("OKG_SOAK_DIFFERENCES"))
            std::fprintf(stderr, "%s: cookie %llu state %u\n", what,
                         (unsigned long long)std::get<0>(key), std::get<1>(key));
    };
    for (const auto& [cookie, key] : a) {
        const auto it = b.find(cookie);
        if (it == b.end())
            tell("in the table only", key);
        else if (it->second != key)
            tell("differs from the dump", key);
    }
    for (const auto& [cookie, key] : b)
        if (!a.contains(cookie))
            tell("in the dump only", key);
    return differ;
}

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// The window as it opens: the connections view, established connections only. Its list box
// is not drawn.
class DefaultView : public MainForm {
public:
    void lstMainRefill(std::shared_ptr<const List>) override {}
    int32_t lstMainListCount() const override { return 0; }
    std::u16string lstMainList(int32_t) const override { return {}; }
    bool lstMainSelected(int32_t) const override { return false; }
    void txtHeadSetText(const std::u16string&) override {}
    void mnuDeleteSetEnabled(bool) override {}
    void txtItemSetEnabled(bool) override {}
    void cmdAddSetEnabled(bool) override {}
    int32_t chkShowXValue() const override { return 1; }
};

// The processor time this thread used: a pass that took long on the clock but not here waited
// for the processor (the machine is shared).
double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 30000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    shared = new (mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                       -1, 0)) Shared;

    std::vector<pid_t> children;
    uint16_t blockedPort = 0;
    const int blockedListener = Listener(Ip(2, 1), blockedPort);
    if (pid_t pid = fork(); pid == 0)
        ServerHolder(blockedListener);
    else
        children.push_back(pid);
    close(blockedListener);
    if (pid_t pid = fork(); pid == 0)
        OtherNamespace();
    else
        children.push_back(pid);
    for (int k = 0; k < Pairs; ++k) {
        uint16_t port = 0;
        const int listener = Listener(Ip(1, k + 1), port);
        if (pid_t pid = fork(); pid == 0)
            ServerHolder(listener);
        else
            children.push_back(pid);
        close(listener);
        if (pid_t pid = fork(); pid == 0)
            Client(k, connections / Pairs, port, blockedPort);
        else
            children.push_back(pid);
    }

    InitTcpStateNames();
    oManager = std::make_unique<Manager>();
    oManager->oAllowedIP->Reset();
    oManager->oBlockedRemotePorts->AddItem(Variant::Long(blockedPort)); // the soak's own port only
    DefaultView window;
    oManager->oMainForm = &window;
    oManager->SetCurrentMode(0);
    ClearConnectionCache();

    // Every resync compared with the dump it merges, as it happens.
    int fullResyncs = 0, eventlessResyncs = 0, afterLoss = 0;
    std::vector<double> fullDiffs, lossDiffs;
    bool resynced = false;
    // The comparison runs inside the pass; its own time is taken out of the pass's.
    double checkMs = 0, checkCpuMs = 0;
    const auto compare = [&](bool full, const EventTable& table,
                             const std::vector<SocketRow>& dump) {
        if (!full) {
            ++eventlessResyncs;
            return;
        }
        ++fullResyncs;
        // After lost events the table is known to be stale: that is why it resyncs.
        const double differ = double(Differences(table.Rows(), dump, false));
        if (table.MissedEvents()) {
            ++afterLoss;
            lossDiffs.push_back(differ);
        } else {
            fullDiffs.push_back(differ);
        }
    };
    okg::linuxfeed::SetResyncObserverForTesting(
        [&](bool full, const EventTable& table, const std::vector<SocketRow>& dump) {
            resynced = true;
            const auto checkStart = Clock::now();
            const double checkCpu = ThreadCpuMs();
            compare(full, table, dump);
            checkMs += Ms(Clock::now() - checkStart);
            checkCpuMs += ThreadCpuMs() - checkCpu;
        });

    const auto rampStart = Clock::now();
    while (shared->ramped.load() < Pairs) {
        ScanTcpTable();
        usleep(1000);
    }
    const double rampSeconds = std::chrono::duration<double>(Clock::now() - rampStart).count();
    if (okg::linuxfeed::CurrentTableMode() != okg::linuxfeed::TableMode::EventFed) {
        std::fprintf(stderr, "the table is not event-fed (run as root)\n");
        shared->phase = 2;
        return 1;
    }
    int held = 0;
    for (int k = 0; k < Pairs; ++k)
        held += shared->held[k];
    std::printf("ramp: %d connections held (asked %d) in %.1f s, %lu connects failed\n", held,
                connections, rampSeconds, (unsigned long)shared->connectFailures.load());

    std::vector<double> passes, resyncPasses, passCpu, cutPassCpu;
    // The engine pumps the window's events right after each cut, and only then in this loop.
    int cutsInPass = 0;
    bench::OnDoEvents = [&] { ++cutsInPass; };
    std::vector<long> rss;
    std::vector<uint32_t> rssRows; // the table's rows at each sample
    int quietChecks = 0;
    size_t quietDiffs = 0, maxRows = 0;
    const auto start = Clock::now(), end = start + std::chrono::seconds(seconds);
    auto nextSample = start;
    shared->phase = 1;
    while (Clock::now() < end) {
        const auto now = Clock::now();
        const double t = std::chrono::duration<double>(now - start).count();
        // A quiet window of 1.5 s every 6 s; at its end the table must equal a fresh dump.
        const double inCycle = std::fmod(t, 6.0);
        const bool quiet = inCycle >= 4.5;
        if (quiet != bool(shared->quiet.load())) {
            if (!quiet) {
                std::vector<SocketRow> dump;
                const EventTable* table = okg::linuxfeed::UpdateEventFedTable();
                if (table && okg::netlink::DumpTcpSockets(dump)) {
                    ++quietChecks;
                    quietDiffs += Differences(table->Rows(), dump, false);
                }
            }
            shared->quiet = quiet;
        }
        if (now >= nextSample) {
            rss.push_back(RssKb());
            rssRows.push_back(TcpTableBuffer.EntryCount());
            nextSample += std::chrono::seconds(1);
        }
        resynced = false;
        cutsInPass = 0;
        checkMs = checkCpuMs = 0;
        const auto t0 = Clock::now();
        const double cpu0 = ThreadCpuMs();
        ScanTcpTable();
        const double ms = Ms(Clock::now() - t0) - checkMs,
                     cpuMs = ThreadCpuMs() - cpu0 - checkCpuMs;
        (resynced ? resyncPasses : passes).push_back(ms);
        if (!resynced)
            (cutsInPass ? cutPassCpu : passCpu).push_back(cpuMs);
        maxRows = std::max<size_t>(maxRows, TcpTableBuffer.EntryCount());
        // As the loop waits, at most a millisecond: the quiet windows end on the clock.
        api::WaitForWork(std::min<uint32_t>(WaitBeforeNextPass(), 1));
    }
    shared->phase = 2;
    for (pid_t pid : children) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    okg::linuxfeed::SetResyncObserverForTesting(nullptr);

    const auto over3 = [](const std::vector<double>& v) {
        return long(std::count_if(v.begin(), v.end(), [](double ms) { return ms > 3; }));
    };
    std::printf("churn: %d s, %lu opened, %lu closed, table up to %zu rows\n", seconds,
                (unsigned long)shared->opened.load(), (unsigned long)shared->closed.load(),
                maxRows);
    std::printf("passes: %zu without resync: median %.2f ms, p99 %.2f ms, max %.2f ms, %ld over "
                "3 ms\n",
                passes.size(), Percentile(passes, 0.5), Percentile(passes, 0.99),
                Percentile(passes, 1.0), over3(passes));
    std::printf("  their processor time, %zu without a cut: median %.2f ms, p99 %.2f ms, max %.2f "
                "ms, %ld over 3 ms\n",
                passCpu.size(), Percentile(passCpu, 0.5), Percentile(passCpu, 0.99),
                Percentile(passCpu, 1.0), over3(passCpu));
    std::printf("  their processor time, %zu with a cut: median %.2f ms, p99 %.2f ms, max %.2f "
                "ms, %ld over 3 ms\n",
                cutPassCpu.size(), Percentile(cutPassCpu, 0.5), Percentile(cutPassCpu, 0.99),
                Percentile(cutPassCpu, 1.0), over3(cutPassCpu));
    std::printf("resyncs: %d full, %d eventless; passes with one: median %.2f ms, max %.2f ms\n",
                fullResyncs, eventlessResyncs, Percentile(resyncPasses, 0.5),
                Percentile(resyncPasses, 1.0));
    std::printf("full resyncs under churn: %zu scheduled, rows differing from the dump: median "
                "%.0f, max %.0f; %d after lost events (max %.0f rows differing)\n",
                fullDiffs.size(), Percentile(fullDiffs, 0.5), Percentile(fullDiffs, 1.0), afterLoss,
                Percentile(lossDiffs, 1.0));
    std::printf("quiet checks: %d, rows differing from a fresh dump: %zu (another namespace opened "
                "%lu connections on the same addresses meanwhile)\n",
                quietChecks, quietDiffs, (unsigned long)shared->otherOpened.load());
    std::printf("blocked probes: %lu made, %lu cut, %lu not cut\n",
                (unsigned long)shared->probes.load(), (unsigned long)shared->probesCut.load(),
                (unsigned long)shared->probesNotCut.load());
    if (rss.size() > 10)
        std::printf("memory (RSS): %ld kB after 5 s (%u rows), %ld kB at the end (%u rows), max "
                    "%ld kB\n",
                    rss[5], rssRows[5], rss.back(), rssRows.back(),
                    *std::max_element(rss.begin(), rss.end()));
    std::printf("memory every 10 s (kB / rows):");
    for (size_t i = 0; i < rss.size(); i += 10)
        std::printf(" %ld/%u", rss[i], rssRows[i]);
    std::printf("\n");
    bench::OnDoEvents = nullptr;
    oManager.reset();
    return 0;
}
