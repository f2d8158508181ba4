// The table source behind GetTcpTable: the event-fed table kept current by the feed and by
// resyncs read off the loop, or, where the feed cannot be had, nothing (a dump at every read).
#include "engine/platform/linux/TableSource.h"

#include "engine/platform/linux/BackgroundDump.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/Rights.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <utility>

namespace okg::linuxfeed {

// The rights, and the helper that holds them, live beside the feed.
using namespace okg::rights;

namespace {

struct TableSource {
    TableMode mode = TableMode::NotStarted;
    std::unique_ptr<BpfFeed> feed;
    EventTable table;
    bool seeded = false;
    std::vector<netlink::SocketRow> dump;
    // The resync under way off the loop: its kind, and whether its dump is read and being merged.
    std::unique_ptr<BackgroundDump> background;
    ResyncKind running = ResyncKind::None;
    bool dumpTaken = false;
    // Events were read since the loss counters were: they are read before the loop next waits.
    bool lossesUnread = false;
    // The helper that held the right ended and is being started again; that it cannot be was told.
    bool helperGone = false;
    bool cannotStartTold = false;
    WakeSet wake;
};

TableSource& Source() {
    static TableSource source;
    return source;
}

bool noticeShown = false;
ResyncObserver resyncObserver;

void TellCostlyMode(const std::string& why, bool noRights) {
    if (noticeShown)
        return;
    noticeShown = true;
    std::string text = "Connections are followed by reading the whole table at every pass, which "
                       "keeps about a third of a processor busy and lets a blocked connection "
                       "live for tens of milliseconds: " +
                       why + ".";
    if (noRights)
        text += std::string(" ") + RightsAdvice;
    TellNotice(text);
}

// The first full read, before the table has ever been seeded, on the loop's thread: there is no
// table to show until it is done.
bool Seed(TableSource& s, EventTable::Clock::time_point now) {
    // The dump supersedes what is in the ring. Events raised while it runs are applied on top of
    // it, which leaves each socket in its latest state: every event carries the whole state, and
    // a known address or port is never forgotten.
    s.feed->Drain(nullptr);
    if (!netlink::DumpTcpSockets(s.dump))
        return false;
    s.table.Resync(s.dump, now);
    s.seeded = true;
    // Now rather than at the next read: a connection made meanwhile shows a pass sooner.
    s.feed->Drain(&s.table);
    return true;
}

// A merge of a large dump takes milliseconds: it goes a slice per read, so that no pass waits for
// all of it.
constexpr size_t MergeSliceRows = 4096;

// Resyncs that are due run off the loop: asked for here, merged in slices at later reads once the
// thread is done. Meanwhile the events keep the table current; the sockets they name are left as
// the events say.
void ResyncInBackground(TableSource& s, EventTable::Clock::time_point now) {
    if (s.table.Resyncing()) {
        if (!s.dumpTaken) {
            bool ok = false;
            if (!s.background->Take(s.dump, ok))
                return;
            if (!ok) {
                s.table.AbandonResync(); // asked for again at the next read
                return;
            }
            s.dumpTaken = true;
            if (resyncObserver)
                resyncObserver(s.running == ResyncKind::Full, s.table, s.dump);
            s.table.NoteLostEvents(s.feed->LostEvents());
        }
        if (s.table.MergeSlice(s.dump, MergeSliceRows, now)) {
            s.dumpTaken = false;
            s.running = ResyncKind::None;
        }
        return;
    }
    const ResyncKind due = s.table.DueResync(now);
    if (due == ResyncKind::None)
        return;
    if (!s.background)
        s.background = std::make_unique<BackgroundDump>();
    s.table.NoteLostEvents(s.feed->LostEvents());
    s.table.BeginResync(due, now);
    // An eventless one need only list the sockets that report nothing: the events bring every
    // other row up to date.
    s.background->Start(due == ResyncKind::Eventless ? EventlessStates : netlink::DumpStates);
    s.running = due;
}

// Starts the helper again when a try is due; once it runs, the table is read whole and followed by
// its events again.
void StartHelperAgain(TableSource& s) {
    std::unique_ptr<BpfFeed> feed;
    std::string why;
    switch (RestartHelperWhenDue(feed, why)) {
    case HelperRestart::NotDue:
        return;
    case HelperRestart::Failed:
        if (!std::exchange(s.cannotStartTold, true))
            TellNotice("okgate-helper cannot be started again: " + why + ". " + RightsAdvice +
                       " Until then connections are listed and not cut; it is tried again every "
                       "minute.");
        return;
    case HelperRestart::Back:
        break;
    }
    s.helperGone = s.cannotStartTold = false;
    TellNotice("Cutting is back: okgate-helper runs again.");
    TellCutting(true, {});
    if (!feed)
        return; // it cuts, and the table is read whole at every pass
    // A dump asked for before the end would stand for a table that lost events since.
    s.background.reset();
    s.running = ResyncKind::None;
    s.dumpTaken = s.lossesUnread = false;
    s.feed = std::move(feed);
    s.mode = TableMode::EventFed;
    s.seeded = false;
}

} // namespace

const EventTable* UpdateEventFedTable() {
    TableSource& s = Source();
    if (s.mode == TableMode::NotStarted) {
        std::string why;
        bool noRights = false;
        // OKG_REFUSE_BPF: the program as it runs without the rights, for benchmarks on a machine
        // that has them.
        if (std::getenv("OKG_REFUSE_BPF") != nullptr)
            why = "the event feed was turned off (OKG_REFUSE_BPF)";
        else
            s.feed = OpenFeedWithRights(why, noRights);
        s.mode = s.feed ? TableMode::EventFed : TableMode::DumpPerCall;
        if (!s.feed)
            TellCostlyMode(why, noRights);
        if (noRights)
            TellCutting(false, "no right to cut");
    }
    if (s.mode == TableMode::EventFed && !FeedStillAttached()) {
        // The helper ended and its program with it: no more events will come, and no cut.
        s.wake.Keep({});
        s.feed.reset();
        s.mode = TableMode::DumpPerCall;
        s.helperGone = true;
        TellNotice("Cutting stopped: " + HelperEnded() +
                   ". It is started again; until it runs, connections are listed and not cut.");
        TellCutting(false, "okgate-helper has ended");
    }
    if (s.helperGone)
        StartHelperAgain(s);
    if (s.mode != TableMode::EventFed)
        return nullptr;

    const auto now = EventTable::Clock::now();
    if (!s.seeded)
        return Seed(s, now) ? &s.table : nullptr;
    // Lost events are counted after events were read, before the loop waits (the skipped runs
    // of the program cost a system call, or a question to the helper: not before a cut), and at
    // every resync.
    if (s.feed->Drain(&s.table) > 0)
        s.lossesUnread = true;
    ResyncInBackground(s, now);
    s.wake.Keep({s.feed->WakeFd(), HelperChannel(), s.background ? s.background->DoneFd() : -1});
    return &s.table;
}

uint32_t EventFeedQuietMs() {
    TableSource& s = Source();
    if (s.mode != TableMode::EventFed || !s.seeded)
        return 0;
    if (std::exchange(s.lossesUnread, false))
        s.table.NoteLostEvents(s.feed->LostEvents());
    // A dump under way tells its end through the wake set; one being merged goes on at once.
    if (s.running != ResyncKind::None)
        return s.dumpTaken ? 0 : api::INFINITE;
    const auto left = s.table.NextResync() - EventTable::Clock::now();
    if (left <= EventTable::Clock::duration::zero())
        return 0;
    return uint32_t(std::min<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(),
                                      std::numeric_limits<int32_t>::max()));
}

void DistrustEventFedTable() {
    Source().table.Distrust();
}

TableMode CurrentTableMode() {
    return Source().mode;
}

int EventFeedWakeFd() {
    const TableSource& s = Source();
    return s.mode == TableMode::EventFed && s.feed ? s.wake.Fd() : -1;
}

void SetResyncObserverForTesting(ResyncObserver observer) {
    resyncObserver = std::move(observer);
}

void ResetTableSourceForTesting() {
    Source() = TableSource{};
    ResetRightsForTesting();
    noticeShown = false;
}

} // namespace okg::linuxfeed
