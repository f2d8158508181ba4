// Loopback sockets of the tests' and the benchmarks' own, in either IP version: ports the kernel
// gives, peers on 127.0.0.2 and up or on [::1]. Every wait is bounded.
#pragma once

#include "engine/basAPI.h"
#include "engine/platform/linux/Capabilities.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <sched.h>
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

// An address of either family: text with a colon is IPv6, null is 0.0.0.0. Both families keep
// their port at the same place.
union Address {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
    socklen_t Length() const { return any.sa_family == AF_INET6 ? sizeof v6 : sizeof v4; }
};
inline Address At(const char* ip, uint16_t port = 0) {
    Address a{};
    const bool v6 = ip && std::strchr(ip, ':');
    a.v6 = {sa_family_t(v6 ? AF_INET6 : AF_INET), htons(port), 0, {}, 0};
    inet_pton(a.any.sa_family, ip ? ip : "0.0.0.0", v6 ? (void*)&a.v6.sin6_addr : &a.v4.sin_addr);
    return a;
}
inline Address NameOf(int fd) {
    Address a{};
    socklen_t length = sizeof a;
    getsockname(fd, &a.any, &length);
    return a;
}

struct Listener {
    Fd fd;
    uint16_t port = 0; // the one the kernel gave
};

// "::" with dualStack takes IPv4 connections as v4-mapped. flags go to socket() (SOCK_NONBLOCK).
inline std::optional<Listener> Listen(const char* ip, bool dualStack = false, int flags = 0) {
    const Address a = At(ip);
    const int on = 1, v6only = !dualStack;
    Listener l{Fd(socket(a.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0))};
    if (setsockopt(l.fd.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (a.any.sa_family == AF_INET6 &&
         setsockopt(l.fd.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) ||
        bind(l.fd.fd, &a.any, a.Length()) != 0 || listen(l.fd.fd, 4096) != 0)
        return std::nullopt;
    l.port = ntohs(NameOf(l.fd.fd).v4.sin_port);
    return l;
}

// A client from `from` (its port the kernel's, chosen at connect when portAtConnect) to to:port;
// -1 when it could not connect.
inline Fd Dial(const char* from, const char* to, uint16_t port, bool portAtConnect = false) {
    const Address local = At(from), remote = At(to, port);
    Fd fd(socket(remote.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (portAtConnect)
        setsockopt(fd.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (bind(fd.fd, &local.any, local.Length()) != 0 ||
        connect(fd.fd, &remote.any, remote.Length()) != 0)
        return Fd();
    return fd;
}

// The row of an established end as the table of its IP version shows it.
template <typename Row> Row RowOf(const Address& local, const Address& remote) {
    if constexpr (std::is_same_v<Row, api::MIB_TCPROW>) {
        return {api::MIB_TCP_STATE_ESTAB, local.v4.sin_addr.s_addr, local.v4.sin_port,
                remote.v4.sin_addr.s_addr, remote.v4.sin_port};
    } else {
        Row r{api::MIB_TCP_STATE_ESTAB, {}, 0, local.v6.sin6_port, {}, 0, remote.v6.sin6_port};
        std::memcpy(r.LocalAddr.Byte, &local.v6.sin6_addr, 16);
        std::memcpy(r.RemoteAddr.Byte, &remote.v6.sin6_addr, 16);
        return r;
    }
}

template <typename Row> struct Connection {
    Fd client = Fd(), server = Fd();
    Row row{}, serverRow{}; // its two ends' rows
};
using Connection4 = Connection<api::MIB_TCPROW>;
using Connection6 = Connection<api::MIB_TCP6ROW>;

template <typename Row = api::MIB_TCPROW>
std::optional<Connection<Row>> Connect(const Listener& listener, const char* to, const char* from) {
    Connection<Row> c{Dial(from, to, listener.port)};
    pollfd p{listener.fd.fd, POLLIN, 0};
    if (c.client.fd < 0 || poll(&p, 1, 3000) != 1 ||
        (c.server = Fd(accept4(listener.fd.fd, nullptr, nullptr, SOCK_CLOEXEC))).fd < 0)
        return std::nullopt;
    const Address local = NameOf(c.client.fd), remote = At(to, listener.port);
    c.row = RowOf<Row>(local, remote);
    c.serverRow = RowOf<Row>(remote, local);
    return c;
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

inline bool HasNetAdmin() {
    return okg::caps::Get().effective & okg::caps::Bit(CAP_NET_ADMIN);
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
