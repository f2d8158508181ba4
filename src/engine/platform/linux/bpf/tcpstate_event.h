/* One TCP state change as the BPF program hands it to user space. Shared by the BPF program
 * (C, BPF target) and the table logic (C++), so only plain fixed-size types. */
#ifndef OKG_TCPSTATE_EVENT_H
#define OKG_TCPSTATE_EVENT_H

struct okg_tcp_event {
    unsigned long long cookie; /* the socket cookie, as the netlink dump shows it */
    /* AF_INET: the IPv4 address in the first 4 bytes; AF_INET6: the IPv6 address. Network
     * byte order; all zero where the kernel has not set it yet. */
    unsigned char local_addr[16];
    unsigned char remote_addr[16];
    int sk_err;                 /* the socket's pending error, set by a reset */
    int bound_dev_if;           /* the interface the socket is bound to, 0 for any */
    unsigned short family;      /* AF_INET or AF_INET6 */
    unsigned short local_port;  /* host byte order; 0 when not bound yet */
    unsigned short remote_port; /* host byte order */
    unsigned char old_state;    /* the kernel's TCP state numbers (TCP_ESTABLISHED = 1 ...) */
    unsigned char new_state;
};

#endif
