#include "container/List.h"

#include "support/basTools.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::u16string TextOf(const Variant& v) {
    EXPECT_EQ(v.Kind(), VariantKind::Text);
    return v.TextValue();
}

List TextList(std::initializer_list<const char16_t*> items) {
    List list;
    list.InitStringList();
    for (const char16_t* item : items)
        list.AddItem(Variant::Text(std::u16string(item)));
    return list;
}

List LongList(std::initializer_list<int32_t> items) {
    List list;
    list.InitLongList();
    for (int32_t item : items)
        list.AddItem(Variant::Long(item));
    return list;
}

std::vector<int32_t> LongItems(const List& list) {
    std::vector<int32_t> items;
    for (int32_t i = 0; i < list.GetItemCount(); ++i)
        items.push_back(list.GetItem(i).LongValue());
    return items;
}

// Every item of a text list of distinct texts must be found at its own index by a case-blind
// "=" (which compares keys first) and by a case-sensitive one: a key left behind by a write,
// shift or drop would hide the item.
void ExpectKeysInStep(const List& list) {
    for (int32_t i = 0; i < list.GetItemCount(); ++i) {
        const std::u16string text = TextOf(list.GetItem(i));
        std::u16string upper = text;
        for (char16_t& c : upper)
            c = c >= u'a' && c <= u'z' ? c - 32 : c;
        EXPECT_EQ(list.FindItem(u"=", Variant::Text(upper), false), i) << ToUtf8(text);
        EXPECT_EQ(list.FindItem(u"=", Variant::Text(text), true), i) << ToUtf8(text);
    }
}

TEST(List, FreshLongList) {
    List list;
    list.InitLongList();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetListMode(), List::ListModeLong);
    EXPECT_EQ(list.GetSlotCount(), 20001);
    EXPECT_TRUE(list.GetItem(0).IsNull());
    EXPECT_EQ(list.DeleteItem(0), List::OutOfRange);
    EXPECT_EQ(list.DeleteLastItems(0), 0);
    EXPECT_EQ(list.DeleteLastItems(1), List::OutOfRange);
    EXPECT_TRUE(list.ExtractLastItem().IsNull());
    EXPECT_EQ(list.SetItem(0, Variant::Long(1)), List::OutOfRange);
}

TEST(List, GrowsByBlocksAndKeepsEveryItem) {
    List numbers;
    numbers.InitLongList();
    List texts;
    texts.InitStringList();
    const auto textOf = [](int32_t i) { return u"Item" + ToU16(std::to_string(i)); };
    for (int32_t i = 0; i < 20001; ++i) {
        numbers.AddItem(Variant::Long(i * 3));
        texts.AddItem(Variant::Text(textOf(i)));
    }
    EXPECT_EQ(numbers.GetSlotCount(), 20001);
    EXPECT_EQ(texts.GetSlotCount(), 20001);
    numbers.AddItem(Variant::Long(20001 * 3));
    texts.AddItem(Variant::Text(textOf(20001)));
    EXPECT_EQ(numbers.GetSlotCount(), 40001);
    EXPECT_EQ(texts.GetSlotCount(), 40001);
    ASSERT_EQ(numbers.GetItemCount(), 20002);
    ASSERT_EQ(texts.GetItemCount(), 20002);
    for (int32_t i = 0; i < 20002; ++i) {
        ASSERT_EQ(numbers.GetItem(i).LongValue(), i * 3) << i;
        ASSERT_EQ(texts.GetItem(i).TextValue(), textOf(i)) << i;
    }
    // Keys grew with the texts: items on both sides of the block boundary are found.
    for (int32_t i : {0, 20000, 20001})
        EXPECT_EQ(texts.FindItem(u"=", Variant::Text(LowerText(textOf(i))), false), i);

    // Removals never shrink the storage; Reset goes back to one block and keeps the mode.
    EXPECT_EQ(numbers.DeleteLastItems(20002), 0);
    EXPECT_EQ(numbers.GetSlotCount(), 40001);
    texts.Reset();
    EXPECT_EQ(texts.GetItemCount(), 0);
    EXPECT_EQ(texts.GetSlotCount(), 20001);
    EXPECT_EQ(texts.GetListMode(), List::ListModeString);
    EXPECT_TRUE(texts.GetItem(0).IsNull());
}

TEST(List, InitOfAnotherModeEmptiesTheList) {
    List list = TextList({u"a", u"b"});
    list.InitLongList();
    EXPECT_EQ(list.GetListMode(), List::ListModeLong);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_TRUE(list.GetItem(0).IsNull());
    list.AddItem(Variant::Long(5));
    EXPECT_EQ(LongItems(list), std::vector<int32_t>{5});
}

TEST(List, ValuesAreConvertedToTheElementType) {
    struct Case {
        void (List::*init)();
        Variant in;
        VariantKind kind;
        Variant expected;
    };
    const Case cases[] = {
        {&List::InitStringList, Variant::Long(80), VariantKind::Text, Variant::Text(u"80")},
        {&List::InitLongList, Variant::Text(u"443"), VariantKind::Long, Variant::Long(443)},
        {&List::InitDoubleList, Variant::Text(u"2.5"), VariantKind::Double, Variant::Double(2.5)},
        {&List::InitByteList, Variant::Double(254.5), VariantKind::Byte, Variant::Byte(254)},
        {&List::InitIntegerList, Variant::Text(u"-7"), VariantKind::Integer, Variant::Integer(-7)},
        // Not convertible: still appended, as 0 or empty text, and AddItem still gives 0.
        {&List::InitLongList, Variant::Text(u"abc"), VariantKind::Long, Variant::Long(0)},
        {&List::InitByteList, Variant::Long(300), VariantKind::Byte, Variant::Byte(0)},
        {&List::InitStringList, Variant::Null(), VariantKind::Text, Variant::Text(u"")},
    };
    for (const Case& c : cases) {
        List list;
        (list.*c.init)();
        EXPECT_EQ(list.AddItem(c.in), 0);
        ASSERT_EQ(list.GetItemCount(), 1);
        EXPECT_EQ(list.GetItem(0).Kind(), c.kind);
        EXPECT_EQ(list.GetItem(0), c.expected);
    }
}

TEST(List, UnconvertibleAppendNeverRevivesARemovedItem) {
    List numbers = LongList({1, 2, 3});
    ASSERT_EQ(numbers.DeleteLastItems(1), 0);
    numbers.AddItem(Variant::Text(u"abc"));
    EXPECT_EQ(LongItems(numbers), (std::vector<int32_t>{1, 2, 0}));

    List texts = TextList({u"a", u"b", u"Gone"});
    ASSERT_EQ(texts.DeleteLastItems(1), 0);
    texts.AddItem(Variant::Null());
    EXPECT_EQ(TextOf(texts.GetItem(2)), u"");
    EXPECT_EQ(texts.FindItem(u"=", Variant::Text(u"gone"), false), List::NotFound);
    EXPECT_EQ(texts.FindItem(u"=", Variant::Text(u""), false), 2);
}

TEST(List, DeleteLastItemsRefusesCountsOutOfRange) {
    List list = LongList({1, 2, 3});
    EXPECT_EQ(list.DeleteLastItems(-1), List::OutOfRange);
    EXPECT_EQ(list.DeleteLastItems(4), List::OutOfRange);
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.DeleteLastItems(2), 0);
    EXPECT_EQ(LongItems(list), std::vector<int32_t>{1});
    EXPECT_EQ(list.DeleteLastItems(1), 0);
    EXPECT_EQ(list.GetItemCount(), 0);
}

TEST(List, DeleteItemShiftsTheRestDown) {
    List list = TextList({u"A", u"B", u"C"});
    EXPECT_EQ(list.DeleteItem(0), 0);
    ASSERT_EQ(list.GetItemCount(), 2);
    EXPECT_EQ(TextOf(list.GetItem(0)), u"B");
    EXPECT_EQ(TextOf(list.GetItem(1)), u"C");
    EXPECT_TRUE(list.GetItem(2).IsNull());
    EXPECT_EQ(list.DeleteItem(2), List::OutOfRange);
    EXPECT_EQ(list.DeleteItem(-1), List::OutOfRange);
    EXPECT_EQ(list.GetItemCount(), 2);
}

TEST(List, SetItem) {
    List list = LongList({1, 2, 3});
    EXPECT_EQ(list.SetItem(0, Variant::Text(u"abc")), List::NotConvertible);
    EXPECT_EQ(list.SetItem(5, Variant::Long(9)), List::OutOfRange);
    EXPECT_EQ(list.SetItem(-1, Variant::Long(9)), List::OutOfRange);
    EXPECT_EQ(list.SetItem(3, Variant::Long(9)), List::OutOfRange);
    EXPECT_EQ(LongItems(list), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(list.SetItem(2, Variant::Text(u" 30 ")), 0);
    EXPECT_EQ(LongItems(list), (std::vector<int32_t>{1, 2, 30}));

    List texts = TextList({u"x"});
    EXPECT_EQ(texts.SetItem(0, Variant::Null()), List::NotConvertible);
    EXPECT_EQ(TextOf(texts.GetItem(0)), u"x");
}

TEST(List, ExtractTakesTheItemOut) {
    List list = LongList({1, 2, 3});
    EXPECT_EQ(list.ExtractLastItem(), Variant::Long(3));
    EXPECT_EQ(LongItems(list), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(list.ExtractItem(0), Variant::Long(1));
    EXPECT_EQ(LongItems(list), std::vector<int32_t>{2});
    EXPECT_TRUE(list.ExtractItem(1).IsNull());
    EXPECT_TRUE(list.ExtractItem(-1).IsNull());
    EXPECT_EQ(LongItems(list), std::vector<int32_t>{2});
    EXPECT_EQ(list.ExtractLastItem(), Variant::Long(2));
    EXPECT_TRUE(list.ExtractLastItem().IsNull());
}

TEST(List, TextKeysFollowEveryWriteShiftAndDrop) {
    List list = TextList({u"Alpha", u"Beta", u"Gamma", u"Delta", u"Epsilon"});
    ExpectKeysInStep(list);

    ASSERT_EQ(list.SetItem(1, Variant::Text(u"Omega")), 0);
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"oMEGA"), false), 1);
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"beta"), false), List::NotFound);
    ExpectKeysInStep(list);

    ASSERT_EQ(list.DeleteItem(0), 0); // Omega Gamma Delta Epsilon
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"GAMMA"), false), 1);
    ExpectKeysInStep(list);

    EXPECT_EQ(list.ExtractItem(1), Variant::Text(u"Gamma")); // Omega Delta Epsilon
    ExpectKeysInStep(list);
    EXPECT_EQ(list.ExtractLastItem(), Variant::Text(u"Epsilon")); // Omega Delta
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"epsilon"), false), List::NotFound);

    // Appends into slots that earlier items held.
    list.AddItem(Variant::Text(u"Zeta"));
    list.AddItem(Variant::Long(80));
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"ZETA"), false), 2);
    ExpectKeysInStep(list);

    // An in-place rewrite keeps the key of the new text.
    ASSERT_EQ(list.SetText(0, u"Kappa"), 0);
    EXPECT_TRUE(list.TextEquals(0, u"Kappa"));
    EXPECT_FALSE(list.TextEquals(0, u"kappa"));
    EXPECT_EQ(list.FindItem(u"=", Variant::Text(u"omega"), false), List::NotFound);
    ExpectKeysInStep(list);
}

TEST(List, InPlaceTextWritesOnlyOnTextListsAndWithinRange) {
    List text = TextList({u"a"});
    EXPECT_EQ(text.SetText(1, u"b"), List::OutOfRange);
    EXPECT_EQ(text.SetText(-1, u"b"), List::OutOfRange);
    EXPECT_FALSE(text.TextEquals(1, u""));
    List numbers = LongList({7});
    EXPECT_EQ(numbers.SetText(0, u"8"), List::OperatorNotForText);
    EXPECT_FALSE(numbers.TextEquals(0, u"7"));
    EXPECT_EQ(LongItems(numbers), std::vector<int32_t>{7});
}

} // namespace
