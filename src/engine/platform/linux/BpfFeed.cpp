#include "engine/platform/linux/BpfFeed.h"

#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "tcpstate.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace okg::linuxfeed {

namespace {

bool refuseLoad = false;

// libbpf reports through a print hook; keep its last warning as the reason for a refusal
// instead of writing verifier logs to the terminal of a desktop program.
std::string lastLibbpfWarning;

int KeepLibbpfWarning(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG)
        return 0;
    char text[512];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n > 0) {
        std::string line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            lastLibbpfWarning = line;
    }
    return 0;
}

std::string Reason(const char* step, int err) {
    err = err < 0 ? -err : err;
    std::string why = std::string(step) + ": " + std::strerror(err);
    if (err == EPERM || err == EACCES)
        why += " (needs CAP_BPF and CAP_PERFMON)";
    else if (!lastLibbpfWarning.empty())
        why += " (" + lastLibbpfWarning + ")";
    return why;
}

} // namespace

void RefuseLoadForTesting(bool refuse) {
    refuseLoad = refuse;
}

std::unique_ptr<BpfFeed> BpfFeed::Open(std::string& whyNot) {
    // OKG_REFUSE_BPF: the program as it runs without the rights, for benchmarks on a machine
    // that has them.
    if (refuseLoad || std::getenv("OKG_REFUSE_BPF") != nullptr) {
        whyNot = "loading the BPF program was refused: " + std::string(std::strerror(EPERM)) +
                 " (needs CAP_BPF and CAP_PERFMON)";
        return nullptr;
    }
    libbpf_set_print(KeepLibbpfWarning);
    lastLibbpfWarning.clear();

    std::unique_ptr<BpfFeed> feed(new BpfFeed());
    feed->skel_ = tcpstate__open();
    if (!feed->skel_) {
        whyNot = Reason("opening the BPF program failed", errno);
        return nullptr;
    }
    if (int err = tcpstate__load(feed->skel_)) {
        whyNot = Reason("loading the BPF program failed", err);
        return nullptr;
    }
    if (int err = tcpstate__attach(feed->skel_)) {
        whyNot = Reason("attaching the BPF program failed", err);
        return nullptr;
    }
    feed->ring_ = ring_buffer__new(bpf_map__fd(feed->skel_->maps.events), &BpfFeed::OnEvent,
                                   feed.get(), nullptr);
    if (!feed->ring_) {
        whyNot = Reason("opening the BPF ring buffer failed", errno);
        return nullptr;
    }
    return feed;
}

BpfFeed::~BpfFeed() {
    ring_buffer__free(ring_);
    tcpstate__destroy(skel_);
}

int BpfFeed::OnEvent(void* ctx, void* data, size_t size) {
    auto* self = static_cast<BpfFeed*>(ctx);
    ++self->drained_;
    if (self->target_ && size >= sizeof(okg_tcp_event)) {
        okg_tcp_event event;
        std::memcpy(&event, data, sizeof event);
        self->target_->Apply(event);
    }
    return 0;
}

size_t BpfFeed::Drain(EventTable* table) {
    target_ = table;
    drained_ = 0;
    ring_buffer__consume(ring_);
    target_ = nullptr;
    return drained_;
}

// The ring buffer's epoll descriptor: the kernel wakes it when a record is submitted to a ring
// the reader has emptied, which every pass does.
int BpfFeed::WakeFd() const {
    return ring_buffer__epoll_fd(ring_);
}

uint64_t BpfFeed::LostEvents() const {
    uint64_t drops = std::atomic_ref<__u64>(skel_->bss->drops).load(std::memory_order_relaxed);
    bpf_prog_info info{};
    uint32_t length = sizeof info;
    uint64_t misses = 0;
    if (bpf_obj_get_info_by_fd(bpf_program__fd(skel_->progs.okg_tcp_set_state), &info, &length) ==
        0)
        misses = info.recursion_misses;
    return drops + misses;
}

// --- Table source ------------------------------------------------------------------------------

namespace {

struct TableSource {
    TableMode mode = TableMode::NotStarted;
    std::unique_ptr<BpfFeed> feed;
    EventTable table;
    bool seeded = false;
    std::vector<netlink::SocketRow> dump;
};

TableSource& Source() {
    static TableSource source;
    return source;
}

bool noticeShown = false;

void TellCostlyMode(const std::string& why) {
    if (noticeShown)
        return;
    noticeShown = true;
    std::string text = "Connections are followed by reading the whole table at every pass, which "
                       "keeps a processor busy: " +
                       why + ". Grant the program cap_net_admin, cap_bpf and cap_perfmon.";
    api::ShowNotice(std::u16string(text.begin(), text.end()));
}

} // namespace

const EventTable* UpdateEventFedTable() {
    TableSource& s = Source();
    if (s.mode == TableMode::NotStarted) {
        std::string why;
        s.feed = BpfFeed::Open(why);
        s.mode = s.feed ? TableMode::EventFed : TableMode::DumpPerCall;
        if (!s.feed)
            TellCostlyMode(why);
    }
    if (s.mode != TableMode::EventFed)
        return nullptr;

    s.feed->Drain(&s.table);
    s.table.NoteLostEvents(s.feed->LostEvents());
    auto now = EventTable::Clock::now();
    switch (s.table.DueResync(now)) {
    case ResyncKind::None:
        break;
    case ResyncKind::Eventless:
        // The events drained above brought every other row up to date: the dump need only list
        // the sockets that report nothing. A failed one is tried again at the next read.
        if (netlink::DumpTcpSockets(s.dump, EventlessStates)) {
            s.table.ResyncEventless(s.dump, now);
            s.feed->Drain(&s.table);
        }
        break;
    case ResyncKind::Full:
        // The dump supersedes what is in the ring. Events raised while it runs are applied on top
        // of it, which leaves each socket in its latest state: every event carries the whole
        // state, and a known address or port is never forgotten.
        s.feed->Drain(nullptr);
        if (netlink::DumpTcpSockets(s.dump)) {
            s.table.Resync(s.dump, now);
            s.seeded = true;
            // Now rather than at the next read: a connection made meanwhile shows a pass sooner.
            s.feed->Drain(&s.table);
        } else if (!s.seeded) {
            return nullptr;
        }
        break;
    }
    return &s.table;
}

TableMode CurrentTableMode() {
    return Source().mode;
}

int EventFeedWakeFd() {
    const TableSource& s = Source();
    return s.mode == TableMode::EventFed && s.feed ? s.feed->WakeFd() : -1;
}

void ResetTableSourceForTesting() {
    Source() = TableSource{};
    noticeShown = false;
}

} // namespace okg::linuxfeed
