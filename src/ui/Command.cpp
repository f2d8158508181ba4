#include "ui/Command.h"
#include "ui/CommandAccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFocusEvent>
#include <QKeySequence>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QShortcutEvent>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

// Outside any namespace, as Q_INIT_RESOURCE requires. The resources live in a static library,
// whose registration object the linker would otherwise leave out.
static void InitCommandResources() {
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(command); });
}

namespace {

// --- Value conversions of restored properties ------------------------------------------------

std::optional<double> ToNumber(const QVariant& value) {
    bool ok = false;
    double number = 0;
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? -1.0 : 0.0;
    case QMetaType::QString:
        number = value.toString().trimmed().toDouble(&ok);
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        number = value.toDouble(&ok);
        break;
    default:
        break;
    }
    if (!ok || !std::isfinite(number))
        return std::nullopt;
    return number;
}

// A whole number in [low, high]; fractions go to the nearest, halves to the even neighbour.
std::optional<int64_t> ToWhole(const QVariant& value, int64_t low, int64_t high) {
    const auto number = ToNumber(value);
    if (!number)
        return std::nullopt;
    const double whole = std::nearbyint(*number);
    if (whole < double(low) || whole > double(high))
        return std::nullopt;
    return int64_t(whole);
}

std::optional<bool> ToBoolean(const QVariant& value) {
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(u"True", Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(u"False", Qt::CaseInsensitive) == 0)
            return false;
    }
    const auto number = ToNumber(value);
    if (!number)
        return std::nullopt;
    return *number != 0;
}

// --- Text form of property values ------------------------------------------------------------

QString Quote(const QString& text) {
    QString out = u"\""_qs;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += u"\\\\";
            break;
        case '"':
            out += u"\\\"";
            break;
        case '\n':
            out += u"\\n";
            break;
        case '\r':
            out += u"\\r";
            break;
        case '\t':
            out += u"\\t";
            break;
        default:
            out += c;
        }
    }
    return out + u'"';
}

// The text between the opening quote and the first unescaped closing one.
QString Unquote(QStringView quoted) {
    QString out;
    for (qsizetype i = 1; i < quoted.size(); ++i) {
        const QChar c = quoted[i];
        if (c == u'"')
            break;
        if (c == u'\\' && i + 1 < quoted.size()) {
            const QChar next = quoted[++i];
            out += next == u'n'   ? QChar(u'\n')
                   : next == u'r' ? QChar(u'\r')
                   : next == u't' ? QChar(u'\t')
                                  : next;
        } else {
            out += c;
        }
    }
    return out;
}

QString BooleanText(bool value) {
    return value ? u"True"_qs : u"False"_qs;
}

QString ValueText(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return BooleanText(value.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toString();
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', 15);
    default:
        return Quote(value.toString());
    }
}

// Unquoted text is typed by its look, so that numbers and Booleans are written back unquoted.
QVariant ParseValue(const QString& text) {
    if (text.startsWith(u'"'))
        return Unquote(text);
    if (text == u"True" || text == u"False")
        return text == u"True";
    bool ok = false;
    const qlonglong whole = text.toLongLong(&ok);
    if (ok && whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max())
        return int(whole);
    const double number = text.toDouble(&ok);
    if (ok)
        return number;
    return text;
}

// (key, text) lines of one property; a font takes six.
std::vector<std::pair<QString, QString>> PropertyLines(const QString& key, const QVariant& value) {
    if (value.typeId() != QMetaType::QFont)
        return {{key, ValueText(value)}};
    const QFont font = value.value<QFont>();
    return {{key + u".Name"_qs, Quote(font.family())},
            {key + u".Size"_qs, QString::number(font.pointSizeF(), 'g', 10)},
            {key + u".Weight"_qs, QString::number(font.weight())},
            {key + u".Italic"_qs, BooleanText(font.italic())},
            {key + u".Underline"_qs, BooleanText(font.underline())},
            {key + u".Strikethrough"_qs, BooleanText(font.strikeOut())}};
}

bool SameValue(const QVariant& a, const QVariant& b) {
    if (a.typeId() == QMetaType::QFont && b.typeId() == QMetaType::QFont)
        return a.value<QFont>() == b.value<QFont>();
    return a.typeId() == b.typeId() && a == b;
}

// --- Drawing ---------------------------------------------------------------------------------

QColor ColourFromNumber(int colour) {
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

int TwipsToPixels(int twips) {
    return int(std::nearbyint(double(twips) / Command::TwipsPerPixel));
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

// --- PropertyBag -------------------------------------------------------------------------------

QVariant PropertyBag::ReadProperty(const QString& key, const QVariant& defaultValue) const {
    for (const auto& [k, v] : values_)
        if (k == key)
            return v;
    return defaultValue;
}

void PropertyBag::WriteProperty(const QString& key, const QVariant& value,
                                const QVariant& defaultValue) {
    const bool isDefault = defaultValue.isValid() && SameValue(value, defaultValue);
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (it->first == key) {
            if (isDefault)
                values_.erase(it);
            else
                it->second = value;
            return;
        }
    }
    if (!isDefault)
        values_.emplace_back(key, value);
}

bool PropertyBag::Contains(const QString& key) const {
    for (const auto& entry : values_)
        if (entry.first == key)
            return true;
    return false;
}

QStringList PropertyBag::Keys() const {
    QStringList keys;
    for (const auto& entry : values_)
        keys << entry.first;
    return keys;
}

bool PropertyBag::operator==(const PropertyBag& other) const {
    const auto lines = [](const PropertyBag& bag) {
        std::map<QString, QString> all;
        for (const auto& [key, value] : bag.values_)
            for (auto& line : PropertyLines(key, value))
                all.insert(std::move(line));
        return all;
    };
    return lines(*this) == lines(other);
}

QString PropertyBag::ToText() const {
    QString text;
    for (const auto& [key, value] : values_)
        for (const auto& [k, v] : PropertyLines(key, value))
            text += k + u'=' + v + u'\n';
    return text;
}

bool PropertyBag::ParseLine(const QString& line) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals <= 0)
        return false;
    const QString key = line.left(equals).trimmed();
    const QString text = line.mid(equals + 1).trimmed();
    if (key.isEmpty())
        return false;
    const qsizetype dot = key.indexOf(u'.');
    if (dot > 0) {
        const QString fontKey = key.left(dot);
        if (!pendingFonts_.contains(fontKey) && !Contains(fontKey))
            values_.emplace_back(fontKey, QVariant());
        pendingFonts_[fontKey][key.mid(dot + 1)] = text;
        return true;
    }
    WriteProperty(key, ParseValue(text));
    return true;
}

// A font with an unreadable Name, Size or Weight is kept as empty text, which no property
// takes for a font.
void PropertyBag::FinishFonts() {
    for (const auto& [fontKey, fields] : pendingFonts_) {
        QVariant result = QString();
        const auto field = [&](const char* name) {
            const auto it = fields.find(QString::fromLatin1(name));
            return it == fields.end() ? QVariant() : ParseValue(it->second);
        };
        const QVariant name = field("Name");
        const auto size = ToNumber(field("Size"));
        const auto weight =
            ToWhole(field("Weight").isValid() ? field("Weight") : QVariant(400), 1, 1000);
        if (name.typeId() == QMetaType::QString && size && *size > 0 && weight) {
            QFont font(name.toString());
            font.setPointSizeF(*size);
            font.setWeight(QFont::Weight(*weight));
            font.setItalic(ToBoolean(field("Italic")).value_or(false));
            font.setUnderline(ToBoolean(field("Underline")).value_or(false));
            font.setStrikeOut(ToBoolean(field("Strikethrough")).value_or(false));
            result = font;
        }
        for (auto& entry : values_)
            if (entry.first == fontKey)
                entry.second = result;
    }
    pendingFonts_.clear();
}

DesignData ParseDesignData(const QString& text) {
    DesignData data;
    PropertyBag* bag = nullptr;
    for (const QString& raw : text.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            if (bag)
                bag->FinishFonts();
            bag = &data[line.mid(1, line.size() - 2).trimmed()];
            continue;
        }
        if (bag)
            bag->ParseLine(line);
    }
    if (bag)
        bag->FinishFonts();
    return data;
}

QString DesignDataText(const DesignData& data) {
    QString text =
        u"# Design data: one section per control, one property a line; positions and sizes in twips.\n"_qs;
    for (const auto& [name, bag] : data)
        text += u"\n["_qs + name + u"]\n"_qs + bag.ToText();
    return text;
}

DesignData ReadDesignData(const QString& path) {
    InitCommandResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return ParseDesignData(QString::fromUtf8(file.readAll()));
}

bool WriteDesignData(const DesignData& data, const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(DesignDataText(data).toUtf8());
    return file.commit();
}

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
    if (const auto enabled = ToBoolean(bag.ReadProperty(u"Enabled"_qs, true)))
        enabled_ = *enabled;
    if (const QVariant caption = bag.ReadProperty(u"Caption"_qs, u"Command1"_qs);
        caption.canConvert<QString>() && caption.typeId() != QMetaType::QFont)
        caption_ = caption.toString();
    if (const QVariant font = bag.ReadProperty(u"Font"_qs, AmbientFont());
        font.typeId() == QMetaType::QFont)
        font_ = font.value<QFont>();
    if (const auto firstRun = ToWhole(bag.ReadProperty(u"FirstRun"_qs, 1), 0, 255))
        firstRun_ = int(*firstRun);
    if (const auto colour =
            ToWhole(bag.ReadProperty(u"FontColour"_qs, 0), std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max());
        colour && SetTextColour(int(*colour)))
        fontColour_ = textColour_;
    if (const auto opacity = ToWhole(bag.ReadProperty(u"Visible"_qs, 1), 0, 1))
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
