// The table source behind GetTcpTable: an event-fed table where the feed can be had (by whichever
// path holds the rights), else a full dump at every read.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace okg::linuxfeed {

class EventTable;

enum class TableMode {
    NotStarted,
    EventFed,    // the in-memory table, fed by the program and resynchronised from dumps
    DumpPerCall, // the program could not be loaded: a full dump at every read
};

// Brings the event-fed table up to date and returns it. Loads the program at the first call; when
// that fails, tells the user once and returns null from then on, and the caller reads the table by
// a dump. Also null while the table was never seeded because the kernel could not be read.
const EventTable* UpdateEventFedTable();

TableMode CurrentTableMode();

// Readable when the event feed has news for the table (events, the helper's end, a resync read
// off the loop); -1 while the table is not event-fed.
int EventFeedWakeFd();

// How long the event-fed table may be left unread while its wake descriptor stays quiet (the
// next resync); 0 while the table is not event-fed, api::INFINITE while a resync dump runs.
// Asked before the loop waits, it also reads the loss counters after events were read.
uint32_t EventFeedQuietMs();

// A row of the event-fed table turned out stale: a full resync is due at once.
void DistrustEventFedTable();

// Unloads the program and forgets the table; the next read starts over.
void ResetTableSourceForTesting();

// Called at each resync, before the merge, with the table as the events left it and the dump that
// is merged into it (full: every state; else the eventless states only). For the soak.
using ResyncObserver = std::function<void(bool full, const EventTable& table,
                                          const std::vector<netlink::SocketRow>& dump)>;
void SetResyncObserverForTesting(ResyncObserver observer);

} // namespace okg::linuxfeed
