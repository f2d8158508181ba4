// The sockets and process helpers over POSIX.
#include "engine/basAPI.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

uint32_t FromBytes(std::array<uint8_t, 4> b) {
    uint32_t v;
    std::memcpy(&v, b.data(), 4);
    return v;
}

TEST(Sockets, NtohsReadsTheBytesInNetworkOrder) {
    const struct {
        std::array<uint8_t, 2> bytes;
        uint16_t port;
    } cases[] = {
        {{0x1f, 0x90}, 8080}, {{0xc3, 0x50}, 50000}, {{0x00, 0x50}, 80}, {{0xff, 0xff}, 65535}};
    for (const auto& c : cases) {
        uint16_t net;
        std::memcpy(&net, c.bytes.data(), 2);
        EXPECT_EQ(api::ntohs(net), c.port);
    }
}

TEST(Sockets, InetNtoaGivesTheBytesInMemoryOrder) {
    const struct {
        std::array<uint8_t, 4> bytes;
        const char* text;
    } cases[] = {{{127, 0, 0, 1}, "127.0.0.1"},
                 {{0, 0, 0, 0}, "0.0.0.0"},
                 {{10, 200, 3, 45}, "10.200.3.45"},
                 {{255, 255, 255, 255}, "255.255.255.255"}};
    for (const auto& c : cases) {
        const char* text = api::inet_ntoa(FromBytes(c.bytes));
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(Sockets, OwnAddressesComeFromTheInterfacesThatAreUp) {
    EXPECT_EQ(api::WSAStartup(0x0101), 0);
    char name[256];
    ASSERT_EQ(api::gethostname(name, sizeof(name)), 0);
    char expected[256] = {};
    ::gethostname(expected, sizeof(expected));
    EXPECT_STREQ(name, expected);
    EXPECT_EQ(api::gethostname(name, 0), -1);

    const api::hostent* entry = api::gethostbyname(name);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->h_length, 4);
    bool loopback = false;
    for (const auto& a : entry->h_addr_list) {
        ASSERT_EQ(a.size(), 4u);
        loopback = loopback || a == std::vector<uint8_t>{127, 0, 0, 1};
    }
    EXPECT_TRUE(loopback) << "the loopback interface is up and has 127.0.0.1";
    EXPECT_EQ(api::gethostbyname(nullptr), nullptr);
}

TEST(Process, AppFolderHoldsThisProgram) {
    const std::filesystem::path folder(api::AppFolder());
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_TRUE(std::filesystem::exists(folder / "okg_platform_unit_tests"));
    EXPECT_EQ(api::PathSeparator(), u'/');
}

} // namespace
