// The Windows layer's own calls, against the real system (or Wine).
#include "engine/basAPI.h"
#include "support/basNetwork.h"
#include "windows/Loopback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

namespace {

TEST(WindowsTcpTable, SizeProtocol) {
    // Too small: the needed size comes back and nothing is written past the given bytes.
    std::vector<uint8_t> bytes(64, 0xAB);
    uint32_t size = 4;
    EXPECT_EQ(api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(bytes.data()), &size, 0), 122u);
    EXPECT_GE(size, 4u + sizeof(api::MIB_TCPROW));
    for (size_t i = 4; i < bytes.size(); ++i)
        ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " written past the buffer";

    // The size asked for is enough (with room for connections opened meanwhile).
    size += 64 * sizeof(api::MIB_TCPROW);
    std::vector<uint32_t> table(size / 4 + 1);
    const uint32_t given = size;
    EXPECT_EQ(api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(table.data()), &size, 0), 0u);
    EXPECT_LE(4 + table[0] * sizeof(api::MIB_TCPROW), given);

    EXPECT_EQ(api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(table.data()), nullptr, 0),
              87u);
    EXPECT_EQ(api::SetTcpEntry(nullptr), 87u);
}

TEST(WindowsSockets, AddressText) {
    struct Case {
        uint8_t bytes[4];
        const char* text;
    };
    const Case cases[] = {{{127, 0, 0, 1}, "127.0.0.1"},
                          {{10, 1, 2, 3}, "10.1.2.3"},
                          {{0, 0, 0, 0}, "0.0.0.0"},
                          {{255, 255, 255, 255}, "255.255.255.255"},
                          {{192, 168, 100, 254}, "192.168.100.254"}};
    for (const auto& c : cases) {
        uint32_t address;
        std::memcpy(&address, c.bytes, 4); // memory order is network order
        const char* text = api::inet_ntoa(address);
        ASSERT_NE(text, nullptr) << c.text;
        EXPECT_STREQ(text, c.text);
        const std::string expected = c.text;
        EXPECT_EQ(AddressToText(address), std::u16string(expected.begin(), expected.end()));
    }
}

TEST(WindowsSockets, ByteOrder) {
    const uint8_t port[2] = {0xC3, 0x50}; // 50000 as the wire carries it
    uint16_t field;
    std::memcpy(&field, port, 2);
    EXPECT_EQ(api::ntohs(field), 50000);
}

TEST(WindowsSockets, HostNameAndOwnAddresses) {
    EXPECT_EQ(api::WSAStartup(0x0101), 0);
    EXPECT_EQ(api::WSAStartup(0x0101), 0); // every GetIP starts the library again

    char name[256];
    std::memset(name, 'x', sizeof name);
    ASSERT_EQ(api::gethostname(name, sizeof name), 0);
    const size_t length = strnlen(name, sizeof name);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof name);

    char tiny[2] = {'x', 'y'};
    EXPECT_EQ(api::gethostname(tiny, 1), -1);
    EXPECT_EQ(tiny[1], 'y');
    EXPECT_EQ(api::gethostname(nullptr, 256), -1);

    // The local host always resolves to the loopback address.
    const api::hostent* local = api::gethostbyname("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->h_length, 4);
    bool loopback = false;
    for (const auto& a : local->h_addr_list) {
        ASSERT_EQ(a.size(), 4u);
        loopback = loopback || a == std::vector<uint8_t>{127, 0, 0, 1};
    }
    EXPECT_TRUE(loopback);
    EXPECT_EQ(api::gethostbyname(nullptr), nullptr);

    // GetIP over this layer: the own name's entry, each address followed by one blank.
    const api::hostent* own = api::gethostbyname(name);
    std::u16string expected;
    if (own != nullptr) {
        const std::vector<std::vector<uint8_t>> addresses = own->h_addr_list;
        for (const auto& a : addresses) {
            const std::string dotted = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                                       std::to_string(a[2]) + "." + std::to_string(a[3]) + " ";
            expected += std::u16string(dotted.begin(), dotted.end());
        }
    }
    EXPECT_EQ(GetIP(), expected);
}

TEST(WindowsProcess, ProgramFolder) {
    EXPECT_EQ(api::PathSeparator(), u'\\');

    const std::u16string folder = api::AppFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(folder.back() == u'\\' || folder.back() == u'/');

    // The folder holds this very program.
    wchar_t self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, self, DWORD(std::size(self)));
    ASSERT_GT(n, 0u);
    const std::wstring path(self, n);
    const std::wstring file = path.substr(path.find_last_of(L"\\/") + 1);
    const std::wstring joined = std::wstring(folder.begin(), folder.end()) + file;
    EXPECT_NE(GetFileAttributesW(joined.c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
