#pragma once

#include "pgulo/host/HostExport.h"

#include <cstdarg>
#include <string>

// The per-job debug log. Each source unit owns one static logger. A line is
// "time pid tid job level label message"; error lines are always written, other
// lines when their level is at most the level set in the registry
// ([EvDebug] nDebugLevel, default 2).
class PGULO_HOST_API EvDebug {
public:
    explicit EvDebug(void* fileInstance);

    void Debug(const char* label, const char* format, ...) PGULO_PRINTF(3, 4);
    void DebugLvl(const char* label, int level, const char* format, ...) PGULO_PRINTF(4, 5);
    void Error(const char* label, const char* format, ...) PGULO_PRINTF(3, 4);
    void debug(const char* format, ...) PGULO_PRINTF(2, 3);
    void debug(int level, const char* format, ...) PGULO_PRINTF(3, 4);

    static std::string getClientName();
    static long long getJobId();

    // Host side: the job this process works for. Without a call the job id comes from
    // $PGULO_JOB_ID (0 when unset) and the client name from the machine's host name.
    static void setJobContext(const std::string& clientName, long long jobId);
    // The file that lines go to: <home>/log/job_<id>.log.
    static std::string logFilePath();
    static int currentLevel();
    // Re-reads the level from the registry (it is cached after the first line).
    static void reloadSettings();

    static constexpr int kErrorLevel = -1;
    // Writes one line; level kErrorLevel marks an error line.
    static void write(const char* label, int level, const char* format, va_list args);
};
