// Helpers of the file, system and formatting word tests: a private temporary
// folder per test, a guard that sets a permission switch for one test, file
// contents, permissions and existence, and a direct call of one word with
// exact argument bytes (for bytes a page cannot carry, such as NUL).
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "TTMProcessor.h"

namespace VekLanguageTest {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vekwords-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        root = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return root + "/" + name; }

    std::string root;  // the folder
};

// Sets a permission switch for the life of the guard, then restores it.
class SwitchGuard {
public:
    SwitchGuard(bool& flag, bool value) : flag(flag), saved(flag) { flag = value; }
    ~SwitchGuard() { flag = saved; }
    SwitchGuard(const SwitchGuard&) = delete;
    SwitchGuard& operator=(const SwitchGuard&) = delete;

private:
    bool& flag;
    bool saved;
};

// page with every "@" replaced by folder.
inline std::string inFolder(std::string page, const std::string& folder) {
    for (std::size_t at = page.find('@'); at != std::string::npos; at = page.find('@', at + folder.size()))
        page.replace(at, 1, folder);
    return page;
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

inline std::string readBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

// The permission bits of a file (-1 when it cannot be examined).
inline int permissionsOf(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

// Calls the builtin word args[0] on processor with exactly these arguments.
inline std::string callWord(VekLanguage::TTMProcessor& processor, const VekLanguage::ArgList& args) {
    VekLanguage::Active call;
    call.args = args;
    for (const auto& word : VekLanguage::TTMProcessor::builtinList())
        if (word.first == args.front()) return word.second(processor, &call);
    throw std::logic_error("no builtin word " + args.front());
}

}  // namespace VekLanguageTest
