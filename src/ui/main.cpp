// The program's entry: the application object, a clean close on a termination request, then
// Main, which returns only when an earlier instance runs.

#include "engine/basMain.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP (logging off, shutting down, a service manager) close the window
// as its close box would, so the lists are saved and the loop ends normally. The handler only
// writes to a pipe; the close runs in the next event pump.
void CloseOnTerminate(QApplication& app) {
    if (::pipe(signalPipe) != 0)
        return;
    for (int fd : signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        [[maybe_unused]] auto got = ::read(signalPipe[0], buffer, sizeof buffer);
        bool closed = false;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* form = qobject_cast<frmMain*>(widget))
                closed = form->close();
        // Before the window exists (a box at start waits): the program ends after that box,
        // without a window to close; no list has changed yet, so none is to be saved.
        if (!closed) {
            ExitRequested = true;
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                box->reject();
        }
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
#endif

QtMessageHandler qtHandler = nullptr;

// Offscreen, with no window system, Qt says what that platform cannot do (raise a window, size a
// box to its hints) whenever a box shows: that is no fault of the program's, and not told.
void QuietOffscreenLimits() {
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        return;
    qtHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (!text.startsWith(QLatin1String("This plugin does not support")))
                qtHandler(type, context, text);
        });
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QuietOffscreenLimits();
    QCoreApplication::setOrganizationName(QString::fromUtf16(SettingsApp));
    QCoreApplication::setApplicationName(QString::fromUtf16(SettingsApp));
    QGuiApplication::setDesktopFileName(QStringLiteral("okgate"));
    // The window's close ends the polling loop, not an event loop.
    QApplication::setQuitOnLastWindowClosed(false);
#ifdef Q_OS_UNIX
    CloseOnTerminate(app);
#endif
    Main();
    return 0;
}
