// Bit and text tools: the overflow-free shift, the text hash that keys text items of List, and
// conversions of tagged values that give a neutral value instead of failing.
#pragma once

#include "support/Variant.h"

#include <cstdint>
#include <string_view>

// Value moved left by Count places keeping the low 32 bits; 0 for a Count outside 0..31.
int32_t ShiftLeft(int32_t Value, int32_t Count);

// h = ShiftLeft(h, 1) XOR code, over the characters mapped to the Windows-1252 code page (a
// character with no byte there counts as "?"). "abc" gives 291. Each UTF-16 code unit counts as
// one character, so a character outside the BMP hashes as "??". Codes are 0..255 on this single-
// byte page, so the sign extension of a 16-bit code never comes into play. A tagged value is
// hashed by its text form; one that has none (null) gives 0.
int32_t TextHash(std::u16string_view Text);
int32_t TextHash(const Variant& Text);

// Lower-cases the text as List keys and case-blind comparisons do (A..Z and the Latin-1 letters).
std::u16string LowerText(std::u16string_view text);

// One character as LowerText maps it; lets case-blind comparisons run without a lowered copy.
constexpr char16_t LowerChar(char16_t c) {
    // A..Z, and the Latin-1 capitals U+00C0..U+00DE except the multiplication sign U+00D7.
    if ((c >= u'A' && c <= u'Z') || (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7))
        return static_cast<char16_t>(c + 0x20);
    return c;
}

// The key of a text item of List: TextHash(LowerText(text)), computed without the copy.
int32_t TextKey(std::u16string_view text);

bool ToBooleanSafe(const Variant& Value);    // False on failure
int16_t ToIntegerSafe(const Variant& Value); // 0 on failure
int32_t ToLongSafe(const Variant& Value);    // 0 on failure
