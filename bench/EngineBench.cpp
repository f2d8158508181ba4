// The engine on the real connection table, over loopback. For each number of background
// connections it prints:
//   - the median cost of one ScanTcpTable pass over an unchanged table, beside the bare
//     GetTcpTable read measured in the same run;
//   - the time from a connection on a blocked port becoming established to its client seeing
//     the reset, with ProcessingLoop running (median and p99);
//   - the loop's CPU use while nothing changes, in percent of one core.
// Each size is measured in both table modes, one after the other: "dump" reads the kernel's
// whole socket list at every GetTcpTable, "events" keeps the table fed by the BPF program.
// Needs CAP_NET_ADMIN for the cuts (run as root). Only connections made here are blocked: the
// blocked port is the one the kernel gave a listener of this program.
//
// Usage: okg_engine_bench [sizes...]   (default: 100 1000 10000)
#include "BenchSockets.h"
#include "BenchStats.h"
#include "BenchWindow.h"
#include "container/List.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/TableSource.h"
#include "manager/Manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

int Connect(const char* from, const char* to, uint16_t port) {
    const int fd = loopback::Dial(from, to, port).Release();
    if (fd < 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// Background connections to an unblocked listener, both ends kept open. The accepted ends live
// in a child process, so that 10,000 connections fit under an open-file limit of 20,000 that an
// unprivileged sandbox may not raise.
struct Background {
    std::vector<int> fds;
    int listener = -1;
    uint16_t port = 0;
    pid_t holder = -1;

    void Grow(size_t connections) {
        if (listener < 0) {
            listener = Listener("127.0.0.4", port);
            holder = fork();
            if (holder == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                std::vector<int> held;
                for (;;) {
                    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0)
                        held.push_back(fd);
                    else if (errno != EINTR && errno != ECONNABORTED)
                        pause();
                }
            }
            close(listener);
        }
        while (fds.size() < connections)
            fds.push_back(Connect("127.0.0.2", "127.0.0.4", port));
    }
    ~Background() {
        for (int fd : fds)
            close(fd);
        if (holder > 0) {
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
    }
};

double ThreadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct PassCost {
    double readMedianUs = 0;
    double scanMedianUs = 0;
    uint32_t rows = 0;
};

PassCost MeasurePasses(int rounds) {
    std::vector<uint32_t> words(1 << 20);
    auto* table = reinterpret_cast<api::MIB_TCPTABLE*>(words.data());
    for (int i = 0; i < 3; ++i)
        ScanTcpTable(); // record every row once, so the passes below see an unchanged table
    std::vector<double> reads, scans;
    for (int i = 0; i < rounds; ++i) {
        uint32_t size = uint32_t(words.size() * 4);
        auto t0 = Clock::now();
        api::GetTcpTable(table, &size, 0);
        auto t1 = Clock::now();
        ScanTcpTable();
        auto t2 = Clock::now();
        reads.push_back(Micros(t1 - t0));
        scans.push_back(Micros(t2 - t1));
    }
    return {Percentile(reads, 0.5), Percentile(scans, 0.5), TcpTableBuffer.EntryCount()};
}

double MeasureIdleCpu(double seconds) {
    const auto start = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    bench::OnDoEvents = [&] {
        ExitRequested = Clock::now() - start > std::chrono::duration<double>(seconds);
    };
    ExitRequested = false;
    ProcessingLoop();
    bench::OnDoEvents = nullptr;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100.0 * (ThreadCpuSeconds() - cpu0) / wall;
}

struct Reaction {
    std::vector<double> micros;
    int notReset = 0;
};

// Connections to a blocked listener, made by a second thread while ProcessingLoop runs here.
Reaction MeasureReaction(int connections) {
    uint16_t port = 0;
    const int listener = Listener("127.0.0.3", port);
    oManager->oBlockedRemotePorts->Reset();
    oManager->oBlockedRemotePorts->AddItem(Variant::Long(port));
    ClearConnectionCache();

    Reaction result;
    std::atomic<bool> done{false};
    std::thread client([&] {
        std::mt19937 random(42);
        for (int i = 0; i < connections; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 1500));
            const int fd = Connect("127.0.0.2", "127.0.0.3", port);
            const auto established = Clock::now();
            pollfd p{fd, POLLIN, 0};
            char byte;
            bool reset = false;
            if (poll(&p, 1, 1000) == 1 && recv(fd, &byte, 1, 0) < 0 &&
                (errno == ECONNRESET || errno == ECONNABORTED))
                reset = true;
            if (reset)
                result.micros.push_back(Micros(Clock::now() - established));
            else
                ++result.notReset;
            close(fd);
            const int server = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (server >= 0)
                close(server);
        }
        done = true;
    });
    bench::OnDoEvents = [&] { ExitRequested = done.load(); };
    ExitRequested = false;
    ProcessingLoop();
    bench::OnDoEvents = nullptr;
    client.join();
    close(listener);
    oManager->oBlockedRemotePorts->Reset();
    ClearConnectionCache();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {100, 1000, 10000};

    rlimit files{65536, 65536};
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 && getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max; // as far as this process may go
        setrlimit(RLIMIT_NOFILE, &files);
    }

    InitTcpStateNames();
    oManager = std::make_unique<Manager>();
    oManager->oAllowedIP->Reset(); // the peers are 127.0.0.x: nothing shields them

    std::printf("%-11s %-7s %7s %12s %12s %7s %13s %13s %9s %8s\n", "background", "mode", "rows",
                "read us", "pass us", "ratio", "react med us", "react p99 us", "not cut", "CPU %");
    Background background;
    for (size_t n : sizes) {
        background.Grow(n);
        for (bool events : {false, true}) {
            // A fresh table source in the mode asked for, and every row decided afresh.
            okg::linuxfeed::RefuseLoadForTesting(!events);
            okg::linuxfeed::ResetTableSourceForTesting();
            ClearConnectionCache();
            const PassCost cost = MeasurePasses(n >= 5000 ? 60 : 200);
            const double cpu = MeasureIdleCpu(3.0);
            const Reaction reaction = MeasureReaction(200);
            const bool fed =
                okg::linuxfeed::CurrentTableMode() == okg::linuxfeed::TableMode::EventFed;
            std::printf("%-11zu %-7s %7u %12.1f %12.1f %7.2f %13.0f %13.0f %9d %8.1f\n", n,
                        fed ? "events" : (events ? "dump!" : "dump"), cost.rows, cost.readMedianUs,
                        cost.scanMedianUs, cost.scanMedianUs / cost.readMedianUs,
                        Percentile(reaction.micros, 0.5), Percentile(reaction.micros, 0.99),
                        reaction.notReset, cpu);
            std::fflush(stdout);
        }
    }
    okg::linuxfeed::RefuseLoadForTesting(false);
    oManager.reset();
    return 0;
}
