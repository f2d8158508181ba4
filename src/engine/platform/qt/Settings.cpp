// The per-user settings store over QSettings: an INI file in the user's config folder (the
// registry on Windows), one value per key.
#include "engine/basAPI.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

namespace {

std::unique_ptr<QSettings> OpenStore(const std::u16string& appName) {
#ifdef Q_OS_WIN
    constexpr QSettings::Format format = QSettings::NativeFormat;
#else
    constexpr QSettings::Format format = QSettings::IniFormat;
#endif
    const QString name = QString::fromStdU16String(appName);
    auto store = std::make_unique<QSettings>(format, QSettings::UserScope, name, name);
    // Keys of the system-wide or organisation-wide files must not leak into the user's lists.
    store->setFallbacksEnabled(false);
    return store;
}

// "General" is the INI file's own section for top-level keys; as a group it would be written
// as [%General].
void EnterSection(QSettings& store, const std::u16string& section) {
    if (section != u"General")
        store.beginGroup(QString::fromStdU16String(section));
}

} // namespace

namespace api {

std::u16string GetSetting(const std::u16string& appName, const std::u16string& section,
                          const std::u16string& key, const std::u16string& defaultValue) {
    auto store = OpenStore(appName);
    EnterSection(*store, section);
    const QString name = QString::fromStdU16String(key);
    if (!store->contains(name))
        return defaultValue;
    const QVariant value = store->value(name);
    // A hand-edited unquoted 135,139,445 reads back as a list of three.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',').toStdU16String();
    return value.toString().toStdU16String();
}

bool SaveSettings(const std::u16string& appName, const std::u16string& section,
                  const std::vector<SettingValue>& values) {
    auto store = OpenStore(appName);
    EnterSection(*store, section);
    for (const SettingValue& v : values)
        store->setValue(QString::fromStdU16String(v.key), QString::fromStdU16String(v.value));
    // One write of the whole file (temporary file, then rename). A file that reads badly is
    // still rewritten; only an access error means the values did not get there.
    store->sync();
    return store->status() != QSettings::AccessError;
}

} // namespace api
