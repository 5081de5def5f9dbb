#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/FXCodeLocation.h"
#include "pgulo/host/HostExport.h"

class PGULO_HOST_API FXErrorUtil {
public:
    // An error value with an errno-style code and a printf-style message.
    static CRoError ErrorErrNo(const FXCodeLocation& location, int code, const char* format, ...)
        PGULO_PRINTF(3, 4);
};
