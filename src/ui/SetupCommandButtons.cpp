#include "ui/SetupCommandButtons.h"

#include <QMetaObject>
#include <QVariant>
#include <QWidget>

void SetupCommandButtons(QWidget* form, bool DoInitialize, bool EnabledValue) {
    if (!form)
        return;
    // findChildren lists the controls in the order they were created, which is the window's
    // control order.
    const auto controls = form->findChildren<QWidget*>();
    for (QWidget* control : controls) {
        if (!control->inherits("Command"))
            continue;
        if (DoInitialize)
            QMetaObject::invokeMethod(control, "Initialize", Qt::DirectConnection);
        else
            control->setProperty("Enabled", EnabledValue);
    }
}
