// The tagged value's conversions and FindItem against small references written from the rules:
// a number read from text (blanks, sign, digits, fraction rounded half to even, range checked),
// a number written as text and read back, and "=" and "LIKE" found by a plain walk.
#include "container/List.h"
#include "support/basTools.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// The 32-bit number syntax, from the rules in Variant.h.
std::optional<int32_t> ReferenceLong(std::u16string_view t) {
    while (!t.empty() && (t.front() == u' ' || t.front() == u'\t'))
        t.remove_prefix(1);
    while (!t.empty() && (t.back() == u' ' || t.back() == u'\t'))
        t.remove_suffix(1);
    bool negative = false;
    if (!t.empty() && (t[0] == u'+' || t[0] == u'-')) {
        negative = t[0] == u'-';
        t.remove_prefix(1);
    }
    const size_t point = t.find(u'.');
    const std::u16string_view whole = t.substr(0, point),
                              fraction = point == t.npos ? u"" : t.substr(point + 1);
    if (whole.empty() && fraction.empty())
        return std::nullopt;
    __int128 value = 0;
    for (char16_t c : whole) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        if (value < (__int128(1) << 40))
            value = value * 10 + (c - u'0');
    }
    for (char16_t c : fraction)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    if (!fraction.empty() && fraction[0] >= u'5') {
        const bool half = fraction[0] == u'5' &&
                          fraction.substr(1).find_first_not_of(u'0') == std::u16string_view::npos;
        if (!half || value % 2 == 1)
            ++value;
    }
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return int32_t(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6)
        return 0;
    const uint8_t mode = data[0], start = data[1], flags = data[2];
    int32_t number;
    std::memcpy(&number, data + 2, 4);
    // The rest: items separated by NUL, the last piece the value searched for.
    std::vector<std::u16string> pieces(1);
    for (size_t i = 6; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back() += char16_t(data[i] >= 0x80 ? 0xC0 + (data[i] & 0x3F) : data[i]);
    }
    const std::u16string value = pieces.back();
    pieces.pop_back();

    // Text to number, and number to text and back.
    int32_t read = 0;
    const std::optional<int32_t> expected = ReferenceLong(value);
    if (Variant::Text(value).ToLong(read) != expected.has_value() ||
        (expected && read != *expected))
        std::abort();
    std::u16string text;
    if (!Variant::Long(number).ToText(text) || !Variant::Text(text).ToLong(read) || read != number)
        std::abort();

    List list;
    const bool textList = mode % 2 == 0;
    textList ? list.InitStringList() : list.InitLongList();
    for (const std::u16string& piece : pieces)
        list.AddItem(Variant::Text(piece));
    const int32_t count = list.GetItemCount(), from = count ? start % count : 0;
    const bool reversed = flags & 1, caseSensitive = flags & 2;
    const int32_t subStart = 1 + (flags >> 4) % 4;
    const auto walk = [&](auto passes) {
        for (int32_t k = 0; k < count - from; ++k) {
            const int32_t i = reversed ? count - 1 - k : from + k;
            if (passes(list.GetItem(i)))
                return i;
        }
        return int32_t(-2);
    };
    int32_t want;
    if (textList) {
        const std::u16string sought = caseSensitive ? value : LowerText(value);
        const auto item = [&](const Variant& v) {
            return caseSensitive ? v.TextValue() : LowerText(v.TextValue());
        };
        want = walk([&](const Variant& v) { return item(v) == sought; });
        if (list.FindItem(u"=", Variant::Text(value), caseSensitive, from, reversed) != want)
            std::abort();
        want = walk([&](const Variant& v) {
            return item(v).find(sought, size_t(subStart - 1)) != std::u16string::npos;
        });
        if (list.FindItem(u"like", Variant::Text(value), caseSensitive, from, reversed, subStart) !=
            want)
            std::abort();
    } else if (count) {
        want = walk([&](const Variant& v) { return v.LongValue() == number; });
        if (list.FindItem(u"=", Variant::Long(number), true, from, reversed) != want)
            std::abort();
        want = walk([&](const Variant& v) { return v.LongValue() < number; });
        if (list.FindItem(u"<", Variant::Long(number), true, from, reversed) != want)
            std::abort();
    }
    return 0;
}
