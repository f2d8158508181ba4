#include "engine/platform/linux/BpfFeed.h"

#include "engine/platform/linux/BpfProgram.h"
#include "engine/platform/linux/EventTable.h"

#include <linux/bpf.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
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

} // namespace okg::linuxfeed
