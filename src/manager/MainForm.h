// What the Manager needs of the main window: the rows of lstMain, the text of txtHead, the
// enabled state of mnuDelete, txtItem and cmdAdd, and the value of chkShowX. frmMain implements
// it; tests fake it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class List;

class MainForm {
public:
    virtual ~MainForm() = default;

    // A refill of lstMain: from now on it shows the items of `items` (null: none) in list order, a
    // 32-bit integer item as its decimal digits, no row selected. The window keeps the list and
    // reads the rows it draws from it; it may put a refill made by a pass on screen a little later
    // (at most about 30 times a second) and skip it while it is hidden, but shows the latest one
    // at once after a user action and when it is shown again.
    virtual void lstMainRefill(std::shared_ptr<const List> items) = 0;
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
