#include "engine/basProcessing.h"

#include "container/List.h"
#include "engine/basMain.h"
#include "manager/Manager.h"
#include "support/basNetwork.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

TcpTable TcpTableBuffer;
std::vector<ConnectionCacheEntry> ConnectionCache;
std::array<std::u16string, 14> TcpStateNames;
bool ConnectionViewStale = false;

namespace {

// The entry count of the previous pass: a table that only shrank changes no row, yet the view
// must lose the rows that went.
uint32_t PreviousEntryCount = 0;

// A refused cut is told once per run; the loop goes on cutting.
bool CutRefusalShown = false;
bool Cut6RefusalShown = false;

// The table's version at the last pass, and whether that pass tried a cut: a cut row keeps no
// verdict, so the next pass must run even over an unchanged table.
uint64_t LastTableVersion = 0;
bool CutTried = false;

bool SameConnection(const api::MIB_TCPROW& a, const api::MIB_TCPROW& b) {
    return a.dwLocalAddr == b.dwLocalAddr && a.dwLocalPort == b.dwLocalPort &&
           a.dwRemoteAddr == b.dwRemoteAddr && a.dwRemotePort == b.dwRemotePort;
}

// Reads the table afresh and resets the connection of `wanted`. The fresh snapshot may list it
// at another position, or not at all (it ended meanwhile); only that same connection is cut.
void CutConnection(const api::MIB_TCPROW wanted, uint32_t index, TcpTable& table) {
    table.Read();
    const uint32_t at =
        table.Find(index, [&](const api::MIB_TCPROW& row) { return SameConnection(row, wanted); });
    CutTried = true;
    if (at < table.EntryCount()) {
        // The platform is handed a copy: the snapshot keeps the state it reported, so a cut that
        // is refused still shows its connection as established.
        api::MIB_TCPROW row = table.Row(at);
        row.dwState = api::MIB_TCP_STATE_DELETE_TCB;
        TellRefusedCut(api::SetTcpEntry(&row));
    }
    api::DoEvents();
}

} // namespace

void NoteCutTried() {
    CutTried = true;
}

void TellRefusedCut(uint32_t result) {
    if (result == api::ERROR_ACCESS_DENIED && !CutRefusalShown) {
        CutRefusalShown = true;
        api::ShowNotice(u"Cannot cut connections: this needs administrator rights. " +
                        api::CutRightsAdvice());
    }
}

void TellRefusedCut6(uint32_t result) {
    if (result == api::ERROR_NOT_SUPPORTED && !Cut6RefusalShown) {
        Cut6RefusalShown = true;
        api::ShowNotice(u"IPv6 connections cannot be cut on Windows: they are listed, and those "
                        u"on blocked ports stay open.");
        return;
    }
    TellRefusedCut(result);
}

std::u16string RemoteAddressTextOf(const api::MIB_TCPROW& row) {
    return row.dwRemoteAddr != 0 ? AddressToText(row.dwRemoteAddr) : std::u16string(u"0.0.0.0");
}

void InitTcpStateNames() {
    static constexpr const char16_t* names[] = {
        u"UNKNOWN",     u"CLOSED",    u"LISTENING", u"SYN_SENT",   u"SYN_RCVD",
        u"ESTABLISHED", u"FIN_WAIT1", u"FIN_WAIT2", u"CLOSE_WAIT", u"CLOSING",
        u"LAST_ACK",    u"TIME_WAIT", u"DELETE_TCB"};
    for (size_t i = 0; i < std::size(names); ++i)
        TcpStateNames[i] = names[i];
    TcpStateNames[13].clear();
}

namespace {
// How long the last read of the table took: where a read walks the kernel's whole table (several
// milliseconds), the loop leaves the processor twice as long between passes.
std::chrono::steady_clock::duration LastReadTime{};
} // namespace

void ScanTcpTable() {
    // An unchanged table with every verdict still cached and no cut to try again decides nothing
    // new: at 25,000 rows the walk over them costs a millisecond.
    const uint64_t version = api::TableVersion();
    if (version == LastTableVersion && !CutTried && !ConnectionCache.empty()) {
        LastReadTime = {};
        return;
    }
    LastTableVersion = version;
    CutTried = false;
    const auto readStart = std::chrono::steady_clock::now();
    TcpTableBuffer.Read();
    LastReadTime = std::chrono::steady_clock::now() - readStart;
    const uint32_t count = TcpTableBuffer.EntryCount();
    EnsureConnectionCacheSize(int32_t(count));
    if (count != PreviousEntryCount)
        ConnectionViewStale = true;
    // A cut re-reads the table; rows after it come from that newer snapshot, and never from
    // beyond its end.
    for (uint32_t i = 0; i < count && i < TcpTableBuffer.EntryCount(); ++i) {
        const api::MIB_TCPROW& row = TcpTableBuffer.Row(i);
        // Most rows are unchanged and decided (or not established): skip them before any port
        // conversion. CheckConnection would stop at the same point.
        if (i < ConnectionCache.size()) {
            const ConnectionCacheEntry& entry = ConnectionCache[i];
            if (entry.Recorded && entry.Key == KeyOf(row) &&
                (row.dwState != api::MIB_TCP_STATE_ESTAB || entry.Allowed || entry.NotBlocked))
                continue;
        }
        CheckConnection(api::ntohs(uint16_t(row.dwRemotePort)),
                        api::ntohs(uint16_t(row.dwLocalPort)), row.dwState, int32_t(i),
                        TcpTableBuffer);
    }
    PreviousEntryCount = TcpTableBuffer.EntryCount();
    ScanTcp6Table();
    if (ConnectionViewStale) {
        ConnectionViewStale = false;
        if (oManager)
            oManager->RefreshCurrentConnections();
    }
}

void CheckConnection(int32_t RemotePort, int32_t LocalPort, uint32_t State, int32_t Index,
                     TcpTable& Table) {
    if (Index < 0 || uint32_t(Index) >= Table.Capacity() || !oManager)
        return;
    // A list edit in the pump after a cut empties the cache in the middle of a pass: the rows
    // left count as new.
    if (size_t(Index) >= ConnectionCache.size())
        EnsureConnectionCacheSize(int32_t(std::max(Table.EntryCount(), uint32_t(Index) + 1)));

    const api::MIB_TCPROW row = Table.Row(uint32_t(Index));
    const ConnectionKey key = KeyOf(row);
    ConnectionCacheEntry& entry = ConnectionCache[size_t(Index)];
    if (!entry.Recorded || !(entry.Key == key)) {
        entry.RemoteAddressText = RemoteAddressTextOf(row);
        entry.Key = key;
        entry.Recorded = true;
        entry.Allowed = false;
        entry.NotBlocked = false;
        ConnectionViewStale = true;
    }

    if (State == api::MIB_TCP_STATE_ESTAB &&
        NeedsCut(entry.Allowed, entry.NotBlocked, entry.RemoteAddressText, LocalPort, RemotePort))
        CutConnection(row, uint32_t(Index), Table);
}

bool NeedsCut(bool& Allowed, bool& NotBlocked, const std::u16string& RemoteAddressText,
              int32_t LocalPort, int32_t RemotePort) {
    if (Allowed || NotBlocked)
        return false;
    if (IsRemoteAddressAllowed(RemoteAddressText)) {
        Allowed = true;
        return false;
    }
    bool blocked = IsPortInList(LocalPort, *oManager->oBlockedLocalPorts);
    if (!blocked)
        blocked = IsPortInList(RemotePort, *oManager->oBlockedRemotePorts);
    // A blocked connection keeps no verdict: while the table lists it, it is cut again.
    NotBlocked = !blocked;
    return blocked;
}

void EnsureConnectionCacheSize(int32_t Count) {
    const size_t wanted = size_t(std::max(Count, 0)) + 1;
    if (ConnectionCache.size() >= wanted)
        return;
    ConnectionCache.resize(wanted);
}

void ClearConnectionCache() {
    ConnectionCache.clear();
    Connection6Cache.clear();
}

bool IsRemoteAddressAllowed(const std::u16string& AddressText) {
    if (AddressText.empty() || !oManager)
        return false;
    return oManager->oAllowedIP->FindItem(u"=", Variant::Text(AddressText), true, 0, false, 1) >= 0;
}

bool IsPortInList(int32_t Port, const List& oList) {
    return oList.FindItem(u"=", Variant::Long(Port), true, 0, false, 1) >= 0;
}

namespace {
bool LoopStarted = false;
bool PumpPassRunning = false;

// OKG_LOOP_STATS: once a second, the longest pass and the longest loop iteration (pass, wait and
// pump) of that second on stderr, for benchmarks of the program as people run it.
class LoopStats {
public:
    using Clock = std::chrono::steady_clock;
    LoopStats() : on_(std::getenv("OKG_LOOP_STATS") != nullptr) {}
    bool On() const { return on_; }
    void Note(Clock::time_point start, Clock::time_point scanned, Clock::time_point end) {
        longestPass_ = std::max(longestPass_, scanned - start);
        longestIteration_ = std::max(longestIteration_, end - start);
        if (end - printed_ < std::chrono::seconds(1))
            return;
        using us = std::chrono::microseconds;
        std::fprintf(
            stderr, "okg-loop: pass %lld us, iteration %lld us\n",
            static_cast<long long>(std::chrono::duration_cast<us>(longestPass_).count()),
            static_cast<long long>(std::chrono::duration_cast<us>(longestIteration_).count()));
        longestPass_ = longestIteration_ = {};
        printed_ = end;
    }

private:
    bool on_;
    Clock::duration longestPass_{}, longestIteration_{};
    Clock::time_point printed_{};
};
} // namespace

void ProcessingLoop() {
    LoopStarted = true;
    LoopStats stats;
    do {
        const auto start = stats.On() ? LoopStats::Clock::now() : LoopStats::Clock::time_point();
        ScanTcpTable();
        const auto scanned = stats.On() ? LoopStats::Clock::now() : start;
        const auto readMs = std::chrono::ceil<std::chrono::milliseconds>(2 * LastReadTime);
        api::WaitForWork(uint32_t(std::max<int64_t>(1, readMs.count())));
        api::DoEvents();
        if (stats.On())
            stats.Note(start, scanned, LoopStats::Clock::now());
    } while (!ExitRequested);
}

void ScanFromPump() {
    if (!LoopStarted || ExitRequested || PumpPassRunning)
        return;
    // A pass inside another pass's pump is safe for the outer one: like a cut, it leaves a newer
    // snapshot, which the outer pass goes on with.
    PumpPassRunning = true;
    ScanTcpTable();
    PumpPassRunning = false;
}
