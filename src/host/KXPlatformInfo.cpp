#include "pgulo/host/KXPlatformInfo.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <strings.h>
#include <sys/file.h>
#include <vector>

namespace {

const char* const kBlanks = " \t\r\n";

std::string trim(const std::string& text) {
    std::string::size_type first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool isComment(const std::string& trimmed) {
    return trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';';
}

// A section header's name, or false when the line is not one.
bool sectionOf(const std::string& trimmed, std::string& name) {
    if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']')
        return false;
    name = trim(trimmed.substr(1, trimmed.size() - 2));
    return true;
}

// A key=value line's key and value, or false.
bool entryOf(const std::string& trimmed, std::string& key, std::string& value) {
    std::string::size_type equals = trimmed.find('=');
    if (equals == std::string::npos)
        return false;
    key = trim(trimmed.substr(0, equals));
    value = trim(trimmed.substr(equals + 1));
    return !key.empty();
}

bool validName(const std::string& text) {
    return !text.empty() && text.find_first_of("\r\n[]=") == std::string::npos &&
           trim(text) == text;
}

std::mutex& writeMutex() {
    static std::mutex* const mutex = new std::mutex();
    return *mutex;
}

} // namespace

int KXPlatformInfo::getString(const std::string& section, const std::string& key,
                              std::string& value) const {
    std::string text;
    if (AtomicFile::read(HostHome::registryFile(), text) != 0)
        return 0;
    std::string current;
    bool inSection = false;
    for (const std::string& raw : splitLines(text)) {
        const std::string line = trim(raw);
        if (isComment(line))
            continue;
        if (sectionOf(line, current)) {
            inSection = sameName(current, section);
            continue;
        }
        std::string k;
        std::string v;
        if (inSection && entryOf(line, k, v) && sameName(k, key)) {
            value = v;
            return 1;
        }
    }
    return 0;
}

int KXPlatformInfo::getNumber(const std::string& section, const std::string& key,
                              long& value) const {
    std::string text;
    if (!getString(section, key, text) || text.empty())
        return 0;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return 0;
    value = number;
    return 1;
}

bool KXPlatformInfo::setString(const std::string& section, const std::string& key,
                               const std::string& value) {
    if (!validName(section) || !validName(key) ||
        value.find_first_of("\r\n") != std::string::npos || trim(value) != value)
        return false;
    const std::string path = HostHome::registryFile();
    if (!HostHome::ensureDirectory(HostHome::root()))
        return false;

    // Writers in this process and in others take turns, so no update is lost.
    std::lock_guard<std::mutex> guard(writeMutex());
    UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        return false;
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }

    std::string text;
    int rc = AtomicFile::read(path, text);
    if (rc != 0 && rc != ENOENT)
        return false;
    std::vector<std::string> lines = splitLines(text);
    const std::string entry = key + "=" + value;

    bool inSection = false;
    bool sectionFound = false;
    size_t insertAt = lines.size();
    bool replaced = false;
    for (size_t i = 0; i < lines.size() && !replaced; ++i) {
        const std::string line = trim(lines[i]);
        std::string name;
        if (sectionOf(line, name)) {
            if (inSection)
                break;
            inSection = sameName(name, section);
            if (inSection) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        std::string k;
        std::string v;
        if (!isComment(line) && entryOf(line, k, v) && sameName(k, key)) {
            lines[i] = entry;
            replaced = true;
        } else if (!line.empty()) {
            insertAt = i + 1;
        }
    }
    if (!replaced) {
        if (sectionFound) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        } else {
            if (!lines.empty() && !trim(lines.back()).empty())
                lines.emplace_back();
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        }
    }
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
    }
    return AtomicFile::write(path, out, 0600) == 0;
}

bool KXPlatformInfo::setNumber(const std::string& section, const std::string& key, long value) {
    return setString(section, key, std::to_string(value));
}
