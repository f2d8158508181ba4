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

namespace {

std::u16string PlatformText(const char* text) {
    if (text == nullptr)
        return u"Unable to get IP";
    const size_t length = strnlen(text, 80);
    std::u16string result(length, u'\0');
    for (size_t i = 0; i < length; ++i)
        result[i] = char16_t(static_cast<unsigned char>(text[i]));
    return result;
}

} // namespace

std::u16string AddressToText(uint32_t Address) {
    return PlatformText(api::inet_ntoa(Address));
}

std::u16string Address6ToText(const api::IN6_ADDR& Address, uint32_t ScopeId) {
    // Only a link-local address needs its zone to name one machine; Windows gives scope ids to
    // others too, which would only make one address two texts.
    const bool linkLocal = Address.Byte[0] == 0xfe && (Address.Byte[1] & 0xc0) == 0x80;
    return PlatformText(api::inet_ntop6(Address, linkLocal ? ScopeId : 0));
}

void SocketsInitialize() {
    try {
        api::WSAStartup(0x0101);
    } catch (...) {
        ReportException(u"SocketsInitialize");
    }
}

namespace {

std::u16string LocalIPv4() {
    char name[256] = {};
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
}

} // namespace

std::u16string GetIP() {
    try {
        SocketsInitialize();
        std::u16string result = LocalIPv4();
        for (const api::LocalAddress6& local : api::GetLocalAddresses6()) {
            result += Address6ToText(local.address, local.scopeId);
            result += u' ';
        }
        return result;
    } catch (...) {
        ReportException(u"GetIP");
        return u"";
    }
}
