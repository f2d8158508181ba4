#include "container/List.h"

#include "support/basTools.h"

#include <algorithm>

namespace {

// Exactly n slots: a plain resize may over-allocate by up to the vector's size.
template <typename T> void SizeTo(std::vector<T>& items, size_t n) {
    if (items.size() == n)
        return;
    items.reserve(n);
    items.resize(n);
}

template <typename T> void Release(std::vector<T>& items) {
    std::vector<T>().swap(items);
}

// Moves the items behind index down one place over it; the vacated last slot is left as it is.
template <typename T> void ShiftDown(std::vector<T>& items, int32_t index, int32_t count) {
    std::move(items.begin() + index + 1, items.begin() + count, items.begin() + index);
}

} // namespace

void List::InitList(int32_t Mode) {
    ListMode = Mode;
    const size_t slots = static_cast<size_t>(InitialUpperSlot) + 1;
    // Fresh storage for the new mode; the other modes' arrays are no longer reachable, so their
    // memory goes back too.
    Release(sItems);
    Release(lItems);
    Release(dItems);
    Release(byItems);
    Release(iItems);
    switch (Mode) {
    case ListModeString:
        sItems.resize(slots);
        lItems.resize(slots);
        break;
    case ListModeLong:
        lItems.resize(slots);
        break;
    case ListModeDouble:
        dItems.resize(slots);
        break;
    case ListModeByte:
        byItems.resize(slots);
        break;
    case ListModeInteger:
        iItems.resize(slots);
        break;
    default:
        break;
    }
    ItemCount = 0;
    UpperSlot = InitialUpperSlot;
}

void List::InitStringList() {
    InitList(ListModeString);
}
void List::InitLongList() {
    InitList(ListModeLong);
}
void List::InitDoubleList() {
    InitList(ListModeDouble);
}
void List::InitByteList() {
    InitList(ListModeByte);
}
void List::InitIntegerList() {
    InitList(ListModeInteger);
}
void List::Reset() {
    InitList(ListMode);
}

int16_t List::GetListMode() const {
    return static_cast<int16_t>(ListMode);
}

int32_t List::GetItemCount() const {
    return ItemCount;
}

void List::EnsureStorage() {
    const size_t slots = static_cast<size_t>(UpperSlot) + 1;
    switch (ListMode) {
    case ListModeString:
        SizeTo(sItems, slots);
        SizeTo(lItems, slots);
        break;
    case ListModeLong:
        SizeTo(lItems, slots);
        break;
    case ListModeDouble:
        SizeTo(dItems, slots);
        break;
    case ListModeByte:
        SizeTo(byItems, slots);
        break;
    case ListModeInteger:
        SizeTo(iItems, slots);
        break;
    default:
        break;
    }
}

bool List::WriteSlot(int32_t index, const Variant& v) {
    switch (ListMode) {
    case ListModeString: {
        std::u16string text;
        if (!v.ToText(text))
            return false;
        lItems[index] = TextKey(text);
        sItems[index] = std::move(text);
        return true;
    }
    case ListModeLong:
        return v.ToLong(lItems[index]);
    case ListModeDouble:
        return v.ToDouble(dItems[index]);
    case ListModeByte:
        return v.ToByte(byItems[index]);
    case ListModeInteger:
        return v.ToInteger(iItems[index]);
    default:
        return false;
    }
}

void List::ClearSlot(int32_t index) {
    switch (ListMode) {
    case ListModeString:
        sItems[index].clear();
        lItems[index] = TextKey(u"");
        break;
    case ListModeLong:
        lItems[index] = 0;
        break;
    case ListModeDouble:
        dItems[index] = 0;
        break;
    case ListModeByte:
        byItems[index] = 0;
        break;
    case ListModeInteger:
        iItems[index] = 0;
        break;
    default:
        break;
    }
}

Variant List::ReadSlot(int32_t index) const {
    switch (ListMode) {
    case ListModeString:
        return Variant::Text(sItems[index]);
    case ListModeLong:
        return Variant::Long(lItems[index]);
    case ListModeDouble:
        return Variant::Double(dItems[index]);
    case ListModeByte:
        return Variant::Byte(byItems[index]);
    case ListModeInteger:
        return Variant::Integer(iItems[index]);
    default:
        return Variant::Null();
    }
}

void List::RemoveSlot(int32_t index) {
    switch (ListMode) {
    case ListModeString:
        ShiftDown(sItems, index, ItemCount);
        ShiftDown(lItems, index, ItemCount);
        // The vacated slot held a moved-from text: give it back its key's partner.
        ClearSlot(ItemCount - 1);
        break;
    case ListModeLong:
        ShiftDown(lItems, index, ItemCount);
        break;
    case ListModeDouble:
        ShiftDown(dItems, index, ItemCount);
        break;
    case ListModeByte:
        ShiftDown(byItems, index, ItemCount);
        break;
    case ListModeInteger:
        ShiftDown(iItems, index, ItemCount);
        break;
    default:
        break;
    }
    --ItemCount;
}

int32_t List::AddItem(const Variant& v) {
    if (ItemCount > UpperSlot)
        UpperSlot += GrowthSlots;
    // Also covers a list used before any Init operation, which has no storage yet.
    EnsureStorage();
    if (!WriteSlot(ItemCount, v))
        ClearSlot(ItemCount);
    ++ItemCount;
    return 0;
}

int32_t List::DeleteLastItems(int32_t Count) {
    if (Count < 0 || Count > ItemCount)
        return OutOfRange;
    ItemCount -= Count;
    return 0;
}

int32_t List::DeleteItem(int32_t index) {
    if (index < 0 || index >= ItemCount)
        return OutOfRange;
    RemoveSlot(index);
    return 0;
}

Variant List::GetItem(int32_t index) const {
    if (index < 0 || index >= ItemCount)
        return Variant::Null();
    return ReadSlot(index);
}

int32_t List::SetItem(int32_t index, const Variant& Value) {
    if (index < 0 || index >= ItemCount)
        return OutOfRange;
    return WriteSlot(index, Value) ? 0 : NotConvertible;
}

bool List::TextEquals(int32_t index, std::u16string_view text) const {
    return ListMode == ListModeString && index >= 0 && index < ItemCount &&
           sItems[size_t(index)] == text;
}

std::u16string_view List::TextAt(int32_t index) const {
    if (ListMode != ListModeString || index < 0 || index >= ItemCount)
        return {};
    return sItems[size_t(index)];
}

int32_t List::SetText(int32_t index, std::u16string_view text) {
    if (index < 0 || index >= ItemCount)
        return OutOfRange;
    if (ListMode != ListModeString)
        return OperatorNotForText;
    sItems[size_t(index)].assign(text);
    lItems[size_t(index)] = TextKey(text);
    return 0;
}

int32_t List::DeleteTexts(std::span<const int32_t> ascending) {
    if (ListMode != ListModeString)
        return OperatorNotForText;
    for (size_t k = 0; k < ascending.size(); ++k)
        if (ascending[k] < 0 || ascending[k] >= ItemCount ||
            (k > 0 && ascending[k] <= ascending[k - 1]))
            return OutOfRange;
    int32_t kept = ascending.empty() ? ItemCount : ascending[0];
    for (int32_t i = kept, next = 0; i < ItemCount; ++i) {
        if (size_t(next) < ascending.size() && ascending[size_t(next)] == i) {
            ++next;
            continue;
        }
        sItems[size_t(kept)] = std::move(sItems[size_t(i)]);
        lItems[size_t(kept)] = lItems[size_t(i)];
        ++kept;
    }
    for (int32_t i = kept; i < ItemCount; ++i)
        ClearSlot(i);
    ItemCount = kept;
    return 0;
}

int32_t List::InsertText(int32_t index, std::u16string_view text) {
    if (ListMode != ListModeString)
        return OperatorNotForText;
    if (index < 0 || index > ItemCount)
        return OutOfRange;
    AddItem(Variant::Text(std::u16string(text)));
    std::rotate(sItems.begin() + index, sItems.begin() + ItemCount - 1, sItems.begin() + ItemCount);
    std::rotate(lItems.begin() + index, lItems.begin() + ItemCount - 1, lItems.begin() + ItemCount);
    return 0;
}

Variant List::ExtractItem(int32_t index) {
    if (index < 0 || index >= ItemCount)
        return Variant::Null();
    Variant item = ReadSlot(index);
    RemoveSlot(index);
    return item;
}

Variant List::ExtractLastItem() {
    return ExtractItem(ItemCount - 1);
}
