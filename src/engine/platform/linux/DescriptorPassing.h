// One message with descriptors over a Unix socket (SCM_RIGHTS), as okgate-helper hands the window
// the feed's descriptors. Both sides use it, so the framing is written once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>

namespace okg::fdpass {

// The most descriptors one message carries.
inline constexpr size_t MaxDescriptors = 2;

// Sends message with fds (at most MaxDescriptors) in one datagram, again after EINTR; false when
// it did not go whole.
bool Send(int socket, const void* message, size_t length, std::span<const int> fds = {});

// What Receive read.
struct Received {
    ssize_t bytes = -1; // the message's length; 0 at the end of the stream, -1 on failure (errno)
    int flags = 0;      // recvmsg's: MSG_TRUNC, or MSG_CTRUNC when more descriptors came than room
    size_t count = 0;   // descriptors written to fds
};

// Receives one datagram into buffer, and up to fds.size() descriptors, close-on-exec, into fds;
// the kernel closes any beyond that room. Again after EINTR.
Received Receive(int socket, std::span<std::byte> buffer, std::span<int> fds = {});

} // namespace okg::fdpass
