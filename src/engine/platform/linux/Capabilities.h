// The process's own capability sets, through the kernel's interface (no library): read by the
// window to choose where the rights live, set by okgate-helper to keep only what it needs.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace okg::caps {

constexpr uint64_t Bit(int cap) {
    return uint64_t(1) << cap;
}

struct Sets {
    uint64_t effective = 0, permitted = 0, inheritable = 0;
};

inline Sets Get() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    Sets sets;
    if (syscall(SYS_capget, &header, data) == 0) {
        sets.effective = data[0].effective | uint64_t(data[1].effective) << 32;
        sets.permitted = data[0].permitted | uint64_t(data[1].permitted) << 32;
        sets.inheritable = data[0].inheritable | uint64_t(data[1].inheritable) << 32;
    }
    return sets;
}

// Keeps only keep, permitted and raised; nothing inheritable. False when the kernel refuses.
inline bool KeepOnly(uint64_t keep) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    data[0].effective = data[0].permitted = uint32_t(keep);
    data[1].effective = data[1].permitted = uint32_t(keep >> 32);
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace okg::caps
