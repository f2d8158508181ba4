// The real program, started as a user would start it, with its own home, config and runtime
// folders: a blocked connection is cut and an unblocked one survives, a second start ends at
// once, and a termination request closes the window, which saves the lists.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// A socket closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Loopback(const char* address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    return sa;
}

// A listener on the given loopback address and a port the kernel chooses.
Fd Listen(const char* address, uint16_t& port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa = Loopback(address, 0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), 4) != 0)
        return Fd();
    socklen_t len = sizeof sa;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

// A connected client and the server's end of it.
struct Connection {
    Fd client, server;
};
std::optional<Connection> Connect(int listener, const char* address, uint16_t port) {
    Connection c{Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), Fd()};
    sockaddr_in sa = Loopback(address, port);
    if (::connect(c.client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return std::nullopt;
    c.server = Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (c.server.get() < 0)
        return std::nullopt;
    return c;
}

// True when the socket reports an error or the end of the stream within the wait: the
// connection was cut.
bool EndsWithin(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) <= 0)
        return false;
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// One byte each way: the connection still carries data.
bool Carries(const Connection& c) {
    char out = 'x', in = 0;
    if (::send(c.client.get(), &out, 1, MSG_NOSIGNAL) != 1)
        return false;
    pollfd p{c.server.get(), POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1 || ::recv(c.server.get(), &in, 1, 0) != 1)
        return false;
    return in == out;
}

bool HasNetAdmin() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1; // CAP_NET_ADMIN
    return false;
}

// The program with its own folders. Every process it starts is ended by its id.
class Program {
public:
    Program() {
        char pattern[] = "/tmp/okgate-e2e-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directories(root_ / "config" / "OrvoKestrelgate");
        fs::create_directories(root_ / "run");
        fs::permissions(root_ / "run", fs::perms::owner_all);
    }
    ~Program() {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path LockFile() const { return root_ / "run" / "okgate.lock"; }
    fs::path SettingsFile() const {
        return root_ / "config" / "OrvoKestrelgate" / "OrvoKestrelgate.ini";
    }

    pid_t Start() {
        std::map<std::string, std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            if (eq != std::string::npos)
                env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        env["HOME"] = root_.string();
        env["XDG_CONFIG_HOME"] = (root_ / "config").string();
        env["XDG_RUNTIME_DIR"] = (root_ / "run").string();
        env["QT_QPA_PLATFORM"] = "offscreen";
        std::vector<std::string> entries;
        for (const auto& [key, value] : env)
            entries.push_back(key + "=" + value);
        std::vector<char*> envp;
        for (auto& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        const pid_t pid = ::fork();
        if (pid == 0) {
            char* argv[] = {const_cast<char*>(OKG_BINARY), nullptr};
            ::execve(OKG_BINARY, argv, envp.data());
            ::_exit(127);
        }
        if (pid > 0)
            running_.push_back(pid);
        return pid;
    }

    // The exit status once the process has ended within the wait; nullopt while it runs.
    std::optional<int> WaitExit(pid_t pid, int milliseconds) {
        for (int waited = 0;; waited += 20) {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                std::erase(running_, pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (waited >= milliseconds)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void WriteSettings(const std::string& text) { std::ofstream(SettingsFile()) << text; }
    std::string ReadSettings() const {
        std::ifstream in(SettingsFile());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    fs::path root_;
    std::vector<pid_t> running_;
};

TEST(ProgramTest, CutsTheBlockedConnectionAndKeepsTheOther) {
    if (!HasNetAdmin())
        GTEST_SKIP() << "cutting connections needs CAP_NET_ADMIN (run as root)";
    uint16_t blockedPort = 0, openPort = 0;
    Fd blockedListener = Listen("127.0.0.2", blockedPort);
    Fd openListener = Listen("127.0.0.3", openPort);
    ASSERT_GE(blockedListener.get(), 0);
    ASSERT_GE(openListener.get(), 0);

    Program program;
    program.WriteSettings("[General]\nAllowedIPString=\nBlockedLocalPortsString=\n"
                          "BlockedRemotePortsString=" +
                          std::to_string(blockedPort) + "\n");
    auto open = Connect(openListener.get(), "127.0.0.3", openPort);
    auto blocked = Connect(blockedListener.get(), "127.0.0.2", blockedPort);
    ASSERT_TRUE(open && blocked);

    const pid_t pid = program.Start();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(EndsWithin(blocked->client.get(), 30000)) << "the blocked connection was not cut";
    // Checked after the cut, so the program has decided both connections by now.
    EXPECT_TRUE(Carries(*open));
    EXPECT_FALSE(program.WaitExit(pid, 0).has_value()) << "the program ended by itself";

    ::kill(pid, SIGTERM);
    EXPECT_EQ(program.WaitExit(pid, 30000), 0);
}

TEST(ProgramTest, RunsOnceAndSavesTheListsWhenClosed) {
    Program program;
    program.WriteSettings("[General]\nAllowedIPString=\nBlockedRemotePortsString=\"1,2\"\n");
    const pid_t first = program.Start();
    ASSERT_GT(first, 0);
    // The first start holds the instance lock once its window is up.
    for (int i = 0; i < 1500 && !fs::exists(program.LockFile()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const pid_t second = program.Start();
    ASSERT_GT(second, 0);
    EXPECT_EQ(program.WaitExit(second, 30000), 0) << "a second start must end at once";
    EXPECT_FALSE(program.WaitExit(first, 0).has_value()) << "the first start must go on";

    ::kill(first, SIGTERM);
    EXPECT_EQ(program.WaitExit(first, 30000), 0);
    const std::string saved = program.ReadSettings();
    EXPECT_NE(saved.find("AllowedIPString=\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("BlockedLocalPortsString="), std::string::npos) << saved;
    EXPECT_NE(saved.find("BlockedRemotePortsString=\"1,2\""), std::string::npos) << saved;
}

} // namespace
