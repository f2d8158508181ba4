// The IP helper calls of basAPI.h over netlink sock_diag: the table is a dump of the kernel's
// TCP sockets, a cut is SOCK_DESTROY of the socket that a row of the last dump names (by this
// process or by okgate-helper, see Rights.h).
#include "engine/basAPI.h"
#include "engine/platform/linux/BpfFeed.h"
#include "engine/platform/linux/EventTable.h"
#include "engine/platform/linux/NetlinkDiag.h"
#include "engine/platform/linux/Rights.h"
#include "engine/platform/linux/TableSource.h"

namespace api {

namespace {

using okg::netlink::SocketRow;

// The last dump (reused, so that a steady table costs no allocation), and the rows the engine
// was last given, in which a cut finds the cookie of its socket: the event-fed table or that dump.
std::vector<SocketRow> lastDump;
const std::vector<SocketRow>* lastRows = &lastDump;
// Set when GetTcpTable has just dumped: the IPv6 table read right after it is served from that
// dump instead of a second one.
bool dumpFreshForV6 = false;
// The event-fed table the last rows are, which keeps its two tables ready.
const okg::linuxfeed::EventTable* lastTable = nullptr;

const okg::linuxfeed::EventTable* EventFed(const std::vector<SocketRow>* rows) {
    return lastTable && rows == &lastTable->Rows() ? lastTable : nullptr;
}

// Reads the rows both tables are written from; null when the kernel could not be read.
const std::vector<SocketRow>* ReadRows() {
    // Where the kernel runs the event feed, the table is kept between reads at almost no cost;
    // otherwise every read is a full dump.
    if (const okg::linuxfeed::EventTable* events = okg::linuxfeed::UpdateEventFedTable()) {
        lastTable = events;
        lastRows = &events->Rows();
        return lastRows;
    }
    lastRows = &lastDump;
    if (!okg::netlink::DumpTcpSockets(lastDump)) {
        lastDump.clear();
        return nullptr; // the caller's buffer keeps its last snapshot
    }
    return lastRows;
}

// Cuts the socket of the row that find names in the last rows, else in a fresh dump.
template <typename Find> uint32_t CutFound(Find find) {
    dumpFreshForV6 = false;
    // The engine reads the table right before a cut, so the row is normally in the rows it was
    // given; a caller that did not gets a fresh dump.
    const SocketRow* target = find(*lastRows);
    if (target && lastRows != &lastDump) {
        // A socket the kernel no longer has under that cookie is a row an event never ended:
        // the connection is looked for in a fresh dump, and the table read whole soon.
        const uint32_t result = okg::rights::CutWithRights(*target);
        if (result != ERROR_NOT_FOUND)
            return result;
        okg::linuxfeed::DistrustEventFedTable();
        target = nullptr;
    }
    if (!target) {
        lastRows = &lastDump;
        if (!okg::netlink::DumpTcpSockets(lastDump)) {
            lastDump.clear();
            return ERROR_MR_MID_NOT_FOUND;
        }
        target = find(lastDump);
    }
    return target ? okg::rights::CutWithRights(*target) : ERROR_NOT_FOUND;
}

} // namespace

uint32_t GetTcpTable(MIB_TCPTABLE* pTcpTable, uint32_t* pdwSize, int32_t) {
    if (!pdwSize)
        return ERROR_INVALID_PARAMETER;
    const std::vector<SocketRow>* rows = ReadRows();
    dumpFreshForV6 = rows == &lastDump;
    if (!rows)
        return ERROR_MR_MID_NOT_FOUND;
    if (const auto* events = EventFed(rows))
        return okg::netlink::WriteTcpTable(events->Table4(), pTcpTable, pdwSize);
    return okg::netlink::WriteTcpTable(*rows, pTcpTable, pdwSize);
}

uint32_t GetTcp6Table(MIB_TCP6TABLE* pTcpTable, uint32_t* pdwSize, int32_t) {
    if (!pdwSize)
        return ERROR_INVALID_PARAMETER;
    const std::vector<SocketRow>* rows = dumpFreshForV6 ? &lastDump : ReadRows();
    if (!rows)
        return ERROR_MR_MID_NOT_FOUND;
    const auto* events = EventFed(rows);
    const uint32_t result = events
                                ? okg::netlink::WriteTcp6Table(events->Table6(), pTcpTable, pdwSize)
                                : okg::netlink::WriteTcp6Table(*rows, pTcpTable, pdwSize);
    // Served once: the next read (a cut's, the next pass's) dumps again; a buffer that was too
    // small is served the same dump.
    if (result == NO_ERROR_)
        dumpFreshForV6 = false;
    return result;
}

intptr_t TableWakeHandle() {
    return okg::linuxfeed::EventFeedWakeFd();
}

uint32_t TableQuietMs() {
    return okg::linuxfeed::EventFeedQuietMs();
}

uint64_t TableVersion() {
    // Brings the event-fed table up to date first; a table read by dumps is new at every call.
    static uint64_t dumps = 0;
    const okg::linuxfeed::EventTable* events = okg::linuxfeed::UpdateEventFedTable();
    return events ? events->Version() : ++dumps | uint64_t(1) << 63;
}

uint32_t SetTcpEntry(MIB_TCPROW* pTcpRow) {
    if (!pTcpRow || pTcpRow->dwState != MIB_TCP_STATE_DELETE_TCB)
        return ERROR_INVALID_PARAMETER;
    return CutFound([&](const std::vector<SocketRow>& rows) {
        return okg::netlink::FindConnection(rows, *pTcpRow);
    });
}

uint32_t SetTcp6Entry(MIB_TCP6ROW* pTcpRow) {
    if (!pTcpRow || pTcpRow->State != MIB_TCP_STATE_DELETE_TCB)
        return ERROR_INVALID_PARAMETER;
    return CutFound([&](const std::vector<SocketRow>& rows) {
        return okg::netlink::FindConnection6(rows, *pTcpRow);
    });
}

std::u16string CutRefusedText(uint32_t result) {
    std::string text;
    if (result == ERROR_NOT_OWNER)
        text = "Connections of other users are not cut: okgate-helper cuts only yours. An "
               "administrator may let it cut any user's with the line cut = any in "
               "/etc/okgate/helper.conf.";
    else if (result == ERROR_NOT_SUPPORTED)
        text = "Cannot cut connections: this kernel cannot destroy sockets (it was built without "
               "CONFIG_INET_DIAG_DESTROY); they are listed, and those on blocked ports stay open.";
    else
        text = okg::rights::CutRefusedText();
    return std::u16string(text.begin(), text.end());
}

PlatformNews TakePlatformNews() {
    return okg::rights::TakeNews();
}

} // namespace api
