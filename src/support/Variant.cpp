#include "support/Variant.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace {

// A text that passed the number syntax, split into its parts (digits only, no sign, no point).
struct NumberText {
    bool negative = false;
    std::u16string_view whole;
    std::u16string_view fraction;
};

std::optional<NumberText> SplitNumberText(std::u16string_view text) {
    text = TrimBlanks(text);

    NumberText n;
    if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
        n.negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    size_t i = 0;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    n.whole = text.substr(0, i);
    if (i < text.size() && text[i] == u'.') {
        const size_t start = ++i;
        while (i < text.size() && IsDigit(text[i]))
            ++i;
        n.fraction = text.substr(start, i - start);
    }
    if (i != text.size() || (n.whole.empty() && n.fraction.empty()))
        return std::nullopt;
    return n;
}

bool NumberTextToDouble(const NumberText& n, double& out) {
    // from_chars wants narrow text; digits and the point are ASCII. Short numbers stay in the
    // string's inline buffer.
    std::string ascii;
    ascii.reserve(n.whole.size() + n.fraction.size() + 2);
    if (n.negative)
        ascii.push_back('-');
    for (char16_t c : n.whole)
        ascii.push_back(static_cast<char>(c));
    ascii.push_back('.');
    for (char16_t c : n.fraction)
        ascii.push_back(static_cast<char>(c));
    if (n.whole.empty())
        ascii.insert(ascii.begin() + (n.negative ? 1 : 0), '0');

    double value = 0;
    const auto [ptr, ec] =
        std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range) {
        // Too small to hold is zero; too large fails. Only a non-zero whole part can overflow.
        if (n.whole.find_first_not_of(u'0') != std::u16string_view::npos)
            return false;
        value = n.negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != ascii.data() + ascii.size()) {
        return false;
    }
    out = value;
    return true;
}

// Rounds the decimal text itself to a whole number, halves to even, so that no binary fraction
// can tip a value such as 2.50000000000000000001 the wrong way.
bool NumberTextToWhole(const NumberText& n, int64_t min, int64_t max, int64_t& out) {
    constexpr int64_t cap = int64_t{1} << 40; // far beyond every target range
    int64_t magnitude = 0;
    for (char16_t c : n.whole) {
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > cap)
            return false;
    }
    if (!n.fraction.empty()) {
        const char16_t first = n.fraction.front();
        const bool restZero = n.fraction.find_first_not_of(u'0', 1) == std::u16string_view::npos;
        if (first > u'5' || (first == u'5' && (!restZero || magnitude % 2 == 1)))
            ++magnitude;
    }
    const int64_t value = n.negative ? -magnitude : magnitude;
    if (value < min || value > max)
        return false;
    out = value;
    return true;
}

double RoundHalfEven(double x) {
    const double lower = std::floor(x);
    const double diff = x - lower;
    if (diff < 0.5)
        return lower;
    if (diff > 0.5)
        return lower + 1;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

char16_t AsciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

} // namespace

Variant Variant::Null() {
    Variant v;
    v.kind_ = VariantKind::Null;
    return v;
}

Variant Variant::Text(std::u16string value) {
    Variant v;
    v.kind_ = VariantKind::Text;
    v.text_ = std::move(value);
    return v;
}

Variant Variant::Text(std::string_view ascii) {
    return Text(ToU16(ascii));
}

Variant Variant::Boolean(bool value) {
    return Number(VariantKind::Boolean, value ? -1 : 0);
}

Variant Variant::Byte(uint8_t value) {
    return Number(VariantKind::Byte, value);
}

Variant Variant::Integer(int16_t value) {
    return Number(VariantKind::Integer, value);
}

Variant Variant::Long(int32_t value) {
    return Number(VariantKind::Long, value);
}

Variant Variant::Number(VariantKind kind, int64_t value) {
    Variant v;
    v.kind_ = kind;
    v.number_ = value;
    return v;
}

Variant Variant::Double(double value) {
    Variant v;
    v.kind_ = VariantKind::Double;
    v.double_ = value;
    return v;
}

bool Variant::ToText(std::u16string& out) const {
    switch (kind_) {
    case VariantKind::Empty:
        out.clear();
        return true;
    case VariantKind::Null:
        return false;
    case VariantKind::Text:
        out = text_;
        return true;
    case VariantKind::Boolean:
        out = number_ != 0 ? u"True" : u"False";
        return true;
    case VariantKind::Byte:
    case VariantKind::Integer:
    case VariantKind::Long: {
        std::array<char, 24> buffer;
        const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number_).ptr;
        out.assign(buffer.data(), end);
        return true;
    }
    case VariantKind::Double: {
        // Shortest digits that read back to the same value, never an exponent, so that the text
        // reads again by the number syntax. The longest such text (the smallest subnormal) has
        // 327 characters.
        std::array<char, 400> buffer;
        const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), double_,
                                       std::chars_format::fixed)
                             .ptr;
        out.assign(buffer.data(), end);
        return true;
    }
    }
    return false;
}

bool Variant::ToBoolean(bool& out) const {
    switch (kind_) {
    case VariantKind::Empty:
        out = false;
        return true;
    case VariantKind::Null:
        return false;
    case VariantKind::Text: {
        const std::u16string_view text = TrimBlanks(text_);
        if (EqualsIgnoringAsciiCase(text, u"True")) {
            out = true;
            return true;
        }
        if (EqualsIgnoringAsciiCase(text, u"False")) {
            out = false;
            return true;
        }
        double value = 0;
        if (!ParseNumberText(text, value))
            return false;
        out = value != 0;
        return true;
    }
    case VariantKind::Double:
        out = double_ != 0;
        return true;
    case VariantKind::Boolean:
    case VariantKind::Byte:
    case VariantKind::Integer:
    case VariantKind::Long:
        out = number_ != 0;
        return true;
    }
    return false;
}

namespace {

// The one path by which every kind reaches a whole number in [min, max].
bool ToWhole(const Variant& v, int64_t min, int64_t max, int64_t& out) {
    int64_t value = 0;
    switch (v.Kind()) {
    case VariantKind::Empty:
        break;
    case VariantKind::Null:
        return false;
    case VariantKind::Text: {
        const auto n = SplitNumberText(v.TextValue());
        return n && NumberTextToWhole(*n, min, max, out);
    }
    case VariantKind::Double: {
        const double rounded = RoundHalfEven(v.DoubleValue());
        // NaN fails both comparisons; infinities fail one.
        if (!(rounded >= static_cast<double>(min) && rounded <= static_cast<double>(max)))
            return false;
        value = static_cast<int64_t>(rounded);
        break;
    }
    case VariantKind::Boolean:
        value = v.BooleanValue() ? -1 : 0;
        break;
    case VariantKind::Byte:
        value = v.ByteValue();
        break;
    case VariantKind::Integer:
        value = v.IntegerValue();
        break;
    case VariantKind::Long:
        value = v.LongValue();
        break;
    }
    if (value < min || value > max)
        return false;
    out = value;
    return true;
}

template <typename T> bool ToWholeOf(const Variant& v, T& out) {
    int64_t value = 0;
    if (!ToWhole(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), value))
        return false;
    out = static_cast<T>(value);
    return true;
}

} // namespace

bool Variant::ToByte(uint8_t& out) const {
    return ToWholeOf(*this, out);
}
bool Variant::ToInteger(int16_t& out) const {
    return ToWholeOf(*this, out);
}
bool Variant::ToLong(int32_t& out) const {
    return ToWholeOf(*this, out);
}

bool Variant::ToDouble(double& out) const {
    switch (kind_) {
    case VariantKind::Empty:
        out = 0;
        return true;
    case VariantKind::Null:
        return false;
    case VariantKind::Text:
        return ParseNumberText(text_, out);
    case VariantKind::Double:
        out = double_;
        return true;
    case VariantKind::Boolean:
    case VariantKind::Byte:
    case VariantKind::Integer:
    case VariantKind::Long:
        out = static_cast<double>(number_);
        return true;
    }
    return false;
}

bool ParseNumberText(std::u16string_view text, double& out) {
    const auto n = SplitNumberText(text);
    return n && NumberTextToDouble(*n, out);
}
