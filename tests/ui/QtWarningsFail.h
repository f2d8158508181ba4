// Qt warnings are faults: a widget test that makes Qt warn fails. Only what the offscreen
// platform says of its own limits (it cannot raise windows or grab the keyboard) is expected.
#pragma once

#include <QString>
#include <QtGlobal>
#include <gtest/gtest.h>

inline void FailOnQtWarnings() {
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type == QtDebugMsg || type == QtInfoMsg ||
                text.startsWith(QLatin1String("This plugin does not support")))
                return;
            ADD_FAILURE() << "Qt warned: " << (context.category ? context.category : "") << ": "
                          << text.toStdString();
        });
}
