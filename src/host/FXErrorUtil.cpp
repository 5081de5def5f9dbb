#include "pgulo/host/FXErrorUtil.h"

#include "HostFormat.h"

#include <cstdarg>

CRoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int code, const char* format,
                                 ...) {
    va_list args;
    va_start(args, format);
    std::string message = HostFormat::vformat(format, args);
    va_end(args);
    CRoError error(code, std::move(message));
    error.Push(location);
    return error;
}
