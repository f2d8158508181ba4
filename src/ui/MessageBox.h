// The program's message boxes: the questions and reports of MsgBox, and the notices shown where
// there is no tray.
#pragma once

class QMessageBox;

// Widens the box to at least its title as a window manager draws it. Called last before the box
// is shown: setting its icon or its informative text lays it out anew.
void KeepTitleWhole(QMessageBox& box);
