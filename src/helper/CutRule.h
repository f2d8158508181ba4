// Whose connections okgate-helper resets. By default only the connections of the user who started
// it: the group okgate grants its members the right to cut their own. An administrator may let
// it cut any user's in a file root owns, which the helper reads at start.
#pragma once

#include <string>
#include <string_view>

namespace okg::helper {

enum class CutOwners { Own, Any };

inline constexpr char CutRulePath[] = "/etc/okgate/helper.conf";

// The rule in a file's text: each line empty, a comment (#...), or the one line "cut = own" or
// "cut = any" (blanks around the words allowed). False for anything else, with why.
bool ParseCutRule(std::string_view text, CutOwners& owners, std::string& why);

// The rule of the file at path: Own without one. A file that is not a regular file owned by root
// and written by no one else, in a folder of the same kind, or that does not parse, is refused:
// Own, with why.
CutOwners ReadCutRule(const std::string& path, std::string& why);

} // namespace okg::helper
