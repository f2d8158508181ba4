#include "ui/Command.h"
#include "ui/CommandAccessible.h"
#include "ui/DesignData.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QFocusEvent>
#include <QKeySequence>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcutEvent>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

// --- Drawing ---------------------------------------------------------------------------------

QColor ColourFromNumber(int colour) {
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

// The gradient colours are colour texts read as red-green-blue (not the 0x00BBGGRR of every
// other colour number); a channel carries its 8-bit intensity in the high byte.
const QString kLavenderText = u"&HC6C5D7"_qs;
const QString kWhiteText = u"&HFFFFFF"_qs;

uint16_t ColourChannel(const QString& colourText, int channel) {
    const uint value = colourText.mid(2).toUInt(nullptr, 16);
    const QString digits = QString::number(value, 16).rightJustified(6, u'0');
    return uint16_t(QString(digits.mid(channel * 2, 2) + u"00"_qs).toUInt(nullptr, 16));
}

struct TriVertex {
    int32_t x = 0;
    int32_t y = 0;
    uint16_t red = 0, green = 0, blue = 0, alpha = 0;

    void SetColour(const QString& colourText) {
        red = ColourChannel(colourText, 0);
        green = ColourChannel(colourText, 1);
        blue = ColourChannel(colourText, 2);
        alpha = 0;
    }
    QColor Colour() const { return QColor(red >> 8, green >> 8, blue >> 8); }
};

struct GradientRectMesh {
    uint32_t upperLeft = 0;
    uint32_t lowerRight = 0;
};

// A skin piece in twips: destination x, y, width, height; source x, y, width, height.
struct SkinSlice {
    int16_t dx, dy, dw, dh, sx, sy, sw, sh;
};

// Corners are copied, edges stretched; the middle of the image is never copied so the gradient
// shows through. The offset of one twip is less than a pixel.
std::array<SkinSlice, 8> SkinSlices(int W, int H) {
    constexpr int corner = 60, imageWidth = 960, imageHeight = 375, offset = 1;
    constexpr int middleWidth = imageWidth - 2 * corner;   // 840
    constexpr int middleHeight = imageHeight - 2 * corner; // 255
    constexpr int bottom = corner + middleHeight;          // 315
    const auto s = [](int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
        return SkinSlice{int16_t(dx), int16_t(dy), int16_t(dw), int16_t(dh),
                         int16_t(sx), int16_t(sy), int16_t(sw), int16_t(sh)};
    };
    const int right = imageWidth - corner;
    return {s(offset, offset, corner, corner, 0, 0, corner, corner),
            s(corner, offset, W - 2 * corner, corner, corner, offset, middleWidth, corner),
            s(W - corner, offset, corner, corner, right, offset, corner, corner),
            s(W - corner, corner, corner, H - 2 * corner, right, corner, corner, middleHeight),
            s(W - corner, H - corner, corner, corner, right, bottom, corner, corner),
            s(corner, H - corner, W - 2 * corner, corner, corner, bottom, middleWidth, corner),
            s(offset, H - corner, corner, corner, 0, bottom, corner, corner),
            s(offset, corner, corner, H - 2 * corner, offset, corner, corner, middleHeight)};
}

QRect PixelRect(int x, int y, int w, int h) {
    return QRect(TwipsToPixels(x), TwipsToPixels(y), TwipsToPixels(w), TwipsToPixels(h));
}

const char* const kSkinFiles[] = {"Normal",          "HighLight", "Selected",
                                  "HighLightSelect", "Pressed",   "Disable"};

// 96 dots an inch, the resolution at which 15 twips make a pixel, so point sizes come out as on
// the screen the geometry is made for.
constexpr int kDotsPerMeter = 3780;

} // namespace

// --- Command: creation and properties ----------------------------------------------------------

Command::Command(QWidget* parent) : QWidget(parent) {
    InitCommandResources();
    InstallCommandAccessible();
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    font_ = AmbientFont();

    tmrMouse_ = new QTimer(this);
    tmrMouse_->setInterval(MouseTimerInterval);
    connect(tmrMouse_, &QTimer::timeout, this, &Command::TmrMouseTimer);

    resize(105, 28); // a newly placed button: 1575 x 420 twips

    caption_ = u"Command"_qs;
    SetEnabled(true);
}

Command::~Command() = default;

QSize Command::sizeHint() const {
    return QSize(105, 28);
}

void Command::SetCaption(const QString& caption) {
    caption_ = caption;
    emit PropertyChanged(u"Caption"_qs);
    Redraw();
    QAccessibleEvent named(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&named);
}

bool Command::Enabled() {
    if (firstRun_ == 0) {
        firstRun_ = 1;
        enabled_ = true;
    }
    return enabled_;
}

void Command::SetEnabled(bool enabled) {
    enabled_ = enabled;
    emit PropertyChanged(u"Enabled"_qs);
    Redraw();
    QAccessible::State unavailable;
    unavailable.disabled = true;
    QAccessibleStateChangeEvent changed(this, unavailable);
    QAccessible::updateAccessibility(&changed);
}

void Command::SetFont(const QFont& font) {
    font_ = font;
    emit PropertyChanged(u"Font"_qs);
    Redraw();
}

void Command::SetFontColour(int colour) {
    // A colour the host refuses leaves the caption colour as it was: reading the host back would
    // take the silver of a disabled button for it.
    if (SetTextColour(colour))
        fontColour_ = textColour_;
    emit PropertyChanged(u"FontColour"_qs);
    Redraw();
}

int Command::Visible() {
    if (opaque_) {
        Redraw();
        return 255;
    }
    return 0;
}

void Command::SetVisible(int visible) {
    if (visible != 0) {
        SetOpaque(true);
        Redraw();
    } else {
        SetOpaque(false);
    }
    emit PropertyChanged(u"Visible"_qs);
}

void Command::Initialize() {
    buttonState_ = NormalState;
    initialized_ = true;
    tmrMouse_->setInterval(MouseTimerInterval);
    FollowMouseWhileItCanChange();
}

// Only a highlighted button, or a disabled one still in another state, can change on a tick: the
// timer runs just then, so that nine resting buttons cost no wake-up at all.
void Command::FollowMouseWhileItCanChange() {
    const bool canChange =
        initialized_ && (buttonState_ == HighLightState || buttonState_ == HighLightSelectState ||
                         (buttonState_ != Disabled && !enabled_));
    if (canChange && !tmrMouse_->isActive())
        tmrMouse_->start();
    else if (!canChange && tmrMouse_->isActive())
        tmrMouse_->stop();
}

bool Command::MouseTimerActive() const {
    return tmrMouse_->isActive();
}

// A stored value that does not convert leaves its field as it was; the other keys are still read.
void Command::ReadProperties(const PropertyBag& bag) {
    if (const auto enabled = PropertyBoolean(bag.ReadProperty(u"Enabled"_qs, true)))
        enabled_ = *enabled;
    if (const QVariant caption = bag.ReadProperty(u"Caption"_qs, u"Command1"_qs);
        caption.canConvert<QString>() && caption.typeId() != QMetaType::QFont)
        caption_ = caption.toString();
    if (const QVariant font = bag.ReadProperty(u"Font"_qs, AmbientFont());
        font.typeId() == QMetaType::QFont)
        font_ = font.value<QFont>();
    if (const auto firstRun = PropertyWhole(bag.ReadProperty(u"FirstRun"_qs, 1), 0, 255))
        firstRun_ = int(*firstRun);
    if (const auto colour =
            PropertyWhole(bag.ReadProperty(u"FontColour"_qs, 0),
                          std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
        colour && SetTextColour(int(*colour)))
        fontColour_ = textColour_;
    if (const auto opacity = PropertyWhole(bag.ReadProperty(u"Visible"_qs, 1), 0, 1))
        SetOpaque(*opacity == 1);
    Redraw();
}

// The caption colour is stored from the field, not from the surface's current text colour: a
// disabled button shows silver, and storing that would lose the colour it was given.
void Command::WriteProperties(PropertyBag& bag) {
    bag.WriteProperty(u"Enabled"_qs, enabled_, true);
    bag.WriteProperty(u"Caption"_qs, caption_, u"Command"_qs);
    bag.WriteProperty(u"FirstRun"_qs, firstRun_, 1);
    bag.WriteProperty(u"Font"_qs, font_, AmbientFont());
    bag.WriteProperty(u"FontColour"_qs, fontColour_, 0);
    bag.WriteProperty(u"Visible"_qs, opaque_ ? 1 : 0, 1);
    Redraw();
}

QFont Command::AmbientFont() const {
    return parentWidget() ? parentWidget()->font() : QApplication::font();
}

// The host accepts only plain colour numbers.
bool Command::SetTextColour(int colour) {
    if (colour < 0 || colour > 0xFFFFFF)
        return false;
    textColour_ = colour;
    return true;
}

void Command::SetOpaque(bool opaque) {
    opaque_ = opaque;
    // A transparent surface lets the form show through, so Qt must paint what lies beneath.
    setAttribute(Qt::WA_OpaquePaintEvent, opaque);
    update();
}

void Command::SetAccessKey(const QString& key) {
    if (key == accessKey_)
        return;
    if (shortcutId_ != 0)
        releaseShortcut(shortcutId_);
    shortcutId_ = 0;
    accessKey_ = key;
    if (!key.isEmpty()) {
        const auto code = Qt::Key(key.at(0).toUpper().unicode());
        shortcutId_ =
            grabShortcut(QKeySequence(QKeyCombination(Qt::AltModifier, code)), Qt::WindowShortcut);
    }
}

// --- Painting ----------------------------------------------------------------------------------

QImage Command::SkinImage(Skin skin) {
    static const std::array<QImage, 6> skins = [] {
        InitCommandResources();
        std::array<QImage, 6> images;
        for (size_t i = 0; i < images.size(); ++i)
            images[i] = QImage(QStringLiteral(":/command/skins/%1.png").arg(kSkinFiles[i]))
                            .convertToFormat(QImage::Format_RGB32);
        return images;
    }();
    return skins[size_t(skin)];
}

void Command::Redraw() {
    if (enabled_) {
        if (buttonState_ == Disabled)
            buttonState_ = NormalState;
        PaintState(Skin::Normal);
    } else {
        buttonState_ = Disabled;
        PaintState(Skin::Disable);
    }
}

void Command::PaintState(Skin skin) {
    ++paintCount_;
    lastSkin_ = skin;

    // Caption colour and access key; a caption without "&" keeps the key it had.
    if (enabled_) {
        if (const qsizetype amp = caption_.indexOf(u'&'); amp >= 0)
            SetAccessKey(caption_.mid(amp + 1, 1));
        SetTextColour(fontColour_);
    } else {
        buttonState_ = Disabled;
        SetTextColour(SilverColour);
        SetAccessKey({});
    }
    // Every change of state paints its skin.
    FollowMouseWhileItCanChange();

    // States 0 and 4 keep the direction of the last repaint.
    if (buttonState_ == NormalState || buttonState_ == SelectedState)
        gradientInverted_ = false;
    else if (buttonState_ == HighLightState)
        gradientInverted_ = true;

    const int W = width() * TwipsPerPixel;
    const int H = height() * TwipsPerPixel;

    if (surface_.size() != size()) {
        surface_ = QImage(size(), QImage::Format_RGB32);
        surface_.setDotsPerMeterX(kDotsPerMeter);
        surface_.setDotsPerMeterY(kDotsPerMeter);
    }
    surface_.fill(palette().color(QPalette::Button));
    if (!surface_.isNull()) {
        QPainter painter(&surface_);
        PaintGradient(painter);
        const QImage image = SkinImage(skin);
        if (!image.isNull()) {
            for (const SkinSlice& s : SkinSlices(W, H)) {
                const QRect target = PixelRect(s.dx, s.dy, s.dw, s.dh);
                const QRect source = PixelRect(s.sx, s.sy, s.sw, s.sh) & image.rect();
                // Buttons under 8 pixels give edges of no size: nothing to draw there.
                if (target.width() > 0 && target.height() > 0 && !source.isEmpty())
                    painter.drawImage(target, image, source);
            }
        }
        DrawCaption(painter, caption_);
    }

    for (LinePart& line : lines_)
        line.visible = false;
    if (buttonState_ == SelectedState || buttonState_ == HighLightSelectState) {
        lines_[0].twips = QLine(60, 60, 60, H - 60);
        lines_[1].twips = QLine(60, 60, W - 60, 60);
        lines_[2].twips = QLine(W - 70, 60, W - 70, H - 60);
        lines_[3].twips = QLine(60, H - 70, W - 60, H - 70);
        for (LinePart& line : lines_)
            line.visible = true;
    }
    ShowImage();
}

// A vertical gradient over the rectangle the two vertices span, right and bottom edges excluded;
// the top row takes the colour of the upper vertex, the bottom row that of the lower.
void Command::PaintGradient(QPainter& painter) {
    std::array<TriVertex, 2> vertices;
    vertices[0].SetColour(gradientInverted_ ? kLavenderText : kWhiteText);
    vertices[1].SetColour(gradientInverted_ ? kWhiteText : kLavenderText);
    vertices[1].x = surface_.width() - 1;
    vertices[1].y = surface_.height() - 1;
    const GradientRectMesh mesh{1, 0};

    const TriVertex& a = vertices[mesh.upperLeft];
    const TriVertex& b = vertices[mesh.lowerRight];
    const TriVertex& upper = a.y <= b.y ? a : b;
    const TriVertex& lower = a.y <= b.y ? b : a;
    const QRect area(QPoint(std::min(a.x, b.x), upper.y),
                     QPoint(std::max(a.x, b.x) - 1, lower.y - 1));
    if (area.isEmpty())
        return;
    QLinearGradient gradient(0, upper.y, 0, lower.y);
    gradient.setColorAt(0, upper.Colour());
    gradient.setColorAt(1, lower.Colour());
    painter.fillRect(area, gradient);
}

// Word-wrapped and centred between 4 pixels from each side, the block of lines centred
// vertically; "&" underlines the next character. Drawn without smoothing, as crisp as the skins.
void Command::DrawCaption(QPainter& painter, const QString& text) {
    const int w = surface_.width();
    const int h = surface_.height();
    QFont font = font_;
    font.setStyleStrategy(QFont::NoAntialias);
    painter.setFont(font);
    painter.setPen(ColourFromNumber(textColour_));

    constexpr int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic;
    const QRect measure(QPoint(4, 0), QPoint(w - 4 - 1, h - 1));
    const int textHeight = painter.boundingRect(measure, flags, text).height();
    const int top = int(std::nearbyint((h - textHeight) / 2.0));
    const QRect target(QPoint(4, top), QPoint(w - 4 - 1, h - 1));
    if (target.isEmpty())
        return;
    painter.save();
    painter.setClipRect(target);
    painter.drawText(target, flags, text);
    painter.restore();
}

// The persistent image with the visible focus lines: one pixel wide, dotted, inverting what lies
// beneath. A line leaves out its end point, so the corners are not inverted back by the next line.
void Command::ShowImage() {
    shown_ = surface_;
    if (lines_[0].visible && !shown_.isNull()) {
        QPainter painter(&shown_);
        QPen pen(Qt::white);
        pen.setCosmetic(true);
        pen.setWidth(1);
        pen.setDashPattern({1.0, 1.0});
        painter.setPen(pen);
        painter.setCompositionMode(QPainter::RasterOp_NotDestination);
        for (const LinePart& line : lines_) {
            if (!line.visible)
                continue;
            const QPoint from(TwipsToPixels(line.twips.x1()), TwipsToPixels(line.twips.y1()));
            const QPoint to(TwipsToPixels(line.twips.x2()), TwipsToPixels(line.twips.y2()));
            if (from == to)
                continue;
            const QPoint step((to.x() > from.x()) - (to.x() < from.x()),
                              (to.y() > from.y()) - (to.y() < from.y()));
            painter.drawLine(from, to - step);
        }
    }
    update();
}

void Command::paintEvent(QPaintEvent*) {
    if (!opaque_)
        return;
    QPainter painter(this);
    painter.drawImage(0, 0, shown_);
}

void Command::resizeEvent(QResizeEvent*) {
    Redraw();
}

// --- Interaction -------------------------------------------------------------------------------

bool Command::event(QEvent* event) {
    if (event->type() == QEvent::Shortcut) {
        const auto* shortcut = static_cast<QShortcutEvent*>(event);
        if (shortcutId_ != 0 && shortcut->shortcutId() == shortcutId_) {
            Press();
            return true;
        }
    }
    return QWidget::event(event);
}

void Command::mouseMoveEvent(QMouseEvent*) {
    if (enabled_)
        MouseMove();
}

void Command::mousePressEvent(QMouseEvent* event) {
    if (enabled_)
        MouseDown(event->button());
}

void Command::mouseReleaseEvent(QMouseEvent* event) {
    if (enabled_)
        MouseUp(event->button());
}

// The focus inside the window does not change when the window is deactivated or a popup opens:
// those focus changes are not the button's.
void Command::focusInEvent(QFocusEvent* event) {
    const bool windowOnly =
        event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason;
    if (windowOnly && (buttonState_ == SelectedState || buttonState_ == HighLightSelectState))
        return;
    if (enabled_)
        GotFocus();
}

void Command::focusOutEvent(QFocusEvent* event) {
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
        return;
    if (enabled_)
        LostFocus();
}

void Command::MouseMove() {
    if (buttonState_ == NormalState) {
        buttonState_ = HighLightState;
        PaintState(Skin::HighLight);
    }
    if (buttonState_ == SelectedState && !leftButtonDown_) {
        buttonState_ = HighLightSelectState;
        PaintState(Skin::HighLightSelect);
    }
}

void Command::MouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton)
        return;
    leftButtonDown_ = true;
    PaintState(Skin::Pressed);
}

void Command::MouseUp(Qt::MouseButton button) {
    if (button == Qt::LeftButton) {
        leftButtonDown_ = false;
        if (buttonState_ == HighLightState)
            PaintState(Skin::Normal);
        if (buttonState_ == HighLightSelectState)
            PaintState(Skin::HighLightSelect);
    }
    // The buttons a mouse of the platform's own kind has; back and forward are not clicks.
    const bool clickButton =
        button == Qt::LeftButton || button == Qt::RightButton || button == Qt::MiddleButton;
    if (clickButton && buttonState_ != SelectedState && enabled_)
        emit Click();
}

void Command::GotFocus() {
    if (buttonState_ != HighLightState) {
        buttonState_ = SelectedState;
        PaintState(Skin::Selected);
    } else {
        buttonState_ = HighLightSelectState;
        PaintState(Skin::Pressed);
    }
}

void Command::LostFocus() {
    if (buttonState_ != NormalState) {
        buttonState_ = NormalState;
        PaintState(Skin::Normal);
    }
}

void Command::Press() {
    if (!enabled_)
        return;
    // As any control's access key does, the press brings the focus along.
    if (!hasFocus())
        setFocus(Qt::ShortcutFocusReason);
    AccessKeyPress();
}

void Command::AccessKeyPress() {
    buttonState_ = HighLightState;
    GotFocus();
    MouseUp(Qt::LeftButton);
}

// The lines and skin images have no windows of their own, so the whole button area is the
// button's window: anywhere else, including the form itself, the pointer has left.
void Command::TmrMouseTimer() {
    ++tickCount_;
    if (QApplication::widgetAt(QCursor::pos()) != this)
        LeaveHighLight();
    FollowMouseWhileItCanChange();
}

void Command::LeaveHighLight() {
    if (buttonState_ != Disabled && !enabled_) {
        buttonState_ = Disabled;
        PaintState(Skin::Disable);
    }
    if (buttonState_ == HighLightState) {
        buttonState_ = NormalState;
        PaintState(Skin::Normal);
    }
    if (buttonState_ == HighLightSelectState) {
        buttonState_ = SelectedState;
        PaintState(Skin::Selected);
    }
}
