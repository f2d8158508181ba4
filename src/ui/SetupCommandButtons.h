// Sets up every Command button of a window, reaching them by name at run time.
#pragma once

class QWidget;

// For every Command of form, in the window's control order: call "Initialize" when DoInitialize,
// else write EnabledValue to "Enabled". A control that refuses is passed over.
void SetupCommandButtons(QWidget* form, bool DoInitialize, bool EnabledValue);
