// Bit and text tools: the overflow-free shift, the text hash that keys text items of List, and
// conversions of tagged values that give a neutral value instead of failing.
#pragma once

#include "support/Variant.h"

#include <cstdint>
#include <string_view>

// Value moved left by Count places keeping the low 32 bits; 0 for a Count outside 0..31.
int32_t ShiftLeft(int32_t Value, int32_t Count);

// h = ShiftLeft(h, 1) XOR code, over the characters mapped to the Windows-1252 code page (a
// character with no byte there counts as "?"). "abc" gives 291.
int32_t TextHash(std::u16string_view Text);
int32_t TextHash(const Variant& Text);

// Lower-cases the text as List keys and case-blind comparisons do (A..Z and the Latin-1 letters).
std::u16string LowerText(std::u16string_view text);

bool ToBooleanSafe(const Variant& Value);   // False on failure
int16_t ToIntegerSafe(const Variant& Value); // 0 on failure
int32_t ToLongSafe(const Variant& Value);    // 0 on failure
