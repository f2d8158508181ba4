#include "support/Variant.h"
#include "support/basTools.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace {

using Want = std::optional<int32_t>;
constexpr Want No = std::nullopt;
Variant V(const char* text) {
    return Variant::Text(text);
}

// A failed conversion reports false and leaves its output untouched.
template <typename T> void Check(const Variant& v, bool (Variant::*convert)(T&) const, Want want) {
    T out = 77;
    EXPECT_EQ((v.*convert)(out), want.has_value());
    EXPECT_EQ(int32_t(out), want.value_or(77));
}

// Number syntax: blanks around, optional sign, digits with one optional "."; no exponent.
TEST(Variant, NumbersRoundHalvesToEvenAndFailOutOfRange) {
    const struct {
        Variant in;
        Want asLong, asInteger, asByte;
    } cases[] = {
        // clang-format off
        {V(" \t-12 "), -12, -12, No}, {V("12.5"), 12, 12, 12}, {V("13.5"), 14, 14, 14},
        {V("-0.5"), 0, 0, 0}, {V("255.5"), 256, 256, No}, {V("32767.5"), 32768, No, No},
        {V("-2147483648"), INT32_MIN, No, No}, {V("2147483648"), No, No, No},
        {V("32767"), 32767, 32767, No}, {Variant::Double(255), 255, 255, 255},
        {V("2.50000000000000000001"), 3, 3, 3}, {Variant::Boolean(true), -1, -1, No},
        {Variant::Double(std::numeric_limits<double>::quiet_NaN()), No, No, No},
        {Variant{}, 0, 0, 0}, {Variant::Null(), No, No, No},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.in.TextValue()));
        Check(c.in, &Variant::ToLong, c.asLong);
        Check(c.in, &Variant::ToInteger, c.asInteger);
        Check(c.in, &Variant::ToByte, c.asByte);
    }
    for (const char* text : {"", "1e3", "1,000", "0x10", ".", "-", "12abc", "\u0661", "inf"})
        Check(V(text), &Variant::ToLong, No);
}

TEST(Variant, TextDoubleBooleanAndUtf8Forms) {
    std::u16string text;
    EXPECT_FALSE(Variant::Null().ToText(text));
    EXPECT_TRUE(Variant::Double(1e21).ToText(text) && text == u"1000000000000000000000");
    double back = 0;
    ASSERT_TRUE(Variant::Double(0.1 + 0.2).ToText(text) && ParseNumberText(text, back));
    EXPECT_EQ(back, 0.1 + 0.2);
    EXPECT_TRUE(V("-.5").ToDouble(back) && back == -0.5);
    EXPECT_FALSE(Variant::Text(u"1" + std::u16string(400, u'0')).ToDouble(back));
    bool flag = false;
    EXPECT_TRUE(V(" tRUE ").ToBoolean(flag) && flag);
    EXPECT_FALSE(V("yes").ToBoolean(flag));
    EXPECT_EQ(FromUtf8(ToUtf8(u"A\u00e9\U0001F600")), u"A\u00e9\U0001F600");
    EXPECT_EQ(FromUtf8("a\xFF\xC0\xAF"), u"a\ufffd\ufffd\ufffd");
}

TEST(ShiftLeft, KeepsTheLow32BitsAndNeverOverflows) {
    const int32_t cases[][3] = {{3, 31, INT32_MIN}, {-1, 1, -2}, {INT32_MIN, 1, 0},
                                {0x40000001, 2, 4}, {5, 32, 0},  {5, -1, 0}};
    for (const auto& [value, count, want] : cases)
        EXPECT_EQ(ShiftLeft(value, count), want) << value << " << " << count;
}

// Characters count by their Windows-1252 byte ("?" without one); only the last 32 count.
TEST(TextHash, UsesTheCodePageAndTheLast32Characters) {
    EXPECT_EQ(TextHash(u"abc"), 291);
    EXPECT_EQ(TextHash(u"\u20ac"), 0x80);
    EXPECT_EQ(TextHash(u"x\u4e2d\u0080"), TextHash(u"x??"));
    EXPECT_EQ(TextHash(Variant::Long(443)), TextHash(u"443"));
    const std::u16string tail(31, u'z');
    EXPECT_NE(TextHash(u"a" + tail), TextHash(u"b" + tail));
    EXPECT_EQ(TextHash(u"a" + tail + u"z"), TextHash(u"b" + tail + u"z"));
    EXPECT_EQ(LowerText(u"AZ\u00c9\u00d7\u0178"), u"az\u00e9\u00d7\u0178"); // letters only
}

TEST(SafeConversions, GiveTheNeutralValueOnFailure) {
    EXPECT_EQ(ToIntegerSafe(Variant::Long(32768)), 0);
    EXPECT_EQ(ToLongSafe(Variant::Double(1e10)), 0);
    EXPECT_TRUE(ToBooleanSafe(Variant::Long(5)));
    EXPECT_FALSE(ToBooleanSafe(Variant::Long(0)));
    EXPECT_FALSE(ToBooleanSafe(V("abc")));
}

} // namespace
