// The benchmarks' loopback sockets: those of the tests, as plain descriptors, ending the process
// when a listener cannot be had, since a benchmark without it measures nothing.
#pragma once

#include "support/Loopback.h"

#include <cstdio>
#include <cstdlib>

// A listener on `ip`, its port written to `port`; flags go to socket() (SOCK_NONBLOCK).
inline int Listener(const char* ip, uint16_t& port, int flags = 0) {
    auto listener = loopback::Listen(ip, false, flags);
    if (!listener) {
        std::perror("listener");
        std::exit(1);
    }
    port = listener->port;
    return listener->fd.Release();
}
