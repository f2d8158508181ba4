// The process services over kernel32.
#include "engine/basAPI.h"

#include <windows.h>

namespace api {

void Sleep(uint32_t dwMilliseconds) {
    ::Sleep(dwMilliseconds);
}

std::u16string AppFolder() {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters on Windows");
    // The path may be longer than MAX_PATH; grow until the whole name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768) // the longest path Windows has
            return {};
        path.resize(path.size() * 2);
    }
    const auto cut = path.find_last_of(L"\\/");
    path.resize(cut == std::wstring::npos ? 0 : cut + 1);
    return std::u16string(path.begin(), path.end());
}

char16_t PathSeparator() {
    return u'\\';
}

} // namespace api
