// The typed list every list of the program is made of: items of one element type, chosen by one
// of five modes, kept in insertion order and addressed from index 0.
#pragma once

#include "support/Variant.h"

#include <cstdint>
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

    // Slots allocated in the current mode's array (UpperSlot + 1); for tests and diagnostics.
    int32_t GetSlotCount() const { return UpperSlot + 1; }

private:
    void InitList(int32_t Mode);

    std::vector<std::u16string> sItems;
    std::vector<int32_t> lItems; // mode 1 items; in mode 0 the key of each text item
    std::vector<double> dItems;
    std::vector<uint8_t> byItems;
    std::vector<int16_t> iItems;
    int32_t ListMode = 0;
    int32_t ItemCount = 0;
    int32_t UpperSlot = 0;
};
