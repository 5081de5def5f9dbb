#include "EvDebugLogWriter.h"

#include "pgulo/host/EvDebug.h"

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter = std::make_shared<EvDebugLogWriter>();

int EvDebugLogWriter::getLevel() const {
    return EvDebug::currentLevel();
}

void EvDebugLogWriter::write(int level, const char* function, int line, int /*reserved1*/,
                             int /*reserved2*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(level, function, line, format, args);
    va_end(args);
}

void EvDebugLogWriter::vwrite(int level, const char* function, int /*line*/, const char* format,
                              va_list args) {
    EvDebug::write(function, level < 0 ? EvDebug::kErrorLevel : level, format, args);
}
