// Rows as text, so that cases read as tables: "7 ESTAB 1:50000 2:4000" is the socket with cookie
// 7 in table state ESTAB from 127.0.0.1:50000 to 127.0.0.2:4000 (0:0 is 0.0.0.0, port 0), and
// " mapped" marks a dual-stack socket. Rows are separated by commas.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <span>
#include <sstream>

#undef ntohs

namespace rowtext {

using okg::netlink::SocketRow;

inline constexpr std::string_view States[] = {"",           "CLOSED",  "LISTEN",    "SYN_SENT",
                                              "SYN_RCVD",   "ESTAB",   "FIN_WAIT1", "FIN_WAIT2",
                                              "CLOSE_WAIT", "CLOSING", "LAST_ACK",  "TIME_WAIT"};

inline uint8_t Index(std::span<const std::string_view> names, std::string_view name) {
    return uint8_t(std::ranges::find(names, name) - names.begin());
}

// Calls f(item, cookie, word, ends) for each item: "cookie word a:p b:p ...", ends as 127.0.0.a
// (0: unset, network order) and host-order ports.
template <typename F> void Parse(const std::string& text, F f) {
    std::istringstream in(text);
    for (std::string s; std::getline(in, s, ',');) {
        unsigned long long cookie = 0;
        char word[32] = {};
        unsigned e[4] = {};
        std::sscanf(s.c_str(), "%llu %31s %u:%u %u:%u", &cookie, word, &e[0], &e[1], &e[2], &e[3]);
        const auto ip = [](unsigned n) { return n ? htonl(0x7f000000 | n) : 0; };
        f(s, cookie, std::string_view(word), std::array{ip(e[0]), e[1], ip(e[2]), e[3]});
    }
}

inline std::vector<SocketRow> Rows(const std::string& text) {
    std::vector<SocketRow> rows;
    Parse(text, [&](const std::string& s, uint64_t cookie, std::string_view state, auto e) {
        SocketRow& row = rows.emplace_back();
        row.cookie = cookie;
        row.row = {Index(States, state), e[0], htons(uint16_t(e[1])), e[2], htons(uint16_t(e[3]))};
        row.v4mapped = s.ends_with(" mapped");
        // As a dump marks timewait and request sockets.
        row.eventless = state == "TIME_WAIT" || state == "SYN_RCVD";
    });
    return rows;
}

// IPv6 rows read "7 ESTAB [::1]:50000 [::1]:4000". Gaps (rows of state 0) are left out.
inline std::string Text(const std::vector<SocketRow>& rows) {
    std::ostringstream out;
    for (const SocketRow& s : rows) {
        const api::MIB_TCPROW& r = s.row;
        if (r.dwState == 0)
            continue;
        out << (out.tellp() ? ", " : "") << s.cookie << ' ' << States[r.dwState % 12] << ' ';
        if (s.v6) {
            char local[INET6_ADDRSTRLEN], remote[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, s.local6.Byte, local, sizeof local);
            inet_ntop(AF_INET6, s.remote6.Byte, remote, sizeof remote);
            out << '[' << local << "]:" << ntohs(uint16_t(r.dwLocalPort)) << " [" << remote
                << "]:" << ntohs(uint16_t(r.dwRemotePort));
            continue;
        }
        out << (ntohl(r.dwLocalAddr) & 0xff) << ':' << ntohs(uint16_t(r.dwLocalPort)) << ' '
            << (ntohl(r.dwRemoteAddr) & 0xff) << ':' << ntohs(uint16_t(r.dwRemotePort))
            << (s.v4mapped ? " mapped" : "");
    }
    return out.str();
}

} // namespace rowtext
