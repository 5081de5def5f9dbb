#include "pgulo/PGException.h"

#include <cstdio>

PGException::PGException(const char* location, PGExceptionTypes type, const char* message) {
    // A composition longer than the buffer is cut to fit.
    std::snprintf(text_, sizeof text_, "Exception in [%s]\tType:[%s]\tMsg:[%s]",
                  location ? location : "", TypeName(type), message ? message : "");
}

PGException::~PGException() = default;

const char* PGException::what() const noexcept { return text_; }

const char* PGException::TypeName(int type) {
    switch (type) {
    case PG_EXCEPTION_POSTGRE:
    case PG_EXCEPTION_POSTGRE_PARAMETER:
        return "POSTGRE_EXCEPTION";
    case PG_EXCEPTION_APPLICATION:
    case PG_EXCEPTION_RESULT_ACCESS:
    case PG_EXCEPTION_APPLICATION_OTHER:
        return "APPLICATION_EXCEPTION";
    case PG_EXCEPTION_SYSTEM:
    case PG_EXCEPTION_SYSTEM_OTHER:
        return "SYSTEM_EXCEPTION";
    default:
        return "UNKNOWN_EXCEPTION";
    }
}
