#pragma once

#include "pgulo/Export.h"

// The process-wide last-error text a host shows after a failed call. A text shorter than
// 1024 characters replaces the stored one; null or longer texts leave it. Returns the
// stored text, or null when nothing was ever stored.
PGULO_API const char* PGLastError(const char* text);

// The process-wide last-error code: 0 until set; 3 means the WAL chain cannot be
// continued and a full backup is needed.
PGULO_API void SetPGLastErrCode(int code);
PGULO_API int GetPGLastErrCode();

enum PGLastErrorCodes {
    PG_LAST_ERROR_NONE = 0,
    PG_LAST_ERROR_NEED_FULL_BACKUP = 3,
};
