// The scripted platform the core tests link instead of the real one.
#pragma once

#include "engine/basAPI.h"

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fake {

struct Platform {
    // Connection table.
    std::vector<api::MIB_TCPROW> table;
    uint32_t tableReads = 0;
    uint64_t tableVersion = 0;              // 0: a new version at every call
    uint32_t tableQuietMs = 0;              // 0: only a read shows a change
    intptr_t wakeHandle = -1;               // what TableWakeHandle gives
    std::function<void()> beforeTableRead;  // runs at each GetTcpTable, before the table is copied
    std::function<void()> beforeTable6Read; // the same at each GetTcp6Table
    // Cuts: every row handed to SetTcpEntry, and the answer given.
    std::vector<api::MIB_TCPROW> cuts;
    uint32_t cutResult = 0;
    bool cutRemovesRow = true; // a successful cut takes the row out of the table
    // The IPv6 table and its cuts, the same way.
    std::vector<api::MIB_TCP6ROW> table6;
    std::vector<api::MIB_TCP6ROW> cuts6;
    uint32_t cut6Result = 0;
    api::PlatformNews news; // what TakePlatformNews gives next

    // Sockets.
    bool hostNameFails = false;
    bool hostEntryMissing = false;
    std::vector<std::array<uint8_t, 4>> localAddresses;
    std::vector<api::LocalAddress6> localAddresses6;
    bool ntoaFails = false;
    uint32_t socketStarts = 0;

    // Process.
    std::vector<uint32_t> waits;  // the limit of each WaitForWork
    std::function<void()> onWait; // what happens while the loop waits
    std::u16string appFolder = u"/opt/okgate";
    bool previousInstance = false;

    // Window framework.
    std::function<void()> onDoEvents;
    std::vector<std::u16string> messages;      // prompt of each message box
    std::vector<std::u16string> messageTitles; // each answered OK
    std::vector<std::u16string> notices;
    std::vector<std::pair<bool, std::u16string>> cuttingStates; // each ShowCuttingState
    uint64_t cutCount = 0;                                      // as last shown
    MainForm* mainForm = nullptr;
    uint32_t formLoads = 0;
};

// The one scripted platform; Reset() before each test.
Platform& P();
void Reset();

// EndProcess throws this, so that a test can see the process end.
struct ProcessEnded {
    int32_t status;
};

// A row in table form: addresses as a.b.c.d, ports as host numbers.
api::MIB_TCPROW Row(uint32_t state, const char* localAddr, uint16_t localPort,
                    const char* remoteAddr, uint16_t remotePort);
uint32_t Addr(const char* dotted); // network byte order

// An IPv6 row: addresses in IPv6 text (through inet_pton), an optional scope id for both.
api::MIB_TCP6ROW Row6(uint32_t state, const char* localAddr, uint16_t localPort,
                      const char* remoteAddr, uint16_t remotePort, uint32_t scopeId = 0);
api::IN6_ADDR Addr6(const char* text);

} // namespace fake
