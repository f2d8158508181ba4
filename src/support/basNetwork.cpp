#include "support/basNetwork.h"

#include "engine/basAPI.h"
#include "support/Variant.h"
#include "support/basError.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace {

// Error numbers shown for a failure inside the routines: out of memory, or anything else.
constexpr int32_t OutOfMemoryError = 7;
constexpr int32_t InternalError = 51;

void ReportException(const std::u16string& procedure) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        ReportError(procedure, OutOfMemoryError, u"Out of memory");
    } catch (const std::exception& e) {
        ReportError(procedure, InternalError, FromUtf8(e.what()));
    } catch (...) {
        ReportError(procedure, InternalError, u"Unknown error");
    }
}

std::string Trimmed(const char* text) {
    std::string s(text);
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace

std::u16string AddressToText(uint32_t Address) {
    const char* text = api::inet_ntoa(Address);
    if (text == nullptr)
        return u"Unable to get IP";
    const size_t length = strnlen(text, 32);
    std::u16string result(length, u'\0');
    for (size_t i = 0; i < length; ++i)
        result[i] = char16_t(static_cast<unsigned char>(text[i]));
    return result;
}

void SocketsInitialize() {
    try {
        api::WSAStartup(0x0101);
    } catch (...) {
        ReportException(u"SocketsInitialize");
    }
}

std::u16string GetIP() {
    try {
        char name[256] = {};
        SocketsInitialize();
        if (api::gethostname(name, sizeof name) == -1)
            return u"";
        name[sizeof name - 1] = '\0';
        const api::hostent* entry = api::gethostbyname(Trimmed(name).c_str());
        if (entry == nullptr)
            return u"";
        std::u16string result;
        for (const auto& address : entry->h_addr_list) {
            std::u16string piece;
            for (size_t i = 0; i < address.size() && i < size_t(entry->h_length); ++i) {
                piece += ToU16(std::to_string(address[i]));
                piece += u'.';
            }
            if (!piece.empty())
                piece.pop_back();
            result += piece;
            result += u' ';
        }
        return result;
    } catch (...) {
        ReportException(u"GetIP");
        return u"";
    }
}
