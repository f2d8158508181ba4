// The design data of a form: the stored properties of each of its controls, as a text of sections,
// and the twips its positions and sizes are given in.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

// Positions and sizes are in twips, 15 to a pixel at 96 dots an inch.
inline constexpr int TwipsPerPixel = 15;
int TwipsToPixels(int twips);

// Makes the button's skins and the window's design data readable as resources.
void InitCommandResources();

// A stored value read as a whole number in [low, high] or as a Boolean, by the tagged value's
// conversions (its number syntax, halves to the even neighbour); nothing when it does not read.
std::optional<int64_t> PropertyWhole(const QVariant& value, int64_t low, int64_t high);
std::optional<bool> PropertyBoolean(const QVariant& value);

// Keyed property store with defaults: a value equal to the default it is written with is not
// kept, and a key that is not kept reads back as the default given when reading. Keys keep the
// order in which they were first written.
class PropertyBag {
public:
    QVariant ReadProperty(const QString& key, const QVariant& defaultValue = {}) const;
    void WriteProperty(const QString& key, const QVariant& value,
                       const QVariant& defaultValue = {});
    bool Contains(const QString& key) const;
    QStringList Keys() const;

    // Equal when both hold the same keys with the same text form, whatever the value types.
    bool operator==(const PropertyBag& other) const;

    // "Key=Value" lines: text quoted with C escapes, Booleans True/False, numbers in decimal, a
    // font as Key.Name, Key.Size (points), Key.Weight, Key.Italic, Key.Underline and
    // Key.Strikethrough.
    QString ToText() const;
    // Adds one "Key=Value" line; a quoted value is unescaped, any other is kept as trimmed text.
    // Key.Name and its siblings come together as one QFont under Key. False for a line that is
    // not a property.
    bool ParseLine(const QString& line);

private:
    std::vector<std::pair<QString, QVariant>> values_;
    // The font subkeys of a bag that is still being parsed, by font key.
    std::map<QString, std::map<QString, QString>> pendingFonts_;
    void FinishFonts();
    friend std::map<QString, PropertyBag> ParseDesignData(const QString& text);
};

// A form's design data: one property bag per control, by control name.
using DesignData = std::map<QString, PropertyBag>;

// "[name]" sections of PropertyBag lines; blank lines and lines starting with "#" are skipped.
DesignData ParseDesignData(const QString& text);
QString DesignDataText(const DesignData& data);
// Reads a design-data file (resource paths such as ":/frmMain.design" too); empty when it cannot
// be read.
DesignData ReadDesignData(const QString& path);
// Writes atomically; false when the file could not be written.
bool WriteDesignData(const DesignData& data, const QString& path);
