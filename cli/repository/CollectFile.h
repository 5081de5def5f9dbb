#pragma once

#include <string>
#include <vector>

// Reads the collect files the agent writes: one path per line, with carriage return, line
// feed and percent sign written as %0D, %0A and %25.
class CollectFile {
public:
    // The paths of one collect file, in file order, un-escaped. Throws std::runtime_error
    // when the file cannot be read.
    static std::vector<std::string> Read(const std::string& path);
    // Reverses the agent's escaping. Any other percent sequence stays as it is: lines the
    // agent writes unescaped (the log backup's own entries) keep their bytes.
    static std::string Unescape(const std::string& line);
    // The collect files "<prefix><N>.kxf" of a job results directory, by number.
    static std::vector<std::string> Find(const std::string& directory, const std::string& prefix);
};
