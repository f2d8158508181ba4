// The sock_diag reply parser on crafted replies.
#include "RowText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

namespace {

using namespace okg::netlink;
using namespace rowtext;
using Bytes = std::vector<std::byte>;
constexpr uint32_t Seq = 4711, Pid = 90210;

// Appends one message as the kernel packs it: header, payload, 4-byte alignment.
Bytes& Put(Bytes& b, uint16_t type, const void* payload, size_t length,
           uint16_t flags = NLM_F_MULTI, uint32_t seq = Seq, uint32_t pid = Pid) {
    const nlmsghdr h{uint32_t(NLMSG_HDRLEN + length), type, flags, seq, pid};
    for (auto [p, n] : {std::pair{static_cast<const void*>(&h), sizeof h}, {payload, length}})
        b.insert(b.end(), static_cast<const std::byte*>(p), static_cast<const std::byte*>(p) + n);
    b.resize(NLMSG_ALIGN(b.size()));
    return b;
}

// A socket from port 1000 to 2000 in a kernel state; an address with a colon makes it IPv6.
Bytes& PutSocket(Bytes& b, uint8_t state, const char* src, const char* dst, uint64_t cookie,
                 uint16_t flags = NLM_F_MULTI, uint32_t seq = Seq, uint32_t pid = Pid) {
    inet_diag_msg m{};
    m.idiag_family = std::strchr(src, ':') ? AF_INET6 : AF_INET;
    m.idiag_state = state;
    m.id = {htons(1000), htons(2000), {}, {}, 0, {uint32_t(cookie), uint32_t(cookie >> 32)}};
    inet_pton(m.idiag_family, src, m.id.idiag_src);
    inet_pton(m.idiag_family, dst, m.id.idiag_dst);
    return Put(b, SOCK_DIAG_BY_FAMILY, &m, sizeof m, flags, seq, pid);
}

// Other dumps' messages and acknowledgements are skipped; v4-mapped IPv6 sockets are IPv4 rows.
TEST(ParseDumpReply, CollectsOwnSocketsOverSeveralReadsUntilDone) {
    std::vector<SocketRow> rows;
    Bytes first, second;
    const nlmsgerr ack{};
    PutSocket(first, 1, "127.0.0.2", "127.0.0.3", 0x1122334455);
    PutSocket(first, 1, "127.0.0.9", "127.0.0.9", 2, NLM_F_DUMP_INTR, Seq - 1);
    PutSocket(first, 1, "127.0.0.9", "127.0.0.9", 3, NLM_F_MULTI, Seq, Pid + 1);
    Put(first, NLMSG_DONE, &ack, 4, NLM_F_MULTI, Seq + 1);
    Put(first, NLMSG_ERROR, &ack, sizeof ack, 0);
    PutSocket(first, 12, "127.0.0.3", "127.0.0.2", 4); // a request socket
    PutSocket(first, 13, "127.0.0.3", "0.0.0.0", 5);   // bound, inactive: not a row
    ReplyResult r = ParseDumpReply(first, Seq, Pid, rows);
    EXPECT_EQ(std::tuple(r.status, r.foreign, r.interrupted),
              std::tuple(ReplyStatus::More, 3u, false));
    PutSocket(second, 10, "::ffff:127.0.0.4", "::", 6);
    PutSocket(second, 1, "::1", "::1", 7);
    PutSocket(second, 1, "2001:db8::ffff:7f00:3", "::ffff:127.0.0.2", 8);
    PutSocket(second, 10, "::", "::", 10); // a dual-stack listener: IPv6 too
    const size_t legacy = second.size();   // the older request's answer: the same message
    PutSocket(second, 8, "127.0.0.3", "127.0.0.2", 9, NLM_F_MULTI | NLM_F_DUMP_INTR);
    second[legacy + offsetof(nlmsghdr, nlmsg_type)] = std::byte{TCPDIAG_GETSOCK};
    Put(second, NLMSG_DONE, &ack, 4);
    r = ParseDumpReply(second, Seq, Pid, rows);
    EXPECT_EQ(std::tuple(r.status, r.foreign, r.interrupted),
              std::tuple(ReplyStatus::Done, 0u, true));
    EXPECT_EQ(Text(rows), "73588229205 ESTAB 2:1000 3:2000, 4 SYN_RCVD 3:1000 2:2000, "
                          "6 LISTEN 4:1000 0:2000 mapped, 7 ESTAB [::1]:1000 [::1]:2000, "
                          "8 ESTAB [2001:db8::ffff:7f00:3]:1000 [::ffff:127.0.0.2]:2000, "
                          "10 LISTEN [::]:1000 [::]:2000, 9 CLOSE_WAIT 3:1000 2:2000");
}

// Nothing after a failure is read; a length below the header would never advance; INT_MIN (whose
// negation overflows) is EPROTO.
TEST(ParseDumpReply, FailuresStopTheReply) {
    const nlmsgerr denied{-EPERM, {}};
    const int noBuffers = -ENOBUFS, noErrno = INT_MIN;
    Bytes error, failedDump, past, tiny, noErrnoError, noErrnoDump;
    Put(noErrnoError, NLMSG_ERROR, &noErrno, 4);
    Put(noErrnoDump, NLMSG_DONE, &noErrno, 4);
    PutSocket(Put(error, NLMSG_ERROR, &denied, sizeof denied, 0), 1, "127.0.0.2", "127.0.0.3", 1);
    PutSocket(Put(failedDump, NLMSG_DONE, &noBuffers, 4), 1, "127.0.0.2", "127.0.0.3", 1);
    PutSocket(past, 1, "127.0.0.2", "127.0.0.3", 1).resize(past.size() - 8);
    PutSocket(Put(tiny, SOCK_DIAG_BY_FAMILY, &denied, 0), 1, "127.0.0.2", "127.0.0.3", 1)[0] =
        std::byte{4};
    const std::tuple<Bytes*, ReplyStatus, int> cases[] = {
        {&error, ReplyStatus::Error, EPERM},         {&failedDump, ReplyStatus::Error, ENOBUFS},
        {&past, ReplyStatus::Truncated, 0},          {&tiny, ReplyStatus::Truncated, 0},
        {&noErrnoError, ReplyStatus::Error, EPROTO}, {&noErrnoDump, ReplyStatus::Error, EPROTO}};
    for (auto [bytes, status, errorNumber] : cases) {
        std::vector<SocketRow> rows;
        const ReplyResult r = ParseDumpReply(*bytes, Seq, Pid, rows);
        EXPECT_EQ(std::tuple(r.status, r.errorNumber, rows.size()),
                  std::tuple(status, errorNumber, 0u));
    }
}

// A table that does not fit: 122 with the exact size needed; then the same rows fit exactly.
TEST(WriteTcpTable, NeverWritesPastTheBufferItWasGiven) {
    const std::vector<SocketRow> rows(3, SocketRow{1, {5, 1, 2, 3, 4}, false});
    std::vector<uint32_t> words(1 + 3 * 5 + 1, 0xABABABAB);
    auto* table = reinterpret_cast<api::MIB_TCPTABLE*>(words.data());
    uint32_t size = 4 + 2 * 20;
    EXPECT_EQ(WriteTcpTable(rows, table, &size), api::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 4u + 3 * 20);
    EXPECT_TRUE(
        std::all_of(words.begin() + 11, words.end(), [](uint32_t w) { return w == 0xABABABAB; }));
    EXPECT_EQ(WriteTcpTable(rows, table, &size), 0u);
    EXPECT_EQ(table->dwNumEntries, 3u);
    EXPECT_EQ(table->table[2].dwRemotePort, 4u);
    EXPECT_EQ(words.back(), 0xABABABABu);
}

// Link-local addresses have the socket's interface as scope id; a cut never finds a listener.
TEST(WriteTcp6Table, EachTableHoldsItsOwnRows) {
    std::vector<SocketRow> rows;
    Bytes b;
    PutSocket(b, 10, "fe80::1", "::", 1);
    PutSocket(b, 1, "127.0.0.2", "127.0.0.3", 2);
    PutSocket(b, 1, "fe80::1", "fe80::2", 3);
    PutSocket(b, 1, "2001:db8::1", "2001:db8::2", 4);
    ParseDumpReply(b, Seq, Pid, rows);
    ASSERT_EQ(rows.size(), 4u);
    rows[0].ifindex = rows[2].ifindex = rows[3].ifindex = 7;
    std::vector<uint32_t> words(1 + 3 * 13);
    auto* table6 = reinterpret_cast<api::MIB_TCP6TABLE*>(words.data());
    uint32_t size = uint32_t(words.size() * 4);
    ASSERT_EQ(WriteTcp6Table(rows, table6, &size), 0u);
    ASSERT_EQ(table6->dwNumEntries, 3u);
    EXPECT_EQ(std::tuple(table6->table[0].State, table6->table[0].dwLocalScopeId),
              std::tuple(api::MIB_TCP_STATE_LISTEN, 7u));
    const api::MIB_TCP6ROW& global = table6->table[2];
    EXPECT_EQ(std::tuple(global.dwLocalScopeId, global.dwRemoteScopeId, global.RemoteAddr.Byte[15],
                         global.dwRemotePort),
              std::tuple(0u, 0u, uint8_t(2), uint32_t(htons(2000))));
    auto* table = reinterpret_cast<api::MIB_TCPTABLE*>(words.data());
    size = uint32_t(words.size() * 4);
    ASSERT_EQ(WriteTcpTable(rows, table, &size), 0u);
    EXPECT_EQ(table->dwNumEntries, 1u);
    api::MIB_TCP6ROW wanted = Tcp6RowOf(rows[2]);
    EXPECT_EQ(FindConnection6(rows, wanted), &rows[2]);
    wanted.RemoteAddr = {};
    EXPECT_EQ(FindConnection6(rows, wanted), nullptr) << "the listener is no connection";
    EXPECT_EQ(SocketIdOf(rows[2], AF_INET6).idiag_if, 7u);
}

} // namespace
