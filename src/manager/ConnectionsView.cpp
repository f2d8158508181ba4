// The current-connections view: one line per row of the last table snapshots, the IPv6 rows'
// lines after the IPv4 ones.
#include "manager/Manager.h"

#include "engine/basProcessing.h"
#include "manager/MainForm.h"
#include "support/basNetwork.h"
#include "support/basTools.h"

#include <algorithm>

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

bool IsUnspecified(const api::IN6_ADDR& a) {
    return a == api::IN6_ADDR{};
}

// What a line needs of a row of each table: IPv6 addresses stand in brackets.
template <typename Row> struct LineOf;

template <> struct LineOf<api::MIB_TCPROW> {
    static constexpr const char16_t* Open = u"";
    static constexpr const char16_t* Close = u"";
    static const std::vector<ConnectionCacheEntry>& Cache() { return ConnectionCache; }
    static bool LocalUnset(const api::MIB_TCPROW& r) { return r.dwLocalAddr == 0; }
    static bool RemoteUnset(const std::u16string& remote, const api::MIB_TCPROW&) {
        return remote == u"0.0.0.0";
    }
    static std::u16string LocalText(const api::MIB_TCPROW& r) {
        return AddressToText(r.dwLocalAddr);
    }
    static std::u16string RemoteText(const api::MIB_TCPROW& r) { return RemoteAddressTextOf(r); }
};

template <> struct LineOf<api::MIB_TCP6ROW> {
    static constexpr const char16_t* Open = u"[";
    static constexpr const char16_t* Close = u"]";
    static const std::vector<Connection6CacheEntry>& Cache() { return Connection6Cache; }
    static bool LocalUnset(const api::MIB_TCP6ROW& r) { return IsUnspecified(r.LocalAddr); }
    static bool RemoteUnset(const std::u16string&, const api::MIB_TCP6ROW& r) {
        return IsUnspecified(r.RemoteAddr);
    }
    static std::u16string LocalText(const api::MIB_TCP6ROW& r) {
        return Address6ToText(r.LocalAddr, r.dwLocalScopeId);
    }
    static std::u16string RemoteText(const api::MIB_TCP6ROW& r) {
        return Address6ToText(r.RemoteAddr, r.dwRemoteScopeId);
    }
};

template <typename Row> bool WantsLine(const Row& row, bool onlyConnected) {
    return api::ntohs(uint16_t(RowTraits<Row>::LocalPortField(row))) != 0 &&
           (!onlyConnected || RowTraits<Row>::State(row) == api::MIB_TCP_STATE_ESTAB);
}

// An entry the engine has not recorded yet (cleared cache, grown cache) knows no remote address:
// the line then shows the short form rather than an empty one.
template <typename Row> bool Known(uint32_t i) {
    const auto& cache = LineOf<Row>::Cache();
    return i < cache.size() && cache[i].Recorded();
}

// "1042 <--> 10.0.0.5:80 ESTABLISHED", "135 LISTENING" (any local address), "139 :192.168.1.10
// LISTENING" (one local address, no remote end); IPv6 addresses in brackets.
template <typename Row> void BuildLine(std::u16string& line, const Row& row, uint32_t i) {
    using L = LineOf<Row>;
    line.clear();
    AppendDecimal(line, api::ntohs(uint16_t(RowTraits<Row>::LocalPortField(row))));
    line += u' ';
    if (!L::LocalUnset(row) && Known<Row>(i)) {
        // A rebuild inside a pass (the pump after a cut) meets rows the pass has not reached yet,
        // whose entries still describe the connection that was there before: such a line is
        // written from the row itself, as the entry will be once the pass gets there.
        const auto& entry = L::Cache()[i];
        const std::u16string remote =
            entry.Matches(row) ? entry.RemoteAddressText : L::RemoteText(row);
        if (L::RemoteUnset(remote, row)) {
            line += u":";
            line += L::Open;
            line += L::LocalText(row);
            line += L::Close;
        } else {
            line += u"<--> ";
            line += L::Open;
            line += remote;
            line += L::Close;
            line += u':';
            AppendDecimal(line, api::ntohs(uint16_t(RowTraits<Row>::RemotePortField(row))));
        }
        line += u' ';
    }
    const uint32_t state = RowTraits<Row>::State(row);
    if (state < TcpStateNames.size())
        line += TcpStateNames[state];
}

} // namespace

// Matches the rows with those of the last rebuild (rows keep their order: they go, change in place
// and come at the end), puts last in the rows' order, and adds to gone the lines of rows that went
// or that the filter now leaves out.
template <typename Row>
void Manager::DropLinesOfGoneRows(std::vector<ViewRow<Row>>& last, std::span<const Row> rows,
                                  bool onlyConnected, std::vector<int32_t>& gone) {
    static std::vector<int32_t> from;
    static std::vector<bool> kept;
    static std::vector<ViewRow<Row>> moved;
    const auto old = [&](uint32_t j) { return &last[j].row; };
    if (AlignRows(rows, uint32_t(last.size()), old, 0, from)) {
        kept.assign(last.size(), false);
        moved.assign(rows.size(), {});
        for (size_t i = 0; i < rows.size(); ++i)
            if (from[i] >= 0) {
                kept[size_t(from[i])] = true;
                moved[i] = last[size_t(from[i])];
            }
        for (size_t j = 0; j < last.size(); ++j)
            if (!kept[j] && last[j].line >= 0)
                gone.push_back(last[j].line);
        last.swap(moved);
    } else {
        for (size_t j = rows.size(); j < last.size(); ++j)
            if (last[j].line >= 0)
                gone.push_back(last[j].line);
        last.resize(rows.size());
    }
    for (size_t i = 0; i < rows.size(); ++i)
        if (last[i].line >= 0 && !WantsLine(rows[i], onlyConnected)) {
            gone.push_back(last[i].line);
            last[i].line = -1;
        }
}

// With the lines of gone rows deleted, every kept line stands at the place of its row's line:
// only changed rows are written, and new ones inserted.
template <typename Row>
void Manager::PutLines(std::vector<ViewRow<Row>>& last, std::span<const Row> rows,
                       bool onlyConnected, int32_t& written) {
    List& lines = *oCurrentConnections;
    std::u16string line;
    for (uint32_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        ViewRow<Row>& was = last[i];
        const bool known = Known<Row>(i);
        if (!WantsLine(row, onlyConnected)) {
            was = {row, -1, known};
            continue;
        }
        const bool hadLine = was.line >= 0;
        if (hadLine && was.row == row && was.known == known) {
            was.line = written++;
            continue;
        }
        BuildLine(line, row, i);
        if (!hadLine) {
            lines.InsertText(written, line);
            linesChanged_ = true;
        } else if (!lines.TextEquals(written, line)) {
            lines.SetText(written, line);
            linesChanged_ = true;
        }
        was = {row, written++, known};
    }
}

void Manager::RefreshCurrentConnections() {
    // Without a window there is no check box to read: every row passes.
    const bool onlyConnected = oMainForm != nullptr &&
                               ToBooleanSafe(Variant::Integer(int16_t(oMainForm->chkShowXValue())));

    // Runs after every pass that changed a row, at 10,000 connections too: the list is edited in
    // place, and ends exactly as emptying it and appending every line would leave it.
    List& lines = *oCurrentConnections;
    // A list box that shows these lines is refilled only when one of them changed.
    linesChanged_ = false;
    if (viewOnlyConnected_ != onlyConnected || viewLineCount_ != lines.GetItemCount()) {
        lines.Reset();
        viewRows_.clear();
        viewRows6_.clear();
        linesChanged_ = true;
    }
    const auto rows = TcpTableBuffer.Rows();
    const auto rows6 = Tcp6TableBuffer.Rows();
    std::vector<int32_t> gone;
    DropLinesOfGoneRows(viewRows_, rows, onlyConnected, gone);
    DropLinesOfGoneRows(viewRows6_, rows6, onlyConnected, gone);
    std::sort(gone.begin(), gone.end());
    lines.DeleteTexts(gone);
    linesChanged_ = linesChanged_ || !gone.empty();
    int32_t written = 0;
    PutLines(viewRows_, rows, onlyConnected, written);
    PutLines(viewRows6_, rows6, onlyConnected, written);
    linesChanged_ = linesChanged_ || lines.GetItemCount() != written;
    lines.DeleteLastItems(lines.GetItemCount() - written);
    viewOnlyConnected_ = onlyConnected;
    viewLineCount_ = lines.GetItemCount();

    if (CurrentMode == ConnectionsMode && oMainForm != nullptr && linesChanged_)
        RefreshCurrentMode();
}
