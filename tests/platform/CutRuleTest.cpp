// Whose connections okgate-helper cuts: the administrator's file, read only when root alone can
// have written it.
#include "helper/CutRule.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using okg::helper::CutOwners;

TEST(CutRule, TakesOnlyTheOneLineItKnows) {
    const struct {
        const char* text;
        bool taken;
        CutOwners owners = CutOwners::Own;
    } cases[] = {
        {"", true},
        {"# who may be cut\n\n  cut =  any \n", true, CutOwners::Any},
        {"cut=own", true},
        {"cut = all\n", false},
        {"cut = any extra\n", false},
        {"cut any\n", false},
        {"owners = any\n", false},
        {"cut = any\ncut = any\n", false},
    };
    for (const auto& c : cases) {
        // The other one, so that a rule taken must be written.
        CutOwners owners = c.owners == CutOwners::Any ? CutOwners::Own : CutOwners::Any;
        std::string why;
        EXPECT_EQ(okg::helper::ParseCutRule(c.text, owners, why), c.taken) << c.text;
        if (c.taken)
            EXPECT_EQ(owners, c.owners) << c.text;
        else
            EXPECT_NE(why.find("line "), why.npos) << c.text;
    }
}

TEST(CutRule, RefusesAFileAnotherThanRootMayHaveWritten) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root makes files that root owns";
    char folder[] = "/tmp/okg-cut-rule-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string file = std::string(folder) + "/helper.conf";
    std::string why;
    EXPECT_EQ(okg::helper::ReadCutRule(file, why), CutOwners::Own);
    EXPECT_EQ(why, "") << "no file: the default, told nothing";
    std::ofstream(file) << "cut = any\n";
    const std::string link = std::string(folder) + "/link.conf";
    std::filesystem::create_symlink(file, link);
    const struct {
        const char* what;
        mode_t file, folder;
        uid_t owner;
        bool taken;
        bool throughLink = false;
    } cases[] = {
        {"root's alone", 0644, 0755, 0, true},
        {"written by the group", 0664, 0755, 0, false},
        {"written by others", 0646, 0755, 0, false},
        {"in a folder others write", 0644, 0777, 0, false},
        {"another user's", 0644, 0755, 65534, false},
        {"a link to root's own", 0644, 0755, 0, false, true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(chmod(file.c_str(), c.file) | chmod(folder, c.folder), 0);
        ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
        why.clear();
        EXPECT_EQ(okg::helper::ReadCutRule(c.throughLink ? link : file, why),
                  c.taken ? CutOwners::Any : CutOwners::Own)
            << c.what;
        EXPECT_EQ(why.empty(), c.taken) << c.what << ": " << why;
    }
    std::filesystem::remove_all(folder);
}

} // namespace
