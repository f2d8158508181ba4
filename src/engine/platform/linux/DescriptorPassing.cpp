#include "engine/platform/linux/DescriptorPassing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace okg::fdpass {

namespace {

constexpr size_t ControlBytes = CMSG_SPACE(MaxDescriptors * sizeof(int));

} // namespace

bool Send(int socket, const void* message, size_t length, std::span<const int> fds) {
    if (fds.size() > MaxDescriptors)
        return false;
    iovec io{const_cast<void*>(message), length};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[ControlBytes] = {};
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
    }
    ssize_t sent;
    while ((sent = sendmsg(socket, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == ssize_t(length);
}

Received Receive(int socket, std::span<std::byte> buffer, std::span<int> fds) {
    iovec io{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[ControlBytes] = {};
    const size_t room = std::min(fds.size(), MaxDescriptors);
    if (room) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(room * sizeof(int));
    }
    Received r;
    while ((r.bytes = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (r.bytes < 0)
        return r;
    r.flags = msg.msg_flags;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const size_t n = std::min((c->cmsg_len - CMSG_LEN(0)) / sizeof(int), room - r.count);
            std::memcpy(fds.data() + r.count, CMSG_DATA(c), n * sizeof(int));
            r.count += n;
        }
    return r;
}

} // namespace okg::fdpass
