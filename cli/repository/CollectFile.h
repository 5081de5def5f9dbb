#pragma once

#include <string>
#include <vector>

// Reads the collect files the agent writes: one path per line, each line a CollectLine.
class CollectFile {
public:
    // The paths of one collect file, in file order, decoded. Throws std::runtime_error
    // when the file cannot be read.
    static std::vector<std::string> Read(const std::string& path);
    // The collect files "<prefix><N>.kxf" of a job results directory, by number.
    static std::vector<std::string> Find(const std::string& directory, const std::string& prefix);
};
