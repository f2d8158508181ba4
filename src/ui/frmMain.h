// The one window: the list box with its heading, the view buttons, the item box, the context
// menu and the tray icon. It holds no list data; every handler forwards to oManager or to the
// list editing of the engine.
#pragma once

#include "manager/MainForm.h"

#include <QElapsedTimer>
#include <QPixmap>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <memory>

class Command;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListView;
class ListBoxModel;
class QMenu;

class frmMain : public QWidget, public MainForm {
    Q_OBJECT

public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The caption the window has until Form_Load replaces it.
    static constexpr char16_t InitialCaption[] = u"Orvo Kestrelgate";
    // The address the web-site button opens.
    static constexpr char16_t WebsiteAddress[] = u"https://orvo.example/kestrelgate";

    // Sets the caption from the version, initialises the buttons and puts up the tray icon,
    // which shows the window.
    void Form_Load();

    // Shows the window, pumps once, then adds the tray icon.
    void TrayOn();
    void TrayOff();

    // What a click on the tray icon does. Public so that it can be driven without a tray.
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);

    // True while the tray icon is really in the tray (the tray host has embedded it), so that
    // minimizing may hide the window and a tray message points at the icon.
    virtual bool TrayReachable() const;

    // A notice, whole: a tray message where the icon is in the tray, else a message box that
    // waits for no answer. Notices are shown one after the other; one that comes before the
    // icon is in the tray waits for it a few seconds.
    void ShowNotice(const QString& text);

    // While connections are not cut the caption says so; the reason and the number of
    // connections cut since start are in the tray icon's tool tip and the window's accessible
    // description. The fixed texts (the heading, the captions) stay as they are.
    void ShowCuttingState(bool cutting, const QString& reason);
    void ShowCutCount(quint64 cuts);
    static constexpr char16_t NotCuttingSuffix[] = u" - not cutting";

    // The caption Form_Load gives: product name and version.
    static QString VersionCaption();

    // MainForm
    void lstMainRefill(std::shared_ptr<const List> items) override;
    int32_t lstMainListCount() const override;
    std::u16string lstMainList(int32_t row) const override;
    bool lstMainSelected(int32_t row) const override;
    void txtHeadSetText(const std::u16string& text) override;
    void mnuDeleteSetEnabled(bool enabled) override;
    void txtItemSetEnabled(bool enabled) override;
    void cmdAddSetEnabled(bool enabled) override;
    int32_t chkShowXValue() const override;

    // The controls, named as the rest of the program knows them.
    QListView* lstMain = nullptr;
    ListBoxModel* lstMainModel = nullptr;
    QLineEdit* txtHead = nullptr;
    Command* cmdLocalIP = nullptr;
    Command* cmdAllowedIP = nullptr;
    Command* cmdAddLocal = nullptr;
    Command* cmdBlockedLocal = nullptr;
    Command* cmdBlockedRemote = nullptr;
    Command* cmdCurrentConnections = nullptr;
    Command* cmdAdd = nullptr;
    QLineEdit* txtItem = nullptr;
    Command* cmdWebsite = nullptr;
    Command* cmdReadme = nullptr;
    QCheckBox* chkShowX = nullptr;
    QLabel* Label1 = nullptr;
    QMenu* mnuListBox = nullptr;
    QAction* mnuDelete = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Resize();
    void Form_QueryUnload();
    void cmdAddLocal_Click();
    void cmdAdd_Click();
    void lstMain_MouseUp(Qt::MouseButton button, const QPoint& globalPos);
    void mnuDelete_Click();
    void chkShowX_Click();
    void cmdReadme_Click();
    void cmdWebsite_Click();
    void SetCurrentMode(int16_t mode);
    // The constructor's steps.
    void CreateListAndHeading();
    void CreateButtonsAndBoxes();
    void ConnectHandlers();
    Command* AddButton(const char* name);

    // The list box follows the Manager's refills without holding back the loop: a refill made by
    // a pass is put on screen at most about 30 times a second, one made by a user action
    // at once, and none while the window is hidden (the latest is shown when it comes back).
    static constexpr int RefillInterval = 1000 / 30; // ms
    bool ListBoxShown() const;
    void ShowPendingRefill();
    std::shared_ptr<const List> pendingRefill_;
    bool refillPending_ = false;
    QElapsedTimer lastRefill_;
    QTimer refillTimer_;
    // Above zero while a handler of the user's runs: its refills are shown at once.
    int userAction_ = 0;
    struct UserAction {
        explicit UserAction(frmMain& form) : form_(form) { ++form_.userAction_; }
        ~UserAction() { --form_.userAction_; }
        frmMain& form_;
    };

    // Notices, in turn: a tray message for its time (or until it is clicked away), a box until
    // it is closed.
    static constexpr int NoticeTime = 15000;   // ms
    static constexpr int TrayWaitTime = 10000; // ms for the tray host to embed the icon
    bool TrayMayCome() const;
    void ShowNextNotice();
    void NoticeDone();
    QStringList notices_;
    bool noticeShown_ = false;
    QTimer noticeTimer_;
    QElapsedTimer trayWait_;

    // The caption, tool tip and description of what the engine does; many cuts in a moment are
    // shown as one change.
    void ShowStatus();
    bool cutting_ = true;
    QString notCuttingReason_;
    quint64 cuts_ = 0;
    QTimer statusTimer_;

    QPixmap background_;
    QString caption_; // the title without the status
};
