#include "engine/basMain.h"

#include "engine/basAPI.h"
#include "engine/basProcessing.h"
#include "manager/Manager.h"

std::u16string AppPath;
std::unique_ptr<Manager> oManager;
bool ExitRequested = false;

std::u16string WithTrailingSeparator(std::u16string folder, char16_t separator) {
    if (folder.empty() || folder.back() != separator)
        folder += separator;
    return folder;
}

void Main() {
    if (api::PreviousInstance())
        return;
    AppPath = WithTrailingSeparator(api::AppFolder(), api::PathSeparator());
    InitTcpStateNames();
    oManager = std::make_unique<Manager>();
    LoadSettings();
    MainForm* form = api::LoadMainForm();
    oManager->oMainForm = form;
    api::ShowMainForm();
    api::DoEvents();
    oManager->SetCurrentMode(ConnectionsMode);
    oManager->RefreshLocalIPList();
    ProcessingLoop();
    EndProgram();
}

void EndProgram() {
    oManager.reset();
    api::EndProcess(0);
}

void ShellOpen(const std::u16string& Target) {
    api::ShellExecuteOpen(Target);
}
