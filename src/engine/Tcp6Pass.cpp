// The pass over the IPv6 table: the IPv4 pass's rule and cut, with rows of 16-byte addresses.
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/Manager.h"
#include "support/basNetwork.h"

#include <cstring>

Tcp6Table Tcp6TableBuffer;
std::vector<Connection6CacheEntry> Connection6Cache;

namespace {

uint32_t PreviousEntryCount6 = 0;

bool SameConnection(const api::MIB_TCP6ROW& a, const api::MIB_TCP6ROW& b) {
    return std::memcmp(&a.LocalAddr, &b.LocalAddr, 16) == 0 &&
           std::memcmp(&a.RemoteAddr, &b.RemoteAddr, 16) == 0 &&
           a.dwLocalScopeId == b.dwLocalScopeId && a.dwRemoteScopeId == b.dwRemoteScopeId &&
           a.dwLocalPort == b.dwLocalPort && a.dwRemotePort == b.dwRemotePort;
}

// As the IPv4 cut: a fresh read, the same connection found again (at its position or elsewhere),
// a copy of its row handed to the platform.
void CutConnection6(const api::MIB_TCP6ROW wanted, uint32_t index) {
    Tcp6Table& table = Tcp6TableBuffer;
    table.Read();
    const uint32_t at =
        table.Find(index, [&](const api::MIB_TCP6ROW& row) { return SameConnection(row, wanted); });
    NoteCutTried();
    if (at < table.EntryCount()) {
        api::MIB_TCP6ROW row = table.Row(at);
        row.State = api::MIB_TCP_STATE_DELETE_TCB;
        TellRefusedCut6(api::SetTcp6Entry(&row));
    }
    api::DoEvents();
}

// The entry of the row at index, recorded afresh when the row changed.
Connection6CacheEntry& EntryFor(const api::MIB_TCP6ROW& row, uint32_t index) {
    if (index >= Connection6Cache.size())
        Connection6Cache.resize(std::max<size_t>(Tcp6TableBuffer.EntryCount(), index + 1));
    Connection6CacheEntry& entry = Connection6Cache[index];
    if (!entry.Matches(row)) {
        entry.Key = row;
        entry.Recorded = true;
        entry.Allowed = entry.NotBlocked = false;
        entry.RemoteAddressText = Address6ToText(row.RemoteAddr, row.dwRemoteScopeId);
        ConnectionViewStale = true;
    }
    return entry;
}

// An address with a zone is also allowed by its entry without one, which means every interface.
bool AllowedWithoutZone(const std::u16string& text) {
    const size_t zone = text.find(u'%');
    return zone != std::u16string::npos && IsRemoteAddressAllowed(text.substr(0, zone));
}

} // namespace

bool Connection6CacheEntry::Matches(const api::MIB_TCP6ROW& row) const {
    return Recorded && std::memcmp(&Key, &row, sizeof row) == 0;
}

void ScanTcp6Table() {
    if (!oManager)
        return;
    Tcp6TableBuffer.Read();
    const uint32_t count = Tcp6TableBuffer.EntryCount();
    if (count != PreviousEntryCount6)
        ConnectionViewStale = true;
    // As in the IPv4 pass, rows after a cut come from the newer snapshot the cut read.
    for (uint32_t i = 0; i < count && i < Tcp6TableBuffer.EntryCount(); ++i) {
        const api::MIB_TCP6ROW row = Tcp6TableBuffer.Row(i);
        Connection6CacheEntry& entry = EntryFor(row, i);
        if (row.State != api::MIB_TCP_STATE_ESTAB || entry.Allowed || entry.NotBlocked)
            continue;
        if (AllowedWithoutZone(entry.RemoteAddressText)) {
            entry.Allowed = true;
            continue;
        }
        if (NeedsCut(entry.Allowed, entry.NotBlocked, entry.RemoteAddressText,
                     api::ntohs(uint16_t(row.dwLocalPort)), api::ntohs(uint16_t(row.dwRemotePort))))
            CutConnection6(row, i);
    }
    PreviousEntryCount6 = Tcp6TableBuffer.EntryCount();
}
