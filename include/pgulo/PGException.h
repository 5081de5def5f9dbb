#pragma once

#include "pgulo/Export.h"

#include <exception>

enum PGExceptionTypes : int {
    PG_EXCEPTION_POSTGRE = 0,
    PG_EXCEPTION_POSTGRE_PARAMETER = 1,
    PG_EXCEPTION_APPLICATION = 2,
    PG_EXCEPTION_RESULT_ACCESS = 3,
    PG_EXCEPTION_SYSTEM = 4,
    PG_EXCEPTION_SYSTEM_OTHER = 5,
    PG_EXCEPTION_UNKNOWN = 6,
    PG_EXCEPTION_APPLICATION_OTHER = 7,
};

// What every backup-side step throws. The text reads
// "Exception in [label]\tType:[KIND]\tMsg:[message]".
class PGULO_API PGException : public std::exception {
public:
    PGException(const char* location, PGExceptionTypes type, const char* message);
    ~PGException() override;
    const char* what() const noexcept override;

    // The name a type is shown under in the text.
    static const char* TypeName(int type);

private:
    char text_[4096];
};
