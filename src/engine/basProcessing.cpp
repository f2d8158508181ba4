#include "engine/basProcessing.h"

#include "container/List.h"
#include "engine/basMain.h"
#include "manager/Manager.h"
#include "support/basNetwork.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <type_traits>
#include <utility>

TcpTable TcpTableBuffer;
std::vector<ConnectionCacheEntry> ConnectionCache;
Tcp6Table Tcp6TableBuffer;
std::vector<Connection6CacheEntry> Connection6Cache;
std::array<std::u16string, 14> TcpStateNames;
bool ConnectionViewStale = false;
bool ConnectionRowsChanged = false;

namespace {

// The entry counts of the previous pass: a table that only shrank changes no row, yet the view
// must lose the rows that went.
uint32_t PreviousEntryCount = 0;
uint32_t PreviousEntryCount6 = 0;

// A refused cut is told once per run; the loop goes on cutting.
bool CutRefusalShown = false;
bool Cut6RefusalShown = false;
// A cut refused as another user's connection is told once too.
bool NotOwnerShown = false;

// What the window was last told of cutting: the platform's news and a refused cut turn it off,
// the news or a cut done on again. Told only when it changes.
bool CuttingShown = true;
std::u16string NotCuttingReason;
uint64_t CutsSinceStart = 0;

void ShowCutting(bool cutting, const std::u16string& reason) {
    if (cutting == CuttingShown && (cutting || reason == NotCuttingReason))
        return;
    CuttingShown = cutting;
    NotCuttingReason = cutting ? std::u16string() : reason;
    api::ShowCuttingState(cutting, NotCuttingReason);
}

// The platform tells nothing itself: what it has to tell is shown here.
void TellPlatformNews() {
    api::PlatformNews news = api::TakePlatformNews();
    for (const std::u16string& notice : news.notices)
        api::ShowNotice(notice);
    if (news.cutting)
        ShowCutting(*news.cutting, news.reason);
}

// The table's version at the last pass, and whether that pass tried a cut: a cut row keeps no
// verdict, so the next pass must run even over an unchanged table.
uint64_t LastTableVersion = 0;
bool CutTried = false;

// A tried cut is tried again at the next pass, which comes at once after a cut that went through
// and backs off while every cut of a pass is refused (another user's connection, a kernel
// without socket destruction): a refusal that will not change costs a few wake-ups a second.
constexpr uint32_t MaxCutRetryMs = 256;
uint32_t CutRetryMs = 1;
bool CutDone = false;

// How long the last read of the table took: where a read walks the kernel's whole table (several
// milliseconds), the loop leaves the processor twice as long between passes.
std::chrono::steady_clock::duration LastReadTime{};

// An address with a zone is also allowed by its entry without one, which means every interface.
bool AllowedWithoutZone(const std::u16string& text) {
    const size_t zone = text.find(u'%');
    return zone != std::u16string::npos && IsRemoteAddressAllowed(text.substr(0, zone));
}

// What differs between the two tables' passes.
template <typename Row> struct Table;

template <> struct Table<api::MIB_TCPROW> {
    static TcpTable& Snapshot() { return TcpTableBuffer; }
    static std::vector<ConnectionCacheEntry>& Cache() { return ConnectionCache; }
    static std::u16string RemoteText(const api::MIB_TCPROW& row) {
        return RemoteAddressTextOf(row);
    }
    static bool Allowed(const std::u16string& text) { return IsRemoteAddressAllowed(text); }
    static uint32_t Cut(api::MIB_TCPROW& row) { return api::SetTcpEntry(&row); }
    static void TellRefused(uint32_t result) { TellRefusedCut(result); }
};

template <> struct Table<api::MIB_TCP6ROW> {
    static Tcp6Table& Snapshot() { return Tcp6TableBuffer; }
    static std::vector<Connection6CacheEntry>& Cache() { return Connection6Cache; }
    static std::u16string RemoteText(const api::MIB_TCP6ROW& row) {
        return Address6ToText(row.RemoteAddr, row.dwRemoteScopeId);
    }
    static bool Allowed(const std::u16string& text) {
        return IsRemoteAddressAllowed(text) || AllowedWithoutZone(text);
    }
    static uint32_t Cut(api::MIB_TCP6ROW& row) { return api::SetTcp6Entry(&row); }
    static void TellRefused(uint32_t result) { TellRefusedCut6(result); }
};

// Reads the table afresh and resets the connection of `wanted`. The fresh snapshot may list it
// at another position, or not at all (it ended meanwhile); only that same connection is cut.
template <typename Row, typename Snapshot>
void CutConnection(const Row wanted, uint32_t index, Snapshot& table) {
    table.ReadIfChanged();
    const uint32_t at = table.Find(
        index, [&](const Row& row) { return RowTraits<Row>::SameConnection(row, wanted); });
    NoteCutTried();
    if (at < table.EntryCount()) {
        // The platform is handed a copy: the snapshot keeps the state it reported, so a cut that
        // is refused still shows its connection as established.
        Row row = table.Row(at);
        RowTraits<Row>::SetState(row, api::MIB_TCP_STATE_DELETE_TCB);
        const uint32_t result = Table<Row>::Cut(row);
        NoteCutResult(result);
        Table<Row>::TellRefused(result);
    }
    api::DoEvents();
}

// The rule for an established connection whose entry holds no verdict yet: its remote address
// allowed (Allowed set), else its local port on the blocked-local list or its remote port on the
// blocked-remote list (true: cut it), else NotBlocked set.
template <typename Row>
bool NeedsCut(CacheEntry<Row>& entry, int32_t LocalPort, int32_t RemotePort) {
    if (entry.Decided())
        return false;
    if (Table<Row>::Allowed(entry.RemoteAddressText)) {
        entry.State = Verdict::Allowed;
        return false;
    }
    bool blocked = IsPortInList(LocalPort, *oManager->oBlockedLocalPorts);
    if (!blocked)
        blocked = IsPortInList(RemotePort, *oManager->oBlockedRemotePorts);
    // A blocked connection keeps no verdict: while the table lists it, it is cut again.
    if (!blocked)
        entry.State = Verdict::Passed;
    return blocked;
}

// Records the row at Index afresh when it changed, then decides it when it is established.
template <typename Row, typename Snapshot>
void CheckRow(int32_t RemotePort, int32_t LocalPort, uint32_t State, int32_t Index,
              Snapshot& table) {
    auto& cache = Table<Row>::Cache();
    if (Index < 0 || uint32_t(Index) >= table.Capacity() || !oManager)
        return;
    // A list edit in the pump after a cut empties the cache in the middle of a pass: the rows
    // left count as new.
    if (size_t(Index) >= cache.size())
        cache.resize(size_t(std::max(table.EntryCount(), uint32_t(Index) + 1)) + 1);

    const Row row = table.Row(uint32_t(Index));
    CacheEntry<Row>& entry = cache[size_t(Index)];
    if (!entry.Matches(row)) {
        const bool shown = !entry.Recorded() ||
                           RowTraits<Row>::State(entry.Key) == api::MIB_TCP_STATE_ESTAB ||
                           State == api::MIB_TCP_STATE_ESTAB;
        (shown ? ConnectionViewStale : ConnectionRowsChanged) = true;
        entry = {row, Verdict::Recorded, Table<Row>::RemoteText(row)};
    }
    if (State == api::MIB_TCP_STATE_ESTAB && NeedsCut(entry, LocalPort, RemotePort))
        CutConnection(row, uint32_t(Index), table);
}

// One pass over a table: most rows are unchanged and decided (or not established) and cost one
// comparison; a row whose connection is another than its entry's means rows before it went, and
// the entries follow their rows.
template <typename Row> void PassOver(uint32_t& previousCount) {
    using Traits = RowTraits<Row>;
    auto& table = Table<Row>::Snapshot();
    auto& cache = Table<Row>::Cache();
    table.ReadIfChanged();
    const uint32_t count = table.EntryCount();
    if (cache.size() < size_t(count) + 1)
        cache.resize(size_t(count) + 1);
    if (count < previousCount)
        ConnectionViewStale = true;
    // The rows the entries stand for: those of the previous pass, until they follow this one's.
    uint32_t cachedRows = previousCount;
    // A cut re-reads the table; rows after it come from that newer snapshot, and never from
    // beyond its end.
    for (uint32_t i = 0; i < count && i < table.EntryCount(); ++i) {
        const Row& row = table.Row(i);
        if (i < cache.size()) {
            const CacheEntry<Row>& entry = cache[i];
            if (entry.Matches(row) &&
                (Traits::State(row) != api::MIB_TCP_STATE_ESTAB || entry.Decided()))
                continue;
            // A gap where a row was moves no row (its entry is recorded afresh); a row where a gap
            // was means the gaps closed.
            if (i < cachedRows && entry.Recorded() && !IsGap(row) &&
                (IsGap(entry.Key) || !Traits::Continues(entry.Key, row))) {
                FollowMovedRows(cache, table.Rows(), cachedRows, i);
                cachedRows = table.EntryCount();
            }
        }
        const auto port = [](uint32_t field) { return int32_t(api::ntohs(uint16_t(field))); };
        if constexpr (std::is_same_v<Row, api::MIB_TCPROW>)
            CheckConnection(port(row.dwRemotePort), port(row.dwLocalPort), row.dwState, int32_t(i),
                            table);
        else
            CheckRow<Row>(port(row.dwRemotePort), port(row.dwLocalPort), row.State, int32_t(i),
                          table);
    }
    previousCount = table.EntryCount();
}

} // namespace

void NoteCutTried() {
    CutTried = true;
}

void NoteCutResult(uint32_t result) {
    if (result != api::NO_ERROR_)
        return;
    CutDone = true;
    api::ShowCutCount(++CutsSinceStart);
    ShowCutting(true, {});
}

void TellRefusedCut(uint32_t result) {
    if (result == api::ERROR_NOT_OWNER && !std::exchange(NotOwnerShown, true))
        api::ShowNotice(api::CutRefusedText(result));
    if (result != api::ERROR_ACCESS_DENIED)
        return;
    // Empty while the platform has told why, and that cutting is off (the rights helper being
    // started again).
    const std::u16string text = api::CutRefusedText(result);
    if (text.empty())
        return;
    if (CuttingShown)
        ShowCutting(false, u"no right to cut");
    if (!std::exchange(CutRefusalShown, true))
        api::ShowNotice(text);
}

void TellRefusedCut6(uint32_t result) {
    if (result != api::ERROR_NOT_SUPPORTED) {
        TellRefusedCut(result);
        return;
    }
    if (!std::exchange(Cut6RefusalShown, true))
        api::ShowNotice(api::CutRefusedText(result));
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

void ScanTcpTable() {
    // An unchanged table with every verdict still cached and no cut to try again decides nothing
    // new: at 25,000 rows the walk over them costs a millisecond.
    const uint64_t version = api::TableVersion();
    // After TableVersion, which brings the platform up to date: its news is that of this pass.
    TellPlatformNews();
    if (version == LastTableVersion && !CutTried && !ConnectionCache.empty()) {
        LastReadTime = {};
        return;
    }
    LastTableVersion = version;
    CutTried = CutDone = false;
    const auto readStart = std::chrono::steady_clock::now();
    PassOver<api::MIB_TCPROW>(PreviousEntryCount);
    LastReadTime = std::chrono::steady_clock::now() - readStart;
    ScanTcp6Table();
    // Decided as the IPv4 read saw the table: what the IPv6 read took in after it is news.
    LastTableVersion = TcpTableBuffer.ReadVersion();
    CutRetryMs = CutTried && !CutDone ? std::min(2 * CutRetryMs, MaxCutRetryMs) : 1;
    // Where the view shows established connections only, a pass of SYN_SENT, TIME_WAIT and
    // other rows coming and going (most of a busy table's changes) leaves its lines as they are.
    if (ConnectionViewStale ||
        (ConnectionRowsChanged && !(oManager && oManager->ViewShowsOnlyConnected()))) {
        ConnectionViewStale = ConnectionRowsChanged = false;
        if (oManager)
            oManager->RefreshCurrentConnections();
    }
}

void ScanTcp6Table() {
    if (oManager)
        PassOver<api::MIB_TCP6ROW>(PreviousEntryCount6);
}

void CheckConnection(int32_t RemotePort, int32_t LocalPort, uint32_t State, int32_t Index,
                     TcpTable& Table) {
    CheckRow<api::MIB_TCPROW>(RemotePort, LocalPort, State, Index, Table);
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
// Set once the lists are loaded: from then on a box's event loop runs the passes.
bool PassesMayRun = false;
bool PumpPassRunning = false;

// OKG_LOOP_STATS: once a second, the longest pass and the longest loop iteration of that second
// on stderr, for benchmarks of the program as people run it. An iteration is the processor time
// of the loop's thread from one pass to the next (the pass, the window's events, painting): the
// wait, which now lasts until there is work, is not in it.
class LoopStats {
public:
    using Clock = std::chrono::steady_clock;
    LoopStats() : on_(std::getenv("OKG_LOOP_STATS") != nullptr) {}
    bool On() const { return on_; }
    static Clock::duration ThreadTime() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }
    void Note(Clock::time_point start, Clock::time_point scanned, Clock::duration work) {
        const Clock::time_point end = Clock::now();
        longestPass_ = std::max(longestPass_, scanned - start);
        longestIteration_ = std::max(longestIteration_, work);
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

void AllowPassesFromPump() {
    PassesMayRun = true;
}

uint32_t WaitBeforeNextPass() {
    uint32_t wait = api::TableQuietMs();
    if (wait == 0) {
        // Only a read shows a change: poll, leaving the processor twice as long as a read took.
        const auto readMs = std::chrono::ceil<std::chrono::milliseconds>(2 * LastReadTime);
        wait = uint32_t(std::clamp<int64_t>(readMs.count(), 1, 1000));
    } else if (api::TableVersion() != LastTableVersion) {
        // Events taken in since the pass's IPv4 read (by the IPv6 read, or now) leave nothing in
        // the ring to end the wait: the next pass comes at once.
        wait = 0;
    }
    return CutTried ? std::min(wait, CutRetryMs) : wait;
}

void ProcessingLoop() {
    AllowPassesFromPump();
    LoopStats stats;
    do {
        const auto start = stats.On() ? LoopStats::Clock::now() : LoopStats::Clock::time_point();
        const auto processor = stats.On() ? LoopStats::ThreadTime() : LoopStats::Clock::duration();
        ScanTcpTable();
        const auto scanned = stats.On() ? LoopStats::Clock::now() : start;
        // A close asked for before the loop (during a box at start) leaves no event to wait for.
        api::WaitForWork(ExitRequested ? 0 : WaitBeforeNextPass());
        api::DoEvents();
        if (stats.On())
            stats.Note(start, scanned, LoopStats::ThreadTime() - processor);
    } while (!ExitRequested);
}

void ScanFromPump() {
    if (!PassesMayRun || !oManager || ExitRequested || PumpPassRunning)
        return;
    // A pass inside another pass's pump is safe for the outer one: like a cut, it leaves a newer
    // snapshot, which the outer pass goes on with.
    PumpPassRunning = true;
    ScanTcpTable();
    PumpPassRunning = false;
}
