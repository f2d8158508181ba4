// Reads the stored lists out of the settings file's own bytes. The store's reader replaces what it
// cannot read with a default or with U+FFFD without saying so; this one keeps every piece it can
// and says what it could not read, so that nothing the user wrote is lost without a word.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct StoredValue {
    bool present = false;
    bool quoteOpen = false;          // a quote that is never closed: read to the end of the line
    std::vector<std::string> pieces; // the value's non-empty pieces between commas, raw bytes
};

struct SettingsText {
    std::u16string encoding;         // empty for UTF-8, else the encoding the file was found in
    std::vector<StoredValue> values; // one per key asked for, in the same order
};

// The values of the given top-level keys (before any section, or under [General]); a key given
// more than once counts at its last line, as in the store.
SettingsText ReadSettingsText(std::string_view bytes, const std::vector<std::string>& keys);
