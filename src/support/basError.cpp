#include "support/basError.h"

#include "engine/basAPI.h"
#include "support/Variant.h"

#include <string>

int32_t LastErrorNumber = 0;
std::u16string LastErrorDescription;

void ReportError(const std::u16string& ProcedureName, int32_t number,
                 const std::u16string& description) {
    LastErrorNumber = number;
    LastErrorDescription = description;
    api::MsgBox(ProcedureName + u": error " + ToU16(std::to_string(number)) + u": " + description,
                api::vbOKOnly, AppTitle);
}
