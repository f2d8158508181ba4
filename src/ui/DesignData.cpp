#include "ui/DesignData.h"

#include "support/Variant.h"

#include <QFile>
#include <QSaveFile>

#include <cmath>
#include <limits>
#include <mutex>

// Outside any namespace, as Q_INIT_RESOURCE requires. The resources live in a static library,
// whose registration object the linker would otherwise leave out.
void InitCommandResources() {
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(command); });
}

int TwipsToPixels(int twips) {
    return int(std::nearbyint(double(twips) / TwipsPerPixel));
}

namespace {

// A stored value as a tagged value, whose conversions read it: one number syntax for the whole
// program.
Variant ToVariant(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return Variant::Boolean(value.toBool());
    case QMetaType::QString:
        return Variant::Text(value.toString().toStdU16String());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return Variant::Double(value.toDouble());
    default:
        return Variant::Null();
    }
}

std::optional<double> ToNumber(const QVariant& value) {
    double number = 0;
    if (!ToVariant(value).ToDouble(number) || !std::isfinite(number))
        return std::nullopt;
    return number;
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

} // namespace

std::optional<int64_t> PropertyWhole(const QVariant& value, int64_t low, int64_t high) {
    int32_t whole = 0;
    if (!ToVariant(value).ToLong(whole) || whole < low || whole > high)
        return std::nullopt;
    return whole;
}

std::optional<bool> PropertyBoolean(const QVariant& value) {
    bool flag = false;
    if (!ToVariant(value).ToBoolean(flag))
        return std::nullopt;
    return flag;
}

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
            PropertyWhole(field("Weight").isValid() ? field("Weight") : QVariant(400), 1, 1000);
        if (name.typeId() == QMetaType::QString && size && *size > 0 && weight) {
            QFont font(name.toString());
            font.setPointSizeF(*size);
            font.setWeight(QFont::Weight(*weight));
            font.setItalic(PropertyBoolean(field("Italic")).value_or(false));
            font.setUnderline(PropertyBoolean(field("Underline")).value_or(false));
            font.setStrikeOut(PropertyBoolean(field("Strikethrough")).value_or(false));
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
