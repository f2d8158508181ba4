// The list text form: whatever text a list is loaded from, saving it and loading that again gives
// the same items, in a text list and in a port list alike.
#include "manager/Manager.h"
#include "support/Variant.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Manager manager;
    const std::u16string text(reinterpret_cast<const char16_t*>(data), size / 2);
    for (List* list : {manager.oAllowedIP.get(), manager.oBlockedLocalPorts.get()}) {
        manager.LoadListFromString(*list, text);
        const std::u16string saved = manager.SaveListToString(*list);
        std::vector<Variant> items;
        for (int32_t i = 0; i < list->GetItemCount(); ++i)
            items.push_back(list->GetItem(i));
        manager.LoadListFromString(*list, saved);
        if (list->GetItemCount() != int32_t(items.size()))
            std::abort();
        for (int32_t i = 0; i < list->GetItemCount(); ++i)
            if (!(list->GetItem(i) == items[size_t(i)]))
                std::abort();
    }
    return 0;
}
