#include "fakes/ScriptedPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using fake::P;

namespace api {

uint32_t GetTcpTable(MIB_TCPTABLE* pTcpTable, uint32_t* pdwSize, int32_t) {
    ++P().tableReads;
    if (P().beforeTableRead)
        P().beforeTableRead();
    const auto& rows = P().table;
    const uint32_t needed = 4 + uint32_t(rows.size()) * sizeof(MIB_TCPROW);
    if (*pdwSize < needed) {
        *pdwSize = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    pTcpTable->dwNumEntries = uint32_t(rows.size());
    if (!rows.empty())
        std::memcpy(pTcpTable->table, rows.data(), rows.size() * sizeof(MIB_TCPROW));
    return NO_ERROR_;
}

uint32_t SetTcpEntry(MIB_TCPROW* pTcpRow) {
    P().cuts.push_back(*pTcpRow);
    if (pTcpRow->dwState != MIB_TCP_STATE_DELETE_TCB)
        return ERROR_INVALID_PARAMETER;
    if (P().cutResult == NO_ERROR_ && P().cutRemovesRow) {
        auto& rows = P().table;
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](const MIB_TCPROW& r) {
                                      return r.dwLocalAddr == pTcpRow->dwLocalAddr &&
                                             r.dwLocalPort == pTcpRow->dwLocalPort &&
                                             r.dwRemoteAddr == pTcpRow->dwRemoteAddr &&
                                             r.dwRemotePort == pTcpRow->dwRemotePort;
                                  }),
                   rows.end());
    }
    return P().cutResult;
}

uint16_t ntohs(uint16_t v) {
    return uint16_t((v >> 8) | (v << 8));
}

const char* inet_ntoa(uint32_t in) {
    static char text[16];
    if (P().ntoaFails)
        return nullptr;
    uint8_t b[4];
    std::memcpy(b, &in, 4);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

int32_t WSAStartup(uint16_t) {
    ++P().socketStarts;
    return 0;
}

int32_t gethostname(char* name, int32_t namelen) {
    if (P().hostNameFails || namelen <= 0)
        return -1;
    std::snprintf(name, size_t(namelen), "%s", P().hostName.c_str());
    return 0;
}

const hostent* gethostbyname(const char*) {
    static hostent entry;
    if (P().hostEntryMissing)
        return nullptr;
    entry = hostent{};
    for (const auto& a : P().localAddresses)
        entry.h_addr_list.emplace_back(a.begin(), a.end());
    return &entry;
}

intptr_t TableWakeHandle() {
    return -1;
}

uint64_t TableVersion() {
    static uint64_t changing = 0;
    return P().tableVersion ? P().tableVersion : ++changing | uint64_t(1) << 63;
}

void Sleep(uint32_t) {
    ++P().sleeps;
}

std::u16string CutRightsAdvice() {
    return u"Ask for the right.";
}

std::u16string AppFolder() {
    return P().appFolder;
}

char16_t PathSeparator() {
    return u'/';
}

} // namespace api
