// The layer's own calls against the real system (or Wine).
#include "engine/basAPI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

// Too small a buffer: 122 with the size needed, and nothing written past the given bytes.
TEST(WindowsPlatform, TableSizeProtocol) {
    std::vector<uint32_t> words(16, 7);
    uint32_t size = 4;
    EXPECT_EQ(api::GetTcpTable(reinterpret_cast<api::MIB_TCPTABLE*>(words.data()), &size, 0), 122u);
    EXPECT_GE(size, 4 + sizeof(api::MIB_TCPROW));
    EXPECT_EQ(std::count(words.begin() + 1, words.end(), 7u), 15);
}

// The host lookup copies the entry out of Winsock's buffer, in network order.
TEST(WindowsPlatform, HostNameAndLookup) {
    ASSERT_EQ(api::WSAStartup(0x0101), 0);
    char name[256] = {};
    EXPECT_TRUE(api::gethostname(name, sizeof name) == 0 && name[0] != 0);
    const api::hostent* local = api::gethostbyname("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->h_addr_list.front(), (std::vector<uint8_t>{127, 0, 0, 1}));
}

// The folder is the program's own, given with its trailing separator.
TEST(WindowsPlatform, ProgramFolderHoldsTheProgram) {
    const std::u16string folder = api::AppFolder();
    EXPECT_TRUE(folder.ends_with(api::PathSeparator()));
    EXPECT_TRUE(std::filesystem::exists(folder + u"okg_windows_platform_tests.exe"));
}
