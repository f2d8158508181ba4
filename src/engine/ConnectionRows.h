// What the engine and the connections view need of a table row, for the IPv4 and the IPv6 table
// alike, and how the rows of one read are matched with those of the read before.
#pragma once

#include "engine/basAPI.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

template <typename Row> struct RowTraits;

// A row of state 0 is no connection: the place of one that went, in a table whose rows keep
// their places (the event-fed one).
template <typename Row> bool IsGap(const Row& row) {
    return RowTraits<Row>::State(row) == 0;
}

template <> struct RowTraits<api::MIB_TCPROW> {
    using Row = api::MIB_TCPROW;
    static uint32_t State(const Row& r) { return r.dwState; }
    static uint32_t LocalPortField(const Row& r) { return r.dwLocalPort; }
    static uint32_t RemotePortField(const Row& r) { return r.dwRemotePort; }
    static void SetState(Row& r, uint32_t state) { r.dwState = state; }
    // Both ends, not the state: the connection a newer snapshot lists elsewhere.
    static bool SameConnection(const Row& a, const Row& b) {
        return a.dwLocalAddr == b.dwLocalAddr && a.dwLocalPort == b.dwLocalPort &&
               a.dwRemoteAddr == b.dwRemoteAddr && a.dwRemotePort == b.dwRemotePort;
    }
    // now may be the connection of old with an address or port that old did not have yet (a
    // connect is listed before its port is chosen).
    static bool Continues(const Row& old, const Row& now) {
        const auto same = [](uint32_t a, uint32_t b) { return a == b || a == 0; };
        return same(old.dwLocalPort, now.dwLocalPort) && same(old.dwLocalAddr, now.dwLocalAddr) &&
               same(old.dwRemotePort, now.dwRemotePort) && same(old.dwRemoteAddr, now.dwRemoteAddr);
    }
    // The remote end, which a connection has from its first listing on.
    static uint64_t RemoteKey(const Row& r) {
        return uint64_t(r.dwRemoteAddr) << 16 ^ r.dwRemotePort;
    }
};

template <> struct RowTraits<api::MIB_TCP6ROW> {
    using Row = api::MIB_TCP6ROW;
    static uint32_t State(const Row& r) { return r.State; }
    static uint32_t LocalPortField(const Row& r) { return r.dwLocalPort; }
    static uint32_t RemotePortField(const Row& r) { return r.dwRemotePort; }
    static void SetState(Row& r, uint32_t state) { r.State = state; }
    static bool SameConnection(const Row& a, const Row& b) {
        return a.LocalAddr == b.LocalAddr && a.RemoteAddr == b.RemoteAddr &&
               a.dwLocalScopeId == b.dwLocalScopeId && a.dwRemoteScopeId == b.dwRemoteScopeId &&
               a.dwLocalPort == b.dwLocalPort && a.dwRemotePort == b.dwRemotePort;
    }
    static bool Continues(const Row& old, const Row& now) {
        static constexpr api::IN6_ADDR Unset{};
        const auto same = [](const auto& a, const auto& b, const auto& unset) {
            return a == b || a == unset;
        };
        return same(old.dwLocalPort, now.dwLocalPort, 0u) &&
               same(old.dwRemotePort, now.dwRemotePort, 0u) &&
               same(old.LocalAddr, now.LocalAddr, Unset) &&
               same(old.RemoteAddr, now.RemoteAddr, Unset);
    }
    static uint64_t RemoteKey(const Row& r) {
        uint64_t halves[2];
        std::memcpy(halves, r.RemoteAddr.Byte, sizeof halves);
        return (halves[0] * 31 ^ halves[1]) * 31 ^ r.dwRemotePort;
    }
};

// Where each row of a read was in the read before, for a table whose rows keep their order (the
// event-fed one): rows go (leaving a gap, or moving the rows after them up), change in place (a
// state, an address or port filled in) and come at the end; elsewhere rows may come anywhere.
// old(j) is the row that was at position j (null for none).
// Returns false when every row up to the shorter of the two lengths is where it was, from `first`
// on; else from[i] is the old position of row i's connection, or -1 for a connection not seen.
template <typename Row, typename Old>
bool AlignRows(std::span<const Row> rows, uint32_t oldCount, Old old, uint32_t first,
               std::vector<int32_t>& from) {
    using Traits = RowTraits<Row>;
    const auto continues = [&](uint32_t j, const Row& row) {
        const Row* was = old(j);
        return was && !IsGap(*was) && Traits::Continues(*was, row);
    };
    const uint32_t count = uint32_t(rows.size());
    uint32_t i = first;
    // A gap where a row was, or a gap that stays, moves nothing.
    while (i < count && i < oldCount && (IsGap(rows[i]) || continues(i, rows[i])))
        ++i;
    if (i == count || i == oldCount)
        return false;
    from.resize(count);
    for (uint32_t k = 0; k < i; ++k)
        from[k] = int32_t(k);
    // Most gaps are short: the next few rows are looked at; a longer one is found through an index
    // of the rows not yet matched, by their remote end.
    constexpr uint32_t LookAhead = 16;
    std::unordered_multimap<uint64_t, uint32_t> index;
    bool indexed = false;
    for (uint32_t j = i; i < count; ++i) {
        int32_t at = -1;
        for (uint32_t k = j; k < oldCount && k < j + LookAhead && at < 0; ++k)
            if (continues(k, rows[i]))
                at = int32_t(k);
        if (at < 0 && j + LookAhead < oldCount) {
            if (!indexed) {
                for (uint32_t k = j; k < oldCount; ++k)
                    if (const Row* was = old(k))
                        index.emplace(Traits::RemoteKey(*was), k);
                indexed = true;
            }
            auto [begin, end] = index.equal_range(Traits::RemoteKey(rows[i]));
            for (auto it = begin; it != end; ++it)
                if (it->second >= j && (at < 0 || it->second < uint32_t(at)) &&
                    continues(it->second, rows[i]))
                    at = int32_t(it->second);
        }
        from[i] = at;
        if (at >= 0)
            j = uint32_t(at) + 1;
    }
    return true;
}

// Where an entry stands: fresh (its key matches no row), recorded (the row's key and remote text
// kept, no verdict: not established, or cut), allowed (its remote address is on the allowed
// list), or passed (neither of its ports is blocked).
enum class Verdict : uint8_t { Fresh, Recorded, Allowed, Passed };

// What the engine remembers of the row at a position: the row as it was recorded, the verdict,
// and the remote address as text.
template <typename Row> struct CacheEntry {
    Row Key{};
    Verdict State = Verdict::Fresh;
    std::u16string RemoteAddressText;
    bool Recorded() const { return State != Verdict::Fresh; }
    bool Allowed() const { return State == Verdict::Allowed; }
    bool NotBlocked() const { return State == Verdict::Passed; }
    bool Decided() const { return Allowed() || NotBlocked(); }
    bool Matches(const Row& row) const { return Recorded() && Key == row; }
};

// Moves the entries of rows that moved (rows before them went) to the rows' new places, from
// position first on, so that a closed connection costs the rows after it a move, not a decision.
// The entries of the previous read's oldCount rows are followed; those past them are stale.
template <typename Row>
void FollowMovedRows(std::vector<CacheEntry<Row>>& cache, std::span<const Row> rows,
                     uint32_t oldCount, uint32_t first) {
    static std::vector<int32_t> from;
    oldCount = std::min(oldCount, uint32_t(cache.size()));
    const auto old = [&](uint32_t j) { return cache[j].Recorded() ? &cache[j].Key : nullptr; };
    if (!AlignRows(rows, oldCount, old, first, from))
        return;
    // Where rows only went, every entry moves up: in place. A row that came between others
    // (platforms that sort their table) moves entries down: through a copy.
    bool upOnly = true;
    for (size_t i = first; i < rows.size() && upOnly; ++i)
        upOnly = from[i] < 0 || size_t(from[i]) >= i;
    if (upOnly) {
        if (cache.size() <= rows.size())
            cache.resize(rows.size() + 1);
        for (size_t i = first; i < rows.size(); ++i)
            if (from[i] < 0)
                cache[i] = {};
            else if (size_t(from[i]) != i)
                cache[i] = std::move(cache[size_t(from[i])]);
        return;
    }
    static std::vector<CacheEntry<Row>> moved;
    moved.clear();
    moved.resize(std::max(cache.size(), rows.size() + 1));
    for (size_t i = 0; i < rows.size(); ++i)
        if (from[i] >= 0)
            moved[i] = std::move(cache[size_t(from[i])]);
    cache.swap(moved);
}
