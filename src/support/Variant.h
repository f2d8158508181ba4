// The tagged value: a value together with its kind. It carries values into and out of List and
// the safe conversions of basTools.
//
// Text read as a number ("number syntax"): optional blanks (space, tab) around it, an optional
// sign "+" or "-", decimal digits with an optional fraction after ".", at least one digit in all
// (".5" and "5." read); no exponent, no thousands separators, no hexadecimal. The decimal point is
// always "." whatever the user's locale, so a stored list reads the same on every machine.
// Fractions are rounded to the nearest whole number for the integer kinds, halves to the even one
// (rounded on the decimal digits themselves, so no binary fraction tips a half). A number outside
// the target's range fails: byte 0..255, 16-bit -32768..32767, 32-bit the full range.
//
// Other kinds: the empty value is 0, False or empty text; null fails every conversion, text
// included. Boolean True is -1 and False 0 as a number, "True" and "False" as text; text reads as
// a Boolean when it is "True" or "False" in any letter case, or a number (non-zero is True). A
// number as text is its decimal digits; a double gives the shortest digits that read back to the
// same value, never with an exponent ("2.5", "443", "0.001").
#pragma once

#include "support/Text.h"

#include <cstdint>
#include <string>
#include <string_view>

enum class VariantKind : uint8_t { Empty, Null, Text, Boolean, Byte, Integer, Long, Double };

class Variant {
public:
    Variant() = default; // empty
    static Variant Null();
    static Variant Text(std::u16string value);
    static Variant Text(std::string_view ascii); // convenience for literals and digits
    static Variant Boolean(bool value);
    static Variant Byte(uint8_t value);
    static Variant Integer(int16_t value);
    static Variant Long(int32_t value);
    static Variant Double(double value);

    VariantKind Kind() const { return kind_; }
    bool IsNull() const { return kind_ == VariantKind::Null; }
    bool IsEmpty() const { return kind_ == VariantKind::Empty; }

    // Raw access for the kind held; undefined for another kind.
    const std::u16string& TextValue() const { return text_; }
    bool BooleanValue() const { return number_ != 0; }
    uint8_t ByteValue() const { return static_cast<uint8_t>(number_); }
    int16_t IntegerValue() const { return static_cast<int16_t>(number_); }
    int32_t LongValue() const { return static_cast<int32_t>(number_); }
    double DoubleValue() const { return double_; }

    // Conversions. Each returns false when the value cannot be converted (null, text that is not
    // a number, a number out of the target's range) and leaves `out` untouched then.
    bool ToText(std::u16string& out) const;
    bool ToBoolean(bool& out) const;
    bool ToByte(uint8_t& out) const;
    bool ToInteger(int16_t& out) const;
    bool ToLong(int32_t& out) const;
    bool ToDouble(double& out) const;

    friend bool operator==(const Variant&, const Variant&) = default;

private:
    static Variant Number(VariantKind kind, int64_t value); // Boolean and the integer kinds

    VariantKind kind_ = VariantKind::Empty;
    std::u16string text_;
    int64_t number_ = 0; // Boolean (0 or -1), Byte, Integer, Long
    double double_ = 0;
};

// Reads `text` by the number syntax above. False for anything else, including empty text.
bool ParseNumberText(std::u16string_view text, double& out);
