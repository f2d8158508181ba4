// The three stored lists and the per-user settings store.
#include "engine/SettingsFile.h"
#include "engine/basAPI.h"
#include "engine/basEditing.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/Manager.h"
#include "support/Variant.h"
#include "support/basError.h"

#include <algorithm>
#include <array>

std::u16string BlockedLocalPortsString;
std::u16string BlockedRemotePortsString;
std::u16string AllowedIPString;

namespace {

// The stored lists in the order they are read and written.
struct StoredList {
    const char16_t* key;
    const char16_t* absent; // the text when the key is absent
    std::u16string* text;
    bool address; // items are addresses, else ports
    std::shared_ptr<List> Manager::*list;
};
const std::array<StoredList, 3> StoredLists = {{
    {u"BlockedLocalPortsString", u"", &BlockedLocalPortsString, false,
     &Manager::oBlockedLocalPorts},
    {u"BlockedRemotePortsString", u"", &BlockedRemotePortsString, false,
     &Manager::oBlockedRemotePorts},
    {u"AllowedIPString", u"127.0.0.1", &AllowedIPString, true, &Manager::oAllowedIP},
}};

constexpr char16_t NewStoreAllowed[] = u"127.0.0.1,::1";

// The error numbers of a path or file access error and of text that is not what it should be.
constexpr int32_t FileAccessError = 75;
constexpr int32_t TypeMismatchError = 13;

// A store that cannot be written is told once during the run (and always at the close); the
// lists stay in memory and every later save tries again, so a passing obstacle costs nothing.
bool SaveFailureReported = false;

// The store's file could not be read as written: it is written only once a list has changed (the
// texts then differ from those loaded), and only after it was copied aside.
bool HoldUntilChange = false;
bool CopyMissing = false;
std::array<std::u16string, 3> LoadedTexts;
// The store's file could not be read at all: writing it would lose the lists it holds.
bool StoreUnreadable = false;
// The texts as the store gave them, where it is no file: what a copy aside holds.
std::vector<api::SettingValue> RawValues;

std::vector<api::SettingValue> CurrentValues() {
    std::vector<api::SettingValue> values;
    for (const StoredList& stored : StoredLists)
        values.push_back({stored.key, *stored.text});
    return values;
}

// Keeps the pieces that are items of the list, and names in `problems` each one left out.
std::u16string ValidItems(const StoredList& stored, const StoredValue& value,
                          std::vector<std::u16string>& problems) {
    const std::u16string prefix = std::u16string(stored.key) + u": ";
    if (value.quoteOpen)
        problems.push_back(prefix + u"a quote is not closed.");
    std::u16string text;
    for (const std::string& piece : value.pieces) {
        const std::u16string item = ShownBytes(piece);
        if (!IsUtf8(piece)) {
            problems.push_back(prefix + u"\"" + item + u"\" is not UTF-8 text.");
            continue;
        }
        // An address is kept in its stored form, as one typed in the window is: a hand-written
        // 010.0.0.1 or 2001:DB8::2 could never equal a remote address's text.
        const std::optional<std::u16string> kept =
            stored.address ? CanonicalAddress(item)
                           : (IsValidPort(item) ? std::optional(item) : std::nullopt);
        if (!kept) {
            problems.push_back(prefix + u"\"" + item + u"\" is not a valid " +
                               (stored.address ? u"ip address." : u"port number."));
            continue;
        }
        text += (text.empty() ? u"" : u",") + *kept;
    }
    return text;
}

// Reads each stored text from the store's file (or from the store where it is no file), leaving
// out what is not an item; the problems found, each naming its key and item.
std::vector<std::u16string> ReadStoredTexts() {
    std::vector<std::u16string> problems;
    const api::SettingsFile file = api::ReadSettingsFile(SettingsApp);
    StoreUnreadable = file.state == api::SettingsFile::State::Unreadable;
    if (StoreUnreadable) {
        problems.push_back(u"The file cannot be read (" + file.reason +
                           u"). The lists start empty, so nothing is blocked, and the file is "
                           u"not written over.");
        for (const StoredList& stored : StoredLists)
            stored.text->clear();
        return problems;
    }
    std::vector<std::string> keys;
    for (const StoredList& stored : StoredLists)
        keys.push_back(ToUtf8(stored.key));
    SettingsText read;
    if (file.state == api::SettingsFile::State::Read) {
        read = ReadSettingsText(file.bytes, keys);
        if (!read.encoding.empty())
            problems.push_back(u"The file is written in " + read.encoding + u", not in UTF-8.");
    } else {
        // Not a file (or none yet): the store's own texts, split the same way.
        RawValues.clear();
        for (const StoredList& stored : StoredLists) {
            constexpr char16_t Missing[] = u"\uFFFF"; // no stored text is this
            const std::u16string text =
                api::GetSetting(SettingsApp, SettingsSection, stored.key, Missing);
            StoredValue& value = read.values.emplace_back();
            value.present = text != Missing;
            RawValues.push_back({stored.key, value.present ? text : stored.absent});
            if (!value.present)
                continue;
            const std::string bytes = ToUtf8(text);
            for (size_t start = 0, end = 0; start <= bytes.size(); start = end + 1) {
                end = std::min(bytes.find(',', start), bytes.size());
                if (end > start)
                    value.pieces.push_back(bytes.substr(start, end - start));
            }
        }
    }
    // A store that holds none of the lists is new: it allows both loopback addresses. One that
    // holds some keeps the defaults it always had for the others.
    const bool newStore = std::none_of(read.values.begin(), read.values.end(),
                                       [](const StoredValue& v) { return v.present; });
    for (size_t k = 0; k < StoredLists.size(); ++k) {
        const StoredList& stored = StoredLists[k];
        const char16_t* absent = newStore && stored.address ? NewStoreAllowed : stored.absent;
        *stored.text =
            read.values[k].present ? ValidItems(stored, read.values[k], problems) : absent;
    }
    return problems;
}

// Writes the three texts unless nothing may or need be written; false with the reason when the
// lists did not get to the store.
bool StoreTexts(std::u16string& reason) {
    for (const StoredList& stored : StoredLists)
        *stored.text = oManager->SaveListToString(*(oManager.get()->*stored.list));
    if (StoreUnreadable) {
        reason = u"the file could not be read at start, and writing it would lose the lists it "
                 u"holds";
        return false;
    }
    if (HoldUntilChange) {
        bool changed = false;
        for (size_t k = 0; k < StoredLists.size(); ++k)
            changed = changed || *StoredLists[k].text != LoadedTexts[k];
        if (!changed)
            return true; // the file still holds what the user wrote
        std::u16string failure;
        if (CopyMissing &&
            api::CopySettingsAside(SettingsApp, SettingsSection, RawValues, failure).empty()) {
            reason =
                u"the file could not be copied aside before it is written over (" + failure + u")";
            return false;
        }
        HoldUntilChange = CopyMissing = false;
    }
    return api::SaveSettings(SettingsApp, SettingsSection, CurrentValues(), reason);
}

std::u16string ListsText() {
    std::u16string text;
    for (const StoredList& stored : StoredLists)
        text += u"\n" + std::u16string(stored.key) + u"=" + *stored.text;
    return text;
}

} // namespace

void LoadSettings() {
    std::vector<std::u16string> problems = ReadStoredTexts();
    if (oManager) {
        oManager->LoadListFromString(*oManager->oAllowedIP, AllowedIPString);
        oManager->LoadListFromString(*oManager->oBlockedLocalPorts, BlockedLocalPortsString);
        oManager->LoadListFromString(*oManager->oBlockedRemotePorts, BlockedRemotePortsString);
        for (size_t k = 0; k < StoredLists.size(); ++k)
            LoadedTexts[k] = oManager->SaveListToString(*(oManager.get()->*StoredLists[k].list));
        // The report of a slip below waits for the user: cutting goes on meanwhile, with the
        // items that could be read.
        AllowPassesFromPump();
    }
    HoldUntilChange = CopyMissing = SaveFailureReported = false;
    if (problems.empty())
        return;
    std::u16string message =
        u"The settings in " + api::SettingsLocation(SettingsApp) + u" cannot be read as written.";
    for (const std::u16string& problem : problems)
        message += u"\n" + problem;
    if (!StoreUnreadable) {
        // Copied now, while the file is as the user left it.
        std::u16string failure;
        const std::u16string copy =
            api::CopySettingsAside(SettingsApp, SettingsSection, RawValues, failure);
        HoldUntilChange = true;
        CopyMissing = copy.empty();
        message += u"\nWhat could not be read is left out of the lists. The settings are kept "
                   u"unchanged until a list is changed";
        message += copy.empty() ? u"; they could not be copied aside (" + failure + u")."
                                : u", and a copy of them is in " + copy + u".";
    }
    ReportError(u"LoadSettings", StoreUnreadable ? FileAccessError : TypeMismatchError, message);
}

void SaveSettings() {
    std::u16string reason;
    if (!oManager || StoreTexts(reason) || SaveFailureReported)
        return;
    SaveFailureReported = true;
    ReportError(u"SaveSettings", FileAccessError,
                u"The lists could not be written to " + api::SettingsLocation(SettingsApp) + u" (" +
                    reason +
                    u"). They are kept while the program runs, each change tries again, and "
                    u"closing the program tells whether they were saved.");
}

void SaveSettingsAtClose() {
    std::u16string reason;
    if (!oManager || StoreTexts(reason))
        return;
    std::u16string message = u"The lists could not be written to " +
                             api::SettingsLocation(SettingsApp) + u" (" + reason + u"). ";
    std::u16string failure;
    const std::u16string elsewhere =
        api::SaveSettingsElsewhere(SettingsApp, SettingsSection, CurrentValues(), failure);
    if (!elsewhere.empty())
        message += u"They were written to " + elsewhere + u" instead.";
    else
        message += u"They could not be written anywhere else either (" + failure +
                   u"). They were:" + ListsText();
    ReportError(u"SaveSettings", FileAccessError, message);
}
