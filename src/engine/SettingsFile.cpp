#include "engine/SettingsFile.h"

#include "support/Text.h"

#include <cstdint>

namespace {

// A file of UTF-16 text (a byte order mark, or a zero byte beside every ASCII character) as
// UTF-8; empty `encoding` when the bytes are not UTF-16.
std::string FromUtf16(std::string_view bytes, std::u16string& encoding) {
    bool little = true;
    size_t start = 0;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        start = 2;
    } else if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFE && uint8_t(bytes[1]) == 0xFF) {
        little = false;
        start = 2;
    } else if (bytes.size() >= 2 && bytes.size() % 2 == 0 && (bytes[0] == 0) != (bytes[1] == 0)) {
        little = bytes[1] == 0;
    } else {
        return {};
    }
    std::u16string text;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        const auto a = uint8_t(bytes[i]), b = uint8_t(bytes[i + 1]);
        text += char16_t(little ? a | b << 8 : b | a << 8);
    }
    encoding = little ? u"UTF-16 (little-endian)" : u"UTF-16 (big-endian)";
    return ToUtf8(text);
}

// One value as the store reads it: quotes group, a backslash takes the next character as it is,
// a semicolon outside quotes starts a comment; split at every comma.
StoredValue ReadValue(std::string_view text) {
    StoredValue value;
    value.present = true;
    std::string piece;
    bool quoted = false;
    auto endPiece = [&] {
        const std::string_view trimmed = quoted ? std::string_view(piece) : TrimBlanks(piece);
        if (!trimmed.empty())
            value.pieces.emplace_back(trimmed);
        piece.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < text.size()) {
            piece += text[++i];
        } else if (c == ',') {
            endPiece();
        } else if (c == ';' && !quoted) {
            break;
        } else {
            piece += c;
        }
    }
    value.quoteOpen = quoted;
    endPiece();
    return value;
}

} // namespace

SettingsText ReadSettingsText(std::string_view bytes, const std::vector<std::string>& keys) {
    SettingsText result;
    result.values.resize(keys.size());
    std::string converted = FromUtf16(bytes, result.encoding);
    if (!result.encoding.empty())
        bytes = converted;
    else if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    bool topLevel = true;
    while (!bytes.empty()) {
        const size_t end = bytes.find_first_of("\r\n");
        const std::string_view line = TrimBlanks(bytes.substr(0, end));
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (line.starts_with('[')) {
            topLevel = line == "[General]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!topLevel || equals == std::string_view::npos)
            continue;
        const std::string_view key = TrimBlanks(line.substr(0, equals));
        for (size_t k = 0; k < keys.size(); ++k)
            if (key == keys[k])
                result.values[k] = ReadValue(TrimBlanks(line.substr(equals + 1)));
    }
    return result;
}
