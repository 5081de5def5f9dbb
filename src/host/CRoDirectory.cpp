#include "pgulo/host/CRoDirectory.h"

#include "pgulo/host/FXErrorUtil.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

CRoError CRoDirectory::Open(const std::string& directory, const std::string& pattern,
                            bool includeHidden) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) {
        int code = errno;
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code, "cannot open directory [%s]: %s",
                                       directory.c_str(), std::strerror(code));
    }
    if (!S_ISDIR(st.st_mode))
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, ENOTDIR, "not a directory [%s]",
                                       directory.c_str());
    pattern_ = pattern.empty() ? std::string("*") : pattern;
    includeHidden_ = includeHidden;
    started_ = false;
    directory_ = directory;
    handle_.close();
    return CRoError::Success();
}

CRoError CRoDirectory::GetEntry(std::string& entry, bool& done) {
    FXFile::CFileData data;
    for (;;) {
        bool found;
        if (!started_) {
            started_ = true;
            std::string wanted = directory_;
            if (wanted.empty() || wanted.back() != '/')
                wanted += '/';
            found = FXFile::KXFindFirstFile(handle_, wanted + pattern_, data);
            if (!found && errno != 0 && errno != ENOENT) {
                int code = errno;
                done = true;
                return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code,
                                               "cannot list directory [%s]: %s", directory_.c_str(),
                                               std::strerror(code));
            }
        } else {
            found = FXFile::KXFindNextFile(handle_, data);
        }
        if (!found) {
            done = true;
            entry.clear();
            return CRoError::Success();
        }
        if (data.IsRelativeFolder())
            continue;
        if (!includeHidden_ && !data.name.empty() && data.name[0] == '.')
            continue;
        done = false;
        entry = data.name;
        return CRoError::Success();
    }
}
