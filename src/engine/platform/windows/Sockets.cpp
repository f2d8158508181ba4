// The sockets helpers over Winsock 1.1.
#include "engine/basAPI.h"

#include <cstring>

#include <winsock2.h>

namespace api {

uint16_t ntohs(uint16_t netshort) {
    return ::ntohs(netshort);
}

const char* inet_ntoa(uint32_t in) {
    in_addr address{};
    address.s_addr = in;
    return ::inet_ntoa(address);
}

int32_t WSAStartup(uint16_t wVersionRequested) {
    // Each start is counted by Winsock and never undone: the library lives until the process ends.
    WSADATA data;
    std::memset(&data, 0, sizeof data);
    return ::WSAStartup(wVersionRequested, &data);
}

int32_t gethostname(char* name, int32_t namelen) {
    if (name == nullptr || namelen <= 0)
        return SOCKET_ERROR;
    return ::gethostname(name, namelen);
}

const hostent* gethostbyname(const char* name) {
    // Winsock's entry lives in a per-thread buffer that the next lookup overwrites; copy it out.
    static hostent entry;
    const ::hostent* found = name ? ::gethostbyname(name) : nullptr;
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length <= 0)
        return nullptr;
    entry = hostent{};
    entry.h_length = found->h_length;
    for (char** a = found->h_addr_list; a != nullptr && *a != nullptr; ++a) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(*a);
        entry.h_addr_list.emplace_back(bytes, bytes + found->h_length);
    }
    return &entry;
}

} // namespace api
