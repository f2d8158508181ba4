#include "fakes/ScriptedPlatform.h"

using fake::P;

namespace api {

bool PreviousInstance() {
    return P().previousInstance;
}

void EndProcess(int32_t status) {
    throw fake::ProcessEnded{status};
}

MainForm* LoadMainForm() {
    ++P().formLoads;
    return P().mainForm;
}

void ShowMainForm() {}

void DoEvents() {
    if (P().onDoEvents)
        P().onDoEvents();
}

void WaitForWork(uint32_t dwMilliseconds) {
    P().waits.push_back(dwMilliseconds);
    if (P().onWait)
        P().onWait();
}

int32_t MsgBox(const std::u16string& prompt, int32_t, const std::u16string& title) {
    P().messages.push_back(prompt);
    P().messageTitles.push_back(title);
    return vbOK;
}

void ShowNotice(const std::u16string& text) {
    P().notices.push_back(text);
}

void ShowCuttingState(bool cutting, const std::u16string& reason) {
    P().cuttingStates.emplace_back(cutting, reason);
}

void ShowCutCount(uint64_t cuts) {
    P().cutCount = cuts;
}

void ShellExecuteOpen(const std::u16string&) {}

} // namespace api
