#pragma once

#include <string>

// The work directory of one job of an instance (list files, a scratch dump, a dump read back
// from its stored form): made empty for a new job and removed with everything in it when the
// job is over, however it ends.
class JobDirectory {
public:
    explicit JobDirectory(unsigned long long instanceId);
    ~JobDirectory();
    JobDirectory(const JobDirectory&) = delete;
    JobDirectory& operator=(const JobDirectory&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};
