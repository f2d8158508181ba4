// The sockets helpers over Winsock 1.1.
#include "engine/basAPI.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock: it declares its IPv6 calls only then.
#include <iphlpapi.h>

namespace api {

uint16_t ntohs(uint16_t netshort) {
    return ::ntohs(netshort);
}

const char* inet_ntoa(uint32_t in) {
    in_addr address{};
    address.s_addr = in;
    return ::inet_ntoa(address);
}

const char* inet_ntop6(const IN6_ADDR& address, uint32_t scopeId) {
    static char text[INET6_ADDRSTRLEN + 12];
    wchar_t wide[INET6_ADDRSTRLEN];
    ::IN6_ADDR system{};
    std::memcpy(&system, address.Byte, 16);
    if (!::InetNtopW(AF_INET6, &system, wide, INET6_ADDRSTRLEN))
        return nullptr;
    size_t n = 0;
    for (; wide[n] != 0 && n + 1 < sizeof text; ++n)
        text[n] = char(wide[n]); // the text is ASCII
    text[n] = 0;
    if (scopeId != 0) // Windows names a zone by its interface number
        std::snprintf(text + n, sizeof text - n, "%%%lu", static_cast<unsigned long>(scopeId));
    return text;
}

bool inet_pton6(const char* text, IN6_ADDR& address) {
    if (text == nullptr)
        return false;
    std::wstring wide;
    for (const char* c = text; *c; ++c)
        wide += wchar_t(static_cast<unsigned char>(*c));
    ::IN6_ADDR system{};
    if (::InetPtonW(AF_INET6, wide.c_str(), &system) != 1)
        return false;
    std::memcpy(address.Byte, &system, 16);
    return true;
}

std::vector<LocalAddress6> GetLocalAddresses6() {
    std::vector<LocalAddress6> found;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_INET6, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return found;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp)
            continue;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            const sockaddr* s = u->Address.lpSockaddr;
            if (s == nullptr || s->sa_family != AF_INET6)
                continue;
            const auto* s6 = reinterpret_cast<const sockaddr_in6*>(s);
            LocalAddress6& local = found.emplace_back();
            std::memcpy(local.address.Byte, &s6->sin6_addr, 16);
            local.scopeId = s6->sin6_scope_id;
        }
    }
    return found;
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
