#include "fakes/ScriptedPlatform.h"

#include <cstdio>
#include <cstring>

namespace fake {

Platform& P() {
    static Platform platform;
    return platform;
}

void Reset() {
    P() = Platform{};
}

uint32_t Addr(const char* dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    const uint8_t bytes[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

static uint32_t PortField(uint16_t port) {
    return uint32_t((port >> 8) | ((port & 0xff) << 8));
}

api::MIB_TCPROW Row(uint32_t state, const char* localAddr, uint16_t localPort,
                    const char* remoteAddr, uint16_t remotePort) {
    return {state, Addr(localAddr), PortField(localPort), Addr(remoteAddr), PortField(remotePort)};
}

api::IN6_ADDR Addr6(const char* text) {
    api::IN6_ADDR a{};
    api::inet_pton6(text, a);
    return a;
}

api::MIB_TCP6ROW Row6(uint32_t state, const char* localAddr, uint16_t localPort,
                      const char* remoteAddr, uint16_t remotePort, uint32_t scopeId) {
    return {state,   Addr6(localAddr),     scopeId, PortField(localPort), Addr6(remoteAddr),
            scopeId, PortField(remotePort)};
}

} // namespace fake
