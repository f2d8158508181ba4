#include "support/basTools.h"

namespace {

// The Windows-1252 byte of a UTF-16 code unit; '?' where the page has none. The page is Latin-1
// except for 0x80..0x9F, where 27 bytes hold typographic characters and the five unassigned ones
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) round-trip the C1 controls of the same number.
uint8_t CodePageByte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<uint8_t>(c);
    switch (c) {
    case 0x0081:
    case 0x008D:
    case 0x008F:
    case 0x0090:
    case 0x009D:
        return static_cast<uint8_t>(c);
    case 0x20AC:
        return 0x80;
    case 0x201A:
        return 0x82;
    case 0x0192:
        return 0x83;
    case 0x201E:
        return 0x84;
    case 0x2026:
        return 0x85;
    case 0x2020:
        return 0x86;
    case 0x2021:
        return 0x87;
    case 0x02C6:
        return 0x88;
    case 0x2030:
        return 0x89;
    case 0x0160:
        return 0x8A;
    case 0x2039:
        return 0x8B;
    case 0x0152:
        return 0x8C;
    case 0x017D:
        return 0x8E;
    case 0x2018:
        return 0x91;
    case 0x2019:
        return 0x92;
    case 0x201C:
        return 0x93;
    case 0x201D:
        return 0x94;
    case 0x2022:
        return 0x95;
    case 0x2013:
        return 0x96;
    case 0x2014:
        return 0x97;
    case 0x02DC:
        return 0x98;
    case 0x2122:
        return 0x99;
    case 0x0161:
        return 0x9A;
    case 0x203A:
        return 0x9B;
    case 0x0153:
        return 0x9C;
    case 0x017E:
        return 0x9E;
    case 0x0178:
        return 0x9F;
    default:
        return '?';
    }
}

int32_t HashStep(int32_t h, char16_t c) {
    // The code is a signed 16-bit value sign-extended; a single-byte page only gives 0..255.
    return ShiftLeft(h, 1) ^ static_cast<int32_t>(static_cast<int16_t>(CodePageByte(c)));
}

} // namespace

int32_t ShiftLeft(int32_t Value, int32_t Count) {
    if (Count < 0 || Count > 31)
        return 0;
    // Shifting the unsigned pattern keeps the low 32 bits without overflow; reading it back as
    // signed is the two's complement view.
    return static_cast<int32_t>(static_cast<uint32_t>(Value) << Count);
}

int32_t TextHash(std::u16string_view Text) {
    int32_t h = 0;
    for (char16_t c : Text)
        h = HashStep(h, c);
    return h;
}

int32_t TextHash(const Variant& Text) {
    if (Text.Kind() == VariantKind::Text)
        return TextHash(std::u16string_view(Text.TextValue()));
    std::u16string text;
    return Text.ToText(text) ? TextHash(std::u16string_view(text)) : 0;
}

int32_t TextKey(std::u16string_view text) {
    int32_t h = 0;
    for (char16_t c : text)
        h = HashStep(h, LowerChar(c));
    return h;
}

std::u16string LowerText(std::u16string_view text) {
    std::u16string lowered(text);
    for (char16_t& c : lowered)
        c = LowerChar(c);
    return lowered;
}

bool ToBooleanSafe(const Variant& Value) {
    bool result = false;
    return Value.ToBoolean(result) && result;
}

int16_t ToIntegerSafe(const Variant& Value) {
    int16_t result = 0;
    return Value.ToInteger(result) ? result : 0;
}

int32_t ToLongSafe(const Variant& Value) {
    int32_t result = 0;
    return Value.ToLong(result) ? result : 0;
}
