// The main window offscreen, over the scripted connection table and a temporary settings store.
#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"
#include "ui/Command.h"
#include "ui/SetupCommandButtons.h"
#include "ui/frmMain.h"

#include "ui/QtWarningsFail.h"
#include <QTest>
#include <QtWidgets>

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

namespace {

using S = QSettings;
const QString kApp = u"OrvoKestrelgate"_qs;
QString Stored(const QString& key) {
    return S(S::IniFormat, S::UserScope, kApp, kApp).value(key).toString();
}

struct TrayedForm : frmMain { // as on a desktop with a notification area
    bool TrayReachable() const override { return true; }
};

// What the platform shell was asked to open.
class Opener : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

QAccessibleInterface* Accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

api::MIB_TCPROW Blocked(uint16_t local, uint16_t remote) { // blocked when remote is 25 or 110
    return fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.1", local, "127.0.0.9", remote);
}

// A pipe for the table's wake handle; the window's watch lets go of it before it closes.
struct WakePipe {
    int fd[2] = {-1, -1};
    WakePipe() { EXPECT_EQ(::pipe(fd), 0); }
    void Write() { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
    ~WakePipe() {
        fake::P().wakeHandle = -1;
        api::WaitForWork(0);
        ::close(fd[0]);
        ::close(fd[1]);
    }
};

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::P().localAddresses = {{192, 0, 2, 10}, {127, 0, 0, 1}};
        ExitRequested = false;
        InitTcpStateNames();
        oManager = std::make_unique<Manager>();
        oManager->LoadListFromString(*oManager->oAllowedIP, u"127.0.0.1");
        oManager->LoadListFromString(*oManager->oBlockedLocalPorts, u"135,139");
        oManager->LoadListFromString(*oManager->oBlockedRemotePorts, u"25,110");
        ScanTcpTable(); // forgets the connections an earlier test scanned
    }
    void TearDown() override { oManager.reset(); }

    // Loads the window as Main does: Form_Load, hand it to the Manager, first view.
    template <class Form = frmMain> void Load() {
        oManager->oMainForm = nullptr;
        form = std::make_unique<Form>();
        form->Form_Load();
        oManager->oMainForm = form.get();
        oManager->SetCurrentMode(0);
        oManager->RefreshLocalIPList();
    }
    // The pointer comes over the button first, as a user's does.
    void Click(QWidget* b) {
        QTest::mouseMove(b);
        QTest::mouseClick(b, Qt::LeftButton);
    }
    // The user, every 10 ms: `step` is handed the box that waits (or none), and whether 5 s passed.
    void User(std::function<void(QMessageBox*, bool)> step) {
        clock.start();
        user.callOnTimeout([this, step] {
            step(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()),
                 clock.elapsed() > 5000);
        });
        user.start(10);
    }
    // QTRY_ reports to QtTest, which a GoogleTest run does not hear: wait, then assert.
    static bool Until(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }
    QAbstractItemModel* Model() const { return form->lstMain->model(); }
    QStringList Rows() const {
        QStringList rows;
        for (int i = 0; i < Model()->rowCount(); ++i)
            rows << Model()->data(Model()->index(i, 0)).toString();
        return rows;
    }

    std::unique_ptr<frmMain> form;
    QTimer user;
    QElapsedTimer clock;
};

// Size, a representative place, the controls in tab order as a screen reader names them, colours,
// the caption, minimizing and tray.
TEST_F(FormTest, WindowAndTray) {
    form = std::make_unique<frmMain>();
    form->Form_Load();
    EXPECT_EQ(form->windowTitle(), u"Orvo Kestrel Gate v1.0 Build 15"_qs);
    EXPECT_EQ(form->size(), QSize(423, 324));
    // A fixed size without a maximize button: a window manager offers neither resize nor maximize.
    EXPECT_TRUE(form->minimumSize() == form->size() && form->maximumSize() == form->size());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->lstMain->geometry(), QRect(8, 28, 249, 268));

    QStringList names; // the list is named after the heading
    QWidget* w = form->lstMain;
    do {
        if (w->parentWidget() == form.get() && w->focusPolicy() != Qt::NoFocus)
            names << Accessible(w)->text(QAccessible::Name);
    } while ((w = w->nextInFocusChain()) != form->lstMain);
    SetupCommandButtons(form.get(), false, false);
    for (Command* button : form->findChildren<Command*>())
        EXPECT_FALSE(button->property("Enabled").toBool()) << button->objectName().toStdString();
    EXPECT_EQ(names.join(u'|'),
              u"Choose...|View|Local IP Addresses|Allowed IP Addreses|Add Local IPs to Allowed|"
              "Blocked Local Ports|Blocked Remote Ports|Current Connections|Add|New item|"
              "Visit Website|Readme.txt|Show only connected"_qs);

    EXPECT_EQ(QColor(form->lstMain->grab().toImage().pixel(120, 130)), QColor(180, 226, 243));
    EXPECT_EQ(form->grab().toImage().pixel(260, 100),
              QImage(u":/images/background.jpg"_qs).pixel(260, 100));

    ASSERT_FALSE(form->TrayReachable()); // offscreen: minimizing keeps it reachable
    form->setWindowState(Qt::WindowMinimized);
    api::DoEvents();
    EXPECT_TRUE(form->isVisible());
    // Without a tray, notices come whole in boxes that wait for no answer, one after the other.
    form->ShowNotice(u"first"_qs);
    form->ShowNotice(u"second"_qs);
    for (const QString& text : {u"first"_qs, u"second"_qs}) {
        QList<QMessageBox*> shown = form->findChildren<QMessageBox*>();
        shown.removeIf([](QMessageBox* box) { return !box->isVisible(); });
        ASSERT_EQ(shown.size(), 1) << text.toStdString();
        QFont bold = shown[0]->font(); // the title as a window manager draws it, beside 4 icons
        bold.setBold(true);
        const QFontMetrics title(bold);
        EXPECT_GE(shown[0]->width(),
                  title.horizontalAdvance(shown[0]->windowTitle()) + 4 * title.height());
        EXPECT_TRUE(shown[0]->text() == text && !shown[0]->isModal());
        shown[0]->button(QMessageBox::Ok)->click();
    }
    // The caption tells while nothing is cut; the reason and the cuts go beside the fixed texts.
    form->ShowCuttingState(false, u"no right to cut"_qs);
    form->ShowCutCount(3);
    EXPECT_EQ(form->windowTitle(), u"Orvo Kestrel Gate v1.0 Build 15 - not cutting"_qs);
    const QString status = u"Not cutting: no right to cut\nConnections cut since start: 3"_qs;
    ASSERT_TRUE(Until([&] { return form->accessibleDescription() == status; }));
    EXPECT_EQ(form->TrayIcon->toolTip(), u"Orvo Kestrel Gate\n"_qs + status);
    form->ShowCuttingState(true, {});
    EXPECT_EQ(form->windowTitle(), u"Orvo Kestrel Gate v1.0 Build 15"_qs);
    Load<TrayedForm>(); // with one, minimizing hides and the tray's clicks bring it back
    using enum QSystemTrayIcon::ActivationReason;
    for (const auto& [reason, shown, minimized] : {std::tuple{Trigger, true, false},
                                                   {DoubleClick, true, false},
                                                   {Context, true, true},
                                                   {MiddleClick, false, true}}) {
        form->showNormal();
        form->setWindowState(Qt::WindowMinimized);
        ASSERT_TRUE(Until([&] { return !form->isVisible(); })) << reason;
        emit form->TrayIcon->activated(reason);
        EXPECT_EQ(form->isVisible(), shown) << reason;
        EXPECT_EQ(form->isMinimized(), minimized) << reason;
    }
}

// Each view button selects its view, no row of it chosen, the list named after it. Only the three
// lists offer Delete in the right button's menu; it deletes the clicked row and chooses no
// neighbour.
TEST_F(FormTest, ViewButtonsSelectTheirMode) {
    Load();
    const std::tuple<Command*, int, QString, QStringList> views[] = {
        {form->cmdLocalIP, 1, u"Local IP Addresses"_qs, {u"192.0.2.10"_qs, u"127.0.0.1"_qs}},
        {form->cmdAllowedIP, 2, u"Allowed IP Addresses"_qs, {u"127.0.0.1"_qs}},
        {form->cmdBlockedLocal, 3, u"Blocked Local Ports"_qs, {u"135"_qs, u"139"_qs}},
        {form->cmdBlockedRemote, 4, u"Blocked Remote Ports"_qs, {u"25"_qs, u"110"_qs}},
        {form->cmdCurrentConnections, 0, u"Current Connections"_qs, {}}};
    for (const auto& [button, mode, heading, rows] : views) {
        Click(button);
        EXPECT_FALSE(form->lstMain->currentIndex().isValid()) << "a row of the new view chosen";
        EXPECT_EQ(form->txtHead->text(), heading);
        EXPECT_EQ(Accessible(form->lstMain)->text(QAccessible::Name), heading);
        EXPECT_EQ(Rows(), rows);
        EXPECT_EQ(form->cmdAdd->property("Enabled").toBool(), mode >= 2);
        const QModelIndex last = Model()->index(rows.size() - 1, 0); // none: the corner
        QTest::mouseClick(form->lstMain->viewport(), Qt::RightButton, {},
                          form->lstMain->visualRect(last).center());
        ASSERT_TRUE(form->mnuListBox->isVisible());
        EXPECT_EQ(form->mnuDelete->isEnabled(), mode >= 2);
        form->mnuDelete->trigger(); // a disabled action does nothing
        form->mnuListBox->hide();
        EXPECT_EQ(Rows(), mode >= 2 ? rows.mid(0, rows.size() - 1) : rows);
        EXPECT_TRUE(mode < 2 || !form->lstMain->currentIndex().isValid()) << "neighbour chosen";
    }
}

// One changed line of 10,000 is one update of that row, a closed connection's removal only its
// own; "Show only connected" refilters at once; hidden, the list box waits for the window.
TEST_F(FormTest, ListBoxIsACheapView) {
    Load<TrayedForm>();
    auto line = [](int i, uint16_t remotePort = 443) {
        return fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.1", uint16_t(20000 + i), "127.0.0.9",
                         remotePort);
    };
    for (int i = 0; i < 10000; ++i)
        fake::P().table.push_back(line(i));
    fake::P().table.push_back(fake::Row(api::MIB_TCP_STATE_LISTEN, "0.0.0.0", 22, "0.0.0.0", 0));
    ScanTcpTable();
    ASSERT_TRUE(Until([&] { return Model()->rowCount() == 10000; })); // a pass's refill: soon
    form->chkShowX->click();
    EXPECT_EQ(Model()->rowCount(), 10001);
    form->lstMain->setCurrentIndex(Model()->index(5001, 0)); // the user clicked a row
    const int scrolled = form->lstMain->verticalScrollBar()->value();
    ASSERT_GT(scrolled, 4000);
    QStringList updates; // every update of the model: what, and its first and last rows
    const auto note = [&](const char* what, int first = -1, int last = -1) {
        updates << u"%1 %2-%3"_qs.arg(QLatin1String(what)).arg(first).arg(last);
    };
    QObject::connect(
        Model(), &QAbstractItemModel::dataChanged,
        [&](const QModelIndex& a, const QModelIndex& b) { note("changed", a.row(), b.row()); });
    for (const auto& [signal, what] : {std::pair(&QAbstractItemModel::rowsRemoved, "removed"),
                                       {&QAbstractItemModel::rowsInserted, "inserted"}})
        QObject::connect(Model(), signal,
                         [&, what](const QModelIndex&, int a, int b) { note(what, a, b); });
    QObject::connect(Model(), &QAbstractItemModel::modelReset, [&] { note("reset"); });
    QObject::connect(Model(), &QAbstractItemModel::layoutChanged, [&] { note("layout"); });

    fake::P().table[5002] = line(5002, 444);
    ScanTcpTable();
    ASSERT_TRUE(Until([&] { return !updates.empty(); }));
    QTest::qWait(2 * 1000 / 30); // and nothing more follows
    EXPECT_EQ(updates, QStringList{u"changed 5002-5002"_qs});
    EXPECT_EQ(Rows()[5002], u"25002 <--> 127.0.0.9:444 ESTABLISHED"_qs);
    EXPECT_EQ(form->lstMain->verticalScrollBar()->value(), scrolled);
    EXPECT_FALSE(form->lstMain->currentIndex().isValid() ||
                 form->lstMain->selectionModel()->hasSelection());
    fake::P().table.erase(fake::P().table.begin() + 3000);
    ScanTcpTable();
    ASSERT_TRUE(Until([&] { return updates.size() > 1; }));
    EXPECT_EQ(updates, (QStringList{u"changed 5002-5002"_qs, u"removed 3000-3000"_qs}));
    EXPECT_EQ(Rows()[3000], u"23001 <--> 127.0.0.9:443 ESTABLISHED"_qs);

    form->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(Until([&] { return !form->isVisible(); }));
    fake::P().table.resize(3);
    fake::P().table[1] = line(1, 444);
    ScanTcpTable();
    QTest::qWait(2 * 1000 / 30);
    EXPECT_EQ(updates.size(), 2) << "touched while hidden";
    emit form->TrayIcon->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(Rows(), (QStringList{u"20000 <--> 127.0.0.9:443 ESTABLISHED"_qs,
                                   u"20001 <--> 127.0.0.9:444 ESTABLISHED"_qs,
                                   u"20002 <--> 127.0.0.9:443 ESTABLISHED"_qs}));
}

// Cutting never waits for the user. A box opened in a pass's pump (after its first cut) runs
// passes of its own over the changed table; the outer pass then goes on with the newest snapshot.
TEST_F(FormTest, PassesGoOnWhileAMessageBoxWaits) {
    Load();
    fake::P().table = {Blocked(40002, 25), Blocked(40003, 25), Blocked(40004, 80)};
    bool opened = false, changed = false;
    fake::P().beforeTableRead = [&] {
        if (!std::exchange(opened, true))
            QTimer::singleShot(0, [] { api::MsgBox(u"?", api::vbOKOnly, u"t"); });
    };
    size_t cutsWhileOpen = 0;
    User([&](QMessageBox* box, bool late) {
        if (box && !std::exchange(changed, true)) {
            fake::P().table.insert(fake::P().table.begin(), Blocked(40005, 80));
        } else if (box && (fake::P().cuts.size() >= 2 || late)) {
            cutsWhileOpen = fake::P().cuts.size();
            box->button(QMessageBox::Ok)->click();
        } else if (!box && (changed || late)) {
            form->close();
        }
    });
    ProcessingLoop();
    EXPECT_EQ(cutsWhileOpen, 2u);
    ASSERT_EQ(fake::P().cuts.size(), 2u);
    EXPECT_EQ(fake::P().cuts[1].dwLocalPort, Blocked(40003, 25).dwLocalPort);
    // The outer pass decided only rows of the newest snapshot: every recorded row is its row.
    for (uint32_t i = 0; i < TcpTableBuffer.EntryCount() && i < ConnectionCache.size(); ++i)
        EXPECT_TRUE(!ConnectionCache[i].Recorded() ||
                    ConnectionCache[i].Matches(TcpTableBuffer.Row(i)))
            << i;
}

// The loop's wait ends at once for news of the table (its handle readable) and for a window event,
// and without them only at the deadline it was given.
TEST_F(FormTest, TheLoopSleepsUntilThereIsWork) {
    Load();
    WakePipe table;
    fake::P().wakeHandle = table.fd[0];
    QTest::qWait(100); // the list view's own timers after the first show
    QElapsedTimer clock;
    clock.start();
    api::WaitForWork(150);
    EXPECT_GE(clock.elapsed(), 140) << "nothing happened, yet the wait ended";
    QTimer bound; // ends a wait that nothing else ends
    bound.setSingleShot(true);
    const auto endsAtOnce = [&] {
        bound.start(5000);
        api::WaitForWork(api::INFINITE);
        const bool early = bound.isActive();
        bound.stop();
        return early;
    };
    table.Write();
    EXPECT_TRUE(endsAtOnce()) << "table news";
    char news;
    EXPECT_EQ(::read(table.fd[0], &news, 1), 1);
    QCoreApplication::postEvent(form.get(), new QCloseEvent);
    EXPECT_TRUE(endsAtOnce()) << "a window event";
    EXPECT_TRUE(ExitRequested);
}

// The read-me and web-site buttons hand the shell their targets.
TEST_F(FormTest, ReadmeAndWebsiteGoToTheShell) {
    Load();
    QTemporaryDir folder;
    AppPath = QDir::toNativeSeparators(folder.path() + u"/"_qs).toStdU16String();
    QFile(folder.filePath(u"readme.txt"_qs)).open(QIODevice::WriteOnly);
    Opener opener;
    for (const char* scheme : {"file", "https"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &opener, "Open");
    Click(form->cmdReadme);
    Click(form->cmdWebsite);
    for (const char* scheme : {"file", "https"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    EXPECT_EQ(opener.opened, (QList<QUrl>{QUrl::fromLocalFile(folder.filePath(u"readme.txt"_qs)),
                                          QUrl(u"https://orvo.example/kestrelgate"_qs)}));
}

// Add keeps the typed text, stores a copy; the question adds local IPs in memory; closing saves.
TEST_F(FormTest, EditingTheAllowedListAndClosing) {
    Load();
    QString asked;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    User([&](QMessageBox* box, bool) {
        if (box)
            asked = box->text(), box->button(answer)->click();
    });
    Click(form->cmdAllowedIP);
    Click(form->cmdAddLocal);
    EXPECT_EQ(asked, u"Add Local IP's to Allowed?"_qs);
    EXPECT_EQ(Rows(), QStringList{u"127.0.0.1"_qs});
    QTest::keyClicks(form->txtItem, u"010.0.0.9"_qs);
    Click(form->cmdAdd);
    EXPECT_EQ(form->txtItem->text(), u"010.0.0.9"_qs);
    answer = QMessageBox::Ok;
    Click(form->cmdAddLocal);
    EXPECT_EQ(Rows(), (QStringList{u"127.0.0.1"_qs, u"10.0.0.9"_qs, u"192.0.2.10"_qs}));
    EXPECT_EQ(Stored(u"AllowedIPString"_qs), u"127.0.0.1,10.0.0.9"_qs); // Add saved, OK did not
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(ExitRequested);
    EXPECT_EQ(QStringList({Stored(u"AllowedIPString"_qs), Stored(u"BlockedLocalPortsString"_qs),
                           Stored(u"BlockedRemotePortsString"_qs)}),
              QStringList({u"127.0.0.1,10.0.0.9,192.0.2.10"_qs, u"135,139"_qs, u"25,110"_qs}));
}

} // namespace

int main(int argc, char** argv) {
    return RunWidgetTests(argc, argv);
}

#include "FormTest.moc"
