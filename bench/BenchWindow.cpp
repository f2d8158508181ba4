#include "BenchWindow.h"

#include "engine/basAPI.h"

#include <cstdlib>

#include <poll.h>

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
void WaitForWork(uint32_t dwMilliseconds) {
    const intptr_t handle = TableWakeHandle();
    if (handle < 0) {
        Sleep(dwMilliseconds == INFINITE ? 1 : dwMilliseconds);
        return;
    }
    pollfd table{int(handle), POLLIN, 0};
    ::poll(&table, 1, dwMilliseconds == INFINITE ? -1 : int(dwMilliseconds));
}
int32_t MsgBox(const std::u16string&, int32_t, const std::u16string&) {
    return vbOK;
}
void ShowNotice(const std::u16string&) {}
void ShowCuttingState(bool, const std::u16string&) {}
void ShowCutCount(uint64_t) {}
void ShellExecuteOpen(const std::u16string&) {}
bool PreviousInstance() {
    return false;
}
void EndProcess(int32_t status) {
    std::exit(status);
}

} // namespace api
