// What the Manager needs of the main window: the rows of lstMain, the text of txtHead, the
// enabled state of mnuDelete, txtItem and cmdAdd, and the value of chkShowX. frmMain implements
// it; tests fake it.
#pragma once

#include <cstdint>
#include <string>

class MainForm {
public:
    virtual ~MainForm() = default;

    // A refill of lstMain: lstMainClear, lstMainAddItem for every row, then lstMainRefilled. In
    // between a window may reuse the rows it shows (and so keep its scroll position), as long as
    // it then holds exactly the rows added, none selected.
    virtual void lstMainClear() = 0;
    virtual void lstMainAddItem(const std::u16string& text) = 0;
    virtual void lstMainRefilled() {}
    virtual int32_t lstMainListCount() const = 0;
    virtual std::u16string lstMainList(int32_t row) const = 0;
    virtual bool lstMainSelected(int32_t row) const = 0;

    virtual void txtHeadSetText(const std::u16string& text) = 0;

    virtual void mnuDeleteSetEnabled(bool enabled) = 0;
    virtual void txtItemSetEnabled(bool enabled) = 0;
    virtual void cmdAddSetEnabled(bool enabled) = 0;

    // chkShowX: 0 cleared, 1 ticked, 2 grayed.
    virtual int32_t chkShowXValue() const = 0;
};
