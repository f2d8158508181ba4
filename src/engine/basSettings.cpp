// The three stored lists and the per-user settings store.
#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "manager/Manager.h"
#include "support/basError.h"

std::u16string BlockedLocalPortsString;
std::u16string BlockedRemotePortsString;
std::u16string AllowedIPString;

namespace {

constexpr char16_t BlockedLocalPortsKey[] = u"BlockedLocalPortsString";
constexpr char16_t BlockedRemotePortsKey[] = u"BlockedRemotePortsString";
constexpr char16_t AllowedIPKey[] = u"AllowedIPString";

// The error number of a path or file access error.
constexpr int32_t FileAccessError = 75;

// A store that cannot be written is told once; the lists stay in memory and every later save
// tries again, so a passing obstacle costs nothing.
bool SaveFailureReported = false;

} // namespace

void LoadSettings() {
    BlockedLocalPortsString =
        api::GetSetting(SettingsApp, SettingsSection, BlockedLocalPortsKey, u"");
    BlockedRemotePortsString =
        api::GetSetting(SettingsApp, SettingsSection, BlockedRemotePortsKey, u"");
    AllowedIPString = api::GetSetting(SettingsApp, SettingsSection, AllowedIPKey, u"127.0.0.1,::1");
    if (!oManager)
        return;
    oManager->LoadListFromString(*oManager->oAllowedIP, AllowedIPString);
    oManager->LoadListFromString(*oManager->oBlockedLocalPorts, BlockedLocalPortsString);
    oManager->LoadListFromString(*oManager->oBlockedRemotePorts, BlockedRemotePortsString);
}

void SaveSettings() {
    if (!oManager)
        return;
    BlockedLocalPortsString = oManager->SaveListToString(*oManager->oBlockedLocalPorts);
    BlockedRemotePortsString = oManager->SaveListToString(*oManager->oBlockedRemotePorts);
    AllowedIPString = oManager->SaveListToString(*oManager->oAllowedIP);
    const bool written = api::SaveSettings(SettingsApp, SettingsSection,
                                           {{BlockedLocalPortsKey, BlockedLocalPortsString},
                                            {BlockedRemotePortsKey, BlockedRemotePortsString},
                                            {AllowedIPKey, AllowedIPString}});
    if (written || SaveFailureReported)
        return;
    SaveFailureReported = true;
    ReportError(u"SaveSettings", FileAccessError,
                u"The lists could not be written to the settings store. They are kept and "
                u"saved again at the next change or when the program closes.");
}
