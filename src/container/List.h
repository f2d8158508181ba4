// The typed list every list of the program is made of: items of one element type, chosen by one
// of five modes, kept in insertion order and addressed from index 0.
//
// Values go in as tagged values and are converted to the element type on the way (see Variant.h
// for the conversions). Results: 0 or more is success or the index found; -2 not found, -3 index
// or count out of range, -4 empty operator, -5 operator not for a text list, -6 value not
// convertible. No operation throws or reports to the user.
//
// Text items (mode 0) carry a key in lItems, TextKey of the text (TextHash of it lower-cased);
// every operation that writes, shifts or drops a text item does the same to its key, which lets
// FindItem "=" compare integers first and text only where the keys agree.
//
// Guards beyond the bare algorithm: DeleteLastItems refuses a negative count with -3 (it would
// otherwise raise ItemCount past the slots written). AddItem with a value that cannot be
// converted still appends and returns 0, but the new item is 0 or empty text, never whatever a
// removed item left in that slot.
//
// FindItem "LIKE" finds the value at a 1-based position of SubStringStart or later. A
// SubStringStart below 1 matches no item (-2). An empty value is contained in every item of at
// least SubStringStart - 1 characters, that is wherever position SubStringStart still lies within
// or just past the item. Case-blind comparisons, "=" and "LIKE" alike, pair characters as
// LowerChar does (A..Z and the Latin-1 letters). A NaN in a double list never matches.
//
// Storage is taken in blocks (20,001 slots at initialisation, 20,000 more when all are in use)
// so that appends rarely allocate; an Init operation or Reset goes back to one block and releases
// the arrays of the other modes.
#pragma once

#include "support/Variant.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class List {
public:
    // Mode numbers as GetListMode returns them.
    static constexpr int32_t ListModeString = 0;
    static constexpr int32_t ListModeLong = 1;
    static constexpr int32_t ListModeDouble = 2;
    static constexpr int32_t ListModeByte = 3;
    static constexpr int32_t ListModeInteger = 4;

    // Result codes.
    static constexpr int32_t NotFound = -2;
    static constexpr int32_t OutOfRange = -3;
    static constexpr int32_t EmptyOperator = -4;
    static constexpr int32_t OperatorNotForText = -5;
    static constexpr int32_t NotConvertible = -6;

    // Storage: 20,001 slots after initialisation, 20,000 more at each growth.
    static constexpr int32_t InitialUpperSlot = 20000;
    static constexpr int32_t GrowthSlots = 20000;

    void InitStringList();
    void InitLongList();
    void InitDoubleList();
    void InitByteList();
    void InitIntegerList();
    int16_t GetListMode() const;
    int32_t AddItem(const Variant& v);
    int32_t DeleteLastItems(int32_t Count);
    void Reset();
    int32_t DeleteItem(int32_t index);
    int32_t FindItem(std::u16string_view Operator, const Variant& Value, bool CaseSensitive = true,
                     int32_t StartAtIndex = 0, bool SearchReversed = false,
                     int32_t SubStringStart = 1) const;
    int32_t GetItemCount() const;
    Variant GetItem(int32_t index) const;
    int32_t SetItem(int32_t index, const Variant& Value);
    Variant ExtractItem(int32_t index);
    Variant ExtractLastItem();

    // Text lists, for a caller that rewrites a whole list in place: whether item index is exactly
    // `text`, and the write of `text` as item index without a tagged value in between (a slot that
    // already holds as long a text is reused). SetText gives 0, -3 out of range or -5 when the
    // list is not a text list; TextEquals is false in those cases.
    bool TextEquals(int32_t index, std::u16string_view text) const;
    int32_t SetText(int32_t index, std::u16string_view text);
    // Item index of a text list without a copy, for a reader that only looks (a view drawing its
    // rows); empty out of range or when the list is not a text list. Valid until the list changes.
    std::u16string_view TextAt(int32_t index) const;
    // Text lists, for a caller that edits a long list in place: several items deleted (indexes
    // ascending) in one move of the others, and a text inserted before item index (the count:
    // appended). 0; -3 for an index out of range or not ascending, nothing changed; -5 when the
    // list is not a text list.
    int32_t DeleteTexts(std::span<const int32_t> ascending);
    int32_t InsertText(int32_t index, std::u16string_view text);

    // Slots allocated in the current mode's array (UpperSlot + 1); for tests and diagnostics.
    int32_t GetSlotCount() const { return UpperSlot + 1; }

private:
    void InitList(int32_t Mode);

    // Sizes the current mode's arrays to UpperSlot + 1 slots; a no-op once they are.
    void EnsureStorage();
    // Converts v and stores it at index; false, with the slot untouched, when v does not convert.
    bool WriteSlot(int32_t index, const Variant& v);
    // Puts 0 or empty text (with its key) at index.
    void ClearSlot(int32_t index);
    // The item at index as a tagged value of the mode's kind.
    Variant ReadSlot(int32_t index) const;
    // Shifts the items behind index down one place and drops the last; index must be valid.
    void RemoveSlot(int32_t index);

    std::vector<std::u16string> sItems;
    std::vector<int32_t> lItems; // mode 1 items; in mode 0 the key of each text item
    std::vector<double> dItems;
    std::vector<uint8_t> byItems;
    std::vector<int16_t> iItems;
    int32_t ListMode = 0;
    int32_t ItemCount = 0;
    int32_t UpperSlot = 0;
};
