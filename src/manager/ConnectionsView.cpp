// The current-connections view: one line per row of the last table snapshot.
#include "manager/Manager.h"

#include "engine/basProcessing.h"
#include "manager/MainForm.h"
#include "support/basNetwork.h"
#include "support/basTools.h"

#include <cstring>
#include <optional>

namespace {

void AppendDecimal(std::u16string& line, uint32_t value) {
    char16_t digits[10];
    int n = 0;
    do {
        digits[n++] = char16_t(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        line += digits[--n];
}

// One end of a row's line: ":local " when there is no remote end, else "<--> remote:port ";
// before and after frame the address (brackets for IPv6).
void AppendEnd(std::u16string& line, const char16_t* before, const std::u16string& address,
               const char16_t* after, std::optional<uint32_t> portField = std::nullopt) {
    line += before;
    line += address;
    line += after;
    if (portField)
        AppendDecimal(line, api::ntohs(uint16_t(*portField)));
    line += u' ';
}

void AppendState(std::u16string& line, uint32_t state) {
    if (state < TcpStateNames.size())
        line += TcpStateNames[state];
}

// Writes line at position written of lines, unless it is there already.
void PutLine(List& lines, int32_t written, const std::u16string& line) {
    if (written < lines.GetItemCount()) {
        if (!lines.TextEquals(written, line))
            lines.SetText(written, line);
    } else {
        lines.AddItem(Variant::Text(line));
    }
}

bool IsUnspecified(const api::IN6_ADDR& a) {
    for (uint8_t b : a.Byte)
        if (b != 0)
            return false;
    return true;
}

} // namespace

// The IPv6 rows' lines after the IPv4 ones, in the same three forms, addresses in brackets:
// "443 <--> [2001:db8::1]:51000 ESTABLISHED", "22 LISTENING", "22 :[fe80::1%eth0] LISTENING".
void Manager::PutIpv6Lines(List& lines, int32_t& written, bool onlyConnected, bool reuse) {
    const size_t reusableRows = reuse ? viewRows6_.size() : 0;
    const uint32_t count = Tcp6TableBuffer.EntryCount();
    if (viewRows6_.size() < count)
        viewRows6_.resize(count);
    std::u16string line;
    for (uint32_t i = 0; i < count; ++i) {
        const api::MIB_TCP6ROW& row = Tcp6TableBuffer.Row(i);
        ViewRow6& last = viewRows6_[i];
        const uint16_t localPort = api::ntohs(uint16_t(row.dwLocalPort));
        if (localPort == 0 || (onlyConnected && row.State != api::MIB_TCP_STATE_ESTAB)) {
            last = {row, -1};
            continue;
        }
        if (i < reusableRows && last.line == written &&
            std::memcmp(&last.row, &row, sizeof row) == 0) {
            ++written;
            continue;
        }
        line.clear();
        AppendDecimal(line, localPort);
        line += u' ';
        if (!IsUnspecified(row.LocalAddr)) {
            // The entry's text when it is this row's, saving the conversion.
            const bool known = i < Connection6Cache.size() && Connection6Cache[i].Matches(row);
            if (IsUnspecified(row.RemoteAddr))
                AppendEnd(line, u":[", Address6ToText(row.LocalAddr, row.dwLocalScopeId), u"]");
            else
                AppendEnd(line, u"<--> [",
                          known ? Connection6Cache[i].RemoteAddressText
                                : Address6ToText(row.RemoteAddr, row.dwRemoteScopeId),
                          u"]:", row.dwRemotePort);
        }
        AppendState(line, row.State);
        PutLine(lines, written, line);
        last = {row, written};
        ++written;
    }
    viewRows6_.resize(count);
}

void Manager::RefreshCurrentConnections() {
    // Without a window there is no check box to read: every row passes.
    const bool onlyConnected = oMainForm != nullptr &&
                               ToBooleanSafe(Variant::Integer(int16_t(oMainForm->chkShowXValue())));

    // Runs after every pass that changed a row, at 10,000 connections too. The list is rewritten
    // in place: a row whose line is already where it belongs (same row, same position as at the
    // last rebuild) is passed over, any other line is compared and written only if it differs.
    // The list ends exactly as emptying it and appending every line would leave it.
    List& lines = *oCurrentConnections;
    const bool reuse =
        viewOnlyConnected_ == onlyConnected && viewLineCount_ == lines.GetItemCount();
    const size_t reusableRows = reuse ? viewRows_.size() : 0;
    const uint32_t count = TcpTableBuffer.EntryCount();
    if (viewRows_.size() < count)
        viewRows_.resize(count);
    int32_t written = 0;
    std::u16string line;
    for (uint32_t i = 0; i < count; ++i) {
        const api::MIB_TCPROW& row = TcpTableBuffer.Row(i);
        // An entry the engine has not recorded yet (cleared cache, grown cache) knows no remote
        // address: the line then shows the short form rather than an empty one.
        const bool known = i < ConnectionCache.size() && ConnectionCache[i].Recorded;
        ViewRow& last = viewRows_[i];
        const bool unchanged = i < reusableRows && last.known == known &&
                               std::memcmp(&last.row, &row, sizeof row) == 0;
        const uint16_t localPort = api::ntohs(uint16_t(row.dwLocalPort));
        if (localPort == 0 || (onlyConnected && row.dwState != api::MIB_TCP_STATE_ESTAB)) {
            last = {row, -1, known};
            continue;
        }
        if (unchanged && last.line == written) {
            ++written;
            continue;
        }

        line.clear();
        AppendDecimal(line, localPort);
        line += u' ';
        if (row.dwLocalAddr != 0 && known) {
            // A rebuild inside a pass (the pump after a cut) meets rows the pass has not reached
            // yet, whose entries still describe the connection that was there before: such a
            // line is written from the row itself, as the entry will be once the pass gets there.
            const ConnectionCacheEntry& entry = ConnectionCache[i];
            const std::u16string remote =
                entry.Key == KeyOf(row) ? entry.RemoteAddressText : RemoteAddressTextOf(row);
            if (remote == u"0.0.0.0")
                AppendEnd(line, u":", AddressToText(row.dwLocalAddr), u"");
            else
                AppendEnd(line, u"<--> ", remote, u":", row.dwRemotePort);
        }
        AppendState(line, row.dwState);

        PutLine(lines, written, line);
        last = {row, written, known};
        ++written;
    }
    PutIpv6Lines(lines, written, onlyConnected, reuse);
    lines.DeleteLastItems(lines.GetItemCount() - written);
    viewRows_.resize(count);
    viewOnlyConnected_ = onlyConnected;
    viewLineCount_ = lines.GetItemCount();

    if (CurrentMode == 0 && oMainForm != nullptr)
        RefreshCurrentMode();
}
