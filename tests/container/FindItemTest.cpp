#include "container/List.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr int32_t NotFound = List::NotFound;

List Make(void (List::*init)(), std::initializer_list<Variant> items) {
    List list;
    (list.*init)();
    for (const Variant& item : items)
        list.AddItem(item);
    return list;
}

List Texts(std::initializer_list<const char16_t*> items) {
    List list;
    list.InitStringList();
    for (const char16_t* item : items)
        list.AddItem(Variant::Text(std::u16string(item)));
    return list;
}

List Longs(std::initializer_list<int32_t> items) {
    List list;
    list.InitLongList();
    for (int32_t item : items)
        list.AddItem(Variant::Long(item));
    return list;
}

struct Search {
    const char16_t* op;
    Variant value;
    int32_t expected;
    bool caseSensitive = true;
    int32_t start = 0;
    bool reversed = false;
    int32_t subStringStart = 1;
};

void ExpectSearches(const List& list, std::initializer_list<Search> searches) {
    for (const Search& s : searches) {
        std::u16string value;
        s.value.ToText(value);
        EXPECT_EQ(
            list.FindItem(s.op, s.value, s.caseSensitive, s.start, s.reversed, s.subStringStart),
            s.expected)
            << ToUtf8(s.op) << " " << ToUtf8(value) << " case " << s.caseSensitive << " start "
            << s.start << " reversed " << s.reversed << " from " << s.subStringStart;
    }
}

TEST(FindItem, ResultCodesInTheirPrecedence) {
    const List empty = Longs({});
    const List numbers = Longs({5, 7, 5});
    const List texts = Texts({u"a", u"b", u"c"});
    // Empty operator first, then an empty list, then the start index, then the value, and only
    // then the operator.
    ExpectSearches(empty, {
                              {u"", Variant::Null(), List::EmptyOperator, true, -1},
                              {u"=", Variant::Null(), NotFound, true, 99},
                              {u"<", Variant::Text(u"abc"), NotFound},
                          });
    ExpectSearches(numbers, {
                                {u"", Variant::Long(5), List::EmptyOperator, true, 3},
                                {u"=", Variant::Null(), List::OutOfRange, true, 3},
                                {u"=", Variant::Long(5), List::OutOfRange, true, -1},
                                {u"LIKE", Variant::Text(u"abc"), List::NotConvertible},
                                {u"LIKE", Variant::Long(5), NotFound},
                                {u"<>", Variant::Long(5), NotFound},
                                {u" = ", Variant::Long(5), NotFound},
                            });
    ExpectSearches(texts, {
                              {u"", Variant::Null(), List::EmptyOperator},
                              {u"=", Variant::Text(u"a"), List::OutOfRange, true, 3},
                              {u"<", Variant::Null(), List::NotConvertible},
                              {u"<", Variant::Text(u"z"), List::OperatorNotForText},
                              {u">=", Variant::Text(u"a"), List::OperatorNotForText},
                              {u"<>", Variant::Text(u"z"), List::OperatorNotForText},
                              {u"BETWEEN", Variant::Text(u"a"), List::OperatorNotForText},
                              {u" =", Variant::Text(u"a"), List::OperatorNotForText},
                          });
}

TEST(FindItem, DirectionAndStartIndex) {
    ExpectSearches(Longs({5, 7, 5}), {
                                         {u"=", Variant::Long(5), 0},
                                         {u"=", Variant::Long(5), 2, true, 0, true},
                                         {u"=", Variant::Long(5), 2, true, 1},
                                         {u"=", Variant::Long(5), 2, true, 1, true},
                                         {u"=", Variant::Long(7), NotFound, true, 2},
                                         {u"=", Variant::Long(7), NotFound, true, 2, true},
                                         {u"=", Variant::Long(7), 1, true, 0, true},
                                         {u"=", Variant::Long(7), 1, true, 1, true},
                                     });
}

TEST(FindItem, NumericOrderOperators) {
    ExpectSearches(Longs({5, 7, 5}), {
                                         {u"<", Variant::Long(6), 0},
                                         {u">", Variant::Long(5), 1},
                                         {u">=", Variant::Long(7), 1},
                                         {u"<=", Variant::Long(4), NotFound},
                                         {u"<=", Variant::Long(5), 2, true, 0, true},
                                         {u">", Variant::Long(5), NotFound, true, 2},
                                         {u"like", Variant::Long(5), NotFound},
                                         {u"Like", Variant::Long(5), NotFound},
                                     });
}

TEST(FindItem, ValueIsConvertedToTheElementType) {
    ExpectSearches(Longs({2, 4, 7}), {
                                         {u"=", Variant::Text(u"7"), 2},
                                         {u"=", Variant::Double(2.5), 0},
                                         {u"=", Variant::Double(3.5), 1},
                                         {u"=", Variant::Text(u" 4.5 "), 1},
                                         {u"=", Variant::Text(u"abc"), List::NotConvertible},
                                         {u"<", Variant::Double(1e10), List::NotConvertible},
                                         {u"<", Variant{}, NotFound},
                                     });
    // 300 cannot be a byte, although every item is smaller.
    ExpectSearches(Make(&List::InitByteList, {Variant::Byte(1), Variant::Byte(2)}),
                   {{u"<", Variant::Long(300), List::NotConvertible},
                    {u"<", Variant::Long(-1), List::NotConvertible}});
}

TEST(FindItem, SignedAndUnsignedComparisons) {
    ExpectSearches(Make(&List::InitIntegerList, {Variant::Integer(-1), Variant::Integer(2)}),
                   {{u"<", Variant::Long(0), 0}, {u">", Variant::Long(-2), 0}});
    ExpectSearches(Make(&List::InitByteList, {Variant::Byte(255), Variant::Byte(1)}),
                   {{u">", Variant::Long(128), 0}, {u"<", Variant::Long(128), 1}});
    ExpectSearches(
        Longs({std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}),
        {{u"<", Variant::Long(0), 1}, {u">", Variant::Long(-1), 0}});
    ExpectSearches(
        Make(&List::InitDoubleList, {Variant::Double(0.5), Variant::Double(2.25),
                                     Variant::Double(std::numeric_limits<double>::quiet_NaN())}),
        {{u">", Variant::Long(1), 1},
         {u"=", Variant::Text(u"2.25"), 1},
         {u"<", Variant::Double(-1), NotFound},
         {u"=", Variant::Double(std::numeric_limits<double>::quiet_NaN()), NotFound}});
}

TEST(FindItem, TextEqualityAndCase) {
    ExpectSearches(Texts({u"127.0.0.1"}), {
                                              {u"=", Variant::Text(u"127.0.0.1"), 0},
                                              {u"=", Variant::Long(127), NotFound},
                                              {u"LIKE", Variant::Long(127), 0},
                                          });
    ExpectSearches(Texts({u"x", u"Abc"}), {
                                              {u"=", Variant::Text(u"abc"), NotFound, true},
                                              {u"=", Variant::Text(u"abc"), 1, false},
                                              {u"=", Variant::Text(u"Abc"), 1, true},
                                              {u"=", Variant::Text(u"ab"), NotFound, false},
                                              {u"LIKE", Variant::Text(u"BC"), NotFound, true},
                                              {u"LIKE", Variant::Text(u"BC"), 1, false},
                                          });
    ExpectSearches(Texts({u"\u00c9COLE"}), {
                                               {u"=", Variant::Text(u"\u00e9cole"), 0, false},
                                               {u"=", Variant::Text(u"\u00e9cole"), NotFound},
                                               {u"like", Variant::Text(u"\u00e9c"), 0, false},
                                           });
    // "bd" and "ab" share a key: the text still decides.
    ExpectSearches(Texts({u"bd", u"ab"}), {
                                              {u"=", Variant::Text(u"ab"), 1},
                                              {u"=", Variant::Text(u"AB"), 1, false},
                                          });
}

TEST(FindItem, LikeFromAPosition) {
    ExpectSearches(Texts({u"abcabc"}),
                   {
                       {u"LIKE", Variant::Text(u"abc"), 0, true, 0, false, 1},
                       {u"LIKE", Variant::Text(u"abc"), 0, true, 0, false, 4},
                       {u"LIKE", Variant::Text(u"abc"), NotFound, true, 0, false, 5},
                       {u"LIKE", Variant::Text(u"ABC"), 0, false, 0, false, 4},
                       {u"LIKE", Variant::Text(u"ABC"), NotFound, false, 0, false, 5},
                       {u"LIKE", Variant::Text(u"c"), 0, true, 0, false, 6},
                       {u"LIKE", Variant::Text(u"abc"), NotFound, true, 0, false, 7},
                       {u"LIKE", Variant::Text(u"abc"), NotFound, true, 0, false,
                        std::numeric_limits<int32_t>::max()},
                       // Below 1 is no valid position.
                       {u"LIKE", Variant::Text(u"abc"), NotFound, true, 0, false, 0},
                       {u"LIKE", Variant::Text(u"abc"), NotFound, false, 0, false, -3},
                   });
    ExpectSearches(Texts({u"xa", u"ya", u"za"}),
                   {
                       {u"LIKE", Variant::Text(u"a"), 2, true, 1, true},
                       {u"LIKE", Variant::Text(u"y"), 1, true, 1},
                       {u"LIKE", Variant::Text(u"x"), NotFound, true, 1},
                   });
}

TEST(FindItem, LikeWithAnEmptyValueNeedsThePositionToExist) {
    for (bool caseSensitive : {true, false}) {
        ExpectSearches(Texts({u"abc", u""}),
                       {
                           {u"LIKE", Variant::Text(u""), 0, caseSensitive, 0, false, 1},
                           {u"LIKE", Variant::Text(u""), 0, caseSensitive, 0, false, 4},
                           {u"LIKE", Variant::Text(u""), NotFound, caseSensitive, 0, false, 5},
                           {u"LIKE", Variant{}, 1, caseSensitive, 1, false, 1},
                           {u"LIKE", Variant::Text(u""), NotFound, caseSensitive, 1, false, 2},
                       });
    }
}

TEST(FindItem, LikeHasNoWildcards) {
    ExpectSearches(Texts({u"a*c"}), {{u"LIKE", Variant::Text(u"a*c"), 0}});
    ExpectSearches(Texts({u"abc"}), {
                                        {u"LIKE", Variant::Text(u"a*c"), NotFound},
                                        {u"LIKE", Variant::Text(u"a?c"), NotFound},
                                        {u"LIKE", Variant::Text(u"a#c"), NotFound, false},
                                        {u"LIKE", Variant::Text(u"[a-c]"), NotFound},
                                    });
}

} // namespace
