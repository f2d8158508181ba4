// The sock_diag reply parser on crafted replies, the cut's row lookup and the writing of rows
// into a caller's table buffer.
#include "engine/platform/linux/NetlinkDiag.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#undef ntohs

namespace {

using namespace okg::netlink;

constexpr uint32_t Seq = 4711;
constexpr uint32_t Pid = 90210;

uint32_t V4(const char* dotted) {
    return inet_addr(dotted);
}

// A kernel reply as it arrives in one read: messages packed at 4-byte alignment.
class Reply {
public:
    Reply& Message(uint16_t type, const void* payload, size_t length, uint16_t flags = NLM_F_MULTI,
                   uint32_t seq = Seq, uint32_t pid = Pid) {
        nlmsghdr h{};
        h.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + length);
        h.nlmsg_type = type;
        h.nlmsg_flags = flags;
        h.nlmsg_seq = seq;
        h.nlmsg_pid = pid;
        Append(&h, sizeof(h));
        Append(payload, length);
        bytes_.resize(NLMSG_ALIGN(bytes_.size()));
        return *this;
    }
    Reply& Socket(const inet_diag_msg& m, uint16_t flags = NLM_F_MULTI, uint32_t seq = Seq,
                  uint32_t pid = Pid) {
        return Message(SOCK_DIAG_BY_FAMILY, &m, sizeof(m), flags, seq, pid);
    }
    Reply& Done(int result = 0, uint32_t seq = Seq) {
        return Message(NLMSG_DONE, &result, sizeof(result), NLM_F_MULTI, seq);
    }
    Reply& Error(int negativeErrno) {
        nlmsgerr e{};
        e.error = negativeErrno;
        return Message(NLMSG_ERROR, &e, sizeof(e), 0);
    }
    Reply& Raw(const void* data, size_t length) {
        Append(data, length);
        return *this;
    }
    std::span<const std::byte> Bytes() const { return bytes_; }
    std::vector<std::byte>& Data() { return bytes_; }

private:
    void Append(const void* data, size_t length) {
        const auto* p = static_cast<const std::byte*>(data);
        bytes_.insert(bytes_.end(), p, p + length);
    }
    std::vector<std::byte> bytes_;
};

inet_diag_msg Ipv4Socket(uint8_t kernelState, const char* src, uint16_t sport, const char* dst,
                         uint16_t dport, uint64_t cookie = 1) {
    inet_diag_msg m{};
    m.idiag_family = AF_INET;
    m.idiag_state = kernelState;
    m.id.idiag_sport = htons(sport);
    m.id.idiag_dport = htons(dport);
    m.id.idiag_src[0] = V4(src);
    m.id.idiag_dst[0] = V4(dst);
    m.id.idiag_cookie[0] = static_cast<uint32_t>(cookie);
    m.id.idiag_cookie[1] = static_cast<uint32_t>(cookie >> 32);
    return m;
}

inet_diag_msg Ipv6Socket(uint8_t kernelState, const char* src, uint16_t sport, const char* dst,
                         uint16_t dport, uint64_t cookie = 1) {
    inet_diag_msg m = Ipv4Socket(kernelState, "0.0.0.0", sport, "0.0.0.0", dport, cookie);
    m.idiag_family = AF_INET6;
    inet_pton(AF_INET6, src, m.id.idiag_src);
    inet_pton(AF_INET6, dst, m.id.idiag_dst);
    return m;
}

constexpr uint8_t KernelEstablished = 1, KernelListen = 10;

api::MIB_TCPROW Row(uint32_t state, const char* local, uint16_t lport, const char* remote,
                    uint16_t rport) {
    return {state, V4(local), htons(lport), V4(remote), htons(rport)};
}

void ExpectRow(const SocketRow& got, const api::MIB_TCPROW& want) {
    EXPECT_EQ(got.row.dwState, want.dwState);
    EXPECT_EQ(got.row.dwLocalAddr, want.dwLocalAddr);
    EXPECT_EQ(got.row.dwLocalPort, want.dwLocalPort);
    EXPECT_EQ(got.row.dwRemoteAddr, want.dwRemoteAddr);
    EXPECT_EQ(got.row.dwRemotePort, want.dwRemotePort);
}

TEST(ParseDumpReply, ReplySplitOverSeveralReadsIsCollectedUntilDone) {
    std::vector<SocketRow> rows;
    Reply first;
    first
        .Socket(Ipv4Socket(KernelEstablished, "127.0.0.2", 50000, "10.1.2.3", 443, 0x1122334455ull))
        .Socket(Ipv4Socket(KernelListen, "0.0.0.0", 22, "0.0.0.0", 0, 7));
    const ReplyResult r1 = ParseDumpReply(first.Bytes(), Seq, Pid, rows);
    EXPECT_EQ(r1.status, ReplyStatus::More);
    ASSERT_EQ(rows.size(), 2u);

    Reply second;
    second.Socket(Ipv4Socket(8, "192.168.0.9", 80, "192.168.0.10", 61000, 9)).Done();
    const ReplyResult r2 = ParseDumpReply(second.Bytes(), Seq, Pid, rows);
    EXPECT_EQ(r2.status, ReplyStatus::Done);
    EXPECT_FALSE(r2.interrupted);
    EXPECT_EQ(r2.foreign, 0u);

    ASSERT_EQ(rows.size(), 3u);
    // Ports in network order in the low 16 bits, addresses in network order, table states.
    ExpectRow(rows[0], Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 50000, "10.1.2.3", 443));
    EXPECT_EQ(rows[0].row.dwLocalPort >> 16, 0u);
    EXPECT_EQ(rows[0].cookie, 0x1122334455ull);
    EXPECT_FALSE(rows[0].v4mapped);
    ExpectRow(rows[1], Row(api::MIB_TCP_STATE_LISTEN, "0.0.0.0", 22, "0.0.0.0", 0));
    ExpectRow(rows[2],
              Row(api::MIB_TCP_STATE_CLOSE_WAIT, "192.168.0.9", 80, "192.168.0.10", 61000));
}

TEST(ParseDumpReply, KernelStatesBecomeTableStates) {
    struct Case {
        uint8_t kernel;
        uint32_t table; // 0: not listed
    };
    const Case cases[] = {
        {0, 0},
        {1, api::MIB_TCP_STATE_ESTAB},
        {2, api::MIB_TCP_STATE_SYN_SENT},
        {3, api::MIB_TCP_STATE_SYN_RCVD},
        {4, api::MIB_TCP_STATE_FIN_WAIT1},
        {5, api::MIB_TCP_STATE_FIN_WAIT2},
        {6, api::MIB_TCP_STATE_TIME_WAIT},
        {7, api::MIB_TCP_STATE_CLOSED},
        {8, api::MIB_TCP_STATE_CLOSE_WAIT},
        {9, api::MIB_TCP_STATE_LAST_ACK},
        {10, api::MIB_TCP_STATE_LISTEN},
        {11, api::MIB_TCP_STATE_CLOSING},
        {12, api::MIB_TCP_STATE_SYN_RCVD}, // a request socket
        {13, 0},                           // bound but inactive: not a table row
        {255, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kernel));
        std::vector<SocketRow> rows;
        Reply reply;
        reply.Socket(Ipv4Socket(c.kernel, "127.0.0.2", 1000, "127.0.0.3", 2000)).Done();
        EXPECT_EQ(ParseDumpReply(reply.Bytes(), Seq, Pid, rows).status, ReplyStatus::Done);
        ASSERT_EQ(rows.size(), c.table ? 1u : 0u);
        if (c.table) {
            EXPECT_EQ(rows[0].row.dwState, c.table);
        }
    }
    // The dump asks for exactly the states the table knows.
    EXPECT_EQ(DumpStates, 0x1ffeu);
}

TEST(ParseDumpReply, FailuresStopTheReply) {
    const inet_diag_msg sock = Ipv4Socket(KernelEstablished, "127.0.0.2", 1, "127.0.0.3", 2);
    struct Case {
        const char* name;
        Reply reply;
        ReplyStatus status;
        int errorNumber;
        bool atEnd = false; // the fault is only one at the end of the read
    };
    std::vector<Case> cases;
    cases.push_back({"error message", Reply().Error(-EPERM), ReplyStatus::Error, EPERM});
    cases.push_back(
        {"done carrying an error", Reply().Done(-ENOBUFS), ReplyStatus::Error, ENOBUFS});
    {
        Reply r;
        r.Socket(sock);
        r.Data().resize(r.Data().size() - 8); // the last message runs past the read
        cases.push_back({"message past the read", r, ReplyStatus::Truncated, 0, true});
    }
    {
        Reply r;
        r.Message(SOCK_DIAG_BY_FAMILY, &sock, sizeof(sock) - 4); // too short for a socket
        cases.push_back({"short socket message", r, ReplyStatus::Truncated, 0});
    }
    {
        const uint32_t partial[2] = {64, 0}; // less than a header
        cases.push_back({"partial header", Reply().Socket(sock).Raw(partial, sizeof(partial)),
                         ReplyStatus::Truncated, 0, true});
    }
    {
        nlmsghdr h{};
        h.nlmsg_len = 4; // shorter than its own header: would never advance
        h.nlmsg_seq = Seq;
        h.nlmsg_pid = Pid;
        cases.push_back(
            {"length below header", Reply().Raw(&h, sizeof(h)).Done(), ReplyStatus::Truncated, 0});
    }
    {
        const int code = -EBUSY;
        cases.push_back({"error without its header", Reply().Message(NLMSG_ERROR, &code, 2, 0),
                         ReplyStatus::Truncated, 0});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SocketRow> rows;
        // A message that follows a failure is not read.
        Reply reply = c.reply;
        if (!c.atEnd)
            reply.Socket(sock).Done();
        const ReplyResult r = ParseDumpReply(reply.Bytes(), Seq, Pid, rows);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.errorNumber, c.errorNumber);
        EXPECT_LE(rows.size(), c.atEnd ? 1u : 0u);
    }
}

TEST(ParseDumpReply, ForeignMessagesAndAcknowledgementsAreSkipped) {
    std::vector<SocketRow> rows;
    nlmsgerr ack{};
    Reply reply;
    reply
        .Socket(Ipv4Socket(KernelEstablished, "127.0.0.9", 1, "127.0.0.9", 2), NLM_F_DUMP_INTR,
                Seq - 1) // older dump
        .Socket(Ipv4Socket(KernelEstablished, "127.0.0.9", 3, "127.0.0.9", 4), 0, Seq,
                Pid + 1)                            // other port
        .Done(0, Seq + 1)                           // another dump's end
        .Message(NLMSG_ERROR, &ack, sizeof(ack), 0) // a zero error is an ack
        .Socket(Ipv4Socket(KernelEstablished, "127.0.0.2", 5, "127.0.0.3", 6));
    const ReplyResult r = ParseDumpReply(reply.Bytes(), Seq, Pid, rows);
    EXPECT_EQ(r.status, ReplyStatus::More);
    EXPECT_EQ(r.foreign, 3u);
    EXPECT_FALSE(r.interrupted); // the flag of a foreign dump is not ours
    ASSERT_EQ(rows.size(), 1u);
    ExpectRow(rows[0], Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.2", 5, "127.0.0.3", 6));
}

TEST(ParseDumpReply, InterruptedDumpIsReportedAndReadToItsEnd) {
    std::vector<SocketRow> rows;
    Reply reply;
    reply.Socket(Ipv4Socket(KernelEstablished, "127.0.0.2", 5, "127.0.0.3", 6))
        .Socket(Ipv4Socket(KernelListen, "127.0.0.3", 6, "0.0.0.0", 0),
                NLM_F_MULTI | NLM_F_DUMP_INTR)
        .Done();
    const ReplyResult r = ParseDumpReply(reply.Bytes(), Seq, Pid, rows);
    EXPECT_EQ(r.status, ReplyStatus::Done);
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(rows.size(), 2u);
}

TEST(ParseDumpReply, Ipv6SocketsAreKeptOnlyAsV4MappedRows) {
    std::vector<SocketRow> rows;
    Reply reply;
    reply
        .Socket(
            Ipv6Socket(KernelEstablished, "::ffff:127.0.0.3", 8080, "::ffff:127.0.0.2", 40000, 5))
        .Socket(Ipv6Socket(KernelListen, "::ffff:127.0.0.4", 8081, "::", 0, 6))
        .Socket(Ipv6Socket(KernelEstablished, "::1", 8082, "::1", 40001))
        .Socket(Ipv6Socket(KernelListen, "::", 8083, "::", 0))
        .Socket(Ipv6Socket(KernelEstablished, "2001:db8::ffff:7f00:3", 1, "::ffff:127.0.0.2", 2))
        .Socket(Ipv6Socket(KernelEstablished, "::ffff:127.0.0.3", 3, "::1", 4))
        .Done();
    EXPECT_EQ(ParseDumpReply(reply.Bytes(), Seq, Pid, rows).status, ReplyStatus::Done);
    ASSERT_EQ(rows.size(), 2u);
    ExpectRow(rows[0], Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.3", 8080, "127.0.0.2", 40000));
    EXPECT_TRUE(rows[0].v4mapped);
    EXPECT_EQ(rows[0].cookie, 5u);
    ExpectRow(rows[1], Row(api::MIB_TCP_STATE_LISTEN, "127.0.0.4", 8081, "0.0.0.0", 0));
    EXPECT_TRUE(rows[1].v4mapped);
}

TEST(FindConnection, PicksTheConnectionNotItsListenerNorAnOlderTimewait) {
    auto at = [](uint32_t state, const char* local, uint16_t lport, const char* remote,
                 uint16_t rport, uint64_t cookie) {
        return SocketRow{cookie, Row(state, local, lport, remote, rport), false};
    };
    const std::vector<SocketRow> rows = {
        at(api::MIB_TCP_STATE_LISTEN, "127.0.0.3", 80, "127.0.0.2", 5000, 1),
        at(api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.3", 80, "127.0.0.2", 5000, 2),
        at(api::MIB_TCP_STATE_ESTAB, "127.0.0.3", 80, "127.0.0.2", 5000, 3),
        at(api::MIB_TCP_STATE_ESTAB, "127.0.0.3", 80, "127.0.0.4", 5000, 4),
        at(api::MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.3", 81, "127.0.0.2", 5000, 5),
        at(api::MIB_TCP_STATE_TIME_WAIT, "127.0.0.3", 81, "127.0.0.2", 5000, 6),
    };
    struct Case {
        api::MIB_TCPROW wanted;
        uint64_t cookie; // 0: none
    };
    const Case cases[] = {
        {Row(12, "127.0.0.3", 80, "127.0.0.2", 5000), 3},
        {Row(12, "127.0.0.3", 80, "127.0.0.4", 5000), 4},
        {Row(12, "127.0.0.3", 81, "127.0.0.2", 5000), 5},
        {Row(12, "127.0.0.3", 80, "127.0.0.2", 5001), 0},
        {Row(12, "127.0.0.5", 80, "127.0.0.2", 5000), 0},
    };
    for (const Case& c : cases) {
        const SocketRow* found = FindConnection(rows, c.wanted);
        EXPECT_EQ(found ? found->cookie : 0, c.cookie);
    }
    // A listener's own row never names a connection to cut.
    EXPECT_EQ(FindConnection(std::vector<SocketRow>{rows[0]}, rows[0].row), nullptr);
}

std::vector<SocketRow> SomeRows(size_t n) {
    std::vector<SocketRow> rows;
    for (size_t i = 0; i < n; ++i)
        rows.push_back({i,
                        {uint32_t(1 + i % 12), uint32_t(0x0100007f + i), htons(uint16_t(1000 + i)),
                         uint32_t(0x0300007f), htons(uint16_t(2000 + i))},
                        false});
    return rows;
}

TEST(WriteTcpTable, FillsCountAndRowsWithinAnExactlySizedBuffer) {
    constexpr std::byte Guard{0xab};
    for (size_t n : {0u, 1u, 3u, 150u}) {
        SCOPED_TRACE(n);
        const auto rows = SomeRows(n);
        const uint32_t needed = uint32_t(4 + 20 * n);
        std::vector<std::byte> memory(needed + 32, Guard);
        uint32_t size = needed;
        ASSERT_EQ(WriteTcpTable(rows, reinterpret_cast<api::MIB_TCPTABLE*>(memory.data()), &size),
                  api::NO_ERROR_);
        EXPECT_EQ(size, needed);
        uint32_t count;
        std::memcpy(&count, memory.data(), 4);
        EXPECT_EQ(count, n);
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(std::memcmp(memory.data() + 4 + 20 * i, &rows[i].row, 20), 0) << i;
        for (size_t i = needed; i < memory.size(); ++i)
            ASSERT_EQ(memory[i], Guard) << "byte " << i << " past the buffer";
    }
}

TEST(WriteTcpTable, TooSmallAsksForTheExactSizeAndWritesNothing) {
    constexpr std::byte Guard{0xcd};
    const auto rows = SomeRows(3);
    for (uint32_t given : {0u, 3u, 4u, 24u, 63u}) {
        SCOPED_TRACE(given);
        std::vector<std::byte> memory(64 + 16, Guard);
        uint32_t size = given;
        EXPECT_EQ(WriteTcpTable(rows, reinterpret_cast<api::MIB_TCPTABLE*>(memory.data()), &size),
                  api::ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size, 64u);
        for (size_t i = 0; i < memory.size(); ++i)
            ASSERT_EQ(memory[i], Guard) << "byte " << i;
    }
    uint32_t size = 1000;
    EXPECT_EQ(WriteTcpTable(rows, nullptr, &size), api::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 64u);
    api::MIB_TCPTABLE table{};
    EXPECT_EQ(WriteTcpTable(rows, &table, nullptr), api::ERROR_INVALID_PARAMETER);
}

} // namespace
