// The kernel side of the event-fed table: the BPF program on the TCP state tracepoint, its ring
// buffer and its loss counters; and the process-wide table source that GetTcpTable reads, which
// falls back to a full dump per read where the program cannot be loaded.
#pragma once

#include "engine/basAPI.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/platform/linux/bpf/tcpstate_event.h"

struct tcpstate;
struct ring_buffer;

namespace okg::linuxfeed {

class EventTable;

class BpfFeed {
public:
    // Loads and attaches the program. Null, with the reason in whyNot, when the kernel refuses it
    // (no CAP_BPF or CAP_PERFMON, no BTF, a kernel too old).
    static std::unique_ptr<BpfFeed> Open(std::string& whyNot);

    BpfFeed(const BpfFeed&) = delete;
    BpfFeed& operator=(const BpfFeed&) = delete;
    ~BpfFeed();

    // Applies every event waiting in the ring to table, or discards them with a null table, and
    // appends them to log when there is one. Returns how many there were. Never blocks.
    size_t Drain(EventTable* table, std::vector<okg_tcp_event>* log = nullptr);

    // A descriptor that polls readable while events wait in the ring.
    int WakeFd() const;

    // Events lost since loading: failed ring reservations plus program runs the kernel skipped
    // because the tracepoint fired again on the same processor while the program ran.
    uint64_t LostEvents() const;

private:
    BpfFeed() = default;
    static int OnEvent(void* ctx, void* data, size_t size);

    tcpstate* skel_ = nullptr;
    ring_buffer* ring_ = nullptr;
    EventTable* target_ = nullptr;
    std::vector<okg_tcp_event>* log_ = nullptr;
    size_t drained_ = 0;
    mutable uint64_t misses_ = 0;
    mutable std::chrono::steady_clock::time_point missesRead_{};
};

// Makes the next load fail as a refused one would (tests of the fallback).
void RefuseLoadForTesting(bool refuse);

// --- The table source behind GetTcpTable ------------------------------------------------------

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

// Readable when the event feed has news for the table; -1 while the table is not event-fed.
int EventFeedWakeFd();

// Unloads the program and forgets the table; the next read starts over.
void ResetTableSourceForTesting();

} // namespace okg::linuxfeed
