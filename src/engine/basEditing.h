// Adding to and deleting from the list of the current view, with the checks of what is typed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the window's Add and Delete do.
void AddItemToCurrentList(std::u16string& ItemText);
void DeleteSelectedItem();
bool IsValidIPAddress(const std::u16string& Text);
// The text an address of either version is stored in (leading zeros dropped, IPv6 in its
// canonical form), so that it can equal a remote address's text; nothing when it is not valid.
std::optional<std::u16string> CanonicalAddress(std::u16string_view text);
bool IsValidPort(const std::u16string& Text);
