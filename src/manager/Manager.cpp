#include "manager/Manager.h"

#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/MainForm.h"
#include "support/basNetwork.h"

#include <array>

namespace {

// Appends every non-empty piece of text between separators to the list, as text.
void AppendPieces(List& list, const std::u16string& text, char16_t separator) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::u16string::npos)
            end = text.size();
        if (end > start)
            list.AddItem(Variant::Text(text.substr(start, end - start)));
        start = end + 1;
    }
}

constexpr std::array<const char16_t*, 5> ModeDescriptors = {
    u"Current Connections", u"Local IP Addresses", u"Allowed IP Addresses", u"Blocked Local Ports",
    u"Blocked Remote Ports"};

// Editing is offered only where the user keeps the lists: allowed addresses and blocked ports.
bool IsEditableMode(int16_t mode) {
    return mode != ConnectionsMode && mode != LocalAddressesMode;
}

} // namespace

Manager::Manager()
    : oLocalIP(std::make_shared<List>()), oAllowedIP(std::make_shared<List>()),
      oBlockedLocalPorts(std::make_shared<List>()), oBlockedRemotePorts(std::make_shared<List>()),
      oCurrentConnections(std::make_shared<List>()) {
    oLocalIP->InitStringList();
    oAllowedIP->InitStringList();
    oBlockedLocalPorts->InitLongList();
    oBlockedRemotePorts->InitLongList();
    oCurrentConnections->InitStringList();
}

Manager::~Manager() {
    oLocalIP.reset();
    oAllowedIP.reset();
    oBlockedLocalPorts.reset();
    oBlockedRemotePorts.reset();
    oCurrentConnections.reset();
    oMainForm = nullptr;
    CurrentList.reset();
}

void Manager::SetCurrentMode(int16_t iMode) {
    CurrentMode = iMode;
    if (iMode >= 0 && iMode < int16_t(ModeDescriptors.size()))
        CurrentModeDescriptor = ModeDescriptors[size_t(iMode)];
    SetLists();
    SetMenus();
    SetCaptions();
}

void Manager::SetLists() {
    switch (CurrentMode) {
    case ConnectionsMode:
        CurrentList = oCurrentConnections;
        break;
    case LocalAddressesMode:
        RefreshLocalIPList();
        CurrentList = oLocalIP;
        break;
    case AllowedMode:
        CurrentList = oAllowedIP;
        break;
    case BlockedLocalMode:
        CurrentList = oBlockedLocalPorts;
        break;
    case BlockedRemoteMode:
        CurrentList = oBlockedRemotePorts;
        break;
    default: // an unknown mode keeps showing the list it had
        break;
    }
    LoadInListbox();
}

void Manager::LoadInListbox() {
    // The window reads the rows from the list itself: a refill costs the same at 10,000 lines as
    // at ten, and the loop never waits for the list box.
    if (oMainForm != nullptr)
        oMainForm->lstMainRefill(CurrentList);
}

void Manager::SetMenus() {
    if (oMainForm == nullptr)
        return;
    const bool enabled = IsEditableMode(CurrentMode);
    oMainForm->mnuDeleteSetEnabled(enabled);
    oMainForm->txtItemSetEnabled(enabled);
    oMainForm->cmdAddSetEnabled(enabled);
}

void Manager::RefreshCurrentMode() {
    SetCurrentMode(CurrentMode);
}

void Manager::RefreshLocalIPList() {
    oLocalIP->Reset();
    AppendPieces(*oLocalIP, GetIP(), u' ');
}

void Manager::SaveChanges() {
    ::SaveSettings();
    // Every connection is decided again at the next pass, under the changed lists.
    ClearConnectionCache();
}

void Manager::AddLocalIPSToAllowed() {
    const int32_t count = oLocalIP->GetItemCount();
    for (int32_t i = 0; i < count; ++i) {
        std::u16string address;
        if (!oLocalIP->GetItem(i).ToText(address) || address.empty())
            continue;
        const Variant value = Variant::Text(std::move(address));
        if (oAllowedIP->FindItem(u"=", value, true, 0, false, 1) < 0)
            oAllowedIP->AddItem(value);
    }
}

void Manager::LoadListFromString(List& oList, const std::u16string& sString) {
    oList.Reset();
    // Pieces are not trimmed: what the store holds is what the list gets.
    AppendPieces(oList, sString, u',');
}

std::u16string Manager::SaveListToString(const List& oList) {
    std::u16string result;
    const int32_t count = oList.GetItemCount();
    std::u16string item;
    for (int32_t i = 0; i < count; ++i) {
        item.clear();
        if (oList.GetItem(i).ToText(item))
            result += item;
        result += u',';
    }
    if (!result.empty())
        result.pop_back();
    return result;
}

void Manager::SetCaptions() {
    if (oMainForm != nullptr)
        oMainForm->txtHeadSetText(CurrentModeDescriptor);
}
