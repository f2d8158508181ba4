// Real loopback connections for the kernel tests: sockets the test owns, on ports the kernel
// gave, with peers on 127.0.0.2 and up.
#pragma once

#include "engine/basAPI.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace loopback {

// Closes its descriptor when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    ~Fd();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

uint32_t Addr(const char* dotted); // network order

// True when this process may destroy sockets (SOCK_DESTROY needs CAP_NET_ADMIN).
bool HasNetAdmin();
inline constexpr char NoNetAdmin[] =
    "CAP_NET_ADMIN is missing: cutting a connection needs it (run as root)";

struct Listener {
    Fd fd;
    uint16_t port = 0;
};
// A listener on address:port (0: the kernel chooses). dualStack listens on :: with IPV6_V6ONLY
// off instead, taking IPv4 connections as v4-mapped; address is then ignored.
std::optional<Listener> Listen(const char* address, uint16_t port = 0, bool dualStack = false);

struct Connection {
    Fd client;
    Fd server;
    uint32_t clientAddr = 0;
    uint16_t clientPort = 0;
    uint32_t serverAddr = 0;
    uint16_t serverPort = 0;
    // The rows of the two ends, as the table shows them (state 5).
    api::MIB_TCPROW ClientRow() const;
    api::MIB_TCPROW ServerRow() const;
};
// Connects from clientAddress:0 to serverAddress:listener.port and accepts.
std::optional<Connection> Connect(const Listener& listener, const char* serverAddress,
                                  const char* clientAddress);

// The whole table through GetTcpTable, grown until it fits.
std::vector<api::MIB_TCPROW> ReadTable();
// How many rows of the table have this 4-tuple and state.
int CountRows(const std::vector<api::MIB_TCPROW>& table, const api::MIB_TCPROW& row);
// Reads the table until a row with this 4-tuple has the state (a bounded number of tries).
bool WaitForRow(const api::MIB_TCPROW& row);

// The error the client's next read gives, waiting a bounded while for it: ECONNRESET or
// ECONNABORTED for a cut connection, 0 when data arrived, -2 at the end of the stream, -1 when
// nothing happened.
int ReadError(int fd);
// True when a byte goes both ways over the connection.
bool StillConnected(const Connection& c);

} // namespace loopback
