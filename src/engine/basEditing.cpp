// Adding to and deleting from the list of the current view.
#include "engine/basEditing.h"
#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/MainForm.h"
#include "manager/Manager.h"
#include "support/Variant.h"
#include "support/basError.h"
#include "support/basNetwork.h"

#include <algorithm>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr char16_t InvalidAddressMessage[] = u"This is not a valid ip address.";
constexpr char16_t InvalidPortMessage[] = u"This is not a valid port number.";

// Four pieces of one to three decimal digits, each 0..255; nothing else.
std::optional<std::array<uint8_t, 4>> ParseAddress(std::u16string_view text) {
    std::array<uint8_t, 4> octets{};
    size_t piece = 0, digits = 0;
    uint32_t value = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'.') {
            if (digits == 0 || value > 255 || piece == octets.size())
                return std::nullopt;
            octets[piece++] = uint8_t(value);
            digits = 0;
            value = 0;
        } else if (IsDigit(text[i]) && digits < 3) {
            value = value * 10 + uint32_t(text[i] - u'0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (piece != octets.size())
        return std::nullopt;
    return octets;
}

// A whole decimal number 1..65535, blanks around it allowed.
std::optional<int32_t> ParsePort(std::u16string_view text) {
    text = TrimBlanks(text);
    if (text.empty())
        return std::nullopt;
    int32_t value = 0;
    for (char16_t c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + int32_t(c - u'0');
        if (value > 65535)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

// The stored form drops leading zeros, so that the entry can equal a remote address's text.
std::u16string AddressText(const std::array<uint8_t, 4>& octets) {
    std::u16string text;
    for (uint8_t octet : octets) {
        if (!text.empty())
            text += u'.';
        text += ToU16(std::to_string(octet));
    }
    return text;
}

bool IsZoneCharacter(char16_t c) {
    return IsDigit(c) || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'.' ||
           c == u'_' || c == u'-';
}

// IPv6 text as the platform reads it, with a zone ("%eth0") on a link-local address; its
// canonical text (RFC 5952, the zone as given), or nothing. An IPv4-mapped address gives the
// dotted text of its IPv4 address: the table lists such connections as IPv4 rows.
std::optional<std::u16string> ParseAddress6(std::u16string_view text) {
    // Dotted text alone is an IPv4 address, whose stricter rules ParseAddress keeps.
    if (text.find(u':') == std::u16string_view::npos || text.size() > 80)
        return std::nullopt;
    const size_t percent = text.find(u'%');
    const std::u16string_view zone =
        percent == std::u16string_view::npos ? std::u16string_view() : text.substr(percent + 1);
    if (percent != std::u16string_view::npos &&
        (zone.empty() || !std::all_of(zone.begin(), zone.end(), IsZoneCharacter)))
        return std::nullopt;
    std::string ascii;
    for (char16_t c : text.substr(0, percent)) {
        if (c > 0x7e || c <= 0x20) // the platform reads bytes: nothing may be lost on the way
            return std::nullopt;
        ascii += char(c);
    }
    api::IN6_ADDR address{};
    if (!api::inet_pton6(ascii.c_str(), address))
        return std::nullopt;
    const uint8_t* b = address.Byte;
    const bool firstZero = std::all_of(b, b + 10, [](uint8_t x) { return x == 0; });
    if (firstZero && b[10] == 0xff && b[11] == 0xff) {
        if (!zone.empty())
            return std::nullopt;
        return AddressText({b[12], b[13], b[14], b[15]});
    }
    // No peer has the unspecified address; the IPv4-compatible form (::a.b.c.d) is obsolete and
    // has no text the platforms agree on.
    if (firstZero && b[10] == 0 && b[11] == 0 &&
        !(b[12] == 0 && b[13] == 0 && b[14] == 0 && b[15] <= 1))
        return std::nullopt;
    if (std::all_of(b, b + 16, [](uint8_t x) { return x == 0; }))
        return std::nullopt;
    const bool linkLocal = b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
    if (!zone.empty() && !linkLocal)
        return std::nullopt;
    std::u16string canonical = Address6ToText(address, 0);
    if (!zone.empty())
        canonical += u'%' + std::u16string(zone);
    return canonical;
}

void Complain(const char16_t* message) {
    api::MsgBox(message, api::vbOKOnly, AppTitle);
}

} // namespace

std::optional<std::u16string> CanonicalAddress(std::u16string_view text) {
    if (const auto octets = ParseAddress(text))
        return AddressText(*octets);
    return ParseAddress6(text);
}

bool IsValidIPAddress(const std::u16string& Text) {
    return CanonicalAddress(Text).has_value();
}

bool IsValidPort(const std::u16string& Text) {
    return ParsePort(Text).has_value();
}

void AddItemToCurrentList(std::u16string& ItemText) {
    ItemText = std::u16string(TrimBlanks(ItemText));
    if (ItemText.empty() || !oManager)
        return;
    Manager& manager = *oManager;

    Variant item;
    switch (manager.CurrentMode) {
    case AllowedMode: {
        auto address = CanonicalAddress(ItemText);
        if (!address) {
            Complain(InvalidAddressMessage);
            return;
        }
        item = Variant::Text(std::move(*address));
        break;
    }
    case BlockedLocalMode:
    case BlockedRemoteMode: {
        const auto port = ParsePort(ItemText);
        if (!port) {
            Complain(InvalidPortMessage);
            return;
        }
        item = Variant::Long(*port);
        break;
    }
    default: // the views that take no input
        return;
    }

    if (manager.CurrentList && manager.CurrentList->FindItem(u"=", item, false, 0, false, 1) < 0)
        manager.CurrentList->AddItem(item);
    manager.SaveChanges();
    manager.RefreshCurrentMode();
}

void DeleteSelectedItem() {
    if (!oManager)
        return;
    Manager& manager = *oManager;
    if (!manager.CurrentList || manager.CurrentList->GetItemCount() == 0)
        return;
    MainForm* form = manager.oMainForm;
    if (form == nullptr)
        return;

    // Several rows may be selected; the one with the highest index goes.
    int32_t row = form->lstMainListCount() - 1;
    while (row >= 0 && !form->lstMainSelected(row))
        --row;
    if (row < 0)
        return;
    const std::u16string text = form->lstMainList(row);
    if (text.empty())
        return;

    const int32_t index =
        manager.CurrentList->FindItem(u"=", Variant::Text(text), false, 0, false, 1);
    if (index >= 0)
        manager.CurrentList->DeleteItem(index);
    manager.SaveChanges();
    manager.RefreshCurrentMode();
}
