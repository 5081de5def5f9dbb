#include "TestProcess.h"

#include "pgulo/PGCommon.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pgulo::test {

namespace {

std::string currentUserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : std::string();
}

// The runner reports a program it cannot start as exit code 127, which a program may return
// too: a test wants to know for certain, so the program is looked for first.
void requireProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) != 0) {
            throw std::runtime_error("cannot start " + name + ": not an executable file");
        }
        return;
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (::access(((dir.empty() ? "." : dir) + "/" + name).c_str(), X_OK) == 0) {
            return;
        }
        start = end + 1;
    }
    throw std::runtime_error("program not found in PATH: " + name);
}

} // namespace

std::string describeCommand(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& word : argv) {
        if (!line.empty()) {
            line += ' ';
        }
        line += PGCommon::ShellQuote(word);
    }
    return line;
}

bool isProcessAlive(long pid) {
    if (pid <= 0) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The state follows the parenthesised command name, which may itself contain ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return true;
    }
    char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

std::string trim(const std::string& text) {
    const char* ws = " \t\r\n";
    size_t first = text.find_first_not_of(ws);
    if (first == std::string::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(ws);
    return text.substr(first, last - first + 1);
}

ProcessResult runAsPostgres(const std::vector<std::string>& argv, const std::string& cwd) {
    ProcessOptions options;
    options.asUser = "postgres";
    options.cwd = cwd;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = std::chrono::minutes(3);
    return runCommand(argv, options);
}

ProcessResult runCommand(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (!argv.empty()) {
        requireProgram(argv.front());
    }
    Subprocess::Options own = options;
    if (own.asUser == currentUserName()) {
        own.asUser.clear();
    }
    return Subprocess::Run(argv, own);
}

} // namespace pgulo::test
