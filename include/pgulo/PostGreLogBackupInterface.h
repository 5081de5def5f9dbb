#pragma once

#include "pgulo/Export.h"
#include "pgulo/PostGreFsBackupInterface.h"

#include <string>
#include <vector>

// What a log backup takes. The underlying type is fixed so that any value a host passes is a
// valid value of the type; the job refuses the ones it does not know.
enum PG_LOG_BACKUP_TYPE : int {
    // The log phase of a full backup: backup mode is entered and left to close the current
    // segment, and every archived segment up to the end log is taken.
    PG_LOG_FULL_BACKUP = 1,
    // An incremental log backup: the current segment is switched and the segments after the
    // previous backup's last log up to the end log are taken.
    PG_LOG_INCR_BACKUP = 2,
};

// Log backup of one PostgreSQL cluster. Start closes the current WAL segment, waits until the
// server has archived it and writes the collect files that list the archived segments the
// host copies; GetMetaData returns the last segment taken; Shutdown deletes the archived
// segments the backup took when the host asks for it. Every function logs its failures and
// returns null or 0; the user-facing cause is in PGLastError(nullptr), and GetPGLastErrCode()
// is 3 when a full backup is needed first.

// The ordinary start. lastLogNumber is the last segment the previous backup took. On a standby
// (standby non-zero) no segment is switched: primaryLastLog, the segment file name the standby
// start returned against the primary, is the end log. Returns the job handle, owned by the
// host until it passes it to PostGreLogBackupInterfaceShutdown, or null.
PGULO_API void* PostGreLogBackupInterfaceStart(
    unsigned long long jobId, std::string jobResultsDir, std::string configDir, bool pruneLogs,
    std::string binDir, std::string libDir, std::string dbName, std::string hostAddr,
    std::string port, std::string user, std::string password, std::string archiveLogDir,
    PG_LOG_BACKUP_TYPE type, unsigned long long* collectFileCount, unsigned long long* fileCount,
    long long* totalBytes, std::string lastLogNumber, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string logTmpFileName, std::string serverVersion,
    std::string primaryLastLog, unsigned int standby);

// Run against the primary before a standby's log backup: closes the primary's current segment
// through backup mode and returns "<stop location>,<segment file name>" in lastLog. Returns
// the job handle or null.
PGULO_API void* PostGreLogBackupInterfaceStart(
    unsigned long long jobId, bool pruneLogs, std::string binDir, std::string libDir,
    std::string dbName, std::string hostAddr, std::string port, std::string user,
    std::string password, std::string archiveLogDir, PG_LOG_BACKUP_TYPE type,
    std::string lastLogNumber, std::string& lastLog, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string configDir, std::string logTmpFileName,
    std::string serverVersion);

// The last segment the backup takes (when lastLog is not null) and the database names.
// 1, or 0 on failure.
PGULO_API int PostGreLogBackupInterfaceGetMetaData(void* handle,
                                                   std::vector<std::string>* databases,
                                                   std::string* lastLog);

// status 0 (the host backed the files up): deletes the archived files the backup took, and,
// after a PG_LOG_FULL_BACKUP with "sCleanArchDir" set, the full backup's archive delete list.
// If that fails the job stays alive and 0 is returned; otherwise the job is released and 1
// is returned.
PGULO_API int PostGreLogBackupInterfaceShutdown(void* handle, int status);
