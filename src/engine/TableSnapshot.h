// A copy of the platform's connection table, read whole.
#pragma once

#include "engine/basAPI.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

// A table snapshot (the IPv4 or the IPv6 table, read by Get). It starts with room for 101 rows
// and grows whenever the platform says the table does not fit, so a pass always sees the whole
// table.
template <typename TableType, typename RowType, uint32_t (*Get)(TableType*, uint32_t*, int32_t)>
class TableSnapshot {
public:
    static constexpr uint32_t InitialRows = 101;
    static constexpr uint32_t RowBytes = sizeof(RowType);
    static_assert(RowBytes % 4 == 0);

    TableSnapshot() { Resize(InitialRows); }

    // Reads the whole table, growing the buffer until it fits. Returns the platform's result of
    // the last read; on a failure other than "does not fit" the previous snapshot stays.
    uint32_t Read() {
        uint32_t result = api::ERROR_INSUFFICIENT_BUFFER;
        // The table can grow between the call that reports its size and the next read; a few
        // rounds with some headroom settle it.
        for (int attempt = 0; attempt < 8 && result == api::ERROR_INSUFFICIENT_BUFFER; ++attempt) {
            uint32_t size = SizeBytes();
            result = Get(Table(), &size, 0);
            if (result == api::ERROR_INSUFFICIENT_BUFFER) {
                const uint32_t needed = size > 4 ? (size - 4 + RowBytes - 1) / RowBytes : 0;
                Resize(std::max(needed + needed / 8 + 16, capacityRows_ + 1));
            }
        }
        return result;
    }

    // Reads the table unless the platform says it is the same as at the last read (a cut's fresh
    // read right after the pass's own costs nothing then).
    uint32_t ReadIfChanged() {
        const uint64_t version = api::TableVersion();
        if (read_ && version == version_)
            return api::NO_ERROR_;
        version_ = version;
        read_ = true;
        return Read();
    }

    // The platform's table version at the last ReadIfChanged.
    uint64_t ReadVersion() const { return version_; }
    uint32_t Capacity() const { return capacityRows_; }
    uint32_t SizeBytes() const { return 4 + capacityRows_ * RowBytes; }
    // The snapshot's row count, never more than the buffer holds.
    uint32_t EntryCount() const { return std::min(Table()->dwNumEntries, capacityRows_); }
    // Where the snapshot lists the connection `same` recognises, tried first at `near` (a newer
    // snapshot may list it elsewhere); EntryCount() when it lists it no more.
    template <typename Same> uint32_t Find(uint32_t near, Same same) const {
        const uint32_t count = EntryCount();
        if (near < count && same(Row(near)))
            return near;
        for (uint32_t i = 0; i < count; ++i)
            if (same(Row(i)))
                return i;
        return count;
    }
    std::span<const RowType> Rows() const { return {&Row(0), EntryCount()}; }
    RowType& Row(uint32_t i) { return Table()->table[i]; }
    const RowType& Row(uint32_t i) const { return Table()->table[i]; }
    TableType* Table() { return reinterpret_cast<TableType*>(words_.data()); }
    const TableType* Table() const { return reinterpret_cast<const TableType*>(words_.data()); }

private:
    void Resize(uint32_t rows) {
        // Keeps what the buffer holds, so a failed read leaves the last snapshot in place.
        words_.resize(1 + size_t(rows) * (RowBytes / 4), 0);
        capacityRows_ = rows;
    }
    std::vector<uint32_t> words_;
    uint32_t capacityRows_ = 0;
    uint64_t version_ = 0;
    bool read_ = false;
};

using TcpTable = TableSnapshot<api::MIB_TCPTABLE, api::MIB_TCPROW, api::GetTcpTable>;
using Tcp6Table = TableSnapshot<api::MIB_TCP6TABLE, api::MIB_TCP6ROW, api::GetTcp6Table>;
