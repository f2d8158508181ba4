#include "helper/SystemCallFilter.h"

#include <linux/bpf.h>
#include <linux/netlink.h>
#include <seccomp.h>
#include <sys/socket.h>

#include <cstdint>
#include <initializer_list>

namespace okg::helper {

bool Confine() {
#if defined(__SANITIZE_ADDRESS__) // the sanitizer's runtime needs more than the helper
    return true;
#else
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return false;
    bool ok = true;
    for (int call :
         {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(sendto), SCMP_SYS(write), SCMP_SYS(close),
          SCMP_SYS(bind), SCMP_SYS(getsockname), SCMP_SYS(setsockopt), SCMP_SYS(brk),
          SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(futex), SCMP_SYS(rt_sigreturn),
          SCMP_SYS(restart_syscall), SCMP_SYS(exit_group), SCMP_SYS(exit)})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    // socket(AF_NETLINK, SOCK_RAW, NETLINK_SOCK_DIAG), with or without the type's two flags. The
    // arguments are ints: only their low 32 bits count.
    constexpr uint32_t Int = ~0u, TypeOnly = ~uint32_t(SOCK_CLOEXEC | SOCK_NONBLOCK);
    const scmp_arg_cmp sockDiag[] = {{0, SCMP_CMP_MASKED_EQ, Int, AF_NETLINK},
                                     {1, SCMP_CMP_MASKED_EQ, TypeOnly, SOCK_RAW},
                                     {2, SCMP_CMP_MASKED_EQ, Int, NETLINK_SOCK_DIAG}};
    ok = ok && seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 3, sockDiag) == 0;
    // bpf() only to read the program's info, for its skipped runs.
    const scmp_arg_cmp infoOnly{0, SCMP_CMP_MASKED_EQ, Int, BPF_OBJ_GET_INFO_BY_FD};
    ok = ok && seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(bpf), 1, &infoOnly) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
#endif
}

} // namespace okg::helper
