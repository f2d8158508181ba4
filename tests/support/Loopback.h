// Loopback sockets of the tests' and the benchmarks' own, in either IP version: ports the kernel
// gives, peers on 127.0.0.2 and up or on [::1]. Every wait is bounded.
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
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <utility>

#undef ntohs

namespace loopback {

struct Fd { // closes its descriptor when it goes
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd o) noexcept { return std::swap(fd, o.fd), *this; }
    ~Fd() { fd >= 0 && ::close(fd); }
    int Release() { return std::exchange(fd, -1); }
};

// An address: text with a colon is IPv6, null is 0.0.0.0.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&storage); }
    sockaddr_in& V4() { return reinterpret_cast<sockaddr_in&>(storage); }
    sockaddr_in6& V6() { return reinterpret_cast<sockaddr_in6&>(storage); }
    int Family() const { return storage.ss_family; }
    uint16_t& Port() { return Family() == AF_INET6 ? V6().sin6_port : V4().sin_port; }
};
inline Address At(const char* ip, uint16_t port = 0) {
    Address a;
    const bool v6 = ip && std::strchr(ip, ':');
    a.storage.ss_family = v6 ? AF_INET6 : AF_INET;
    a.length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    a.Port() = htons(port);
    inet_pton(a.Family(), ip ? ip : "0.0.0.0", v6 ? (void*)&a.V6().sin6_addr : &a.V4().sin_addr);
    return a;
}
inline Address NameOf(int fd) {
    Address a;
    getsockname(fd, a.Raw(), &a.length);
    return a;
}

struct Listener {
    Fd fd;
    uint16_t port = 0;
    Fd reserve = Fd(); // an IPv6-only listener's port on every IPv4 address
};

// "::" with dualStack takes IPv4 connections as v4-mapped. An IPv6-only listener's port is also
// taken on every IPv4 address by a socket that only binds (and is in no table): a test may block
// its port without touching a connection it did not make. Port 0 takes one the kernel gives.
inline std::optional<Listener> Listen(const char* ip, bool dualStack = false, int flags = 0,
                                      uint16_t port = 0) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        Address a = At(ip, port);
        const bool v6only = a.Family() == AF_INET6 && !dualStack;
        Listener l{Fd(socket(a.Family(), SOCK_STREAM | SOCK_CLOEXEC | flags, 0))};
        const int on = 1, v6option = v6only;
        if (setsockopt(l.fd.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            (a.Family() == AF_INET6 &&
             setsockopt(l.fd.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6option, sizeof v6option) != 0) ||
            bind(l.fd.fd, a.Raw(), a.length) != 0)
            return std::nullopt;
        l.port = ntohs(NameOf(l.fd.fd).Port());
        if (v6only) {
            l.reserve = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            Address any = At(nullptr, l.port);
            if (bind(l.reserve.fd, any.Raw(), any.length) != 0)
                continue; // an IPv4 socket holds the port somewhere: another one
        }
        return listen(l.fd.fd, 4096) == 0 ? std::optional(std::move(l)) : std::nullopt;
    }
    return std::nullopt;
}

// A client from `from` (its port the kernel's, chosen at connect when portAtConnect) to to:port;
// -1 when it could not connect.
inline Fd Dial(const char* from, const char* to, uint16_t port, bool portAtConnect = false) {
    Address local = At(from), remote = At(to, port);
    Fd fd(socket(remote.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (portAtConnect)
        setsockopt(fd.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (bind(fd.fd, local.Raw(), local.length) != 0 ||
        connect(fd.fd, remote.Raw(), remote.length) != 0)
        return Fd();
    return fd;
}

// A connection's two ends and the client's row as the table of its IP version shows it.
template <typename Row> struct Connection {
    Fd client = Fd(), server = Fd();
    Row row{};
    Row ServerRow() const {
        if constexpr (std::is_same_v<Row, api::MIB_TCPROW>)
            return {row.dwState, row.dwRemoteAddr, row.dwRemotePort, row.dwLocalAddr,
                    row.dwLocalPort};
        else
            return {row.State,     row.RemoteAddr,     row.dwRemoteScopeId, row.dwRemotePort,
                    row.LocalAddr, row.dwLocalScopeId, row.dwLocalPort};
    }
};
using Connection4 = Connection<api::MIB_TCPROW>;
using Connection6 = Connection<api::MIB_TCP6ROW>;

template <typename Row = api::MIB_TCPROW>
std::optional<Connection<Row>> Connect(const Listener& listener, const char* to, const char* from) {
    Connection<Row> c{Dial(from, to, listener.port)};
    pollfd p{listener.fd.fd, POLLIN, 0};
    if (c.client.fd < 0 || poll(&p, 1, 3000) != 1)
        return std::nullopt;
    c.server = Fd(accept4(listener.fd.fd, nullptr, nullptr, SOCK_CLOEXEC));
    Address local = NameOf(c.client.fd), remote = At(to, listener.port);
    if constexpr (std::is_same_v<Row, api::MIB_TCPROW>) {
        c.row = {api::MIB_TCP_STATE_ESTAB, local.V4().sin_addr.s_addr, local.Port(),
                 remote.V4().sin_addr.s_addr, remote.Port()};
    } else {
        c.row.State = api::MIB_TCP_STATE_ESTAB;
        std::memcpy(c.row.LocalAddr.Byte, &local.V6().sin6_addr, 16);
        std::memcpy(c.row.RemoteAddr.Byte, &remote.V6().sin6_addr, 16);
        c.row.dwLocalPort = local.Port();
        c.row.dwRemotePort = remote.Port();
    }
    return c.server.fd >= 0 ? std::optional(std::move(c)) : std::nullopt;
}
inline std::optional<Connection6> Connect6(const Listener& listener) { // [::1] to [::1]
    return Connect<api::MIB_TCP6ROW>(listener, "::1", "::1");
}

// Moves the calling thread into a new network namespace and brings its loopback up; false when
// it could not. The namespace has no name: it goes with the last socket made in it.
inline bool EnterNewNamespace() {
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    const Fd s(unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1);
    return s.fd >= 0 && ioctl(s.fd, SIOCGIFFLAGS, &lo) == 0 &&
           (lo.ifr_flags |= IFF_UP, ioctl(s.fd, SIOCSIFFLAGS, &lo) == 0);
}
// Runs body on a thread of its own in a new network namespace; false when there was none.
template <typename Body> bool InOtherNamespace(Body body) {
    bool up = false;
    std::thread([&] { (up = EnterNewNamespace()) && (body(), true); }).join();
    return up;
}

inline bool HasNetAdmin() { // bit 12 of the effective capabilities
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1;
    return false;
}
inline constexpr char NoNetAdmin[] = "CAP_NET_ADMIN is missing: cutting a connection needs it";

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
