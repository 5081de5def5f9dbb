#pragma once

#include "pgulo/Export.h"

#include <cstdint>
#include <string>
#include <vector>

// Restart information for an interrupted full backup: a collect file number and the byte
// offset in that collect file up to which its entries were backed up (-1: all of them,
// 0: none).
struct RestartInfo_p {
    std::int32_t collectFileNum;
    std::int64_t offset;
};

// Asked once per directory entry and before a backup-mode failure is reported; true stops
// the job. The context is passed back unchanged.
using PGQuitFlagCallback = bool (*)(void*);

// Full backup of one PostgreSQL cluster. Start puts the cluster into backup mode and writes
// the collect files (the lists of files the host copies); the host then calls GetMetaData,
// copies the files and calls Shutdown, which ends backup mode and returns the first WAL
// segment the backup needs. Every function logs its failures and returns null or 0; the
// user-facing cause is in PGLastError(nullptr).

// The main start. Returns the job handle, owned by the host until it passes it to
// PostGreFsBackupInterfaceShutdown, or null. A failed start leaves no job and no backup mode.
PGULO_API void* PostGreFsBackupInterfaceStart(
    unsigned long long jobId, std::string jobResultsDir, std::string configDir, std::string binDir,
    std::string libDir, std::string dbName, std::string hostAddr, std::string port,
    std::string user, std::string password, unsigned long long* collectFileCount,
    unsigned long long* fileCount, long long* totalBytes, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string archiveLogDir, std::string logTmpFileName,
    std::vector<RestartInfo_p> restartInfo, std::string* restartString, std::string serverVersion,
    bool makeArchiveDeleteList, unsigned int standby);

// The start of a backup taken from a standby: run against the primary, it only sets backup
// mode and reports "<start location>,<WAL segment file name>". The backup is ended by the
// job-id overload of PostGreFsBackupInterfaceShutdown.
PGULO_API void* PostGreFsBackupInterfaceStart(
    unsigned long long jobId, std::string binDir, std::string libDir, std::string dbName,
    std::string hostAddr, std::string port, std::string user, std::string password,
    std::string archiveLogDir, std::string& startLog, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string jobResultsDir, std::string configDir,
    std::string logTmpFileName, std::string serverVersion);

// The database names and the link targets the walk followed. 1, or 0 on failure.
PGULO_API int PostGreFsBackupInterfaceGetMetaData(void* handle, std::vector<std::string>* databases,
                                                  std::vector<std::string>* folders);

// Ends backup mode, checks that the archive holds the first needed WAL segment and returns
// its file name in startLog. Always releases the job. 1, or 0 on failure.
PGULO_API int PostGreFsBackupInterfaceShutdown(void* handle, int unused, std::string& startLog);

// Ends the backup mode a standby start set, over a new connection, and returns
// "<stop location>,<WAL segment file name>" in endLog. 1, or 0 on failure.
PGULO_API int PostGreFsBackupInterfaceShutdown(
    unsigned long long jobId, std::string binDir, std::string libDir, std::string dbName,
    std::string hostAddr, std::string port, std::string user, std::string password,
    std::string archiveLogDir, int unused, std::string& endLog, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string configDir, std::string logTmpFileName,
    std::string jobResultsDir, std::string serverVersion);

// Writes the archive delete list (PGArchDelList.kxf in jobResultsDir): one line per regular
// file in archiveLogDir. 0, or -1 when the list could not be written.
PGULO_API int GenerateArchDelFileList(std::string jobResultsDir, std::string archiveLogDir);

// Writes the full path of every regular file directly in dir, one per line, to listFile.
// 0, or -1 on failure.
PGULO_API int DumpDirContent(std::string dir, std::string listFile);
