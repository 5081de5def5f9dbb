#pragma once

#include "pgulo/Export.h"
#include "pgulo/host/CRoError.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

class PostgreSQLInstance;

// Stateless helpers shared by the backup jobs, the restore classes and the host's programs:
// quoting, WAL file names, version tests and version-dependent SQL, version discovery, the
// agent configuration file, environment and shell commands, cloud database rules and the WAL
// directory clean-up after restore.
class PGULO_API PGCommon {
public:
    PGCommon() = delete;

    // ---- Quoting: the only way a value enters a shell command line, an SQL identifier or an
    // SQL string literal.

    // Values made only of [A-Za-z0-9_./:=@%+,-] (and not empty) come back unchanged;
    // anything else is wrapped in single quotes with each ' written as '\''.
    static std::string ShellQuote(const std::string& value);
    // PostgreSQL quote_ident: unquoted only for lower-case letters, digits and '_', not
    // starting with a digit and not a reserved keyword; otherwise double-quoted with
    // embedded double quotes doubled.
    static std::string QuoteIdent(const std::string& identifier);
    // PostgreSQL quote_literal: single-quoted with embedded single quotes doubled; a text
    // holding a backslash becomes E'...' with each backslash doubled.
    static std::string QuoteLiteral(const std::string& text);

    // ---- WAL file naming and version-dependent SQL.

    // The segment file name holding the byte just before the location ("%X/%X").
    // timeLine is the hexadecimal time line text of getTimeLineID. segmentSize 0 means
    // 16 MiB. Returns 0, or -1 when the location (0/0 included), the time line or the
    // segment size is unusable.
    static int pg_xlogfile_name(const std::string& location, const std::string& timeLine,
                                std::uint64_t segmentSize, std::string& name);
    // The 8 hexadecimal time line digits from the first line of a backup label. 0 or -1.
    static int getTimeLineID(const std::string& backupLabelPath, std::string& timeLine);
    // Release 8.0 or 8.1.
    static bool IsOldPGVersion(const std::string& version);
    // Release 10 or later.
    static bool IsPGVersion10(const std::string& version);
    // -1, 0 or 1 as the major version a is lower than, equal to or higher than b.
    static int PGMajorCompareVersion(const std::string& a, const std::string& b,
                                     const std::string& separator);
    static std::string GetQueryForXLogFileName(const std::string& location,
                                               const std::string& version);
    static std::string GetPGXlogFolder(const std::string& version);
    static std::string GetQueryForLastXlogReplayLocation(const std::string& version);
    static std::string GetQueryForSwitchXLog(const std::string& version);

    // ---- Server version discovery (host programs).

    static CRoError CheckAndUpdateAppInstance(int argc, char** argv);
    static CRoError CheckAndUpdateAppInstanceByAppID(unsigned long quorixId, int appId);
    static CRoError CheckAndUpdateAppInstanceByInstanceID(unsigned long unused,
                                                          unsigned long instanceId);
    static CRoError queryVersionFromServerAndUpdateInstProperty(PostgreSQLInstance* instance,
                                                                bool force);
    static CRoError GetPostgresVersion(PostgreSQLInstance* instance, std::string& version);
    static CRoError GetPostgresVersionUsingPG_VERSIONfile(const std::string& dataDirectory,
                                                          std::string& version);
    static CRoError GetPostgresVersionUsingPgConfig(const std::string& binaryDirectory,
                                                    std::string& version);
    // The first run of digits and dots in a text ("" when it holds no digit).
    static std::string ExtractVersionFromString(const std::string& text);

    // ---- Agent configuration file, bookkeeping file names, environment, shell.

    // Reads <directory>/postgres_<port> into the map when the file is readable.
    static void ReadUserConfiguration(const std::string& directory, const std::string& port,
                                      std::map<std::string, std::string>* options);
    // Token:value lines from the current position to the end; the first value of a token wins.
    static void ReadConfigFromFile(FILE* file, std::map<std::string, std::string>* options);
    // Rewinds; the value after the first line starting with the token (plus one separator
    // character). 1 when found, 0 otherwise.
    static int ReadTokenFromFile(FILE* file, const std::string& token, std::string* value);
    static void GenerateLogBackupFile(const std::string& directory, std::uint64_t jobId,
                                      std::string& name);
    static void GenerateConfigFile(const std::string& directory, std::uint64_t jobId,
                                   const std::string& baseName, std::string& name);
    static std::string GetArchDelFileName(const std::string& directory);
    static std::string GetPGJobResultsDir(unsigned long number, long long jobId);
    // Sets the variable, or appends ":" + value unless the value is already listed.
    static void SetEnv(const std::string& name, const std::string& value);
    static void GETENVIRONMENTVARIABLE(const std::string& name, std::string& value);
    static bool SETENVIRONMENTVARIABLE(const std::string& name, const std::string& value);
    // Runs the command with its error output appended to a file in the job results tree.
    // 0, the command's status, or -1 when the error file cannot be read.
    static int RunUnixCommandErrorOutputInFile(const std::string& command,
                                               const std::string& unused, const std::string& tag,
                                               std::string& errorText);
    // cp -f source destination; 0 or -1.
    static int CopyFile(const std::string& source, const std::string& destination);
    static void ParseHostAndPort(const std::string& text, std::string& host, std::string& port);
    // The address text of a host name or numeric address; the input when it does not resolve.
    static std::string ConvertHostToIP(const std::string& host);
    static void FixDirPath(std::string& path);

    // ---- Cloud databases and database skipping.

    static bool IsCloudDBInstance(std::uint64_t clientId);
    static void GetDatabasesToSkip(std::uint64_t clientId, std::set<std::string>& names);
    static void GetWhereClauseToSkipDatabases(std::uint64_t clientId, const std::string& column,
                                              std::string& clause);
    static int GetProxyDBInstallDir(std::uint64_t clientId, std::int64_t appType,
                                    const std::string& version, std::string& installDir);
    // Whether a pg_restore error output holds only errors that may be ignored.
    static bool IsIgnoreError(const std::string& output);

    // ---- WAL directory clean-up after restore (8.0 and 8.1 servers).

    static void CleanUpLogFileForPG8(const std::string& jobResultsDirectory, std::uint64_t jobId);
    static int CleanWalDirAftRestorePG8(const std::string& walDirectory);
    static bool IsCopiedFile(const std::string& name);
    static int RenameCopiedLogFile(const std::string& walDirectory, const std::string& fileName);
    static void RemoveFilesFromFolder(const std::string& directory,
                                      const std::vector<std::string>& names);
    static bool CompareStringIncr(const std::string& a, const std::string& b);
    static bool CompareStringDecr(const std::string& a, const std::string& b);

    // ---- Client library.

    // The libpq file to load from a library directory.
    static std::string GetPGLibraryPath(const std::string& libDir);
};
