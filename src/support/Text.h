// Text tools: blanks and trimming, UTF-8 to and from the program's UTF-16, and bytes shown in a
// message.
#pragma once

#include <string>
#include <string_view>

// Blanks and digits as the number syntax knows them, and text without blanks around it.
inline bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}
inline bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
template <typename Char>
std::basic_string_view<Char> TrimmedOfBlanks(std::basic_string_view<Char> text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}
inline std::u16string_view TrimBlanks(std::u16string_view text) {
    return TrimmedOfBlanks(text);
}
// Of bytes (a settings file's line).
inline std::string_view TrimBlanks(std::string_view text) {
    return TrimmedOfBlanks(text);
}

// Small helpers for UTF-16 text used across the program. ToU16 reads its bytes as UTF-8 (ASCII
// is a part of it), so a stray non-ASCII literal is not garbled. Malformed input gives U+FFFD.
std::u16string ToU16(std::string_view ascii);
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view utf8);

// True when the bytes are UTF-8 text.
bool IsUtf8(std::string_view bytes);

// The bytes as text for a message: UTF-8 as it is, any other byte as \xHH.
std::u16string ShownBytes(std::string_view bytes);
