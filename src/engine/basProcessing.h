// The engine: one pass over the connection tables per loop, the per-row cache, the cut, and the
// loop itself.
#pragma once

#include "engine/ConnectionRows.h"
#include "engine/TableSnapshot.h"
#include "engine/basAPI.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class List;

// The entry of a row position of the IPv4 table: the row as recorded (state, both addresses and
// both ports, fixed-size, so an unchanged row costs one comparison), the verdict, and the remote
// address as dotted text ("0.0.0.0" when there is none).
using ConnectionCacheEntry = CacheEntry<api::MIB_TCPROW>;
// The same for the IPv6 table: the remote address as IPv6 text, "::" when there is none.
using Connection6CacheEntry = CacheEntry<api::MIB_TCP6ROW>;

// The remote address as a row's entry records it: dotted text, "0.0.0.0" when there is none.
std::u16string RemoteAddressTextOf(const api::MIB_TCPROW& row);

extern TcpTable TcpTableBuffer;
extern std::vector<ConnectionCacheEntry> ConnectionCache;
extern std::array<std::u16string, 14> TcpStateNames;

// Set when a row changed during a pass in a way a view of established connections shows (an
// established row, a row whose entry had been cleared, rows gone from the end); any other change
// of a row sets ConnectionRowsChanged. The connections view is rebuilt once after the pass when
// its filter shows what changed.
extern bool ConnectionViewStale;
extern bool ConnectionRowsChanged;

void InitTcpStateNames();
// One pass over both tables, after showing what the platform has to tell (TakePlatformNews).
void ScanTcpTable();
void CheckConnection(int32_t RemotePort, int32_t LocalPort, uint32_t State, int32_t Index,
                     TcpTable& Table);
void EnsureConnectionCacheSize(int32_t Count);
void ClearConnectionCache();
bool IsRemoteAddressAllowed(const std::u16string& AddressText);
bool IsPortInList(int32_t Port, const List& oList);

// Tells the user once per run, in the platform's words, that a cut was refused for want of
// rights (result 5), and the window that cutting is off until a cut works again; once that no
// other user's connection is cut (result 288); the IPv6 form also tells once that the platform
// cannot cut such a connection (result 50).
void TellRefusedCut(uint32_t result);
void TellRefusedCut6(uint32_t result);

// A cut was tried: the next pass runs even over an unchanged table (a cut row keeps no verdict).
void NoteCutTried();
// What the platform answered to a cut: a pass whose cuts were all refused waits longer before it
// tries again; a cut done is counted, and says cutting is on again.
void NoteCutResult(uint32_t result);

// --- The IPv6 table, passed over after the IPv4 one -----------------------------------------

extern Tcp6Table Tcp6TableBuffer;
extern std::vector<Connection6CacheEntry> Connection6Cache;

// Reads the IPv6 table and decides its rows as ScanTcpTable does the IPv4 ones; a changed row
// sets ConnectionViewStale.
void ScanTcp6Table();

// How long the loop may wait for work after a pass: until the table has news where it tells
// (api::INFINITE), else until the table's next deadline, the retry of a cut, or the next poll of
// a table read by dumps.
uint32_t WaitBeforeNextPass();

// Scan, wait for work (WaitBeforeNextPass), pump; until ExitRequested is found set after a pump.
void ProcessingLoop();

// One pass for an event loop that runs while ProcessingLoop's waits (a message box waiting for its
// answer), so that cutting never waits for the user. Does nothing before AllowPassesFromPump (the
// lists may not all be loaded), after the close, or inside a pass of its own.
void ScanFromPump();
// The lists are loaded: a box from now on, even one at start before the window, runs the passes.
void AllowPassesFromPump();
