// okgate-helper of the build, started over a socket pair as the window starts it, for tests that
// speak its protocol byte by byte. Every wait is bounded; the process is ended by its own id.
#pragma once

#include "engine/platform/linux/DescriptorPassing.h"
#include "engine/platform/linux/HelperProtocol.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <span>

namespace helpertest {

struct Helper {
    int fd = -1;
    pid_t pid = -1;
    okg::helper::Hello hello;
    int fds[2] = {-1, -1}; // the feed's descriptors, when it loaded the program

    // user: run as that user, without capabilities, rather than as the test's.
    explicit Helper(uid_t user = 0) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            if (pair[1] == okg::helper::ChannelFd)
                fcntl(pair[1], F_SETFD, 0);
            else
                dup2(pair[1], okg::helper::ChannelFd);
            if (user && (setgroups(0, nullptr) || setresgid(user, user, user) ||
                         setresuid(user, user, user)))
                _exit(126);
            execl(OKG_HELPER, OKG_HELPER, nullptr);
            _exit(127);
        }
        close(pair[1]);
        fd = pair[0];
        if (Readable())
            okg::fdpass::Receive(fd, std::as_writable_bytes(std::span(&hello, 1)), fds);
    }
    ~Helper() {
        for (int f : fds)
            f >= 0 && close(f);
        if (fd >= 0)
            close(fd);
        if (pid > 0 && Exit(3000) == -1 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }

    bool Readable(int milliseconds = 5000) const {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, milliseconds) == 1;
    }
    bool Send(const void* bytes, size_t length) const {
        return send(fd, bytes, length, MSG_NOSIGNAL) == ssize_t(length);
    }
    // Sends request and reads the answer of its kind; false when none came.
    template <typename Answer> bool Ask(const void* request, size_t length, Answer& answer) const {
        const uint32_t type = answer.type;
        return Send(request, length) && Readable() &&
               recv(fd, &answer, sizeof answer, 0) == sizeof answer && answer.type == type;
    }
    // The helper's answer to one reset request; 0xffffffff when none came.
    uint32_t Reset(const okg::helper::ResetRequest& request) const {
        okg::helper::ResetResult answer;
        return Ask(&request, sizeof request, answer) ? answer.result : 0xffffffff;
    }
    // The exit status once it has ended within the wait; -1 while it runs, -2 for a signal.
    int Exit(int milliseconds) {
        for (int status = 0; milliseconds >= 0; milliseconds -= 10, usleep(10000))
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
        return -1;
    }
};

} // namespace helpertest
