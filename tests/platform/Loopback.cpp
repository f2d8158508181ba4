#include "Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#undef ntohs

namespace loopback {

namespace {
constexpr int WaitMs = 3000; // bounds every wait for the kernel
constexpr int TableTries = 200;
} // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

uint32_t Addr(const char* dotted) {
    return inet_addr(dotted);
}

bool HasNetAdmin() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1; // CAP_NET_ADMIN is 12
    }
    return false;
}

std::optional<Listener> Listen(const char* address, uint16_t port, bool dualStack) {
    Listener l;
    if (dualStack) {
        l.fd = Fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int off = 0;
        setsockopt(l.fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(port);
        if (bind(l.fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return std::nullopt;
    } else {
        l.fd = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = Addr(address);
        a.sin_port = htons(port);
        if (bind(l.fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return std::nullopt;
    }
    if (listen(l.fd.get(), 512) != 0)
        return std::nullopt;
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(l.fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    l.port = ntohs(dualStack ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return l;
}

api::MIB_TCPROW Connection::ClientRow() const {
    return {api::MIB_TCP_STATE_ESTAB, clientAddr, htons(clientPort), serverAddr, htons(serverPort)};
}

api::MIB_TCPROW Connection::ServerRow() const {
    return {api::MIB_TCP_STATE_ESTAB, serverAddr, htons(serverPort), clientAddr, htons(clientPort)};
}

std::optional<Connection> Connect(const Listener& listener, const char* serverAddress,
                                  const char* clientAddress) {
    Connection c;
    c.client = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = Addr(clientAddress);
    if (bind(c.client.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
        return std::nullopt;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = Addr(serverAddress);
    remote.sin_port = htons(listener.port);
    if (connect(c.client.get(), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)
        return std::nullopt;
    pollfd p{listener.fd.get(), POLLIN, 0};
    if (poll(&p, 1, WaitMs) != 1)
        return std::nullopt;
    c.server = Fd(accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!c.server)
        return std::nullopt;
    socklen_t length = sizeof(local);
    getsockname(c.client.get(), reinterpret_cast<sockaddr*>(&local), &length);
    c.clientAddr = local.sin_addr.s_addr;
    c.clientPort = ntohs(local.sin_port);
    c.serverAddr = remote.sin_addr.s_addr;
    c.serverPort = listener.port;
    return c;
}

std::vector<api::MIB_TCPROW> ReadTable() {
    std::vector<uint32_t> words(1);
    for (int tries = 0; tries < 16; ++tries) {
        uint32_t size = static_cast<uint32_t>(words.size() * 4);
        const uint32_t result =
            api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(words.data()), &size, 0);
        if (result == api::NO_ERROR_) {
            const auto* table = reinterpret_cast<const api::MIB_TCPTABLE*>(words.data());
            const auto* first = reinterpret_cast<const api::MIB_TCPROW*>(words.data() + 1);
            return {first, first + table->dwNumEntries};
        }
        if (result != api::ERROR_INSUFFICIENT_BUFFER)
            break;
        words.resize(size / 4 + 5 * 64); // room for a few more that may come meanwhile
    }
    return {};
}

int CountRows(const std::vector<api::MIB_TCPROW>& table, const api::MIB_TCPROW& row) {
    int n = 0;
    for (const api::MIB_TCPROW& r : table)
        n += r.dwState == row.dwState && r.dwLocalAddr == row.dwLocalAddr &&
             r.dwLocalPort == row.dwLocalPort && r.dwRemoteAddr == row.dwRemoteAddr &&
             r.dwRemotePort == row.dwRemotePort;
    return n;
}

bool WaitForRow(const api::MIB_TCPROW& row) {
    for (int tries = 0; tries < TableTries; ++tries) {
        if (CountRows(ReadTable(), row) == 1)
            return true;
        api::Sleep(5);
    }
    return false;
}

int ReadError(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, WaitMs) != 1)
        return -1;
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n > 0)
        return 0;
    return n == 0 ? -2 : errno;
}

bool StillConnected(const Connection& c) {
    const char out = 'x';
    for (int from : {c.client.get(), c.server.get()}) {
        const int to = from == c.client.get() ? c.server.get() : c.client.get();
        if (send(from, &out, 1, MSG_NOSIGNAL) != 1)
            return false;
        if (ReadError(to) != 0)
            return false;
    }
    return true;
}

} // namespace loopback
