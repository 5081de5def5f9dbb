#include "pgulo/host/KxMntTab.h"

#include "pgulo/host/UniqueFd.h"

#include <sstream>
#include <sys/stat.h>

std::string KxMntTab::unescape(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1];
            const char b = field[i + 2];
            const char c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0'));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

int KxMntTab::getAll(std::vector<KxMntEntry>& list) {
    UniqueFile file = UniqueFile::Open("/proc/self/mounts", "re");
    if (!file)
        return -1;
    std::vector<KxMntEntry> entries;
    std::string line;
    while (UniqueFile::ReadLine(file.get(), line)) {
        std::istringstream fields(line);
        std::string device;
        std::string mountPoint;
        std::string fsType;
        if (!(fields >> device >> mountPoint >> fsType))
            continue;
        KxMntEntry entry;
        entry.device = unescape(device);
        entry.mountPoint = unescape(mountPoint);
        entry.fsType = unescape(fsType);
        struct stat st {};
        if (::stat(entry.mountPoint.c_str(), &st) == 0)
            entry.deviceId = static_cast<unsigned long long>(st.st_dev);
        entries.push_back(std::move(entry));
    }
    list.swap(entries);
    return 0;
}
