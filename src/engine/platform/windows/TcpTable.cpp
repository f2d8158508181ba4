// The connection table over iphlpapi. Our row and table types are the system's, field for
// field, so the caller's buffer is handed to the system as it is.
#include "engine/platform/windows/TcpTable.h"

#include <cstddef>
#include <utility>

// After the core's header: windows.h defines ERROR_* as macros, which would otherwise rewrite
// the constants basAPI.h declares.
#include <winsock2.h>
#include <ws2ipdef.h>
// After Winsock: it declares its IPv6 table only then.
#include <iphlpapi.h>
#include <windows.h>

static_assert(sizeof(api::MIB_TCPROW) == sizeof(::MIB_TCPROW));
static_assert(offsetof(api::MIB_TCPROW, dwState) == offsetof(::MIB_TCPROW, dwState));
static_assert(offsetof(api::MIB_TCPROW, dwLocalAddr) == offsetof(::MIB_TCPROW, dwLocalAddr));
static_assert(offsetof(api::MIB_TCPROW, dwLocalPort) == offsetof(::MIB_TCPROW, dwLocalPort));
static_assert(offsetof(api::MIB_TCPROW, dwRemoteAddr) == offsetof(::MIB_TCPROW, dwRemoteAddr));
static_assert(offsetof(api::MIB_TCPROW, dwRemotePort) == offsetof(::MIB_TCPROW, dwRemotePort));
static_assert(sizeof(api::MIB_TCPTABLE) == sizeof(::MIB_TCPTABLE));
static_assert(offsetof(api::MIB_TCPTABLE, dwNumEntries) == offsetof(::MIB_TCPTABLE, dwNumEntries));
static_assert(offsetof(api::MIB_TCPTABLE, table) == offsetof(::MIB_TCPTABLE, table));
static_assert(sizeof(api::IN6_ADDR) == sizeof(::IN6_ADDR));
static_assert(sizeof(api::MIB_TCP6ROW) == sizeof(::MIB_TCP6ROW));
static_assert(offsetof(api::MIB_TCP6ROW, State) == offsetof(::MIB_TCP6ROW, State));
static_assert(offsetof(api::MIB_TCP6ROW, LocalAddr) == offsetof(::MIB_TCP6ROW, LocalAddr));
static_assert(offsetof(api::MIB_TCP6ROW, dwLocalScopeId) ==
              offsetof(::MIB_TCP6ROW, dwLocalScopeId));
static_assert(offsetof(api::MIB_TCP6ROW, dwLocalPort) == offsetof(::MIB_TCP6ROW, dwLocalPort));
static_assert(offsetof(api::MIB_TCP6ROW, RemoteAddr) == offsetof(::MIB_TCP6ROW, RemoteAddr));
static_assert(offsetof(api::MIB_TCP6ROW, dwRemoteScopeId) ==
              offsetof(::MIB_TCP6ROW, dwRemoteScopeId));
static_assert(offsetof(api::MIB_TCP6ROW, dwRemotePort) == offsetof(::MIB_TCP6ROW, dwRemotePort));
static_assert(sizeof(api::MIB_TCP6TABLE) == sizeof(::MIB_TCP6TABLE));
static_assert(offsetof(api::MIB_TCP6TABLE, table) == offsetof(::MIB_TCP6TABLE, table));
static_assert(sizeof(ULONG) == sizeof(uint32_t) && sizeof(DWORD) == sizeof(uint32_t));

namespace {

win::CutObserver& Observer() {
    static win::CutObserver observer;
    return observer;
}

} // namespace

namespace win {

CutObserver SetCutObserver(CutObserver observer) {
    return std::exchange(Observer(), observer);
}

} // namespace win

namespace api {

namespace {

// The system's read of a table (IPv4 or IPv6) into the caller's buffer, whose types are the
// system's field for field.
template <typename SystemTable, typename Table, typename Read>
uint32_t ReadTable(Table* table, uint32_t* pdwSize, int32_t bOrder, Read read) {
    if (pdwSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    ULONG size = *pdwSize;
    const ULONG result = read(reinterpret_cast<SystemTable*>(table), &size, bOrder ? TRUE : FALSE);
    *pdwSize = size;
    if (result == NO_ERROR && table != nullptr) {
        // Windows leaves the upper half of a port field undefined; clear it so that a row reads
        // exactly as on Linux and the same connection always gives the same row.
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            table->table[i].dwLocalPort &= 0xFFFFu;
            table->table[i].dwRemotePort &= 0xFFFFu;
        }
    }
    return result;
}

} // namespace

uint32_t GetTcpTable(MIB_TCPTABLE* pTcpTable, uint32_t* pdwSize, int32_t bOrder) {
    return ReadTable<::MIB_TCPTABLE>(pTcpTable, pdwSize, bOrder, ::GetTcpTable);
}

uint32_t GetTcp6Table(MIB_TCP6TABLE* pTcpTable, uint32_t* pdwSize, int32_t bOrder) {
    return ReadTable<::MIB_TCP6TABLE>(pTcpTable, pdwSize, bOrder, ::GetTcp6Table);
}

// Windows has no call that resets an IPv6 connection (SetTcpEntry takes IPv4 rows only).
uint32_t SetTcp6Entry(MIB_TCP6ROW* pTcpRow) {
    return pTcpRow == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED;
}

uint32_t SetTcpEntry(MIB_TCPROW* pTcpRow) {
    if (pTcpRow == nullptr)
        return ERROR_INVALID_PARAMETER;
    const MIB_TCPROW requested = *pTcpRow;
    const DWORD result = ::SetTcpEntry(reinterpret_cast<::MIB_TCPROW*>(pTcpRow));
    if (Observer())
        Observer()(requested, result);
    return result;
}

std::u16string CutRefusedText(uint32_t result) {
    if (result == ERROR_NOT_SUPPORTED)
        return u"IPv6 connections cannot be cut on Windows: they are listed, and those on blocked "
               u"ports stay open.";
    return u"Cannot cut connections: this needs administrator rights. Start it with \"Run as "
           u"administrator\".";
}

// Everything this platform has to tell comes from the results of its calls.
PlatformNews TakePlatformNews() {
    return {};
}

// The table offers no notification here: the loop reads it every millisecond.
intptr_t TableWakeHandle() {
    return -1;
}

uint64_t TableVersion() {
    static uint64_t version = 0;
    return ++version;
}

uint32_t TableQuietMs() {
    return 0;
}

} // namespace api
