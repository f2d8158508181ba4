#include "ui/MessageBox.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

void KeepTitleWhole(QMessageBox& box) {
    // Qt sizes a box by its text and leaves 50 pixels beside the title's plain width, but a
    // window manager draws the title in bold between the window's icon and up to three buttons,
    // and cuts it short where that does not fit. A row as wide as all of that keeps it whole.
    QFont font = box.font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int titleBarItem = metrics.height() + metrics.averageCharWidth(); // icon or button
    const int width = metrics.horizontalAdvance(box.windowTitle()) + 4 * titleBarItem +
                      2 * metrics.averageCharWidth();
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
}
