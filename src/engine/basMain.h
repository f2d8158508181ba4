// Start-up, the settings store, and the document opener.
#pragma once

#include "support/basError.h"

#include <cstdint>
#include <memory>
#include <string>

class Manager;

extern std::u16string AppPath;            // program folder, always ending in one separator
extern std::unique_ptr<Manager> oManager; // the one controller, from Main to EndProgram
extern bool ExitRequested;                // set by the window when it closes; ends the loop

extern std::u16string BlockedLocalPortsString;
extern std::u16string BlockedRemotePortsString;
extern std::u16string AllowedIPString;

// The program: previous-instance test, state, lists, window, loop, end. Returns only when an
// earlier instance runs.
void Main();

// Releases the Manager and ends the process; does not return.
[[noreturn]] void EndProgram();

// Folder text with exactly one trailing separator added when it has none.
std::u16string WithTrailingSeparator(std::u16string folder, char16_t separator);

void LoadSettings();
void SaveSettings();
// The save as the window closes: a failure is always told, and the lists are written elsewhere.
void SaveSettingsAtClose();

// Hands a file or web address to the platform shell; the outcome is not examined.
void ShellOpen(const std::u16string& Target);

// The settings store's names.
inline constexpr char16_t SettingsApp[] = u"OrvoKestrelgate";
inline constexpr char16_t SettingsSection[] = u"General";
