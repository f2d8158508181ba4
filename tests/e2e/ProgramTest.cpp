// The real program in its own folder, started on stored lists with a slip: while the box that
// tells it waits, it cuts (with the right to) a blocked connection made meanwhile; it runs once; it
// ends on SIGTERM, leaving the file as the user wrote it, with a copy beside it.
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace fs = std::filesystem;
using namespace loopback;

namespace {

// The exit status once the process has ended within the wait; -1 while it runs, -2 otherwise.
int WaitExit(pid_t pid, int milliseconds) {
    for (int status = 0; pid > 0 && milliseconds >= 0; milliseconds -= 20, ::usleep(20000))
        if (const pid_t done = ::waitpid(pid, &status, WNOHANG); done != 0)
            return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    return pid > 0 ? -1 : -2;
}

struct Finally { // runs at the end of the scope, whatever assertion returned early
    std::function<void()> run;
    ~Finally() { run(); }
};

TEST(ProgramTest, CutsWhileTheStartUpBoxWaitsRunsOnceAndEndsOnATerminationRequest) {
    // The cut needs CAP_NET_ADMIN; the rest of the test needs no rights and runs all the same.
    const bool mayCut = ::geteuid() == 0;
    if (!mayCut)
        std::fprintf(stderr, "*** not root: the cut is not checked, only the rest ***\n");
    std::vector<pid_t> pids;
    char pattern[] = "/tmp/okgate-e2e-XXXXXX";
    const fs::path root = ::mkdtemp(pattern), ini = root / "OrvoKestrelgate/OrvoKestrelgate.ini";
    const Finally cleanup{[&] { // every process this test started is ended by its own id
        for (const pid_t pid : pids)
            if (::waitpid(pid, nullptr, WNOHANG) == 0 && ::kill(pid, SIGKILL) == 0)
                ::waitpid(pid, nullptr, 0);
        fs::remove_all(root);
    }};
    // Listeners on 127.0.0.2 (its port blocked) and 127.0.0.3, on ports the kernel chose.
    const auto listeners = std::pair(Listen("127.0.0.2"), Listen("127.0.0.3"));
    ASSERT_TRUE(listeners.first && listeners.second);
    const int blockedPort = listeners.first->port;
    fs::create_directories(root / "OrvoKestrelgate");
    ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1); // mkdtemp made it private, as it must be
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string stored =
        "[General]\nAllowedIPString=\nBlockedRemotePortsString=" + std::to_string(blockedPort) +
        ",abc\n";
    std::ofstream(ini) << stored;
    const auto start = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int log =
                ::open((root / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 2);
            ::execl(OKG_BINARY, OKG_BINARY, nullptr);
            ::_exit(127);
        }
        if (pid > 0)
            pids.push_back(pid);
        return pid;
    };
    const pid_t first = start();
    ASSERT_GT(first, 0);
    // Connected once the box waits and had its first pass: the box's passes must go on. (Whether
    // they follow the table's handle, the form test sees: here a resync would cut too.)
    for (int waited = 0; !fs::exists(root / "okgate.lock") && waited < 30000; waited += 20)
        ::usleep(20000);
    ::usleep(500000);
    const auto blocked = Connect(*listeners.first, "127.0.0.2", "127.0.0.4"),
               other = Connect(*listeners.second, "127.0.0.3", "127.0.0.4");
    ASSERT_TRUE(blocked && other);

    // The blocked connection is reset: an error on both ends, not an open stream with nothing
    // to read. The other connection still carries a byte both ways, as the blocked one does when
    // the cut is refused.
    if (mayCut) {
        pollfd p{blocked->client.fd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 30000), 1) << "the blocked connection was not cut";
        EXPECT_TRUE(IsReset(ReadError(blocked->client.fd)));
        EXPECT_TRUE(IsReset(ReadError(blocked->server.fd)));
    } else {
        EXPECT_TRUE(StillConnected(*blocked));
    }
    EXPECT_TRUE(StillConnected(*other));

    // A second start ends at once.
    EXPECT_EQ(WaitExit(start(), 30000), 0);
    ASSERT_EQ(WaitExit(first, 0), -1) << "the first start must go on";
    ::kill(first, SIGTERM); // answers for the box, which is still open: no one saw it offscreen
    EXPECT_EQ(WaitExit(first, 30000), 0);
    const auto text = [](const fs::path& path) {
        return std::string{std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
    };
    EXPECT_EQ(text(ini), stored);
    EXPECT_EQ(text(ini.string() + ".bak"), stored);
    // What the program prints is its own notices; a Qt warning on a normal start is a fault.
    std::ifstream log(root / "stderr.log");
    for (std::string line; std::getline(log, line);)
        EXPECT_EQ(line.rfind("okgate: ", 0), 0u) << line;
}

} // namespace
