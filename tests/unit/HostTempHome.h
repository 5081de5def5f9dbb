#pragma once

#include "pgulo/host/EvDebug.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A fresh host home for one test: PGULO_HOME points at a new temporary directory that is
// removed again afterwards.
class HostTempHome {
public:
    HostTempHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pgulo-host-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) != nullptr)
            path_ = name.data();
        ::setenv("PGULO_HOME", path_.c_str(), 1);
        EvDebug::reloadSettings();
    }
    ~HostTempHome() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
        ::unsetenv("PGULO_HOME");
        EvDebug::reloadSettings();
    }
    HostTempHome(const HostTempHome&) = delete;
    HostTempHome& operator=(const HostTempHome&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
