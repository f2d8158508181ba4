// The window framework services of basAPI.h over Qt Widgets, with the previous-instance test and
// the process end.

#include "engine/basAPI.h"
#include "ui/frmMain.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The window lives until the process ends.
QPointer<frmMain> mainWindow;

// Held for the life of the process; its file names this process as the running instance. Never
// destroyed: EndProcess releases it, and a process that dies leaves a lock the next start takes
// over.
QLockFile* instanceLock = nullptr;

QString ToQ(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

QString LockFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder;
}

} // namespace

namespace api {

MainForm* LoadMainForm() {
    if (!mainWindow) {
        mainWindow = new frmMain();
        mainWindow->Form_Load();
    }
    return mainWindow.data();
}

void ShowMainForm() {
    if (mainWindow)
        mainWindow->show();
}

void DoEvents() {
    QCoreApplication::processEvents();
    // Without exec() nothing else ever runs deleteLater().
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int32_t MsgBox(const std::u16string& prompt, int32_t buttons, const std::u16string& title) {
    QMessageBox box(mainWindow.data());
    box.setWindowTitle(ToQ(title));
    box.setText(ToQ(prompt));
    if (buttons == vbOKCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? vbOK : vbCancel;
}

void ShowNotice(const std::u16string& text) {
    // Also on stderr: without a display (offscreen) nobody sees the window's title.
    std::fprintf(stderr, "okgate: %s\n", ToQ(text).toLocal8Bit().constData());
    if (mainWindow)
        mainWindow->ShowNotice(ToQ(text));
}

void ShellExecuteOpen(const std::u16string& target) {
    const QString text = ToQ(target);
    if (text.contains(QStringLiteral("://"))) {
        QDesktopServices::openUrl(QUrl(text));
        return;
    }
    // A missing file is passed over quietly rather than handed to an opener that complains.
    if (QFileInfo::exists(text))
        QDesktopServices::openUrl(QUrl::fromLocalFile(text));
}

bool PreviousInstance() {
    if (instanceLock)
        return false;
    auto lock = std::make_unique<QLockFile>(LockFolder() + QStringLiteral("/okgate.lock"));
    // A lock left by a killed holder is taken over at once: QLockFile checks its process id.
    if (lock->tryLock(0)) {
        instanceLock = lock.release();
        return false;
    }
    // Only a live holder means an earlier instance; a folder that cannot hold the lock must
    // not keep the program from running.
    return lock->error() == QLockFile::LockFailedError;
}

void EndProcess(int32_t status) {
    if (instanceLock)
        instanceLock->unlock();
    std::fflush(nullptr);
    // At once: no event is handled any more and no global destructor runs with the
    // application object still alive.
    std::_Exit(status);
}

} // namespace api
