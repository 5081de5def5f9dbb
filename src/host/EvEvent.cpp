#include "pgulo/host/EvEvent.h"

#include "pgulo/host/EvDebug.h"

#include <cstdarg>

long long EvEvent::getJobId() const {
    return EvDebug::getJobId();
}

void EvEvent::Debug(const char* label, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    EvDebug::write(label, 1, format, args);
    va_end(args);
}

void EvEvent::DebugLvl(const char* label, int level, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    EvDebug::write(label, level, format, args);
    va_end(args);
}

void EvEvent::Error(const char* label, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    EvDebug::write(label, EvDebug::kErrorLevel, format, args);
    va_end(args);
}
