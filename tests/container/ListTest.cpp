#include "container/List.h"

#include "support/basTools.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using Items = std::vector<std::u16string>;
constexpr int32_t NotFound = List::NotFound, OutOfRange = List::OutOfRange;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
Variant T(const char* text) {
    return Variant::Text(text);
}
Variant L(int32_t value) {
    return Variant::Long(value);
}

List Make(void (List::*init)(), std::initializer_list<Variant> items) {
    List list;
    (list.*init)();
    for (const Variant& item : items)
        list.AddItem(item);
    return list;
}

Items ItemsOf(const List& list) {
    Items items(size_t(list.GetItemCount()));
    for (int32_t i = 0; i < list.GetItemCount(); ++i)
        EXPECT_TRUE(list.GetItem(i).ToText(items[size_t(i)]));
    return items;
}

TEST(List, GrowsByBlocksAndKeepsEveryItem) {
    List texts = Make(&List::InitStringList, {});
    const auto textOf = [](int32_t i) { return u"Item" + ToU16(std::to_string(i)); };
    for (int32_t i = 0; i < 20002; ++i) {
        EXPECT_EQ(texts.GetSlotCount(), 20001);
        texts.AddItem(Variant::Text(textOf(i)));
    }
    EXPECT_EQ(texts.GetSlotCount(), 40001);
    for (int32_t i = 0; i < 20002; ++i)
        ASSERT_EQ(texts.GetItem(i).TextValue(), textOf(i)) << i;
    for (int32_t i : {0, 20000, 20001})
        EXPECT_EQ(texts.FindItem(u"=", Variant::Text(LowerText(textOf(i))), false), i);
    texts.Reset();
    EXPECT_EQ(texts.GetSlotCount(), 20001);
    EXPECT_TRUE(texts.GetItem(0).IsNull());
}

// Values are converted on the way in; one that cannot be still appends 0 or empty text, never
// what a removed item left in the slot.
TEST(List, AddConvertsAndNeverRevivesARemovedItem) {
    EXPECT_EQ(ItemsOf(Make(&List::InitByteList, {Variant::Double(254.5), L(300)})),
              (Items{u"254", u"0"}));
    List numbers = Make(&List::InitLongList, {T(" 1 "), L(2), L(3)});
    List texts = Make(&List::InitStringList, {T("a"), T("Gone")});
    EXPECT_EQ(numbers.DeleteLastItems(-1), OutOfRange);
    EXPECT_EQ(numbers.DeleteLastItems(4), OutOfRange);
    List all = Make(&List::InitLongList, {L(1), L(2)});
    EXPECT_EQ(all.DeleteLastItems(2), 0);
    EXPECT_EQ(all.GetItemCount(), 0);
    ASSERT_EQ(numbers.DeleteLastItems(1), 0);
    ASSERT_EQ(texts.DeleteLastItems(1), 0);
    EXPECT_EQ(numbers.AddItem(T("abc")), 0);
    EXPECT_EQ(texts.AddItem(Variant::Null()), 0);
    EXPECT_EQ(ItemsOf(numbers), (Items{u"1", u"2", u"0"}));
    numbers.Reset(); // empties, keeping the element type
    EXPECT_EQ(numbers.GetListMode(), List::ListModeLong);
    EXPECT_EQ(numbers.AddItem(Variant::Double(2.5)), 0);
    EXPECT_EQ(ItemsOf(numbers), Items{u"2"});
    EXPECT_EQ(texts.FindItem(u"=", T(""), false), 1); // text and key both cleared
}

TEST(List, IndexedOperationsRefuseBadIndexesAndValues) {
    List list = Make(&List::InitLongList, {L(1), L(2), L(3)});
    for (int32_t index : {-1, 3}) {
        EXPECT_EQ(list.SetItem(index, L(9)), OutOfRange);
        EXPECT_EQ(list.DeleteItem(index), OutOfRange);
        EXPECT_TRUE(list.ExtractItem(index).IsNull());
    }
    EXPECT_EQ(list.SetText(0, u"9"), List::OperatorNotForText);
    EXPECT_EQ(list.SetItem(0, T("abc")), List::NotConvertible);
    EXPECT_EQ(list.DeleteItem(0), 0);
    EXPECT_EQ(list.ExtractLastItem(), L(3));
    EXPECT_EQ(ItemsOf(list), Items{u"2"}); // nothing refused above changed the list
}

TEST(List, TextKeysFollowEveryWriteShiftAndDrop) {
    List list =
        Make(&List::InitStringList, {T("Alpha"), T("Beta"), T("Gamma"), T("Delta"), T("Eps")});
    ASSERT_EQ(list.SetItem(1, T("Omega")), 0);
    ASSERT_EQ(list.DeleteItem(0), 0);
    EXPECT_EQ(list.ExtractItem(1), T("Gamma"));
    list.AddItem(T("Zeta")); // into a slot an earlier item held
    ASSERT_EQ(list.SetText(2, u"Kappa"), 0);
    EXPECT_EQ(list.SetText(4, u"x"), OutOfRange);
    EXPECT_TRUE(list.TextEquals(2, u"Kappa") && !list.TextEquals(2, u"kappa"));
    const Items items = ItemsOf(list);
    EXPECT_EQ(items, (Items{u"Omega", u"Delta", u"Kappa", u"Zeta"}));
    // A key left behind hides its item from the case-blind "=", which compares keys first.
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(list.FindItem(u"=", Variant::Text(LowerText(items[i])), false), int32_t(i));
}

// One FindItem call and its result; then StartAtIndex, SubStringStart, CaseSensitive, reversed.
struct Search {
    const char16_t* op;
    Variant value;
    int32_t expected, start = 0, from = 1;
    bool caseSensitive = true, reversed = false;
};

void Expect(const List& list, std::initializer_list<Search> searches) {
    for (const Search& s : searches)
        EXPECT_EQ(list.FindItem(s.op, s.value, s.caseSensitive, s.start, s.reversed, s.from),
                  s.expected)
            << ToUtf8(s.op) << " search #" << (&s - searches.begin());
}

// Empty operator first, then an empty list, then the start index, then the value, and only then
// the operator.
TEST(FindItem, ResultCodesInTheirPrecedence) {
    Expect(Make(&List::InitLongList, {}), {{u"", Variant::Null(), List::EmptyOperator, -1},
                                           {u"=", Variant::Null(), NotFound, 99}});
    Expect(Make(&List::InitLongList, {L(5), L(7), L(5)}),
           {{u"=", Variant::Null(), OutOfRange, 3},
            {u"=", L(5), OutOfRange, -1},
            {u"LIKE", T("abc"), List::NotConvertible},
            {u"LIKE", L(5), NotFound},
            {u"<>", L(5), NotFound}});
    Expect(Make(&List::InitStringList, {T("a")}), {{u"=", T("a"), OutOfRange, 1},
                                                   {u"<", Variant::Null(), List::NotConvertible},
                                                   {u">=", T("a"), List::OperatorNotForText}});
}

TEST(FindItem, NumbersCompareByValueInBothDirections) {
    Expect(Make(&List::InitLongList, {L(5), L(7), L(5)}),
           {{u"=", L(5), 2, 0, 1, true, true},
            {u"=", L(7), 1, 1, 1, true, true}, // the reversed walk ends at StartAtIndex
            {u"<=", L(5), 0},
            {u">=", L(7), 1},
            {u"=", L(5), 2, 1},
            {u"=", L(7), NotFound, 2},
            {u"=", L(7), NotFound, 2, 1, true, true},
            {u">", L(5), 1},
            {u"=", T(" 7 "), 1},
            {u"<", Variant::Double(1e10), List::NotConvertible}});
    Expect(Make(&List::InitIntegerList, {Variant::Integer(-1), Variant::Integer(2)}),
           {{u"<", L(0), 0}});
    Expect(Make(&List::InitByteList, {Variant::Byte(255), Variant::Byte(1)}),
           {{u">", L(128), 0}, {u"<", L(300), List::NotConvertible}});
    Expect(Make(&List::InitDoubleList, {Variant::Double(NaN), Variant::Double(2.25)}),
           {{u">", L(1), 1}, {u"=", Variant::Double(NaN), NotFound}});
}

TEST(FindItem, TextEqualityAndLikeWithCaseAndPosition) {
    // "bd" and "ab" share a key: the text still decides.
    Expect(Make(&List::InitStringList, {T("bd"), T("ab"), T("\u00c9COLE")}),
           {{u"=", T("AB"), NotFound},
            {u"=", T("AB"), 1, 0, 1, false},
            {u"=", T("a"), NotFound, 0, 1, false},
            {u"=", T("\u00e9cole"), 2, 0, 1, false},
            {u"LIKE", T("b"), 1, 0, 1, true, true},
            {u"like", T("d"), 0}});
    Expect(Make(&List::InitStringList, {T("abcabc"), T("a*c")}),
           {{u"LIKE", T("ABC"), 0, 0, 4, false},
            {u"LIKE", T("ABC"), NotFound, 0, 4},
            {u"LIKE", T("abc"), NotFound, 0, 5},
            {u"LIKE", T("abc"), NotFound, 0, 0},
            {u"LIKE", T(""), 0, 0, 7},
            {u"LIKE", T(""), NotFound, 0, 8},
            {u"LIKE", T("*"), 1}});
}

} // namespace
