#pragma once

#include "pgulo/host/CLogWriterInterface.h"

// The log writer installed at load: it writes into the job's debug log under the calling
// function's signature, at the debug log's own level.
class EvDebugLogWriter : public CLogWriterInterface {
public:
    int getLevel() const override;
    void write(int level, const char* function, int line, int reserved1, int reserved2,
               const char* format, ...) override PGULO_PRINTF(7, 8);
    void vwrite(int level, const char* function, int line, const char* format,
                va_list args) override;
};
