/* The few kernel types the BPF program reads, with CO-RE relocations: libbpf matches each field
 * by name against the running kernel's BTF, so offsets need not agree with any kernel version. */
#ifndef OKG_KERNEL_TYPES_H
#define OKG_KERNEL_TYPES_H

typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;

enum bpf_map_type {
    BPF_MAP_TYPE_ARRAY = 2,
    BPF_MAP_TYPE_RINGBUF = 27,
};

enum {
    BPF_F_MMAPABLE = 1U << 10, /* an array user space maps */
};

struct in6_addr {
    __u8 s6_addr[16];
};

struct ns_common {
    unsigned int inum; /* the namespace's inode number, as /proc/PID/ns/net shows it */
} __attribute__((preserve_access_index));

struct net {
    struct ns_common ns;
} __attribute__((preserve_access_index));

typedef struct {
    struct net* net;
} __attribute__((preserve_access_index)) possible_net_t;

/* The kernel nests these in anonymous unions and structs; libbpf looks through them. */
struct sock_common {
    __be32 skc_daddr;
    __be32 skc_rcv_saddr;
    __be16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    int skc_bound_dev_if;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
    possible_net_t skc_net;
} __attribute__((preserve_access_index));

struct sock {
    struct sock_common __sk_common;
    int sk_err;
    __u16 sk_protocol;
} __attribute__((preserve_access_index));

#endif
