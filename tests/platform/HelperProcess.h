// okgate-helper of the build, started over a socket pair as the window starts it, for tests that
// speak its protocol byte by byte; and children that check things where the test cannot. Every
// wait is bounded; a process is ended by its own id.
#pragma once

#include "engine/platform/linux/DescriptorPassing.h"
#include "engine/platform/linux/HelperProtocol.h"

#include <gtest/gtest.h>

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

// The exit status of pid once it has ended within the wait (pid is then -1), -2 for a signal;
// -1 while it runs, unless kill: then it is killed.
inline int Exit(pid_t& pid, int milliseconds, bool kill = false) {
    if (pid <= 0) // -1 would wait for any child and signal every process
        return -1;
    for (int status = 0; milliseconds >= 0; milliseconds -= 10, usleep(10000))
        if (waitpid(pid, &status, WNOHANG) == pid)
            return pid = -1, WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    if (kill && ::kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0), pid = -1;
    return -1;
}

// Runs body in a forked child, whose failures are printed as the test's; its exit status (0
// when nothing failed), -2 when a signal ended it, -1 when it did not end within 20 s.
template <typename Body> int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    return Exit(pid, 20000, true);
}

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
        if (pid > 0)
            helpertest::Exit(pid, 3000, true);
    }

    bool Readable() const {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 5000) == 1;
    }
    // Sends request and reads the answer of its kind; false when none came.
    template <typename Answer> bool Ask(const void* request, size_t length, Answer& answer) const {
        const uint32_t type = answer.type;
        return send(fd, request, length, MSG_NOSIGNAL) == ssize_t(length) && Readable() &&
               recv(fd, &answer, sizeof answer, 0) == sizeof answer && answer.type == type;
    }
    // The helper's answer to one reset request; 0xffffffff when none came.
    uint32_t Reset(const okg::helper::ResetRequest& request) const {
        okg::helper::ResetResult answer;
        return Ask(&request, sizeof request, answer) ? answer.result : 0xffffffff;
    }
    int Exit(int milliseconds) { return helpertest::Exit(pid, milliseconds); }
};

} // namespace helpertest
