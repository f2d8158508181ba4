#include "engine/platform/linux/BpfFeed.h"

#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "tcpstate.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

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
        if (self->log_)
            self->log_->push_back(event);
    }
    return 0;
}

size_t BpfFeed::Drain(EventTable* table, std::vector<okg_tcp_event>* log) {
    target_ = table;
    log_ = log;
    drained_ = 0;
    ring_buffer__consume(ring_);
    target_ = nullptr;
    log_ = nullptr;
    return drained_;
}

// The ring buffer's epoll descriptor: the kernel wakes it when a record is submitted to a ring
// the reader has emptied, which every pass does.
int BpfFeed::WakeFd() const {
    return ring_buffer__epoll_fd(ring_);
}

uint64_t BpfFeed::LostEvents() const {
    uint64_t drops = std::atomic_ref<__u64>(skel_->bss->drops).load(std::memory_order_relaxed);
    // The skipped runs take a system call: asked for every few milliseconds, not at every pass.
    const auto now = std::chrono::steady_clock::now();
    if (now - missesRead_ >= std::chrono::milliseconds(10)) {
        missesRead_ = now;
        bpf_prog_info info{};
        uint32_t length = sizeof info;
        if (bpf_obj_get_info_by_fd(bpf_program__fd(skel_->progs.okg_tcp_set_state), &info,
                                   &length) == 0)
            misses_ = info.recursion_misses;
    }
    return drops + misses_;
}

// --- Table source ------------------------------------------------------------------------------

namespace {

// A dump on a thread of its own. Walking the kernel's hash takes milliseconds on a machine with a
// large one (262,144 buckets here: 14 ms), however few sockets it holds, and the loop must not
// wait for it. The thread only reads the kernel into its own rows; the loop takes them.
class BackgroundDump {
public:
    BackgroundDump() : thread_([this] { Run(); }) {}
    ~BackgroundDump() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void Start(uint32_t states) {
        {
            std::lock_guard lock(mutex_);
            states_ = states;
            requested_ = true;
        }
        wake_.notify_one();
    }
    // The finished dump into out, with ok telling whether the kernel could be read; false while
    // it runs.
    bool Take(std::vector<netlink::SocketRow>& out, bool& ok) {
        if (!finished_.load(std::memory_order_acquire))
            return false;
        std::lock_guard lock(mutex_);
        out.swap(rows_);
        ok = ok_;
        finished_.store(false, std::memory_order_relaxed);
        return true;
    }

private:
    void Run() {
        netlink::DiagSocket socket;
        std::vector<netlink::SocketRow> rows;
        for (;;) {
            uint32_t states;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_ || requested_; });
                if (stop_)
                    return;
                requested_ = false;
                states = states_;
            }
            const bool ok = netlink::DumpTcpSockets(socket, rows, states);
            std::lock_guard lock(mutex_);
            rows_.swap(rows);
            ok_ = ok;
            finished_.store(true, std::memory_order_release);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false, requested_ = false, ok_ = false;
    uint32_t states_ = 0;
    std::vector<netlink::SocketRow> rows_;
    std::atomic<bool> finished_ = false;
    std::thread thread_;
};

struct TableSource {
    TableMode mode = TableMode::NotStarted;
    std::unique_ptr<BpfFeed> feed;
    EventTable table;
    bool seeded = false;
    std::vector<netlink::SocketRow> dump;
    // The resync under way off the loop: its kind, when it was asked for, the loss count then,
    // and the events applied since, to be applied again over its older rows.
    std::unique_ptr<BackgroundDump> background;
    ResyncKind running = ResyncKind::None;
    EventTable::Clock::time_point requested{};
    uint64_t lostAtRequest = 0;
    std::vector<okg_tcp_event> since;
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
                       "keeps about a third of a processor busy and cuts a connection only within "
                       "a few milliseconds: " +
                       why + ". Grant the program cap_net_admin, cap_bpf and cap_perfmon.";
    api::ShowNotice(std::u16string(text.begin(), text.end()));
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

// Resyncs that are due run off the loop: asked for here, merged at a later read once the thread
// is done. Meanwhile the events keep the table current and are kept for the merge.
void ResyncInBackground(TableSource& s, EventTable::Clock::time_point now) {
    if (s.running != ResyncKind::None) {
        bool ok = false;
        if (!s.background->Take(s.dump, ok))
            return;
        if (ok) {
            s.table.MergeBackgroundDump(s.running, s.dump, s.since, s.requested);
            if (s.feed->LostEvents() != s.lostAtRequest)
                s.table.MarkUntrusted();
        }
        // A failed one is asked for again at the next read.
        s.running = ResyncKind::None;
        s.since.clear();
        return;
    }
    const ResyncKind due = s.table.DueResync(now);
    if (due == ResyncKind::None)
        return;
    if (!s.background)
        s.background = std::make_unique<BackgroundDump>();
    // An eventless one need only list the sockets that report nothing: the events bring every
    // other row up to date.
    s.background->Start(due == ResyncKind::Eventless ? EventlessStates : netlink::DumpStates);
    s.running = due;
    s.requested = now;
    s.lostAtRequest = s.feed->LostEvents();
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

    const auto now = EventTable::Clock::now();
    if (!s.seeded)
        return Seed(s, now) ? &s.table : nullptr;
    s.feed->Drain(&s.table, s.running != ResyncKind::None ? &s.since : nullptr);
    s.table.NoteLostEvents(s.feed->LostEvents());
    ResyncInBackground(s, now);
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
