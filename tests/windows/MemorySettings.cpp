// The settings store in memory, for the cross-build, which has no Qt: each program starts empty.
#include "engine/basAPI.h"

#include <map>
#include <tuple>

static auto& Store() { // built on first use: a suite may read settings while its statics are made
    static std::map<std::tuple<std::u16string, std::u16string, std::u16string>, std::u16string> s;
    return s;
}

std::u16string api::GetSetting(const std::u16string& appName, const std::u16string& section,
                               const std::u16string& key, const std::u16string& defaultValue) {
    const auto found = Store().find({appName, section, key});
    return found == Store().end() ? defaultValue : found->second;
}

bool api::SaveSettings(const std::u16string& appName, const std::u16string& section,
                       const std::vector<SettingValue>& values) {
    for (const auto& v : values)
        Store()[{appName, section, v.key}] = v.value;
    return true;
}
