#include "TempHostHome.h"

#include "pgulo/host/EvDebug.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace pgulo::test {

TempHostHome::TempHostHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pgulo-host-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr)
        path_ = name.data();
    ::setenv("PGULO_HOME", path_.c_str(), 1);
    EvDebug::reloadSettings();
}

TempHostHome::~TempHostHome() {
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);
    ::unsetenv("PGULO_HOME");
    EvDebug::reloadSettings();
}

} // namespace pgulo::test
