#include "helper/CutRule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace okg::helper {

namespace {

constexpr size_t MostBytes = 4096;

std::string_view Trimmed(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == s.npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Root's, and writable by root alone: anyone else could widen the rule.
bool RootsAlone(const struct stat& st) {
    return st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// Reads the file name in folder into text where both are root's alone; else why not. absent
// tells that there is no such file (nor folder).
std::string ReadRootsFile(const std::string& folder, const std::string& name, std::string& text,
                          bool& absent) {
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        absent = errno == ENOENT;
        return std::strerror(errno);
    }
    struct stat st {};
    const bool folderOk = fstat(dir, &st) == 0 && RootsAlone(st);
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    close(dir);
    if (fd < 0) {
        absent = error == ENOENT;
        return error == ELOOP ? "a symbolic link" : std::strerror(error);
    }
    std::string whyNot;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t(MostBytes))
        whyNot = "not a small regular file";
    else if (!folderOk || !RootsAlone(st))
        whyNot = "it or its folder may be written by another than root";
    else if (text.resize(size_t(st.st_size)); read(fd, text.data(), text.size()) != st.st_size)
        whyNot = "it cannot be read";
    close(fd);
    return whyNot;
}

} // namespace

bool ParseCutRule(std::string_view text, CutOwners& owners, std::string& why) {
    bool seen = false;
    CutOwners rule = CutOwners::Own;
    for (int number = 1; !text.empty(); ++number) {
        const size_t end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text = end == text.npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const size_t equals = line.find('=');
        const std::string_view key = Trimmed(line.substr(0, equals));
        const std::string_view value =
            equals == line.npos ? std::string_view() : Trimmed(line.substr(equals + 1));
        if (key != "cut" || (value != "own" && value != "any") || seen) {
            why = "line " + std::to_string(number) + " is not the one line cut = own or cut = any";
            return false;
        }
        seen = true;
        rule = value == "any" ? CutOwners::Any : CutOwners::Own;
    }
    owners = rule;
    return true;
}

CutOwners ReadCutRule(const std::string& path, std::string& why) {
    const size_t slash = path.rfind('/');
    std::string text, whyNot;
    bool absent = false;
    if (slash == path.npos)
        whyNot = "not a full path";
    else
        whyNot = ReadRootsFile(slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1),
                               text, absent);
    CutOwners owners = CutOwners::Own;
    if (absent || (whyNot.empty() && ParseCutRule(text, owners, whyNot)))
        return owners;
    why = path + " refused (" + whyNot + "): only the user's own connections are cut";
    return CutOwners::Own;
}

} // namespace okg::helper
