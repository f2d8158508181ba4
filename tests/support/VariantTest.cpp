#include "support/Variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// One conversion case: nullopt means the conversion must fail.
template <typename T> struct Case {
    Variant in;
    std::optional<T> expected;
};

// Runs a table through one conversion; a failing conversion must leave the output untouched.
template <typename T>
void CheckTable(const std::vector<Case<T>>& cases, bool (Variant::*convert)(T&) const, T sentinel) {
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        T out = sentinel;
        const bool ok = (cases[i].in.*convert)(out);
        ASSERT_EQ(ok, cases[i].expected.has_value());
        EXPECT_EQ(out, cases[i].expected.value_or(sentinel));
    }
}

Variant T(const char* text) {
    return Variant::Text(text);
}

TEST(VariantConversion, ToLongReadsTextRoundsHalvesToEvenAndChecksRange) {
    CheckTable<int32_t>(
        {
            {T("443"), 443},
            {T(" \t-12 \t"), -12},
            {T("+7"), 7},
            {T("0007"), 7},
            {T("12.5"), 12},
            {T("13.5"), 14},
            {T("-2.5"), -2},
            {T("-3.5"), -4},
            {T("2.51"), 3},
            {T("2.49999"), 2},
            // Rounded on the digits: the double nearest this text is 2.5 exactly.
            {T("2.50000000000000000001"), 3},
            {T(".5"), 0},
            {T("5."), 5},
            {T("-0.4"), 0},
            {T("2147483647"), 2147483647},
            {T("-2147483648"), std::numeric_limits<int32_t>::min()},
            {T("2147483647.5"), std::nullopt},
            {T("2147483648"), std::nullopt},
            {T("-2147483649"), std::nullopt},
            {T("99999999999999999999999"), std::nullopt},
            {Variant{}, 0},
            {Variant::Null(), std::nullopt},
            {Variant::Boolean(true), -1},
            {Variant::Boolean(false), 0},
            {Variant::Byte(255), 255},
            {Variant::Integer(-32768), -32768},
            {Variant::Double(2.5), 2},
            {Variant::Double(3.5), 4},
            {Variant::Double(-0.5), 0},
            {Variant::Double(2147483647.4), 2147483647},
            {Variant::Double(2147483647.5), std::nullopt},
            {Variant::Double(-2147483648.5), std::numeric_limits<int32_t>::min()},
            {Variant::Double(NaN), std::nullopt},
            {Variant::Double(-Inf), std::nullopt},
        },
        &Variant::ToLong, int32_t{-777});
}

TEST(VariantConversion, TextOutsideTheNumberSyntaxFails) {
    // Empty text is not a number (the empty value is): only the empty kind reads as 0.
    for (const char16_t* text :
         {u"", u"  ", u"abc", u"1e3", u"1E3", u"1,000", u"1 000", u"0x10", u".", u"-", u"+-1",
          u"1.2.3", u"1,5", u"12abc", u"\u0661\u0662", u"\u00a012", u"inf", u"nan"}) {
        SCOPED_TRACE(ToUtf8(text));
        int32_t asLong = -777;
        double asDouble = -777;
        EXPECT_FALSE(Variant::Text(std::u16string(text)).ToLong(asLong));
        EXPECT_FALSE(ParseNumberText(text, asDouble));
        EXPECT_EQ(asLong, -777);
        EXPECT_EQ(asDouble, -777);
    }
}

TEST(VariantConversion, ByteAndIntegerRanges) {
    CheckTable<uint8_t>(
        {
            {Variant::Long(255), 255},
            {Variant::Long(256), std::nullopt},
            {Variant::Long(-1), std::nullopt},
            {Variant::Long(300), std::nullopt},
            {T("255.4"), 255},
            {T("255.5"), std::nullopt},
            {T("-0.5"), 0},
            {Variant::Boolean(true), std::nullopt},
            {Variant::Boolean(false), 0},
            {Variant::Double(0.5), 0},
            {Variant::Double(1.5), 2},
            {Variant{}, 0},
            {Variant::Null(), std::nullopt},
        },
        &Variant::ToByte, uint8_t{77});
    CheckTable<int16_t>(
        {
            {Variant::Long(32767), 32767},
            {Variant::Long(32768), std::nullopt},
            {Variant::Long(-32768), -32768},
            {Variant::Long(-32769), std::nullopt},
            {T("-32768.5"), -32768},
            {T("32767.5"), std::nullopt},
            {T("abc"), std::nullopt},
            {Variant::Boolean(true), -1},
            {Variant::Byte(200), 200},
        },
        &Variant::ToInteger, int16_t{777});
}

TEST(VariantConversion, ToDouble) {
    CheckTable<double>(
        {
            {T("2.5"), 2.5},
            {T(" -0.25\t"), -0.25},
            {T("-.5"), -0.5},
            {T("1e3"), std::nullopt},
            {T(""), std::nullopt},
            // Too small to hold reads as zero; too large fails.
            {Variant::Text(u"0." + std::u16string(400, u'0') + u"1"), 0.0},
            {Variant::Text(u"1" + std::u16string(400, u'0')), std::nullopt},
            {Variant{}, 0.0},
            {Variant::Null(), std::nullopt},
            {Variant::Boolean(true), -1.0},
            {Variant::Long(-7), -7.0},
            {Variant::Double(0.1), 0.1},
        },
        &Variant::ToDouble, -777.0);
}

TEST(VariantConversion, ToText) {
    CheckTable<std::u16string>(
        {
            {Variant::Long(443), u"443"},
            {Variant::Long(std::numeric_limits<int32_t>::min()), u"-2147483648"},
            {Variant::Byte(255), u"255"},
            {Variant::Integer(-32768), u"-32768"},
            {Variant::Double(2.5), u"2.5"},
            {Variant::Double(443), u"443"},
            {Variant::Double(0.001), u"0.001"},
            {Variant::Double(1e21), u"1000000000000000000000"},
            {Variant::Boolean(true), u"True"},
            {Variant::Boolean(false), u"False"},
            {Variant{}, u""},
            {Variant::Text(u" as is "), u" as is "},
            {Variant::Null(), std::nullopt},
        },
        &Variant::ToText, std::u16string(u"untouched"));
}

TEST(VariantConversion, DoubleTextReadsBackToTheSameValue) {
    for (double value : {0.1 + 0.2, 1.0 / 3, -123.456, 5e-324, 1.7976931348623157e308, 1e-7}) {
        std::u16string text;
        ASSERT_TRUE(Variant::Double(value).ToText(text));
        double back = 0;
        ASSERT_TRUE(ParseNumberText(text, back)) << ToUtf8(text);
        EXPECT_EQ(back, value) << ToUtf8(text);
    }
}

TEST(VariantConversion, ToBoolean) {
    CheckTable<bool>(
        {
            {T("True"), true},
            {T("FALSE"), false},
            {T(" true "), true},
            {T("0"), false},
            {T("0.4"), true},
            {T("-1"), true},
            {T("yes"), std::nullopt},
            {T(""), std::nullopt},
            {Variant{}, false},
            {Variant::Null(), std::nullopt},
            {Variant::Long(0), false},
            {Variant::Long(2), true},
            {Variant::Double(0.0), false},
            {Variant::Double(0.25), true},
        },
        &Variant::ToBoolean, false);
}

TEST(VariantText, Utf8RoundTripAndMalformedInput) {
    const std::u16string text = u"A\u00e9\u20ac\U0001F600z";
    EXPECT_EQ(ToUtf8(text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(Variant::Text("\xC3\xA9t\xC3\xA9").TextValue(), u"\u00e9t\u00e9");
    EXPECT_EQ(ToU16("127.0.0.1"), u"127.0.0.1");

    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    const std::u16string bad = u"\ufffd";
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a" + bad + u"b");
    EXPECT_EQ(FromUtf8("\xC0\xAF"), bad + bad);           // overlong
    EXPECT_EQ(FromUtf8("\xE2\x82"), bad + bad);           // cut short
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), bad + bad + bad); // encoded surrogate
}

} // namespace
