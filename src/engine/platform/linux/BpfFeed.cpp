#include "engine/platform/linux/BpfFeed.h"

#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/Rights.h"

#include <bpf/bpf.h>
#include <linux/bpf.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace okg::linuxfeed {

namespace {

bool refuseLoad = false;

void CloseAll(const FeedDescriptors& fds) {
    for (int fd : {fds.ring, fds.counters, fds.program})
        if (fd >= 0)
            ::close(fd);
}

// The ring's layout, as the kernel maps it: each record starts with its length word.
constexpr uint32_t RecordHeaderBytes = BPF_RINGBUF_HDR_SZ;
constexpr uint32_t RecordFlags = BPF_RINGBUF_BUSY_BIT | BPF_RINGBUF_DISCARD_BIT;

} // namespace

void RefuseLoadForTesting(bool refuse) {
    refuseLoad = refuse;
}

std::unique_ptr<BpfFeed> BpfFeed::Open(std::string& whyNot) {
    if (refuseLoad) {
        whyNot = "loading the BPF program was refused: " + std::string(std::strerror(EPERM)) +
                 " (needs CAP_BPF and CAP_PERFMON)";
        return nullptr;
    }
    auto program = BpfProgram::Load(whyNot);
    if (!program)
        return nullptr;
    FeedDescriptors fds = program->Descriptors();
    fds.ring = fcntl(fds.ring, F_DUPFD_CLOEXEC, 0);
    fds.counters = fcntl(fds.counters, F_DUPFD_CLOEXEC, 0);
    fds.program = fcntl(fds.program, F_DUPFD_CLOEXEC, 0);
    auto feed = FromDescriptors(fds, whyNot);
    if (feed)
        feed->program_ = std::move(program);
    return feed;
}

std::unique_ptr<BpfFeed> BpfFeed::FromDescriptors(const FeedDescriptors& fds, std::string& whyNot) {
    std::unique_ptr<BpfFeed> feed(new BpfFeed());
    feed->ringFd_ = fds.ring;
    feed->countersFd_ = fds.counters;
    feed->programFd_ = fds.program;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const uint64_t bytes = fds.ringBytes;
    if (fds.ring < 0 || fds.counters < 0 || fds.program < 0 || bytes < page ||
        (bytes & (bytes - 1)) != 0 || bytes > (uint64_t(1) << 30)) {
        whyNot = "the BPF ring buffer was not handed over";
        return nullptr;
    }
    // As libbpf's consumer maps it, without asking the kernel for the map's info (a bpf() call
    // that older kernels refuse to a process without CAP_BPF): the consumer position, then the
    // producer position and the data, mapped twice over so that a record never wraps.
    void* consumer = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fds.ring, 0);
    if (consumer == MAP_FAILED) {
        whyNot = "mapping the BPF ring buffer failed: " + std::string(std::strerror(errno));
        return nullptr;
    }
    feed->consumer_ = consumer;
    feed->producerBytes_ = page + 2 * bytes;
    void* producer =
        mmap(nullptr, feed->producerBytes_, PROT_READ, MAP_SHARED, fds.ring, off_t(page));
    if (producer == MAP_FAILED) {
        whyNot = "mapping the BPF ring buffer failed: " + std::string(std::strerror(errno));
        return nullptr;
    }
    feed->producer_ = producer;
    feed->mask_ = bytes - 1;
    void* counters = mmap(nullptr, page, PROT_READ, MAP_SHARED, fds.counters, 0);
    if (counters == MAP_FAILED) {
        whyNot = "mapping the BPF loss counters failed: " + std::string(std::strerror(errno));
        return nullptr;
    }
    feed->counters_ = counters;
    return feed;
}

BpfFeed::~BpfFeed() {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    if (consumer_)
        munmap(consumer_, page);
    if (producer_)
        munmap(producer_, producerBytes_);
    if (counters_)
        munmap(const_cast<void*>(counters_), page);
    CloseAll({ringFd_, 0, countersFd_, programFd_});
}

size_t BpfFeed::Drain(EventTable* table, std::vector<okg_tcp_event>* log) {
    auto* consumerPos = static_cast<uint64_t*>(consumer_);
    const auto* producerPos = static_cast<const uint64_t*>(producer_);
    const auto* data = static_cast<const unsigned char*>(producer_) + sysconf(_SC_PAGESIZE);
    uint64_t consumed = __atomic_load_n(consumerPos, __ATOMIC_ACQUIRE);
    size_t drained = 0;
    for (;;) {
        const uint64_t produced = __atomic_load_n(producerPos, __ATOMIC_ACQUIRE);
        if (consumed >= produced)
            break;
        while (consumed < produced) {
            const unsigned char* record = data + (consumed & mask_);
            const uint32_t length =
                __atomic_load_n(reinterpret_cast<const uint32_t*>(record), __ATOMIC_ACQUIRE);
            if (length & BPF_RINGBUF_BUSY_BIT) // still being written: the next drain takes it
                return drained;
            const uint32_t size = length & ~RecordFlags;
            consumed += (uint64_t(size) + RecordHeaderBytes + 7) & ~uint64_t(7);
            if (!(length & BPF_RINGBUF_DISCARD_BIT)) {
                ++drained;
                if (table && size >= sizeof(okg_tcp_event)) {
                    okg_tcp_event event;
                    std::memcpy(&event, record + RecordHeaderBytes, sizeof event);
                    table->Apply(event);
                    if (log)
                        log->push_back(event);
                }
            }
            __atomic_store_n(consumerPos, consumed, __ATOMIC_RELEASE);
        }
    }
    return drained;
}

uint64_t BpfFeed::LostEvents() const {
    const uint64_t drops =
        __atomic_load_n(static_cast<const uint64_t*>(counters_), __ATOMIC_RELAXED);
    // The skipped runs take a system call: asked for every few milliseconds, not at every pass.
    const auto now = std::chrono::steady_clock::now();
    if (now - missesRead_ >= std::chrono::milliseconds(10)) {
        missesRead_ = now;
        bpf_prog_info info{};
        uint32_t length = sizeof info;
        if (bpf_obj_get_info_by_fd(programFd_, &info, &length) == 0)
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
            if (resyncObserver)
                resyncObserver(s.running == ResyncKind::Full, s.table, s.dump);
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
    }
    if (s.mode == TableMode::EventFed && !FeedStillAttached()) {
        // The helper ended and its program with it: no more events will come.
        s.feed.reset();
        s.mode = TableMode::DumpPerCall;
        TellCostlyMode("okgate-helper has ended", false);
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

void SetResyncObserverForTesting(ResyncObserver observer) {
    resyncObserver = std::move(observer);
}

void ResetTableSourceForTesting() {
    Source() = TableSource{};
    ResetRightsForTesting();
    noticeShown = false;
}

} // namespace okg::linuxfeed
