// The settings store of basAPI.h kept in memory, for the Windows cross-build, which has no Qt.
// Each test program starts with an empty store, as the Linux suites start with an empty folder.
#include "engine/basAPI.h"

#include <map>
#include <tuple>

namespace {

using Address = std::tuple<std::u16string, std::u16string, std::u16string>;

std::map<Address, std::u16string>& Store() {
    static std::map<Address, std::u16string> store;
    return store;
}

} // namespace

namespace api {

std::u16string GetSetting(const std::u16string& appName, const std::u16string& section,
                          const std::u16string& key, const std::u16string& defaultValue) {
    const auto found = Store().find({appName, section, key});
    return found == Store().end() ? defaultValue : found->second;
}

bool SaveSettings(const std::u16string& appName, const std::u16string& section,
                  const std::vector<SettingValue>& values) {
    for (const auto& v : values)
        Store()[{appName, section, v.key}] = v.value;
    return true;
}

} // namespace api
