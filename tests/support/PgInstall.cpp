#include "PgInstall.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace pgulo::test {

namespace {

bool isExecutable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string debianLibDir() {
#if defined(__x86_64__)
    return "/usr/lib/x86_64-linux-gnu";
#elif defined(__aarch64__)
    return "/usr/lib/aarch64-linux-gnu";
#else
    return "/usr/lib";
#endif
}

std::string debianBinDir(int major) {
    return "/usr/lib/postgresql/" + std::to_string(major) + "/bin";
}

} // namespace

std::string PgInstall::cacheDir() {
    const char* env = std::getenv("PGULO_PG_CACHE");
    return env != nullptr && *env != '\0' ? std::string(env) : std::string("/var/cache/pgulo/pg");
}

std::string PgInstall::binDir(int major) {
    if (major == kDebianMajor) {
        return debianBinDir(major);
    }
    return cacheDir() + "/" + std::to_string(major) + "/pkg/native/bin";
}

std::string PgInstall::libDir(int major) {
    if (major == kDebianMajor) {
        return debianLibDir();
    }
    return cacheDir() + "/" + std::to_string(major) + "/pkg/native/lib";
}

bool PgInstall::available(int major) {
    const std::string bin = binDir(major);
    return isExecutable(bin + "/postgres") && isExecutable(bin + "/initdb") &&
           isExecutable(bin + "/pg_ctl") && exists(libDir(major) + "/libpq.so.5");
}

std::vector<int> PgInstall::knownMajors() {
    return {10, 12, 14, 15, 16, 17, 18};
}

bool PgInstall::selected(int major) {
    const std::vector<int> majors = testMajors();
    return std::find(majors.begin(), majors.end(), major) != majors.end();
}

std::vector<int> PgInstall::testMajors() {
    std::vector<int> wanted = knownMajors();
    if (const char* env = std::getenv("PGULO_TEST_MAJORS"); env != nullptr && *env != '\0') {
        std::string text(env);
        std::replace(text.begin(), text.end(), ',', ' ');
        std::istringstream in(text);
        wanted.clear();
        int major = 0;
        while (in >> major) {
            wanted.push_back(major);
        }
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    }
    std::vector<int> result;
    for (int major : wanted) {
        if (available(major)) {
            result.push_back(major);
        }
    }
    return result;
}

std::string PgInstall::clientBinDir() {
    return debianBinDir(kDebianMajor);
}

std::string PgInstall::clientTool(const std::string& name) {
    return clientBinDir() + "/" + name;
}

} // namespace pgulo::test
