// A main window stand-in that records what the Manager does to it.
#pragma once

#include "container/List.h"
#include "manager/MainForm.h"

#include <string>
#include <vector>

class FakeMainForm : public MainForm {
public:
    std::vector<std::u16string> rows;
    std::vector<bool> selected;
    std::u16string head = u"Choose...";
    bool deleteEnabled = true, itemEnabled = true, addEnabled = true;
    int32_t showX = 1;
    int clears = 0;

    void lstMainRefill(std::shared_ptr<const List> items) override {
        rows.clear();
        ++clears;
        for (int32_t i = 0; items && i < items->GetItemCount(); ++i) {
            std::u16string text;
            if (items->GetItem(i).ToText(text))
                rows.push_back(text);
        }
        selected.assign(rows.size(), false);
    }
    int32_t lstMainListCount() const override { return int32_t(rows.size()); }
    std::u16string lstMainList(int32_t row) const override { return rows.at(size_t(row)); }
    bool lstMainSelected(int32_t row) const override { return selected.at(size_t(row)); }
    void txtHeadSetText(const std::u16string& text) override { head = text; }
    void mnuDeleteSetEnabled(bool e) override { deleteEnabled = e; }
    void txtItemSetEnabled(bool e) override { itemEnabled = e; }
    void cmdAddSetEnabled(bool e) override { addEnabled = e; }
    int32_t chkShowXValue() const override { return showX; }
};
