#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// A job event object built on the stack: names the current job and logs under it.
class PGULO_HOST_API EvEvent {
public:
    EvEvent() = default;
    long long getJobId() const;

    void Debug(const char* label, const char* format, ...) const PGULO_PRINTF(3, 4);
    void DebugLvl(const char* label, int level, const char* format, ...) const PGULO_PRINTF(4, 5);
    void Error(const char* label, const char* format, ...) const PGULO_PRINTF(3, 4);
};
