#pragma once

#include "pgulo/host/HostExport.h"

#include <cstdarg>
#include <memory>

// The host's process-wide log writer. A message of level L is written when the
// current level is at least L; level -1 marks an error and is always written.
class PGULO_HOST_API CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;
    virtual int getLevel() const = 0;
    virtual void write(int level, const char* function, int line, int reserved1, int reserved2,
                       const char* format, ...) PGULO_PRINTF(7, 8) = 0;
    virtual void vwrite(int level, const char* function, int line, const char* format,
                        va_list args) = 0;
};

// Set at load to a writer into the job's debug log; a host may replace it.
extern PGULO_HOST_API std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Writes through g_ptrLogWriter when it is set and its level admits the message.
#define PGULO_LOG_WRITE(level, ...)                                                                \
    do {                                                                                           \
        auto pgulo_writer_ = g_ptrLogWriter;                                                       \
        if (pgulo_writer_ && ((level) < 0 || pgulo_writer_->getLevel() >= (level)))                \
            pgulo_writer_->write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__);       \
    } while (0)
