#include "BenchWindow.h"

#include "engine/basAPI.h"

#include <cstdlib>

namespace bench {
std::function<void()> OnDoEvents;
}

namespace api {

MainForm* LoadMainForm() {
    return nullptr;
}
void ShowMainForm() {}
void DoEvents() {
    if (bench::OnDoEvents)
        bench::OnDoEvents();
}
int32_t MsgBox(const std::u16string&, int32_t, const std::u16string&) {
    return vbOK;
}
void ShowNotice(const std::u16string&) {}
void ShellExecuteOpen(const std::u16string&) {}
bool PreviousInstance() {
    return false;
}
void EndProcess(int32_t status) {
    std::exit(status);
}

} // namespace api
