#include "TempTree.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace pgulo::test {

TempTree::TempTree(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
}

TempTree::~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempTree::Dir(const std::string& name) const {
    std::filesystem::create_directories(Path(name));
    return Path(name);
}

} // namespace pgulo::test
