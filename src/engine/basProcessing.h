// The engine: one pass over the connection table per loop, the per-row cache, the cut, and the
// editing of the current list.
#pragma once

#include "engine/basAPI.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class List;

// The table snapshot. It starts with room for 101 rows and grows whenever the platform says the
// table does not fit, so a pass always sees the whole table.
class TcpTable {
public:
    static constexpr uint32_t InitialRows = 101;
    static constexpr uint32_t RowBytes = sizeof(api::MIB_TCPROW);

    TcpTable();

    // Reads the whole table, growing the buffer until it fits. Returns the platform's result of
    // the last read; on a failure other than "does not fit" the previous snapshot stays.
    uint32_t Read();

    uint32_t Capacity() const { return capacityRows_; }
    uint32_t SizeBytes() const { return 4 + capacityRows_ * RowBytes; }
    // The snapshot's row count, never more than the buffer holds.
    uint32_t EntryCount() const;
    api::MIB_TCPROW& Row(uint32_t i) { return Table()->table[i]; }
    const api::MIB_TCPROW& Row(uint32_t i) const { return Table()->table[i]; }
    api::MIB_TCPTABLE* Table() { return reinterpret_cast<api::MIB_TCPTABLE*>(words_.data()); }
    const api::MIB_TCPTABLE* Table() const {
        return reinterpret_cast<const api::MIB_TCPTABLE*>(words_.data());
    }

private:
    void Resize(uint32_t rows);
    std::vector<uint32_t> words_;
    uint32_t capacityRows_ = 0;
};

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
bool IsValidPort(const std::u16string& Text);
