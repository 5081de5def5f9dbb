#pragma once

#include "pgulo/Export.h"
#include "pgulo/host/CRoError.h"

#include <string>
#include <vector>

class EvEvent;
class ExecutePostgre;
class GetPostgresInfo;

// What the host's restore program calls around a restore: the recovery settings that make a
// restored cluster replay archived WAL up to a point in time (recovery.conf before release
// 12, appended server settings and recovery.signal from 12 on) and their clean-up after the
// server started; and the checks and ownership changes of the restored directories.
class PGULO_API PostgresHelperClass {
public:
    PostgresHelperClass() = delete;

    // ---- Recovery configuration.

    // From 12.0: the settings go into configFile, and a copy of it is saved as
    // configFile + "_without_recovery_command" (returned in outConfigFileWithoutRecoveryCmds).
    // Before 12.0: the settings go into <dataDir>/recovery.conf (an old one is removed), and
    // outConfigFileWithoutRecoveryCmds is empty.
    static CRoError initRecoveryConfigFileName(const std::string& dataDir,
                                               const std::string& configFile,
                                               const std::string& version,
                                               std::string& recoveryConfigFile,
                                               std::string& outConfigFileWithoutRecoveryCmds);
    // Writes the recovery settings for info.postgresVersion. A target time that is empty or
    // "0" means replaying every archived segment. The standby lines are written only when both
    // standbyMode and replicationMode are true.
    static CRoError addRecoveryCommandsToServerConfig(
        const std::string& configFile, const GetPostgresInfo& info, const std::string& dataDir,
        const std::string& archiveDirectory, const std::string& recoveryTargetTime,
        bool standbyMode, bool replicationMode, std::string& recoveryConfigFile,
        std::string& outConfigFileWithoutRecoveryCmds);
    // The file whose existence tells that recovery has ended: <dataDir>/recovery.done, with
    // ".kx" appended from 12.0.
    static std::string getRecoveryDoneFileName(const std::string& dataDir,
                                               const std::string& version);
    // After the server started: puts the saved configuration file back (the one with the
    // settings is kept as configFile + ".with_recovery_command_kx") and clears the name.
    static CRoError
    cleanupRecoveryConfigAfterServerStart(const std::string& configFile, const std::string& dataDir,
                                          std::string& outConfigFileWithoutRecoveryCmds);

    // The recovery settings' lines, each without its newline. Values are quoted for the
    // server's configuration syntax, and the paths run by the shell for the shell.
    static std::vector<std::string> BuildRecoverySettings(const std::string& version,
                                                          const std::string& dataDir,
                                                          const std::string& archiveDirectory,
                                                          const std::string& recoveryTargetTime,
                                                          const std::string& port, bool standbyMode,
                                                          bool replicationMode);

    // ---- Data and WAL directory helpers.

    // 0 when the instance's archive directory is a directory (a warning is logged when the
    // server's archive_command does not name it) or when the server has no archive_command
    // value; -1 on failure.
    static int ValidateWalDirectory(GetPostgresInfo* info);
    // Appends the data directory's and every tablespace's physical path to dirs, data
    // directory first; dataDir receives the data directory's physical path. 0, 1 when a path
    // cannot be had, -1 for a null argument or a failed query.
    static int GetDbDirs(EvEvent* event, ExecutePostgre* executor, std::vector<std::string>& dirs,
                         std::string& dataDir);
    // Gives dataDir, walDir and configFile (when it is an existing file) to osUser and the
    // user's primary group: the links themselves, then the trees behind them. 0, 1 for invalid
    // arguments or a path that cannot be examined, otherwise an errno value.
    static int ChangeDataWalOwnership(std::string dataDir, std::string walDir,
                                      std::string configFile, std::string osUser);
};
