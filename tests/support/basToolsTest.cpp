#include "support/basTools.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr int32_t MinLong = std::numeric_limits<int32_t>::min();

TEST(ShiftLeft, KeepsTheLow32BitsAndNeverOverflows) {
    struct Case {
        int32_t value, count, expected;
    };
    const Case cases[] = {
        {1, 31, MinLong},   {3, 31, MinLong},
        {-1, 1, -2},        {1 << 30, 1, MinLong},
        {MinLong, 1, 0},    {0x12345678, 4, 0x23456780},
        {0x40000001, 2, 4}, {5, 0, 5},
        {-5, 0, -5},        {5, 32, 0},
        {5, -1, 0},         {5, std::numeric_limits<int32_t>::max(), 0},
        {5, MinLong, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShiftLeft(c.value, c.count), c.expected) << c.value << " << " << c.count;
}

TEST(TextHash, MapsCharactersToTheWindows1252Page) {
    EXPECT_EQ(TextHash(u"abc"), 291);
    EXPECT_EQ(TextHash(u""), 0);
    EXPECT_EQ(TextHash(u"\u00e9"), 0xE9); // Latin-1 part of the page
    EXPECT_EQ(TextHash(u"\u20ac"), 0x80); // euro sign has its own byte there
    EXPECT_EQ(TextHash(u"\u0178"), 0x9F); // so has Y with diaeresis
    EXPECT_EQ(TextHash(u"\u0081"), 0x81); // an unassigned byte round-trips its C1 control
    // No byte on the page: counted as "?".
    EXPECT_EQ(TextHash(u"\u0100"), '?');
    EXPECT_EQ(TextHash(u"\u0080"), '?');
    EXPECT_EQ(TextHash(u"x\u4e2dy"), TextHash(u"x?y"));
    EXPECT_EQ(TextHash(u"\U0001F600"), TextHash(u"??"));
}

TEST(TextHash, OnlyTheLast32CharactersCount) {
    const std::u16string tail31(31, u'z');
    EXPECT_NE(TextHash(u"a" + tail31), TextHash(u"b" + tail31));
    const std::u16string tail32(32, u'z');
    EXPECT_EQ(TextHash(u"a" + tail32), TextHash(u"b" + tail32));
}

TEST(TextHash, OfATaggedValueHashesItsTextForm) {
    EXPECT_EQ(TextHash(Variant::Text(u"abc")), 291);
    EXPECT_EQ(TextHash(Variant::Long(443)), TextHash(u"443"));
    EXPECT_EQ(TextHash(Variant::Null()), 0);
}

TEST(LowerText, LowersAsciiAndLatin1LettersOnly) {
    EXPECT_EQ(LowerText(u"ABC xyz 19.2"), u"abc xyz 19.2");
    EXPECT_EQ(LowerText(u"\u00c0\u00c9\u00d6\u00d7\u00d8\u00de\u00df\u00ff"),
              u"\u00e0\u00e9\u00f6\u00d7\u00f8\u00fe\u00df\u00ff");
    EXPECT_EQ(LowerText(u"\u0178\u0100"), u"\u0178\u0100");
    for (const char16_t* text : {u"", u"Abc", u"\u00c9COLE", u"127.0.0.1", u"\u4e2d\u00de"})
        EXPECT_EQ(TextKey(text), TextHash(LowerText(text)));
}

TEST(SafeConversions, GiveTheNeutralValueOnFailure) {
    EXPECT_EQ(ToIntegerSafe(Variant::Long(32768)), 0);
    EXPECT_EQ(ToIntegerSafe(Variant::Long(255)), 255);
    EXPECT_EQ(ToIntegerSafe(Variant::Text(u"abc")), 0);
    EXPECT_EQ(ToIntegerSafe(Variant::Text(u" -32768 ")), -32768);
    EXPECT_EQ(ToIntegerSafe(Variant::Null()), 0);

    EXPECT_EQ(ToLongSafe(Variant::Long(65535)), 65535);
    EXPECT_EQ(ToLongSafe(Variant::Text(u"12.5")), 12);
    EXPECT_EQ(ToLongSafe(Variant::Text(u"13.5")), 14);
    EXPECT_EQ(ToLongSafe(Variant::Text(u"")), 0);
    EXPECT_EQ(ToLongSafe(Variant::Double(1e10)), 0);

    EXPECT_TRUE(ToBooleanSafe(Variant::Text(u"true")));
    EXPECT_TRUE(ToBooleanSafe(Variant::Long(5)));
    EXPECT_FALSE(ToBooleanSafe(Variant::Text(u"abc")));
    EXPECT_FALSE(ToBooleanSafe(Variant::Null()));
}

} // namespace
