// The per-user settings store over QSettings: an INI file in the user's config folder (the
// registry on Windows), one value per key.
#include "engine/basAPI.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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

QString FileName(const std::u16string& appName) {
    return OpenStore(appName)->fileName();
}

// Why the store's file cannot be written: QSettings says only that it could not.
QString WriteFailure(const QString& path) {
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (folder.exists() && !folder.isDir())
        return "a file stands where the folder " + folder.filePath() + " should be";
    if (!QDir().mkpath(folder.filePath()))
        return "the folder " + folder.filePath() + " cannot be made";
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        return probe.errorString();
    probe.cancelWriting();
    return "the store refused the write";
}

// Writes the values to an INI file at `path`; false with the reason when they did not get there.
bool WriteIni(const QString& path, const std::u16string& section,
              const std::vector<api::SettingValue>& values, QString& reason) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        reason = WriteFailure(path);
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
    EnterSection(file, section);
    for (const api::SettingValue& v : values)
        file.setValue(QString::fromStdU16String(v.key), QString::fromStdU16String(v.value));
    file.sync();
    if (file.status() == QSettings::NoError)
        return true;
    reason = WriteFailure(path);
    return false;
}

// `base` with the date and time, and a counter when even that name is taken.
QString FreeName(const QString& base, const QString& suffix) {
    const QString stamped = base + QDateTime::currentDateTime().toString("-yyyyMMdd-HHmmss");
    QString name = stamped + suffix;
    for (int n = 2; QFileInfo::exists(name) && n < 1000; ++n)
        name = stamped + "-" + QString::number(n) + suffix;
    return name;
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
                  const std::vector<SettingValue>& values, std::u16string& reason) {
    auto store = OpenStore(appName);
    EnterSection(*store, section);
    for (const SettingValue& v : values)
        store->setValue(QString::fromStdU16String(v.key), QString::fromStdU16String(v.value));
    // One write of the whole file (temporary file, then rename). A file that reads badly is
    // still rewritten; only an access error means the values did not get there.
    store->sync();
    if (store->status() != QSettings::AccessError)
        return true;
    reason = WriteFailure(store->fileName()).toStdU16String();
    return false;
}

std::u16string SettingsLocation(const std::u16string& appName) {
    return FileName(appName).toStdU16String();
}

SettingsFile ReadSettingsFile(const std::u16string& appName) {
    SettingsFile result;
#ifndef Q_OS_WIN
    QFile file(FileName(appName));
    if (!file.exists()) {
        result.state = SettingsFile::State::Absent;
        return result;
    }
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray bytes = opened ? file.readAll() : QByteArray();
    if (!opened || file.error() != QFileDevice::NoError) {
        result.state = SettingsFile::State::Unreadable;
        result.reason = file.errorString().toStdU16String();
        return result;
    }
    result.state = SettingsFile::State::Read;
    result.bytes = bytes.toStdString();
#else
    (void)appName;
#endif
    return result;
}

std::u16string CopySettingsAside(const std::u16string& appName, const std::u16string& section,
                                 const std::vector<SettingValue>& values, std::u16string& reason) {
    QString failure;
#ifdef Q_OS_WIN
    const QString copy =
        FreeName(QDir::tempPath() + "/" + QString::fromStdU16String(appName), ".ini");
    if (WriteIni(copy, section, values, failure))
        return copy.toStdU16String();
#else
    (void)section;
    (void)values;
    const QString path = FileName(appName);
    QString copy = path + ".bak";
    QFile file(path), earlier(copy);
    // A restart that finds the same file again keeps its one copy.
    if (file.open(QIODevice::ReadOnly) && earlier.open(QIODevice::ReadOnly) &&
        file.readAll() == earlier.readAll())
        return copy.toStdU16String();
    file.close();
    if (QFileInfo::exists(copy))
        copy = FreeName(path, ".bak");
    if (file.copy(copy))
        return copy.toStdU16String();
    failure = file.errorString();
#endif
    reason = failure.toStdU16String();
    return {};
}

std::u16string SaveSettingsElsewhere(const std::u16string& appName, const std::u16string& section,
                                     const std::vector<SettingValue>& values,
                                     std::u16string& reason) {
    const QString name = QString::fromStdU16String(appName);
    QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty())
        stateHome = QDir::homePath() + "/.local/state";
    const QString candidates[] = {FileName(appName), stateHome + "/" + name + "/" + name + ".ini",
                                  QDir::tempPath() + "/" + name + ".ini"};
    QString failures;
    for (const QString& candidate : candidates) {
        if (!candidate.endsWith(".ini")) // the registry: no file beside it
            continue;
        const QString path = FreeName(candidate.chopped(4) + "-unsaved", ".ini");
        QString failure;
        if (WriteIni(path, section, values, failure))
            return QDir::toNativeSeparators(path).toStdU16String();
        failures += (failures.isEmpty() ? "" : "; ") + path + ": " + failure;
    }
    reason = failures.toStdU16String();
    return {};
}

} // namespace api
