#include "fakes/ScriptedPlatform.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
// The system headers may define these as macros, which would rewrite the definitions below.
#undef ntohs
#undef inet_ntoa

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

using fake::P;

namespace api {

namespace {

// The scripted rows into the caller's table, with the platform's size protocol.
template <typename Table, typename Row>
uint32_t WriteTable(const std::vector<Row>& rows, Table* table, uint32_t* pdwSize) {
    const uint32_t needed = 4 + uint32_t(rows.size()) * sizeof(Row);
    if (*pdwSize < needed) {
        *pdwSize = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = uint32_t(rows.size());
    if (!rows.empty())
        std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    return NO_ERROR_;
}

// Records a cut of either table and answers it; a successful one takes the connection's rows (the
// fields after the state, which comes first) out of the table.
template <typename Row>
uint32_t Cut(std::vector<Row>& cuts, std::vector<Row>& rows, const Row& wanted, uint32_t result) {
    cuts.push_back(wanted);
    uint32_t state = 0;
    std::memcpy(&state, &wanted, sizeof state);
    if (state != MIB_TCP_STATE_DELETE_TCB)
        return ERROR_INVALID_PARAMETER;
    const auto* w = reinterpret_cast<const char*>(&wanted) + sizeof state;
    // A table that tells its version changes with the cut, as the kernel's events say.
    if (result == NO_ERROR_ && P().cutRemovesRow && P().tableVersion != 0)
        ++P().tableVersion;
    if (result == NO_ERROR_ && P().cutRemovesRow)
        std::erase_if(rows, [&](const Row& r) {
            return std::memcmp(reinterpret_cast<const char*>(&r) + sizeof state, w,
                               sizeof(Row) - sizeof state) == 0;
        });
    return result;
}

} // namespace

uint32_t GetTcpTable(MIB_TCPTABLE* pTcpTable, uint32_t* pdwSize, int32_t) {
    ++P().tableReads;
    if (P().beforeTableRead)
        P().beforeTableRead();
    return WriteTable(P().table, pTcpTable, pdwSize);
}

uint32_t SetTcpEntry(MIB_TCPROW* pTcpRow) {
    return Cut(P().cuts, P().table, *pTcpRow, P().cutResult);
}

uint32_t GetTcp6Table(MIB_TCP6TABLE* pTcpTable, uint32_t* pdwSize, int32_t) {
    if (P().beforeTable6Read)
        P().beforeTable6Read();
    return WriteTable(P().table6, pTcpTable, pdwSize);
}

uint32_t SetTcp6Entry(MIB_TCP6ROW* pTcpRow) {
    return Cut(P().cuts6, P().table6, *pTcpRow, P().cut6Result);
}

// The platform's own IPv6 text, as the real layers use it.
const char* inet_ntop6(const IN6_ADDR& address, uint32_t scopeId) {
    static char text[80];
    if (!::inet_ntop(AF_INET6, address.Byte, text, 46))
        return nullptr;
    if (scopeId != 0)
        std::snprintf(text + std::strlen(text), 20, "%%if%u", unsigned(scopeId));
    return text;
}

bool inet_pton6(const char* text, IN6_ADDR& address) {
    return ::inet_pton(AF_INET6, text, address.Byte) == 1;
}

std::vector<LocalAddress6> GetLocalAddresses6() {
    return P().localAddresses6;
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
    std::snprintf(name, size_t(namelen), "%s", "testhost");
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
    return P().wakeHandle;
}

uint64_t TableVersion() {
    static uint64_t changing = 0;
    return P().tableVersion ? P().tableVersion : ++changing | uint64_t(1) << 63;
}

uint32_t TableQuietMs() {
    return P().tableQuietMs;
}

void Sleep(uint32_t) {}

std::u16string CutRefusedText(uint32_t result) {
    const std::string number = std::to_string(result);
    return u"Cannot cut (" + std::u16string(number.begin(), number.end()) + u").";
}

PlatformNews TakePlatformNews() {
    return std::exchange(P().news, {});
}

std::u16string AppFolder() {
    return P().appFolder;
}

char16_t PathSeparator() {
    return u'/';
}

} // namespace api
