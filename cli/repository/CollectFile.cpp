#include "CollectFile.h"

#include "pgulo/host/CollectLine.h"
#include "pgulo/host/UniqueFd.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

std::vector<std::string> CollectFile::Find(const std::string& directory,
                                           const std::string& prefix) {
    std::vector<std::pair<unsigned long, std::string>> numbered;
    UniqueDir dir(::opendir(directory.c_str()));
    if (!dir)
        return {};
    while (const struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        const std::string suffix = ".kxf";
        if (name.size() <= prefix.size() + suffix.size() ||
            name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string number =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        // The agent numbers its collect files from 1; anything longer is not one of them.
        if (number.empty() || number.size() > 9 ||
            number.find_first_not_of("0123456789") != std::string::npos)
            continue;
        numbered.emplace_back(std::stoul(number), directory + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> files;
    for (auto& [n, path] : numbered)
        files.push_back(path);
    return files;
}

std::vector<std::string> CollectFile::Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read collect file " + path + ": " + std::strerror(errno));
    std::vector<std::string> paths;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            paths.push_back(CollectLine::Decode(line));
    }
    if (in.bad())
        throw std::runtime_error("error reading collect file " + path);
    return paths;
}
