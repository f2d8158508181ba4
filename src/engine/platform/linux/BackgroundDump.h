// Reading the kernel's table off the loop's thread, and the one descriptor the loop waits on for
// the table's news.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace okg::linuxfeed {

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

} // namespace okg::linuxfeed
