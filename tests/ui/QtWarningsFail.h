// The widget tests' main: offscreen unless a platform is asked for, with a settings store and a
// runtime folder (private, as Qt and the instance lock want it) of this run only. Qt warnings are
// faults: a widget test that makes Qt warn fails. Only what the offscreen platform says of its own
// limits (it cannot raise windows or grab the keyboard) is expected.
#pragma once

#include <QApplication>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

inline int RunWidgetTests(int argc, char** argv) {
    QTemporaryDir home, runtime;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type == QtDebugMsg || type == QtInfoMsg ||
                text.startsWith(QLatin1String("This plugin does not support")))
                return;
            ADD_FAILURE() << "Qt warned: " << (context.category ? context.category : "") << ": "
                          << text.toStdString();
        });
    return RUN_ALL_TESTS();
}
