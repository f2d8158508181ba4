// The settings loader on arbitrary file bytes, through the real store: it never crashes, keeps
// only valid items, leaves the file as it was until a list changes, and what a save writes loads
// again as the same lists without a word.
#include "engine/basEditing.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

std::u16string Lists() {
    return oManager->SaveListToString(*oManager->oBlockedLocalPorts) + u"|" +
           oManager->SaveListToString(*oManager->oBlockedRemotePorts) + u"|" +
           oManager->SaveListToString(*oManager->oAllowedIP);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir home;
    static const bool set = qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    (void)set;
    const QString folder = home.path() + "/OrvoKestrelgate", ini = folder + "/OrvoKestrelgate.ini";
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly))
            std::abort();
        file.write(bytes);
    }
    fake::Reset();
    oManager = std::make_unique<Manager>();
    LoadSettings();
    // Only items that can match are kept.
    for (List* list : {oManager->oBlockedLocalPorts.get(), oManager->oBlockedRemotePorts.get()})
        for (int32_t i = 0; i < list->GetItemCount(); ++i)
            if (int32_t port = list->GetItem(i).LongValue(); port < 1 || port > 65535)
                std::abort();
    for (int32_t i = 0; i < oManager->oAllowedIP->GetItemCount(); ++i)
        if (!IsValidIPAddress(oManager->oAllowedIP->GetItem(i).TextValue()))
            std::abort();
    SaveSettings();
    QFile file(ini);
    if (!fake::P().messages.empty() && (!file.open(QIODevice::ReadOnly) || file.readAll() != bytes))
        std::abort(); // written over although nothing changed
    // A change is saved; loading that gives the lists again, without a word.
    oManager->oBlockedRemotePorts->AddItem(Variant::Long(8080));
    const std::u16string changed = Lists();
    SaveSettings();
    fake::Reset();
    oManager = std::make_unique<Manager>();
    LoadSettings();
    if (Lists() != changed || !fake::P().messages.empty())
        std::abort();
    oManager.reset();
    return 0;
}
