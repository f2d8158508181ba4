// Real loopback connections for the kernel tests: sockets the test owns, on ports the kernel
// gave, peers on 127.0.0.2 and up. Every wait is bounded.
#pragma once

#include "engine/basAPI.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#undef ntohs

namespace loopback {

struct Fd { // closes its descriptor when it goes
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd o) noexcept { return std::swap(fd, o.fd), *this; }
    ~Fd() { fd >= 0 && ::close(fd); }
};

inline bool HasNetAdmin() { // bit 12 of the effective capabilities
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1;
    return false;
}
inline constexpr char NoNetAdmin[] = "CAP_NET_ADMIN is missing: cutting a connection needs it";

struct Listener {
    Fd fd;
    uint16_t port = 0;
    Fd reserve = Fd(); // holds the port in the other family
};

// dualStack listens on :: with IPV6_V6ONLY off, taking IPv4 connections as v4-mapped. Port 0
// takes one the kernel gives.
inline std::optional<Listener> Listen(const char* address, bool dualStack = false,
                                      uint16_t port = 0) {
    Listener l{Fd(socket(dualStack ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    sockaddr_in6 a6{AF_INET6, htons(port), 0, in6addr_any, 0};
    sockaddr_in a4{AF_INET, htons(port), {inet_addr(address ? address : "0.0.0.0")}, {}};
    auto* a = dualStack ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t length = dualStack ? sizeof a6 : sizeof a4;
    const int off = 0;
    if ((dualStack && setsockopt(l.fd.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) ||
        bind(l.fd.fd, a, length) != 0 || listen(l.fd.fd, 512) != 0 ||
        getsockname(l.fd.fd, a, &length) != 0)
        return std::nullopt;
    l.port = ntohs(dualStack ? a6.sin6_port : a4.sin_port);
    return l;
}

struct Connection {
    Fd client = Fd(), server = Fd();
    api::MIB_TCPROW row{}; // the client's end as the table shows it
    api::MIB_TCPROW ServerRow() const {
        return {row.dwState, row.dwRemoteAddr, row.dwRemotePort, row.dwLocalAddr, row.dwLocalPort};
    }
};

inline std::optional<Connection> Connect(const Listener& listener, const char* serverAddress,
                                         const char* clientAddress) {
    Connection c{Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    sockaddr_in local{AF_INET, 0, {inet_addr(clientAddress)}, {}};
    sockaddr_in remote{AF_INET, htons(listener.port), {inet_addr(serverAddress)}, {}};
    socklen_t length = sizeof local;
    pollfd p{listener.fd.fd, POLLIN, 0};
    if (bind(c.client.fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        connect(c.client.fd, reinterpret_cast<sockaddr*>(&remote), length) != 0 ||
        getsockname(c.client.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        poll(&p, 1, 3000) != 1)
        return std::nullopt;
    c.server = Fd(accept4(listener.fd.fd, nullptr, nullptr, SOCK_CLOEXEC));
    c.row = {api::MIB_TCP_STATE_ESTAB, local.sin_addr.s_addr, local.sin_port,
             remote.sin_addr.s_addr, remote.sin_port};
    return c.server.fd >= 0 ? std::optional(std::move(c)) : std::nullopt;
}

// An IPv6-only listener on every IPv6 address, its port also taken on every IPv4 address by a
// socket that only binds (and is in no table): a test may block its port without touching a
// connection it did not make.
inline std::optional<Listener> Listen6() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        Listener l{Fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))};
        l.reserve = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 a{AF_INET6, 0, 0, in6addr_any, 0};
        socklen_t length = sizeof a;
        const int on = 1;
        if (setsockopt(l.fd.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
            bind(l.fd.fd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            getsockname(l.fd.fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return std::nullopt;
        const sockaddr_in a4{AF_INET, a.sin6_port, {INADDR_ANY}, {}};
        if (bind(l.reserve.fd, reinterpret_cast<const sockaddr*>(&a4), sizeof a4) != 0)
            continue; // an IPv4 socket holds the port somewhere: another one
        if (listen(l.fd.fd, 64) != 0)
            return std::nullopt;
        l.port = ntohs(a.sin6_port);
        return l;
    }
    return std::nullopt;
}

struct Connection6 {
    Fd client = Fd(), server = Fd();
    api::MIB_TCP6ROW row{}; // the client's end as the IPv6 table shows it
    api::MIB_TCP6ROW ServerRow() const {
        return {row.State,     row.RemoteAddr,     row.dwRemoteScopeId, row.dwRemotePort,
                row.LocalAddr, row.dwLocalScopeId, row.dwLocalPort};
    }
};

// A connection from [::1] to an IPv6 listener on [::1].
inline std::optional<Connection6> Connect6(const Listener& listener) {
    Connection6 c{Fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    sockaddr_in6 local{}, remote{AF_INET6, htons(listener.port), 0, in6addr_loopback, 0};
    socklen_t length = sizeof local;
    pollfd p{listener.fd.fd, POLLIN, 0};
    if (connect(c.client.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
        getsockname(c.client.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        poll(&p, 1, 3000) != 1)
        return std::nullopt;
    c.server = Fd(accept4(listener.fd.fd, nullptr, nullptr, SOCK_CLOEXEC));
    c.row.State = api::MIB_TCP_STATE_ESTAB;
    std::memcpy(c.row.LocalAddr.Byte, &local.sin6_addr, 16);
    std::memcpy(c.row.RemoteAddr.Byte, &remote.sin6_addr, 16);
    c.row.dwLocalPort = local.sin6_port;
    c.row.dwRemotePort = remote.sin6_port;
    return c.server.fd >= 0 ? std::optional(std::move(c)) : std::nullopt;
}

// Runs body on a thread of its own in a new network namespace, its loopback up; false when there
// was none. The namespace has no name: it goes with the last socket made in it.
template <typename Body> bool InOtherNamespace(Body body) {
    bool up = false;
    std::thread([&] {
        ifreq lo{};
        std::strcpy(lo.ifr_name, "lo");
        const Fd s(unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1);
        up = s.fd >= 0 && ioctl(s.fd, SIOCGIFFLAGS, &lo) == 0 &&
             (lo.ifr_flags |= IFF_UP, ioctl(s.fd, SIOCSIFFLAGS, &lo) == 0);
        if (up)
            body();
    }).join();
    return up;
}

// Waits a bounded while for the next byte: 0 when it came, else ECONNRESET or ECONNABORTED for
// a cut, -2 at the end of the stream, -1 when nothing came.
inline int ReadError(int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    const ssize_t n = poll(&p, 1, 3000) == 1 ? recv(fd, &byte, 1, MSG_DONTWAIT) : -1;
    return n > 0 ? 0 : n == 0 ? -2 : p.revents ? errno : -1;
}
inline bool IsReset(int error) {
    return error == ECONNRESET || error == ECONNABORTED;
}

template <typename C> bool StillConnected(const C& c) { // a byte goes both ways
    return send(c.client.fd, "x", 1, MSG_NOSIGNAL) == 1 && ReadError(c.server.fd) == 0 &&
           send(c.server.fd, "x", 1, MSG_NOSIGNAL) == 1 && ReadError(c.client.fd) == 0;
}

} // namespace loopback
