// Adding to and deleting from the list of the current view.
#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/MainForm.h"
#include "manager/Manager.h"
#include "support/Variant.h"
#include "support/basError.h"

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

void Complain(const char16_t* message) {
    api::MsgBox(message, api::vbOKOnly, AppTitle);
}

} // namespace

bool IsValidIPAddress(const std::u16string& Text) {
    return ParseAddress(Text).has_value();
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
    case 2: {
        const auto octets = ParseAddress(ItemText);
        if (!octets) {
            Complain(InvalidAddressMessage);
            return;
        }
        item = Variant::Text(AddressText(*octets));
        break;
    }
    case 3:
    case 4: {
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
