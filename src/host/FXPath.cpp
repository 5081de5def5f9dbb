#include "pgulo/host/FXPath.h"

#include "pgulo/host/FXErrorUtil.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

std::string FXPath::Append(const std::string& path, const std::string& name, int /*flags*/) {
    if (path.empty())
        return name;
    if (name.empty())
        return path;
    std::string::size_type end = path.find_last_not_of('/');
    std::string head = end == std::string::npos ? std::string("/") : path.substr(0, end + 1);
    std::string::size_type begin = name.find_first_not_of('/');
    std::string tail = begin == std::string::npos ? std::string() : name.substr(begin);
    if (tail.empty())
        return head;
    if (head == "/")
        return "/" + tail;
    return head + "/" + tail;
}

bool FXPath::DoesPathExist(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

CRoError FXPath::DoesPathExist(const std::string& path, bool& isFile) {
    struct stat st {};
    if (path.empty())
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, ENOENT, "empty path");
    if (::stat(path.c_str(), &st) != 0) {
        int code = errno;
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code, "cannot examine [%s]: %s",
                                       path.c_str(), std::strerror(code));
    }
    isFile = !S_ISDIR(st.st_mode);
    return CRoError::Success();
}
