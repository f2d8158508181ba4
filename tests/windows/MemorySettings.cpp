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
                       const std::vector<SettingValue>& values, std::u16string&) {
    for (const auto& v : values)
        Store()[{appName, section, v.key}] = v.value;
    return true;
}

std::u16string api::SettingsLocation(const std::u16string& appName) {
    return u"memory:" + appName;
}

api::SettingsFile api::ReadSettingsFile(const std::u16string&) {
    return {};
}

std::u16string api::CopySettingsAside(const std::u16string&, const std::u16string&,
                                      const std::vector<SettingValue>&, std::u16string& reason) {
    reason = u"the store is in memory";
    return {};
}

std::u16string api::SaveSettingsElsewhere(const std::u16string&, const std::u16string&,
                                          const std::vector<SettingValue>&,
                                          std::u16string& reason) {
    reason = u"the store is in memory";
    return {};
}
