// FindItem: the search of List. The connection filter calls it with "=" for every new
// connection, so the value is converted and its key computed once per call, and the walk itself
// allocates nothing.
#include "container/List.h"

#include "support/basTools.h"

#include <algorithm>

namespace {

enum class Relation { Equal, Less, Greater, LessOrEqual, GreaterOrEqual, Like, Unknown };

// The operator is matched without regard to letter case, with no blanks allowed around it.
Relation ParseRelation(std::u16string_view op) {
    // No operator is longer than "LIKE"; a longer text cannot match.
    if (op.size() > 4)
        return Relation::Unknown;
    char16_t upper[4] = {};
    for (size_t i = 0; i < op.size(); ++i)
        upper[i] = op[i] >= u'a' && op[i] <= u'z' ? op[i] - (u'a' - u'A') : op[i];
    const std::u16string_view u(upper, op.size());
    if (u == u"=")
        return Relation::Equal;
    if (u == u"<")
        return Relation::Less;
    if (u == u">")
        return Relation::Greater;
    if (u == u"<=")
        return Relation::LessOrEqual;
    if (u == u">=")
        return Relation::GreaterOrEqual;
    if (u == u"LIKE")
        return Relation::Like;
    return Relation::Unknown;
}

// The first index in the order of examination whose item passes; StartAtIndex is the lower end
// of the range in both directions.
template <typename Test>
int32_t FirstMatch(int32_t start, int32_t count, bool reversed, const Test& test) {
    if (reversed) {
        for (int32_t i = count - 1; i >= start; --i)
            if (test(i))
                return i;
    } else {
        for (int32_t i = start; i < count; ++i)
            if (test(i))
                return i;
    }
    return List::NotFound;
}

// Compares in the element type: signed for 16- and 32-bit, unsigned for bytes, IEEE for doubles.
template <typename T>
int32_t FindNumber(const std::vector<T>& items, T value, Relation relation, int32_t start,
                   int32_t count, bool reversed) {
    const auto walk = [&](auto passes) {
        return FirstMatch(start, count, reversed, [&](int32_t i) { return passes(items[i]); });
    };
    switch (relation) {
    case Relation::Equal:
        return walk([value](T item) { return item == value; });
    case Relation::Less:
        return walk([value](T item) { return item < value; });
    case Relation::Greater:
        return walk([value](T item) { return item > value; });
    case Relation::LessOrEqual:
        return walk([value](T item) { return item <= value; });
    case Relation::GreaterOrEqual:
        return walk([value](T item) { return item >= value; });
    case Relation::Like:
    case Relation::Unknown:
        break;
    }
    return List::NotFound;
}

bool SameLowered(char16_t a, char16_t b) {
    return LowerChar(a) == LowerChar(b);
}

bool EqualLowered(std::u16string_view a, std::u16string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameLowered);
}

// Whether value occurs in item starting at 0-based position from or later.
bool ContainsFrom(std::u16string_view item, std::u16string_view value, size_t from,
                  bool caseSensitive) {
    if (from > item.size())
        return false;
    if (caseSensitive)
        return item.find(value, from) != std::u16string_view::npos;
    const std::u16string_view tail = item.substr(from);
    // An empty value is found at once; std::search would report that as tail.end() when the
    // tail is empty.
    return value.empty() || std::search(tail.begin(), tail.end(), value.begin(), value.end(),
                                        SameLowered) != tail.end();
}

} // namespace

int32_t List::FindItem(std::u16string_view Operator, const Variant& Value, bool CaseSensitive,
                       int32_t StartAtIndex, bool SearchReversed, int32_t SubStringStart) const {
    // The order of these checks decides which result wins when several apply.
    if (Operator.empty())
        return EmptyOperator;
    if (ItemCount == 0)
        return NotFound;
    if (StartAtIndex < 0 || StartAtIndex > ItemCount - 1)
        return OutOfRange;

    const Relation relation = ParseRelation(Operator);
    const int32_t start = StartAtIndex;
    const int32_t count = ItemCount;
    const bool reversed = SearchReversed;

    switch (ListMode) {
    case ListModeString: {
        // A text value is searched in place; anything else is converted once.
        std::u16string converted;
        std::u16string_view text;
        if (Value.Kind() == VariantKind::Text) {
            text = Value.TextValue();
        } else {
            if (!Value.ToText(converted))
                return NotConvertible;
            text = converted;
        }
        if (relation == Relation::Equal) {
            const int32_t key = TextKey(text);
            if (CaseSensitive)
                return FirstMatch(start, count, reversed, [&](int32_t i) {
                    return lItems[i] == key && std::u16string_view(sItems[i]) == text;
                });
            return FirstMatch(start, count, reversed, [&](int32_t i) {
                return lItems[i] == key && EqualLowered(sItems[i], text);
            });
        }
        if (relation == Relation::Like) {
            if (SubStringStart < 1)
                return NotFound;
            const size_t from = static_cast<size_t>(SubStringStart) - 1;
            return FirstMatch(start, count, reversed, [&](int32_t i) {
                return ContainsFrom(sItems[i], text, from, CaseSensitive);
            });
        }
        return OperatorNotForText;
    }
    case ListModeLong: {
        int32_t value = 0;
        if (!Value.ToLong(value))
            return NotConvertible;
        return FindNumber(lItems, value, relation, start, count, reversed);
    }
    case ListModeDouble: {
        double value = 0;
        if (!Value.ToDouble(value))
            return NotConvertible;
        return FindNumber(dItems, value, relation, start, count, reversed);
    }
    case ListModeByte: {
        uint8_t value = 0;
        if (!Value.ToByte(value))
            return NotConvertible;
        return FindNumber(byItems, value, relation, start, count, reversed);
    }
    case ListModeInteger: {
        int16_t value = 0;
        if (!Value.ToInteger(value))
            return NotConvertible;
        return FindNumber(iItems, value, relation, start, count, reversed);
    }
    default:
        return NotFound;
    }
}
