// The engine: one pass over the connection table per loop, the per-row cache, the cut, and the
// editing of the current list.
#pragma once

#include "engine/basAPI.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class List;

// A table snapshot (the IPv4 or the IPv6 table, read by Get). It starts with room for 101 rows
// and grows whenever the platform says the table does not fit, so a pass always sees the whole
// table.
template <typename TableType, typename RowType, uint32_t (*Get)(TableType*, uint32_t*, int32_t)>
class TableSnapshot {
public:
    static constexpr uint32_t InitialRows = 101;
    static constexpr uint32_t RowBytes = sizeof(RowType);
    static_assert(RowBytes % 4 == 0);

    TableSnapshot() { Resize(InitialRows); }

    // Reads the whole table, growing the buffer until it fits. Returns the platform's result of
    // the last read; on a failure other than "does not fit" the previous snapshot stays.
    uint32_t Read() {
        uint32_t result = api::ERROR_INSUFFICIENT_BUFFER;
        // The table can grow between the call that reports its size and the next read; a few
        // rounds with some headroom settle it.
        for (int attempt = 0; attempt < 8 && result == api::ERROR_INSUFFICIENT_BUFFER; ++attempt) {
            uint32_t size = SizeBytes();
            result = Get(Table(), &size, 0);
            if (result == api::ERROR_INSUFFICIENT_BUFFER) {
                const uint32_t needed = size > 4 ? (size - 4 + RowBytes - 1) / RowBytes : 0;
                Resize(std::max(needed + needed / 8 + 16, capacityRows_ + 1));
            }
        }
        return result;
    }

    uint32_t Capacity() const { return capacityRows_; }
    uint32_t SizeBytes() const { return 4 + capacityRows_ * RowBytes; }
    // The snapshot's row count, never more than the buffer holds.
    uint32_t EntryCount() const { return std::min(Table()->dwNumEntries, capacityRows_); }
    // Where the snapshot lists the connection `same` recognises, tried first at `near` (a newer
    // snapshot may list it elsewhere); EntryCount() when it lists it no more.
    template <typename Same> uint32_t Find(uint32_t near, Same same) const {
        const uint32_t count = EntryCount();
        if (near < count && same(Row(near)))
            return near;
        for (uint32_t i = 0; i < count; ++i)
            if (same(Row(i)))
                return i;
        return count;
    }
    RowType& Row(uint32_t i) { return Table()->table[i]; }
    const RowType& Row(uint32_t i) const { return Table()->table[i]; }
    TableType* Table() { return reinterpret_cast<TableType*>(words_.data()); }
    const TableType* Table() const { return reinterpret_cast<const TableType*>(words_.data()); }

private:
    void Resize(uint32_t rows) {
        // Keeps what the buffer holds, so a failed read leaves the last snapshot in place.
        words_.resize(1 + size_t(rows) * (RowBytes / 4), 0);
        capacityRows_ = rows;
    }
    std::vector<uint32_t> words_;
    uint32_t capacityRows_ = 0;
};

using TcpTable = TableSnapshot<api::MIB_TCPTABLE, api::MIB_TCPROW, api::GetTcpTable>;
using Tcp6Table = TableSnapshot<api::MIB_TCP6TABLE, api::MIB_TCP6ROW, api::GetTcp6Table>;

// What identifies a connection at a row position: the row's state, both addresses and both
// ports, as the table gives them. Fixed-size fields, so an unchanged row costs one comparison.
struct ConnectionKey {
    uint32_t State = 0;
    uint32_t LocalAddr = 0;
    uint32_t LocalPort = 0; // network byte order in the low 16 bits, as in the row
    uint32_t RemoteAddr = 0;
    uint32_t RemotePort = 0;
    friend bool operator==(const ConnectionKey&, const ConnectionKey&) = default;
};
static_assert(sizeof(ConnectionKey) == sizeof(api::MIB_TCPROW));

inline ConnectionKey KeyOf(const api::MIB_TCPROW& row) {
    return {row.dwState, row.dwLocalAddr, row.dwLocalPort, row.dwRemoteAddr, row.dwRemotePort};
}

// The remote address as a row's entry records it: dotted text, "0.0.0.0" when there is none.
std::u16string RemoteAddressTextOf(const api::MIB_TCPROW& row);

struct ConnectionCacheEntry {
    ConnectionKey Key;
    bool Recorded = false; // false in a fresh entry, whose key matches no row
    bool Allowed = false;
    bool NotBlocked = false;
    std::u16string RemoteAddressText;
};

extern TcpTable TcpTableBuffer;
extern std::vector<ConnectionCacheEntry> ConnectionCache;
extern std::array<std::u16string, 14> TcpStateNames;

// Set when a row changed during a pass; the connections view is rebuilt once after the pass.
extern bool ConnectionViewStale;

void InitTcpStateNames();
void ScanTcpTable();
void CheckConnection(int32_t RemotePort, int32_t LocalPort, uint32_t State, int32_t Index,
                     TcpTable& Table);
void EnsureConnectionCacheSize(int32_t Count);
void ClearConnectionCache();
bool IsRemoteAddressAllowed(const std::u16string& AddressText);
bool IsPortInList(int32_t Port, const List& oList);

// The rule for an established connection of either table whose entry holds no verdict yet: its
// remote address allowed (Allowed set), else its local port on the blocked-local list or its
// remote port on the blocked-remote list (true: cut it), else NotBlocked set.
bool NeedsCut(bool& Allowed, bool& NotBlocked, const std::u16string& RemoteAddressText,
              int32_t LocalPort, int32_t RemotePort);

// Tells the user once per run that a cut was refused for want of rights (result 5); the IPv6
// form also tells once that the platform cannot cut IPv6 connections (result 50).
void TellRefusedCut(uint32_t result);
void TellRefusedCut6(uint32_t result);

// A cut was tried: the next pass runs even over an unchanged table (a cut row keeps no verdict).
void NoteCutTried();

// --- The IPv6 table, passed over after the IPv4 one -----------------------------------------

// An IPv6 connection's cache entry, keyed by the whole row: both addresses, both scope ids, both
// ports, the state.
struct Connection6CacheEntry {
    api::MIB_TCP6ROW Key{};
    bool Recorded = false;
    bool Allowed = false;
    bool NotBlocked = false;
    std::u16string RemoteAddressText; // "::" when there is no remote address
    bool Matches(const api::MIB_TCP6ROW& row) const;
};

extern Tcp6Table Tcp6TableBuffer;
extern std::vector<Connection6CacheEntry> Connection6Cache;

// Reads the IPv6 table and decides its rows as ScanTcpTable does the IPv4 ones; a changed row
// sets ConnectionViewStale.
void ScanTcp6Table();

// Scan, wait up to 1 ms for work, pump; until ExitRequested is found set after a pump.
void ProcessingLoop();

// One pass for an event loop that runs while ProcessingLoop's waits (a message box waiting for its
// answer), so that cutting never waits for the user. Does nothing before the loop has started
// (the lists may not all be loaded), after the close, or inside a pass of its own.
void ScanFromPump();

// List editing from the window.
void AddItemToCurrentList(std::u16string& ItemText);
void DeleteSelectedItem();
bool IsValidIPAddress(const std::u16string& Text);
// The text an address of either version is stored in (leading zeros dropped, IPv6 in its
// canonical form), so that it can equal a remote address's text; nothing when it is not valid.
std::optional<std::u16string> CanonicalAddress(std::u16string_view text);
bool IsValidPort(const std::u16string& Text);
