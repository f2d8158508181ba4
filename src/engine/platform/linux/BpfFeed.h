// The reading side of the event-fed table: the ring buffer and loss counters of the BPF program
// on the TCP state tracepoint; and the process-wide table source that GetTcpTable reads, which
// falls back to a full dump per read where the program cannot be loaded.
#pragma once

#include "engine/basAPI.h"
#include "engine/platform/linux/NetlinkDiag.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/platform/linux/bpf/tcpstate_event.h"

namespace okg::linuxfeed {

class BpfProgram;
class EventTable;
struct FeedDescriptors;

// The reading side: the program's ring buffer and loss counters, mapped into this process. Reading
// needs no right, so the window does it whether the program was loaded here or by okgate-helper.
class BpfFeed {
public:
    // Loads and attaches the program in this process (which then needs CAP_BPF and CAP_PERFMON)
    // and reads it. Null, with the reason in whyNot, when the kernel refuses it.
    static std::unique_ptr<BpfFeed> Open(std::string& whyNot);

    // How many runs of the program the kernel skipped so far; false when that cannot be told.
    using SkippedRuns = std::function<bool(uint64_t& misses)>;

    // Reads a program loaded elsewhere: takes over the descriptors (closes them in any case) and
    // maps the ring and the counters; skippedRuns asks whoever holds the program. Null, with the
    // reason in whyNot, when they cannot be mapped.
    static std::unique_ptr<BpfFeed> FromDescriptors(const FeedDescriptors& fds,
                                                    SkippedRuns skippedRuns, std::string& whyNot);

    BpfFeed(const BpfFeed&) = delete;
    BpfFeed& operator=(const BpfFeed&) = delete;
    ~BpfFeed();

    // Applies every event waiting in the ring to table, or discards them with a null table.
    // Returns how many there were. Never blocks.
    size_t Drain(EventTable* table);

    // A descriptor that polls readable while events wait in the ring.
    int WakeFd() const { return ringFd_; }

    // Events lost since loading: failed ring reservations plus program runs the kernel skipped
    // because the tracepoint fired again on the same processor while the program ran. The latter
    // cost a system call, or a question to okgate-helper where it holds the program: read when
    // events were read, and at a resync.
    uint64_t LostEvents() const;

private:
    BpfFeed() = default;

    std::unique_ptr<BpfProgram> program_; // loaded here; null when another process holds it
    int ringFd_ = -1, countersFd_ = -1;
    SkippedRuns skippedRuns_;
    void* consumer_ = nullptr; // the consumer position page (ours to write)
    void* producer_ = nullptr; // the producer position page, then the data twice over
    size_t producerBytes_ = 0;
    const void* counters_ = nullptr;
    uint64_t mask_ = 0;
    mutable uint64_t misses_ = 0;
};

// Makes the next load fail as a refused one would (tests of the fallback).
void RefuseLoadForTesting(bool refuse);

} // namespace okg::linuxfeed
