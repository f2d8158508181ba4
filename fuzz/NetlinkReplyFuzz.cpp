// The netlink dump reply parser on arbitrary bytes: no read past the reply, every row it gives
// has a state the table knows, and the rows write into a table of exactly the size asked for.
#include "engine/platform/linux/NetlinkDiag.h"

#include <cstdlib>
#include <cstring>

using namespace okg::netlink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t seq = 1, portId = 0;
    if (size >= 8) {
        std::memcpy(&seq, data, 4);
        std::memcpy(&portId, data + 4, 4);
        data += 8;
        size -= 8;
    }
    // A copy of its own size, so that a read past the end is caught.
    std::vector<std::byte> bytes(size);
    if (size)
        std::memcpy(bytes.data(), data, size);
    std::vector<SocketRow> rows;
    const ReplyResult result = ParseDumpReply(bytes, seq, portId, rows);
    if (result.status == ReplyStatus::Error && result.errorNumber < 0)
        std::abort();
    for (const SocketRow& r : rows)
        if (r.row.dwState < 1 || r.row.dwState > 12)
            std::abort();
    uint32_t needed = 0;
    if (WriteTcpTable(rows, nullptr, &needed) != 122)
        std::abort();
    std::vector<std::byte> table(needed);
    if (WriteTcpTable(rows, reinterpret_cast<api::MIB_TCPTABLE*>(table.data()), &needed) != 0)
        std::abort();
    return 0;
}
