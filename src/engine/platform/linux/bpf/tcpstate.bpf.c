// SPDX-License-Identifier: GPL-2.0
/* Reports every TCP state change into a ring buffer, so that user space keeps the connection
 * table without walking the kernel's socket hash at every read. */
#include "kernel_types.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "tcpstate_event.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} events SEC(".maps");

/* Events that found no room in the ring; user space resynchronises when it moves. A map of its
 * own, unlike the program's .bss: the loader freezes it, so that its reader may map it only to
 * read it. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} counters SEC(".maps");

/* The network namespace of the process that loads the program, set between open and load. Only
 * its sockets are reported: the dump that the events keep current lists only them, and only
 * they can be cut from there. */
const volatile __u32 netns_inum = 0;

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(okg_tcp_set_state, struct sock* sk, int oldstate, int newstate) {
    if (sk->sk_protocol != IPPROTO_TCP)
        return 0;
    unsigned short family = sk->__sk_common.skc_family;
    if (family != AF_INET && family != AF_INET6)
        return 0;
    if (BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != netns_inum)
        return 0;

    struct okg_tcp_event* e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        __u32 first = 0;
        __u64* drops = bpf_map_lookup_elem(&counters, &first);
        if (drops)
            __sync_fetch_and_add(drops, 1);
        return 0;
    }
    e->cookie = bpf_get_socket_cookie(sk);
    e->family = family;
    e->old_state = (unsigned char)oldstate;
    e->new_state = (unsigned char)newstate;
    e->sk_err = sk->sk_err;
    e->bound_dev_if = sk->__sk_common.skc_bound_dev_if;
    e->local_port = sk->__sk_common.skc_num;
    e->remote_port = __builtin_bswap16(sk->__sk_common.skc_dport);
    __builtin_memset(e->local_addr, 0, sizeof(e->local_addr));
    __builtin_memset(e->remote_addr, 0, sizeof(e->remote_addr));
    if (family == AF_INET) {
        __be32 local = sk->__sk_common.skc_rcv_saddr;
        __be32 remote = sk->__sk_common.skc_daddr;
        __builtin_memcpy(e->local_addr, &local, 4);
        __builtin_memcpy(e->remote_addr, &remote, 4);
    } else {
        bpf_core_read(e->local_addr, 16, &sk->__sk_common.skc_v6_rcv_saddr);
        bpf_core_read(e->remote_addr, 16, &sk->__sk_common.skc_v6_daddr);
    }
    bpf_ringbuf_submit(e, 0);
    return 0;
}
