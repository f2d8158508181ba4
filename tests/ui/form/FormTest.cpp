// The main window offscreen, over the scripted connection table and the real settings store in a
// temporary config folder.

#include "engine/basAPI.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"
#include "ui/Command.h"
#include "ui/SetupCommandButtons.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLockFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

QString SettingsFile() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("OrvoKestrelgate"),
                     QStringLiteral("OrvoKestrelgate"))
        .fileName();
}

// Answers the next message box with `button` and records what it asked.
struct MessageBoxAnswer {
    QString text, title;
    bool answered = false;
};
std::shared_ptr<MessageBoxAnswer> AnswerNextMessageBox(QMessageBox::StandardButton button) {
    auto answer = std::make_shared<MessageBoxAnswer>();
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box) {
            answer->text = box->text();
            answer->title = box->windowTitle();
            answer->answered = true;
            box->button(button)->click();
        }
        if (box || ++*tries > 500)
            timer->deleteLater();
    });
    timer->start(10);
    return answer;
}

// A window whose tray icon counts as shown, as on a desktop with a notification area.
class TrayedForm : public frmMain {
public:
    bool TrayReachable() const override { return true; }
};

// Records what the shell is asked to open, in place of the desktop's opener.
class OpenRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::P().localAddresses = {{192, 0, 2, 10}, {127, 0, 0, 1}};
        QFile::remove(SettingsFile());
        ExitRequested = false;
        InitTcpStateNames();
        oManager = std::make_unique<Manager>();
        oManager->LoadListFromString(*oManager->oAllowedIP, u"127.0.0.1");
    }
    void TearDown() override {
        oManager.reset();
        form.reset();
    }

    // Loads the window as Main does: Form_Load, hand it to the Manager, first view.
    template <class Form = frmMain> void Load(bool selectFirstView = true) {
        oManager->oMainForm = nullptr;
        form.reset();
        form = std::make_unique<Form>();
        form->Form_Load();
        oManager->oMainForm = form.get();
        if (selectFirstView) {
            oManager->SetCurrentMode(0);
            oManager->RefreshLocalIPList();
        }
    }

    // As a user clicks: the pointer comes over the button first.
    void Click(QWidget* button) {
        QTest::mouseMove(button, button->rect().center());
        QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    }
    QStringList Rows() const {
        QStringList rows;
        for (int i = 0; i < form->lstMain->count(); ++i)
            rows << form->lstMain->item(i)->text();
        return rows;
    }
    QString Caption(Command* button) const { return button->property("Caption").toString(); }

    std::unique_ptr<frmMain> form;
};

TEST_F(FormTest, ControlsHaveTheirPlacesTextsAndLook) {
    Load(false);
    EXPECT_EQ(form->size(), QSize(423, 324));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()); // the border cannot be dragged
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);

    const struct {
        QWidget* control;
        QRect geometry;
    } places[] = {
        {form->lstMain, {8, 28, 249, 268}},
        {form->txtHead, {8, 8, 249, 21}},
        {form->cmdLocalIP, {264, 152, 149, 29}},
        {form->cmdAllowedIP, {264, 36, 149, 31}},
        {form->cmdAddLocal, {264, 184, 149, 29}},
        {form->cmdBlockedLocal, {264, 66, 149, 29}},
        {form->cmdBlockedRemote, {264, 94, 149, 29}},
        {form->cmdCurrentConnections, {264, 8, 149, 29}},
        {form->cmdAdd, {208, 298, 47, 21}},
        {form->txtItem, {8, 298, 197, 21}},
        {form->cmdWebsite, {264, 290, 151, 29}},
        {form->cmdReadme, {264, 262, 151, 29}},
        {form->chkShowX, {266, 132, 13, 13}},
        {form->Label1, {282, 132, 129, 15}},
    };
    for (const auto& p : places)
        EXPECT_EQ(p.control->geometry(), p.geometry) << p.control->objectName().toStdString();

    const struct {
        Command* button;
        const char* caption;
    } captions[] = {
        {form->cmdLocalIP, "Local IP Addresses"},
        {form->cmdAllowedIP, "Allowed IP Addreses"},
        {form->cmdAddLocal, "Add Local IPs to Allowed"},
        {form->cmdBlockedLocal, "Blocked Local Ports"},
        {form->cmdBlockedRemote, "Blocked Remote Ports"},
        {form->cmdCurrentConnections, "Current Connections"},
        {form->cmdAdd, "Add"},
        {form->cmdWebsite, "Visit Website"},
        {form->cmdReadme, "Readme.txt"},
    };
    for (const auto& c : captions)
        EXPECT_EQ(Caption(c.button), QString::fromLatin1(c.caption));
    EXPECT_EQ(form->txtHead->text(), QStringLiteral("Choose..."));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("Show only connected"));
    EXPECT_TRUE(form->txtItem->text().isEmpty());
    EXPECT_TRUE(form->chkShowX->isChecked());
    EXPECT_EQ(form->mnuListBox->actions().size(), 1);
    EXPECT_EQ(form->mnuDelete->text(), QStringLiteral("Delete"));

    EXPECT_EQ(form->txtHead->font().family(), QStringLiteral("Arial"));
    EXPECT_TRUE(form->txtHead->font().bold());
    EXPECT_EQ(form->txtHead->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    for (QWidget* w : {(QWidget*)form->lstMain, (QWidget*)form->txtItem, (QWidget*)form->Label1}) {
        EXPECT_EQ(w->font().family(), QStringLiteral("Arial"));
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), 8.25);
    }
    EXPECT_EQ(form->lstMain->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(form->lstMain->isSortingEnabled());

    // Colours as drawn: the list, the heading away from its text, and the background picture
    // between the list and the buttons.
    const QImage list = form->lstMain->grab().toImage();
    EXPECT_EQ(QColor(list.pixel(list.width() / 2, list.height() / 2)), QColor(180, 226, 243));
    const QImage head = form->txtHead->grab().toImage();
    EXPECT_EQ(QColor(head.pixel(6, head.height() / 2)), QColor(92, 197, 231));
    const QImage window = form->grab().toImage();
    const QImage picture(QStringLiteral(":/images/background.jpg"));
    ASSERT_EQ(picture.size(), QSize(789, 461));
    EXPECT_EQ(window.pixel(260, 100), picture.pixel(260, 100));
    EXPECT_EQ(form->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
}

TEST_F(FormTest, TabOrderFollowsTheControlTable) {
    Load(false);
    const QList<QWidget*> expected = {form->lstMain,          form->txtHead,
                                      form->cmdLocalIP,       form->cmdAllowedIP,
                                      form->cmdAddLocal,      form->cmdBlockedLocal,
                                      form->cmdBlockedRemote, form->cmdCurrentConnections,
                                      form->cmdAdd,           form->txtItem,
                                      form->cmdWebsite,       form->cmdReadme,
                                      form->chkShowX};
    QList<QWidget*> chain;
    QWidget* w = form->lstMain;
    for (int i = 0; i < 64 && chain.size() < expected.size(); ++i, w = w->nextInFocusChain())
        if (expected.contains(w) && !chain.contains(w))
            chain.append(w);
    EXPECT_EQ(chain, expected);
}

TEST_F(FormTest, LoadSetsTheVersionCaptionAndShowsTheWindow) {
    form = std::make_unique<frmMain>();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Orvo Kestrelgate"));
    form->Form_Load();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Orvo Kestrel Gate v1.0 Build 15"));
    EXPECT_TRUE(form->isVisible());
    ASSERT_NE(form->TrayIcon, nullptr);
    EXPECT_EQ(form->TrayIcon->toolTip(), QStringLiteral("Orvo Kestrel Gate"));
    EXPECT_FALSE(form->TrayIcon->icon().isNull());
}

TEST_F(FormTest, LoadMainFormGivesTheShownWindowOnce) {
    MainForm* loaded = api::LoadMainForm();
    auto* window = dynamic_cast<frmMain*>(loaded);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), frmMain::VersionCaption());
    EXPECT_EQ(api::LoadMainForm(), loaded);
    window->hide();
    api::ShowMainForm();
    EXPECT_TRUE(window->isVisible());
    delete window;
}

TEST_F(FormTest, StartUpViewDisablesEditing) {
    Load();
    EXPECT_EQ(form->txtHead->text(), QStringLiteral("Current Connections"));
    EXPECT_TRUE(form->chkShowX->isChecked());
    EXPECT_FALSE(form->txtItem->isEnabled());
    EXPECT_FALSE(form->cmdAdd->property("Enabled").toBool());
    EXPECT_FALSE(form->mnuDelete->isEnabled());
}

TEST_F(FormTest, EachViewButtonSelectsItsMode) {
    Load();
    const struct {
        Command* button;
        int16_t mode;
        const char* heading;
    } views[] = {
        {form->cmdLocalIP, 1, "Local IP Addresses"},
        {form->cmdAllowedIP, 2, "Allowed IP Addresses"},
        {form->cmdBlockedLocal, 3, "Blocked Local Ports"},
        {form->cmdBlockedRemote, 4, "Blocked Remote Ports"},
        {form->cmdCurrentConnections, 0, "Current Connections"},
    };
    for (const auto& v : views) {
        Click(v.button);
        EXPECT_EQ(oManager->CurrentMode, v.mode) << v.heading;
        EXPECT_EQ(form->txtHead->text(), QString::fromLatin1(v.heading));
    }
    Click(form->cmdAllowedIP);
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("127.0.0.1")});
    Click(form->cmdLocalIP);
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("192.0.2.10"), QStringLiteral("127.0.0.1")}));
}

TEST_F(FormTest, AddPassesACopyAndKeepsTheTypedText) {
    Load();
    Click(form->cmdAllowedIP);
    // The stored form drops the leading zero; the box keeps what was typed.
    QTest::keyClicks(form->txtItem, QStringLiteral("010.0.0.9"));
    Click(form->cmdAdd);
    EXPECT_EQ(form->txtItem->text(), QStringLiteral("010.0.0.9"));
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("10.0.0.9")}));
    QSettings store(SettingsFile(), QSettings::IniFormat);
    EXPECT_EQ(store.value(QStringLiteral("AllowedIPString")).toString(),
              QStringLiteral("127.0.0.1,10.0.0.9"));
}

TEST_F(FormTest, ContextMenuOffersDeleteOnlyInEditableViews) {
    Load();
    oManager->LoadListFromString(*oManager->oBlockedLocalPorts, u"135,139");
    oManager->LoadListFromString(*oManager->oBlockedRemotePorts, u"25,110");
    oManager->LoadListFromString(*oManager->oAllowedIP, u"127.0.0.1,10.0.0.1");
    for (int16_t mode = 0; mode <= 4; ++mode) {
        oManager->SetCurrentMode(mode);
        QWidget* viewport = form->lstMain->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_FALSE(form->mnuListBox->isVisible()) << "left button, mode " << mode;
        QTest::mouseClick(viewport, Qt::RightButton, {}, QPoint(5, 5));
        EXPECT_TRUE(form->mnuListBox->isVisible()) << "mode " << mode;
        EXPECT_EQ(form->mnuDelete->isEnabled(), mode >= 2) << "mode " << mode;
        form->mnuListBox->hide();
    }
}

TEST_F(FormTest, DeleteRemovesTheRightClickedItemInEditableViews) {
    Load();
    oManager->LoadListFromString(*oManager->oAllowedIP, u"127.0.0.1,10.0.0.1");
    oManager->LoadListFromString(*oManager->oBlockedLocalPorts, u"135,139");
    oManager->LoadListFromString(*oManager->oBlockedRemotePorts, u"25,110");
    const struct {
        int16_t mode;
        const char* key;
        const char* left;
    } views[] = {{2, "AllowedIPString", "127.0.0.1"},
                 {3, "BlockedLocalPortsString", "135"},
                 {4, "BlockedRemotePortsString", "25"}};
    for (const auto& v : views) {
        oManager->SetCurrentMode(v.mode);
        const QRect second = form->lstMain->visualItemRect(form->lstMain->item(1));
        QTest::mouseClick(form->lstMain->viewport(), Qt::RightButton, {}, second.center());
        ASSERT_TRUE(form->mnuListBox->isVisible());
        form->mnuDelete->trigger();
        form->mnuListBox->hide();
        EXPECT_EQ(Rows(), QStringList{QString::fromLatin1(v.left)}) << v.key;
        QSettings store(SettingsFile(), QSettings::IniFormat);
        EXPECT_EQ(store.value(QString::fromLatin1(v.key)).toString(), QString::fromLatin1(v.left));
    }
}

TEST_F(FormTest, AddLocalAddressesAsksFirst) {
    Load();
    Click(form->cmdAllowedIP);

    auto cancel = AnswerNextMessageBox(QMessageBox::Cancel);
    Click(form->cmdAddLocal);
    ASSERT_TRUE(cancel->answered);
    EXPECT_EQ(cancel->text, QStringLiteral("Add Local IP's to Allowed?"));
    EXPECT_EQ(cancel->title, QStringLiteral("Orvo Kestrel Gate"));
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("127.0.0.1")});
    EXPECT_EQ(oManager->oAllowedIP->GetItemCount(), 1);

    auto ok = AnswerNextMessageBox(QMessageBox::Ok);
    Click(form->cmdAddLocal);
    ASSERT_TRUE(ok->answered);
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("192.0.2.10")}));
    // Kept in memory only until the next save.
    EXPECT_FALSE(QFile::exists(SettingsFile()));
}

TEST_F(FormTest, ShowOnlyConnectedRefiltersAtOnce) {
    fake::P().table = {
        fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 40000, "127.0.0.9", 80),
        fake::Row(api::MIB_TCP_STATE_LISTEN, "0.0.0.0", 22, "0.0.0.0", 0),
    };
    Load();
    ScanTcpTable();
    oManager->RefreshCurrentConnections();
    ASSERT_EQ(form->lstMain->count(), 1);
    EXPECT_TRUE(form->lstMain->item(0)->text().contains(QStringLiteral("ESTABLISHED")));
    form->chkShowX->click();
    EXPECT_EQ(form->chkShowXValue(), 0);
    EXPECT_EQ(form->lstMain->count(), 2);
    form->chkShowX->click();
    EXPECT_EQ(form->lstMain->count(), 1);
}

TEST_F(FormTest, ConnectionsViewKeepsItsPlaceWhileTheTableChanges) {
    for (uint16_t i = 0; i < 300; ++i)
        fake::P().table.push_back(
            fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.1", uint16_t(40000 + i), "127.0.0.9", 80));
    Load();
    ScanTcpTable();
    ASSERT_EQ(form->lstMain->count(), 300);
    QCoreApplication::processEvents(); // lays the rows out, so the list can scroll
    QScrollBar* bar = form->lstMain->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 100);
    bar->setValue(bar->maximum() / 2);
    const int position = bar->value();
    form->lstMain->item(10)->setSelected(true);

    // One connection changes its remote port, the last one goes.
    fake::P().table[5] = fake::Row(api::MIB_TCP_STATE_ESTAB, "127.0.0.1", 40005, "127.0.0.9", 81);
    fake::P().table.pop_back();
    ScanTcpTable();
    QCoreApplication::processEvents();
    EXPECT_EQ(form->lstMain->count(), 299);
    EXPECT_TRUE(form->lstMain->item(5)->text().contains(QStringLiteral(":81 ")));
    EXPECT_EQ(Rows().mid(6), Rows().mid(6).filter(QStringLiteral(":80 ")));
    EXPECT_EQ(bar->value(), position);
    EXPECT_TRUE(form->lstMain->selectedItems().isEmpty()) << "a refilled view has no selection";
}

TEST_F(FormTest, ClosingSavesTheThreeListsAndEndsTheLoop) {
    Load();
    oManager->LoadListFromString(*oManager->oBlockedRemotePorts, u"25");
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(ExitRequested);
    QSettings store(SettingsFile(), QSettings::IniFormat);
    EXPECT_EQ(store.value(QStringLiteral("AllowedIPString")).toString(),
              QStringLiteral("127.0.0.1"));
    EXPECT_EQ(store.value(QStringLiteral("BlockedRemotePortsString")).toString(),
              QStringLiteral("25"));
    EXPECT_TRUE(store.contains(QStringLiteral("BlockedLocalPortsString")));
}

TEST_F(FormTest, MinimizingHidesOnlyWhereTheTrayCanBringItBack) {
    Load<TrayedForm>();
    form->setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!form->isVisible());

    Load<frmMain>(); // offscreen there is no notification area
    ASSERT_FALSE(form->TrayReachable());
    form->setWindowState(Qt::WindowMinimized);
    api::DoEvents();
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->isMinimized());
}

TEST_F(FormTest, TrayClicksBringTheWindowBack) {
    Load<TrayedForm>();
    const struct {
        QSystemTrayIcon::ActivationReason reason;
        bool shown, minimized;
    } cases[] = {
        {QSystemTrayIcon::Trigger, true, false}, {QSystemTrayIcon::DoubleClick, true, false},
        {QSystemTrayIcon::Context, true, true},  {QSystemTrayIcon::MiddleClick, false, true},
        {QSystemTrayIcon::Unknown, false, true},
    };
    for (const auto& c : cases) {
        form->showNormal();
        form->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!form->isVisible());
        emit form->TrayIcon->activated(c.reason);
        EXPECT_EQ(form->isVisible(), c.shown) << c.reason;
        EXPECT_EQ(form->isMinimized(), c.minimized) << c.reason;
    }
    // A click while the window is up changes nothing.
    form->showNormal();
    emit form->TrayIcon->activated(QSystemTrayIcon::Context);
    EXPECT_FALSE(form->isMinimized());
}

TEST_F(FormTest, NoticeWithoutTrayGoesToTheTitle) {
    Load();
    api::ShowNotice(u"ignored without a loaded window");
    form->ShowNotice(QStringLiteral("cannot cut"));
    form->ShowNotice(QStringLiteral("cannot cut"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Orvo Kestrel Gate v1.0 Build 15 - cannot cut"));
    EXPECT_EQ(form->txtHead->text(), QStringLiteral("Current Connections"));
}

TEST_F(FormTest, ReadmeAndWebsiteButtonsOpenThroughTheShell) {
    QTemporaryDir folder;
    AppPath = folder.path().toStdU16String() + u"/";
    OpenRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    Load();

    Click(form->cmdReadme); // no readme.txt yet: nothing is opened
    EXPECT_TRUE(recorder.urls.isEmpty());
    QFile readme(folder.filePath(QStringLiteral("readme.txt")));
    ASSERT_TRUE(readme.open(QIODevice::WriteOnly));
    readme.close();
    Click(form->cmdReadme);
    Click(form->cmdWebsite);
    ASSERT_EQ(recorder.urls.size(), 2);
    EXPECT_EQ(recorder.urls[0], QUrl::fromLocalFile(readme.fileName()));
    EXPECT_EQ(recorder.urls[1], QUrl(QString::fromUtf16(frmMain::WebsiteAddress)));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

TEST_F(FormTest, SetupCommandButtonsReachesEveryButtonByName) {
    Load();
    SetupCommandButtons(form.get(), false, false);
    const auto buttons = form->findChildren<Command*>();
    EXPECT_EQ(buttons.size(), 9);
    for (Command* button : buttons)
        EXPECT_FALSE(button->property("Enabled").toBool()) << button->objectName().toStdString();
    SetupCommandButtons(form.get(), false, true);
    for (Command* button : buttons)
        EXPECT_TRUE(button->property("Enabled").toBool());
    EXPECT_FALSE(form->txtItem->isEnabled()); // not a button: as the first view left it
    SetupCommandButtons(nullptr, true, true); // passed over
}

TEST(InstanceTest, AnEarlierHolderOfTheLockIsAPreviousInstance) {
    QLockFile earlier(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
                      QStringLiteral("/okgate.lock"));
    ASSERT_TRUE(earlier.tryLock(0));
    EXPECT_TRUE(api::PreviousInstance());
    earlier.unlock();
    EXPECT_FALSE(api::PreviousInstance()); // takes the lock and keeps it
    QLockFile later(earlier.fileName());
    EXPECT_FALSE(later.tryLock(0));
}

TEST(MessageBoxTest, AnswersWhichButtonWasPressed) {
    auto ok = AnswerNextMessageBox(QMessageBox::Ok);
    EXPECT_EQ(api::MsgBox(u"Note", api::vbOKOnly, u"Title"), api::vbOK);
    EXPECT_EQ(ok->title, QStringLiteral("Title"));
    EXPECT_EQ(ok->text, QStringLiteral("Note"));
    AnswerNextMessageBox(QMessageBox::Cancel);
    EXPECT_EQ(api::MsgBox(u"Sure?", api::vbOKCancel, u"Title"), api::vbCancel);
}

} // namespace

int main(int argc, char** argv) {
    // The settings store and the instance lock go to folders of this run only.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("run")).toUtf8());
    QDir().mkpath(home.filePath(QStringLiteral("run")));
    QFile::setPermissions(home.filePath(QStringLiteral("run")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "FormTest.moc"
