// The sockets and process helpers of basAPI.h over POSIX.
#include "engine/basAPI.h"

#include <arpa/inet.h>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <system_error>
#include <unistd.h>

// glibc may define these as macros, which would rewrite the declarations below.
#undef ntohs
#undef inet_ntoa

namespace api {

uint16_t ntohs(uint16_t netshort) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<uint16_t>(netshort >> 8 | netshort << 8);
    else
        return netshort;
}

const char* inet_ntoa(uint32_t in) {
    static char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &in, text, sizeof(text));
}

const char* inet_ntop6(const IN6_ADDR& address, uint32_t scopeId) {
    static char text[INET6_ADDRSTRLEN + 1 + IF_NAMESIZE];
    if (!::inet_ntop(AF_INET6, address.Byte, text, INET6_ADDRSTRLEN))
        return nullptr;
    if (scopeId != 0) {
        char name[IF_NAMESIZE];
        const std::string zone = if_indextoname(scopeId, name) ? name : std::to_string(scopeId);
        std::snprintf(text + std::strlen(text), sizeof(text) - std::strlen(text), "%%%s",
                      zone.c_str());
    }
    return text;
}

bool inet_pton6(const char* text, IN6_ADDR& address) {
    return text && ::inet_pton(AF_INET6, text, address.Byte) == 1;
}

int32_t WSAStartup(uint16_t) {
    return 0;
}

int32_t gethostname(char* name, int32_t namelen) {
    if (!name || namelen <= 0)
        return -1;
    if (::gethostname(name, static_cast<size_t>(namelen)) != 0)
        return -1;
    name[namelen - 1] = '\0'; // POSIX leaves a cut name unterminated
    return 0;
}

const hostent* gethostbyname(const char* name) {
    // The machine's own addresses, whatever the name: the interface list is what a host lookup
    // of the own name means here, without depending on a resolver setup.
    if (!name)
        return nullptr;
    static hostent entry;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return nullptr;
    entry.h_length = 4;
    entry.h_addr_list.clear();
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        const auto* a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&a->sin_addr.s_addr);
        entry.h_addr_list.emplace_back(bytes, bytes + 4);
    }
    freeifaddrs(list);
    return &entry;
}

std::vector<LocalAddress6> GetLocalAddresses6() {
    std::vector<LocalAddress6> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6 || !(i->ifa_flags & IFF_UP))
            continue;
        const auto* a = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
        LocalAddress6& local = found.emplace_back();
        std::memcpy(local.address.Byte, &a->sin6_addr, 16);
        local.scopeId = a->sin6_scope_id;
    }
    freeifaddrs(list);
    return found;
}

void Sleep(uint32_t dwMilliseconds) {
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::u16string AppFolder() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return exe.parent_path().u16string();
}

char16_t PathSeparator() {
    return u'/';
}

} // namespace api
