// The window framework services of basAPI.h over Qt Widgets, with the previous-instance test and
// the process end.

#include "engine/basAPI.h"
#include "engine/basProcessing.h"
#include "ui/MessageBox.h"
#include "ui/frmMain.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

namespace {

// The window lives until the process ends.
QPointer<frmMain> mainWindow;

// What the engine told before the window was there, for the window to show once it is.
struct {
    QStringList notices;
    std::optional<std::pair<bool, QString>> cutting;
    uint64_t cuts = 0;
} early;

// Held for the life of the process; its file names this process as the running instance. Never
// destroyed: EndProcess releases it, and a process that dies leaves a lock the next start takes
// over.
QLockFile* instanceLock = nullptr;

QString ToQ(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// What ends a wait for work early: news in the connection table. The window system's events need
// no watch of their own: Qt reads the display connection on a thread of its own and wakes the
// event dispatcher, which the wait runs.
class TableWatch {
public:
    QSocketNotifier* Notifier() {
        const intptr_t handle = api::TableWakeHandle();
        if (handle < 0) {
            notifier_.reset();
        } else if (!notifier_ || notifier_->socket() != qintptr(handle)) {
            notifier_ = std::make_unique<QSocketNotifier>(qintptr(handle), QSocketNotifier::Read);
            notifier_->setEnabled(false);
        }
        return notifier_.get();
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

TableWatch& Watch() {
    static TableWatch watch;
    return watch;
}

// While a message box waits for its answer, its own event loop runs the passes at the loop's
// pace: at once when the table has news, else when the loop would have run the next one.
class PassesWhileWaiting {
public:
    PassesWhileWaiting() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Pass(); });
        Arm();
    }
    ~PassesWhileWaiting() { Follow(nullptr); }

private:
    void Pass() {
        ScanFromPump();
        Arm();
    }
    // The table's handle may come (a box at start, before the first read) or change while the
    // box waits: the passes follow it, so that its news always ends the wait.
    void Arm() {
        Follow(Watch().Notifier());
        const uint32_t wait = WaitBeforeNextPass();
        if (wait == api::INFINITE)
            timer_.stop();
        else
            timer_.start(int(wait));
    }
    void Follow(QSocketNotifier* notifier) {
        if (notifier == notifier_.data())
            return;
        if (notifier_) { // one that went is disconnected already
            QObject::disconnect(connection_);
            notifier_->setEnabled(false);
        }
        notifier_ = notifier;
        if (notifier) {
            connection_ =
                QObject::connect(notifier, &QSocketNotifier::activated, [this] { Pass(); });
            notifier->setEnabled(true);
        }
    }

    QTimer timer_;
    QPointer<QSocketNotifier> notifier_;
    QMetaObject::Connection connection_;
};

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
        for (const QString& notice : std::exchange(early.notices, {}))
            mainWindow->ShowNotice(notice);
        if (early.cutting)
            mainWindow->ShowCuttingState(early.cutting->first, early.cutting->second);
        if (early.cuts)
            mainWindow->ShowCutCount(early.cuts);
    }
    return mainWindow.data();
}

void ShowMainForm() {
    if (mainWindow)
        mainWindow->show();
}

void WaitForWork(uint32_t dwMilliseconds) {
    // One wait of the event dispatcher on the window system, the table's notifier and, when the
    // loop has a deadline, a timer: a connection's first event ends it within microseconds, and
    // while nothing happens the program sleeps.
    static QTimer* timeout = [] {
        auto* timer = new QTimer();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        return timer;
    }();
    QSocketNotifier* table = Watch().Notifier();
    if (table)
        table->setEnabled(true);
    if (dwMilliseconds != INFINITE)
        timeout->start(int(dwMilliseconds));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    timeout->stop();
    if (table)
        table->setEnabled(false);
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
    KeepTitleWhole(box);
    PassesWhileWaiting passes;
    return box.exec() == QMessageBox::Ok ? vbOK : vbCancel;
}

void ShowNotice(const std::u16string& text) {
    // Also on stderr: without a display (offscreen) nobody sees the window.
    std::fprintf(stderr, "okgate: %s\n", ToQ(text).toLocal8Bit().constData());
    if (mainWindow)
        mainWindow->ShowNotice(ToQ(text));
    else
        early.notices << ToQ(text);
}

void ShowCuttingState(bool cutting, const std::u16string& reason) {
    if (mainWindow)
        mainWindow->ShowCuttingState(cutting, ToQ(reason));
    else
        early.cutting = {cutting, ToQ(reason)};
}

void ShowCutCount(uint64_t cuts) {
    if (mainWindow)
        mainWindow->ShowCutCount(cuts);
    else
        early.cuts = cuts;
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
