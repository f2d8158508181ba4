#include "engine/platform/linux/BpfFeed.h"

#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/Rights.h"

#include <linux/bpf.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace okg::linuxfeed {

namespace {

bool refuseLoad = false;

void CloseAll(const FeedDescriptors& fds) {
    for (int fd : {fds.ring, fds.counters})
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
    auto feed = FromDescriptors(
        fds, [p = program.get()](uint64_t& misses) { return p->SkippedRuns(misses); }, whyNot);
    if (feed)
        feed->program_ = std::move(program);
    return feed;
}

std::unique_ptr<BpfFeed> BpfFeed::FromDescriptors(const FeedDescriptors& fds,
                                                  SkippedRuns skippedRuns, std::string& whyNot) {
    std::unique_ptr<BpfFeed> feed(new BpfFeed());
    feed->ringFd_ = fds.ring;
    feed->countersFd_ = fds.counters;
    feed->skippedRuns_ = std::move(skippedRuns);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const uint64_t bytes = fds.ringBytes;
    if (fds.ring < 0 || fds.counters < 0 || bytes < page || (bytes & (bytes - 1)) != 0 ||
        bytes > (uint64_t(1) << 30)) {
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
    CloseAll({ringFd_, 0, countersFd_});
}

size_t BpfFeed::Drain(EventTable* table) {
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
    // Whoever holds the program tells: this process, or the helper over its channel.
    if (skippedRuns_)
        skippedRuns_(misses_);
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
        if (done_ >= 0)
            ::close(done_);
    }
    // Polls readable from the end of a dump until it is taken: the loop sleeps while it runs.
    int DoneFd() const { return done_; }
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
        uint64_t count;
        [[maybe_unused]] const auto read = ::read(done_, &count, sizeof count);
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
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(done_, &one, sizeof one);
        }
    }

    int done_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false, requested_ = false, ok_ = false;
    uint32_t states_ = 0;
    std::vector<netlink::SocketRow> rows_;
    std::atomic<bool> finished_ = false;
    std::thread thread_;
};

// The one descriptor the loop waits on for the table's news: an epoll set, which polls readable
// while any of its members does (the ring, the helper's channel, the end of a background dump).
class WakeSet {
public:
    WakeSet() = default;
    WakeSet(const WakeSet&) = delete;
    WakeSet& operator=(WakeSet&& other) noexcept {
        std::swap(fd_, other.fd_);
        std::swap(members_, other.members_);
        return *this;
    }
    ~WakeSet() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Fd() const { return fd_; }
    // Makes members the set. A member must leave before its descriptor is closed: a descriptor
    // shared with another process (the ring, handed over by the helper) would stay in the set.
    void Keep(std::vector<int> members) {
        std::erase(members, -1);
        if (members == members_)
            return;
        if (fd_ < 0)
            fd_ = epoll_create1(EPOLL_CLOEXEC);
        for (int fd : members_)
            if (std::find(members.begin(), members.end(), fd) == members.end())
                epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
        for (int fd : members)
            if (std::find(members_.begin(), members_.end(), fd) == members_.end()) {
                epoll_event event{EPOLLIN, {.fd = fd}};
                epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event);
            }
        members_ = std::move(members);
    }

private:
    int fd_ = -1;
    std::vector<int> members_;
};

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
