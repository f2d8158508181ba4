// The one routine that shows a run-time error to the user, and the error it showed last.
#pragma once

#include <cstdint>
#include <string>

extern int32_t LastErrorNumber;
extern std::u16string LastErrorDescription;

// Shows "<ProcedureName>: error <number>: <description>" in a message box with an OK button,
// titled with the application's title, after recording the error in the two globals.
void ReportError(const std::u16string& ProcedureName, int32_t number,
                 const std::u16string& description);

// The application's title, used on every message box.
inline constexpr char16_t AppTitle[] = u"Orvo Kestrel Gate";
