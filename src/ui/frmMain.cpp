#include "ui/frmMain.h"

#include "engine/basEditing.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "manager/Manager.h"
#include "support/basError.h"
#include "ui/Command.h"
#include "ui/ListBoxModel.h"
#include "ui/MessageBox.h"
#include "ui/SetupCommandButtons.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef OKG_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace {

QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
                 TwipsToPixels(height));
}

QFont Arial(bool bold = false) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

void SetColours(QWidget* widget, const QColor& base, const QColor& text) {
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::Text, text);
    }
    widget->setPalette(palette);
}

// The state an X11 window manager gives the window when it is next mapped: Qt leaves the hint
// as it was when the window was first shown, whatever its window state, so a minimized window
// shown from the tray came back restored. Elsewhere the window state is enough.
void SetInitialStateIconic([[maybe_unused]] QWidget* window, [[maybe_unused]] bool iconic) {
#ifdef OKG_HAVE_XCB
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !window->windowHandle())
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const auto id = xcb_window_t(window->winId());
    // WM_HINTS: flags, input, initial state, icon pixmap, icon window, x, y, icon mask, group.
    uint32_t hints[9] = {};
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, 9);
    if (xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr)) {
        const int words = reply->format == 32 ? xcb_get_property_value_length(reply) / 4 : 0;
        std::memcpy(hints, xcb_get_property_value(reply), size_t(std::min(words, 9)) * 4);
        std::free(reply);
    }
    constexpr uint32_t StateHint = 2, NormalState = 1, IconicState = 3;
    hints[0] |= StateHint;
    hints[2] = iconic ? IconicState : NormalState;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                        32, 9, hints);
    xcb_flush(connection);
#endif
}

} // namespace

frmMain::frmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      background_(QStringLiteral(":/images/background.jpg")) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromUtf16(InitialCaption));
    setWindowIcon(QIcon(QStringLiteral(":/images/icon.png")));
    setFixedSize(TwipsToPixels(6345), TwipsToPixels(4860));
    // Created in tab order, which is also the window's control order.
    CreateListAndHeading();
    CreateButtonsAndBoxes();
    QWidget* order[] = {lstMain,     txtHead,         cmdLocalIP,       cmdAllowedIP,
                        cmdAddLocal, cmdBlockedLocal, cmdBlockedRemote, cmdCurrentConnections,
                        cmdAdd,      txtItem,         cmdWebsite,       cmdReadme,
                        chkShowX};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    mnuListBox = new QMenu(this);
    mnuListBox->setObjectName(QStringLiteral("mnuListBox"));
    mnuDelete = mnuListBox->addAction(QStringLiteral("Delete"));
    mnuDelete->setObjectName(QStringLiteral("mnuDelete"));
    ConnectHandlers();
    // Centred on the screen when first shown.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    caption_ = windowTitle();
}

void frmMain::CreateListAndHeading() {
    lstMain = new QListView(this);
    lstMain->setObjectName(QStringLiteral("lstMain"));
    lstMain->setGeometry(TwipsRect(120, 420, 3735, 4020));
    lstMain->setSelectionMode(QAbstractItemView::SingleSelection);
    lstMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every row has the height of one line of text: the view lays out 10,000 rows without
    // measuring them.
    lstMain->setUniformItemSizes(true);
    lstMainModel = new ListBoxModel(lstMain);
    lstMain->setModel(lstMainModel);
    lstMain->setFont(Arial());
    SetColours(lstMain, QColor(180, 226, 243), Qt::black);
    lstMain->viewport()->installEventFilter(this);

    txtHead = new QLineEdit(QStringLiteral("Choose..."), this);
    txtHead->setObjectName(QStringLiteral("txtHead"));
    txtHead->setGeometry(TwipsRect(120, 120, 3735, 315));
    txtHead->setFont(Arial(true));
    txtHead->setAlignment(Qt::AlignCenter);
    // The heading holds no data: every view selection replaces it.
    txtHead->setReadOnly(true);
    txtHead->setAccessibleName(QStringLiteral("View"));
    // A screen reader names the list after the view it shows.
    lstMain->setAccessibleName(txtHead->text());
    SetColours(txtHead, QColor(92, 197, 231), Qt::black);
}

void frmMain::CreateButtonsAndBoxes() {
    cmdLocalIP = AddButton("cmdLocalIP");
    cmdAllowedIP = AddButton("cmdAllowedIP");
    cmdAddLocal = AddButton("cmdAddLocal");
    cmdBlockedLocal = AddButton("cmdBlockedLocal");
    cmdBlockedRemote = AddButton("cmdBlockedRemote");
    cmdCurrentConnections = AddButton("cmdCurrentConnections");
    cmdAdd = AddButton("cmdAdd");

    txtItem = new QLineEdit(this);
    txtItem->setObjectName(QStringLiteral("txtItem"));
    txtItem->setGeometry(TwipsRect(120, 4470, 2955, 315));
    txtItem->setFont(Arial());
    txtItem->setAccessibleName(QStringLiteral("New item"));

    cmdWebsite = AddButton("cmdWebsite");
    cmdReadme = AddButton("cmdReadme");

    chkShowX = new QCheckBox(this);
    chkShowX->setObjectName(QStringLiteral("chkShowX"));
    chkShowX->setGeometry(TwipsRect(3990, 1980, 195, 195));
    chkShowX->setChecked(true);
    chkShowX->setAccessibleName(QStringLiteral("Show only connected"));

    Label1 = new QLabel(QStringLiteral("Show only connected"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(TwipsRect(4230, 1980, 1935, 225));
    Label1->setFont(Arial());
    // A label paints no background of its own: the picture shows through.
}

void frmMain::ConnectHandlers() {
    refillTimer_.setSingleShot(true);
    connect(&refillTimer_, &QTimer::timeout, this, &frmMain::ShowPendingRefill);
    noticeTimer_.setSingleShot(true);
    connect(&noticeTimer_, &QTimer::timeout, this, [this] {
        if (noticeShown_)
            NoticeDone(); // the tray message's time is over
        else
            ShowNextNotice(); // another look for the tray
    });
    statusTimer_.setSingleShot(true);
    statusTimer_.setInterval(250);
    connect(&statusTimer_, &QTimer::timeout, this, &frmMain::ShowStatus);

    connect(cmdCurrentConnections, &Command::Click, this,
            [this] { SetCurrentMode(ConnectionsMode); });
    connect(cmdLocalIP, &Command::Click, this, [this] { SetCurrentMode(LocalAddressesMode); });
    connect(cmdAllowedIP, &Command::Click, this, [this] { SetCurrentMode(AllowedMode); });
    connect(cmdBlockedLocal, &Command::Click, this, [this] { SetCurrentMode(BlockedLocalMode); });
    connect(cmdBlockedRemote, &Command::Click, this, [this] { SetCurrentMode(BlockedRemoteMode); });
    connect(cmdAddLocal, &Command::Click, this, &frmMain::cmdAddLocal_Click);
    connect(cmdAdd, &Command::Click, this, &frmMain::cmdAdd_Click);
    connect(cmdReadme, &Command::Click, this, &frmMain::cmdReadme_Click);
    connect(cmdWebsite, &Command::Click, this, &frmMain::cmdWebsite_Click);
    connect(mnuDelete, &QAction::triggered, this, &frmMain::mnuDelete_Click);
    connect(chkShowX, &QCheckBox::toggled, this, &frmMain::chkShowX_Click);
}

frmMain::~frmMain() = default;

// A button as its design data places and shows it: position, size, caption and font, read once.
Command* frmMain::AddButton(const char* name) {
    static const DesignData design = ReadDesignData(QStringLiteral(":/frmMain.design"));
    auto* button = new Command(this);
    button->setObjectName(QString::fromLatin1(name));
    const auto found = design.find(button->objectName());
    if (found == design.end())
        return button;
    const PropertyBag& bag = found->second;
    const auto twips = [&](const char* key) {
        return int(PropertyWhole(bag.ReadProperty(QString::fromLatin1(key)), 0, 65535).value_or(0));
    };
    button->setGeometry(TwipsRect(twips("Left"), twips("Top"), twips("Width"), twips("Height")));
    button->ReadProperties(bag);
    return button;
}

QString frmMain::VersionCaption() {
    return QStringLiteral("%1 v%2.%3 Build %4")
        .arg(QStringLiteral(OKG_PRODUCT_NAME))
        .arg(OKG_VERSION_MAJOR)
        .arg(OKG_VERSION_MINOR)
        .arg(OKG_VERSION_PATCH);
}

void frmMain::Form_Load() {
    caption_ = VersionCaption();
    ShowStatus();
    SetupCommandButtons(this, true, true);
    TrayOn();
}

void frmMain::TrayOn() {
    show();
    api::DoEvents();
    if (!TrayIcon) {
        TrayIcon = new QSystemTrayIcon(windowIcon(), this);
        connect(TrayIcon, &QSystemTrayIcon::activated, this, &frmMain::TrayActivated);
        // A click takes the message away before its time.
        connect(TrayIcon, &QSystemTrayIcon::messageClicked, this, [this] {
            if (noticeShown_ && noticeTimer_.isActive()) {
                noticeTimer_.stop();
                NoticeDone();
            }
        });
        ShowStatus();
    }
    // Offscreen there is no notification area and never will be; asking Qt for one there only
    // makes it warn about a window system it does not have.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        TrayIcon->show();
    ShowNextNotice();
}

void frmMain::TrayOff() {
    if (TrayIcon)
        TrayIcon->hide();
}

bool frmMain::TrayReachable() const {
    if (!TrayIcon || !TrayIcon->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    // On X11 Qt's icon is a window of its own, mapped once the tray host has embedded it: before
    // that a tray message points at the screen's corner. Elsewhere the platform holds the icon.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("QSystemTrayIconSys"))
            return widget->windowHandle() && widget->windowHandle()->isExposed();
    return true;
}

bool frmMain::TrayMayCome() const {
    return TrayIcon && QGuiApplication::platformName() != QLatin1String("offscreen") &&
           QSystemTrayIcon::isSystemTrayAvailable();
}

void frmMain::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // While the window is not minimized the icon is not its way back; leave it alone.
    if (!isMinimized())
        return;
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        SetInitialStateIconic(this, false);
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
        break;
    case QSystemTrayIcon::Context:
        // Shown again, but left minimized.
        SetInitialStateIconic(this, true);
        show();
        raise();
        activateWindow();
        break;
    default:
        break;
    }
}

void frmMain::ShowNotice(const QString& text) {
    notices_ << text;
    ShowNextNotice();
}

void frmMain::ShowNextNotice() {
    // Before TrayOn there is no telling where a notice goes: TrayOn shows them.
    if (noticeShown_ || notices_.isEmpty() || !TrayIcon)
        return;
    const bool tray = TrayReachable();
    if (!tray && TrayMayCome()) {
        if (!trayWait_.isValid())
            trayWait_.start();
        if (trayWait_.elapsed() < TrayWaitTime) {
            noticeTimer_.start(100);
            return;
        }
    }
    noticeShown_ = true;
    const QString text = notices_.takeFirst();
    const QString title = QString::fromUtf16(AppTitle);
    if (tray) {
        TrayIcon->showMessage(title, text, QSystemTrayIcon::Warning, NoticeTime);
        noticeTimer_.start(NoticeTime);
        return;
    }
    // Not modal: the passes go on, and so does the user.
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    connect(box, &QMessageBox::finished, this, &frmMain::NoticeDone);
    KeepTitleWhole(*box);
    box->show();
}

void frmMain::NoticeDone() {
    noticeShown_ = false;
    ShowNextNotice();
}

void frmMain::ShowCuttingState(bool cutting, const QString& reason) {
    cutting_ = cutting;
    notCuttingReason_ = reason;
    ShowStatus();
}

void frmMain::ShowCutCount(quint64 cuts) {
    cuts_ = cuts;
    if (!statusTimer_.isActive())
        statusTimer_.start();
}

void frmMain::ShowStatus() {
    statusTimer_.stop();
    setWindowTitle(cutting_ ? caption_ : caption_ + QString::fromUtf16(NotCuttingSuffix));
    QStringList lines;
    if (!cutting_)
        lines << (notCuttingReason_.isEmpty()
                      ? QStringLiteral("Not cutting")
                      : QStringLiteral("Not cutting: ") + notCuttingReason_);
    if (cuts_ > 0)
        lines << QStringLiteral("Connections cut since start: %1").arg(cuts_);
    setAccessibleDescription(lines.join(u'\n'));
    if (TrayIcon)
        TrayIcon->setToolTip((QStringList(QString::fromUtf16(AppTitle)) + lines).join(u'\n'));
}

void frmMain::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, background_);
}

void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void frmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Coming back: the connections view should be current. A minimized window shown from the
    // tray stays as it is.
    if (!isMinimized())
        Form_Resize();
}

void frmMain::Form_Resize() {
    if (isMinimized()) {
        // Hidden only where the tray icon can bring it back; else it stays on the task bar.
        // Queued, because some window systems mishandle a window unmapped while it iconifies.
        if (TrayReachable())
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (isMinimized() && TrayReachable())
                        hide();
                },
                Qt::QueuedConnection);
        return;
    }
    if (isVisible() && windowState() == Qt::WindowNoState && oManager) {
        // Back on screen: the list box catches up with what it skipped while hidden.
        UserAction action(*this);
        oManager->RefreshCurrentConnections();
        ShowPendingRefill();
    }
}

void frmMain::closeEvent(QCloseEvent* event) {
    Form_QueryUnload();
    event->accept();
}

void frmMain::Form_QueryUnload() {
    SaveSettingsAtClose();
    ExitRequested = true;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstMain->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        lstMain_MouseUp(mouse->button(), mouse->globalPosition().toPoint());
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::lstMain_MouseUp(Qt::MouseButton button, const QPoint& globalPos) {
    if (button == Qt::RightButton)
        mnuListBox->popup(globalPos);
}

void frmMain::SetCurrentMode(int16_t mode) {
    UserAction action(*this);
    if (oManager)
        oManager->SetCurrentMode(mode);
}

void frmMain::cmdAddLocal_Click() {
    UserAction action(*this);
    if (api::MsgBox(u"Add Local IP's to Allowed?", api::vbOKCancel, AppTitle) != api::vbOK)
        return;
    if (!oManager)
        return;
    oManager->AddLocalIPSToAllowed();
    oManager->RefreshCurrentMode();
}

void frmMain::cmdAdd_Click() {
    // The engine may change the text it is given; the box keeps what the user typed.
    UserAction action(*this);
    std::u16string item = txtItem->text().toStdU16String();
    AddItemToCurrentList(item);
}

void frmMain::mnuDelete_Click() {
    UserAction action(*this);
    DeleteSelectedItem();
}

void frmMain::chkShowX_Click() {
    UserAction action(*this);
    if (oManager)
        oManager->RefreshCurrentConnections();
}

void frmMain::cmdReadme_Click() {
    ShellOpen(AppPath + u"readme.txt");
}

void frmMain::cmdWebsite_Click() {
    ShellOpen(WebsiteAddress);
}

// --- MainForm ------------------------------------------------------------------------------------

void frmMain::lstMainRefill(std::shared_ptr<const List> items) {
    pendingRefill_ = std::move(items);
    refillPending_ = true;
    if (!ListBoxShown())
        return;
    if (userAction_ > 0) {
        ShowPendingRefill();
        return;
    }
    // A pass's refill waits for the pump, so that the pass itself stays short.
    const qint64 since = lastRefill_.isValid() ? lastRefill_.elapsed() : RefillInterval;
    if (!refillTimer_.isActive())
        refillTimer_.start(int(std::max<qint64>(0, RefillInterval - since)));
}

bool frmMain::ListBoxShown() const {
    return isVisible() && !isMinimized();
}

void frmMain::ShowPendingRefill() {
    if (!refillPending_ || !ListBoxShown())
        return;
    refillPending_ = false;
    refillTimer_.stop();
    lastRefill_.start();
    // The same list refilled keeps its scroll position (the connections view changes under the
    // user's eyes); another list starts at its top, as an emptied and refilled list box would.
    const bool sameList = lstMainModel->rowCount() > 0 && lstMainModel->Showing(pendingRefill_);
    QScrollBar* scroll = lstMain->verticalScrollBar();
    const int position = scroll->value();
    lstMainModel->Show(std::move(pendingRefill_));
    // No row stays selected or current: the view must not pick a neighbour of a vanished row.
    lstMain->selectionModel()->clear();
    if (sameList)
        scroll->setValue(position);
}

int32_t frmMain::lstMainListCount() const {
    return lstMainModel->rowCount();
}

std::u16string frmMain::lstMainList(int32_t row) const {
    if (row < 0 || row >= lstMainModel->rowCount())
        return {};
    return lstMainModel->Text(row).toStdU16String();
}

bool frmMain::lstMainSelected(int32_t row) const {
    return lstMain->selectionModel()->isRowSelected(row, {});
}

// The Manager sets the heading and the enabled states at every refill of the connections view:
// an unchanged value costs no repaint.
void frmMain::txtHeadSetText(const std::u16string& text) {
    const QString heading = QString::fromStdU16String(text);
    if (txtHead->text() == heading)
        return;
    txtHead->setText(heading);
    // Told to a screen reader only when it changes, not at every refill of the same view.
    lstMain->setAccessibleName(heading);
}

void frmMain::mnuDeleteSetEnabled(bool enabled) {
    mnuDelete->setEnabled(enabled);
}

void frmMain::txtItemSetEnabled(bool enabled) {
    txtItem->setEnabled(enabled);
}

void frmMain::cmdAddSetEnabled(bool enabled) {
    // Read only once it has been read before: the first read of Enabled has a meaning of its own.
    if (cmdAdd->FirstRun() != 0 && cmdAdd->Enabled() == enabled)
        return;
    cmdAdd->setProperty("Enabled", enabled);
}

int32_t frmMain::chkShowXValue() const {
    switch (chkShowX->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}
