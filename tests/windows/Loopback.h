// A real loopback connection for the Windows tests: a listener on 127.0.0.1 at a port the system
// picks, a client bound to another loopback address, and the server's side of the connection.
// Only sockets made here are ever looked up or cut by the tests.
#pragma once

#include <cstdint>
#include <string>

namespace wintest {

struct Endpoint {
    uint32_t address = 0; // network byte order, as the table holds it
    uint16_t port = 0;    // host order
};

class Loopback {
public:
    // Connects a client bound to clientAddress (a.b.c.d) to a fresh listener on 127.0.0.1.
    // ok() tells whether it worked; error() says why not.
    explicit Loopback(const char* clientAddress = "127.0.0.2");
    ~Loopback();
    Loopback(const Loopback&) = delete;
    Loopback& operator=(const Loopback&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    Endpoint listener() const { return listener_; }
    Endpoint client() const { return client_; }

    // True while the client can still send and the server side receives it.
    bool Alive();
    // True when the client's side was reset by the peer.
    bool ClientWasReset();

private:
    uintptr_t listen_ = ~uintptr_t(0), client_s_ = ~uintptr_t(0), served_ = ~uintptr_t(0);
    bool started_ = false;
    Endpoint listener_, client_;
    std::string error_;
};

// Address a.b.c.d in network byte order.
uint32_t Address(const char* dotted);

// True when the program runs under Wine rather than on Windows.
bool UnderWine();

} // namespace wintest
