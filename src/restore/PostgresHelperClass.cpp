#include "pgulo/PostgresHelperClass.h"

#include "common/PGGuard.h"
#include "pgulo/ExecutePostgre.h"
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PGVersion.h"
#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/CRoFile.h"
#include "pgulo/host/CRoUTFOSAPI.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/EvEvent.h"
#include "pgulo/host/FXErrorUtil.h"
#include "pgulo/host/FXFile.h"
#include "pgulo/host/FXPath.h"
#include "pgulo/host/FXString.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/host/UniqueFd.h"
#include "pgulo/host/UnixSymbolicLink.h"
#include "pgulo/host/UtfFileApi.h"
#include "pgulo/libpqInterface.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

static EvDebug g_log(nullptr);

namespace {

const char* const kValidateLabel = "PostgresHelperClass::ValidateWalDirectory";
const char* const kDbDirsLabel = "PostgresHelperClass::GetDbDirs";
const char* const kOwnershipLabel = "PostgresHelperClass::ChangeDataWalOwnership";

const char* const kRecoveryConf = "recovery.conf";
const char* const kRecoverySignal = "recovery.signal";
const char* const kStandbySignal = "standby.signal";
const char* const kRecoveryDone = "recovery.done";
const char* const kRecoveryDoneMarkSuffix = ".kx";
const char* const kWithoutRecoverySuffix = "_without_recovery_command";
const char* const kWithRecoverySuffix = ".with_recovery_command_kx";

// A value of the server's configuration syntax: single quotes doubled, and backslashes
// doubled because the server reads them as escapes inside quoted values.
std::string ConfQuote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "''";
        else if (c == '\\')
            quoted += "\\\\";
        else
            quoted += c;
    }
    return quoted + "'";
}

// In restore_command and recovery_end_command the server replaces %-sequences before the
// shell sees the text; a % of a path must reach the shell as itself.
std::string EscapePercent(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == '%')
            escaped += '%';
        escaped += c;
    }
    return escaped;
}

// Gives path the owner and group of dataDir. A data directory that cannot be examined leaves
// the path as it is.
void GiveOwnerOfDataDir(const std::string& path, const std::string& dataDir) {
    struct stat st {};
    if (CRoFile::Stat(dataDir, st).IsError() || lchown_utf(path, st.st_uid, st.st_gid) != 0)
        PGULO_LOG_WRITE(-1, "Unable to change ownership on %s", path.c_str());
}

// Makes the empty file whose presence switches the server's start-up mode.
void CreateSignalFile(const std::string& signalFile, const std::string& dataDir) {
    UniqueFd signal(::open(signalFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (signal.get() < 0) {
        PGULO_LOG_WRITE(-1, "Unable to create %s", signalFile.c_str());
        return;
    }
    PGULO_LOG_WRITE(0, "Created %s", signalFile.c_str());
    ::fsync(signal.get());
    signal.close();
    GiveOwnerOfDataDir(signalFile, dataDir);
}

// The physical path of a directory, every link resolved; false (logged) when it cannot be had.
bool PhysicalPath(const EvEvent& event, const std::string& path, std::string& physical) {
    std::vector<std::string> components;
    bool isLink = false;
    CRoError error =
        UnixSymbolicLink::getPhysicalPath(path, physical, components, true, false, isLink);
    if (error.IsError() || physical.empty()) {
        event.Error(kDbDirsLabel, "Couldn't obtain physical path for path = [%s]", path.c_str());
        PGLastError("Couldn't obtain physical path for symbolic link");
        return false;
    }
    event.DebugLvl(kDbDirsLabel, 2, "Physical path:<%s> src path:<%s>", physical.c_str(),
                   path.c_str());
    return true;
}

// The error number of a failed step, never 0: a failure must not read as success.
int FailureNumber(int error) {
    return error != 0 ? error : EIO;
}

} // namespace

CRoError PostgresHelperClass::initRecoveryConfigFileName(
    const std::string& dataDir, const std::string& configFile, const std::string& version,
    std::string& recoveryConfigFile, std::string& outConfigFileWithoutRecoveryCmds) {
    if (PGVersionAtLeast(version, PG_VERSION_12)) {
        recoveryConfigFile = configFile;
        PGULO_LOG_WRITE(0, "Append recovery commands to %s (no seperate recovery.conf for v12)",
                        recoveryConfigFile.c_str());
        outConfigFileWithoutRecoveryCmds =
            FXString::Trim(configFile, " \t\r\n") + kWithoutRecoverySuffix;
        if (FXFile::DoesFileExist(outConfigFileWithoutRecoveryCmds)) {
            PGULO_LOG_WRITE(0, "Remove outConfigFileWithoutRecoveryCmds<%s>",
                            outConfigFileWithoutRecoveryCmds.c_str());
            CRoError removed = FXFile::RemoveFile(outConfigFileWithoutRecoveryCmds);
            if (removed.IsError()) {
                PGULO_LOG_WRITE(-1,
                                "RemoveFile failed for config_file_without_recovery_command file "
                                "[%s]. Continue anyway...",
                                outConfigFileWithoutRecoveryCmds.c_str());
                PGULO_LOG_WRITE(-1, "Error String:%s", removed.AsString().c_str());
            }
        }
        CRoError copied = FXFile::KXCopyFile(configFile, outConfigFileWithoutRecoveryCmds, 0);
        if (copied.IsError()) {
            PGULO_LOG_WRITE(-1, "KXCopyFile [%s] to [%s] failed.Error [%s]", configFile.c_str(),
                            outConfigFileWithoutRecoveryCmds.c_str(), copied.AsString().c_str());
            return copied;
        }
        PGULO_LOG_WRITE(2, "Made backup:%s", outConfigFileWithoutRecoveryCmds.c_str());
        return CRoError::Success();
    }

    recoveryConfigFile = FXPath::Append(dataDir, kRecoveryConf, 0);
    PGULO_LOG_WRITE(0, "Add recovery commands to %s (for pre-v12)", recoveryConfigFile.c_str());
    if (FXFile::DoesFileExist(recoveryConfigFile)) {
        CRoError removed = FXFile::RemoveFile(recoveryConfigFile);
        if (removed.IsError()) {
            PGULO_LOG_WRITE(-1, "RemoveFile failed file [%s]. Continue anyway...",
                            recoveryConfigFile.c_str());
            PGULO_LOG_WRITE(-1, "Error String:%s", removed.AsString().c_str());
        }
    }
    outConfigFileWithoutRecoveryCmds.clear();
    return CRoError::Success();
}

std::string PostgresHelperClass::getRecoveryDoneFileName(const std::string& dataDir,
                                                         const std::string& version) {
    std::string name = dataDir + "/" + kRecoveryDone;
    if (PGVersionAtLeast(version, PG_VERSION_12))
        name += kRecoveryDoneMarkSuffix;
    return name;
}

std::vector<std::string> PostgresHelperClass::BuildRecoverySettings(
    const std::string& version, const std::string& dataDir, const std::string& archiveDirectory,
    const std::string& recoveryTargetTime, const std::string& port, bool standbyMode,
    bool replicationMode) {
    std::vector<std::string> lines;

    std::string archive = archiveDirectory;
    if (archive.empty() || archive.back() != '/')
        archive += "/";
    // The server hands the command to the shell: the path is quoted for it (a plain path
    // stays as it is), then the whole command is quoted as a configuration value.
    const std::string restoreCommand =
        "cp " + PGCommon::ShellQuote(EscapePercent(archive) + "%f") + " %p";
    lines.push_back("restore_command = " + ConfQuote(restoreCommand));

    if (PGVersionAtLeast(version, PG_VERSION_12)) {
        const std::string doneFile = getRecoveryDoneFileName(dataDir, version);
        lines.push_back("recovery_end_command = " +
                        ConfQuote("touch " + PGCommon::ShellQuote(EscapePercent(doneFile))));
        PGULO_LOG_WRITE(0, "end_recovery_commnd=%s", lines.back().c_str());
    }
    if (standbyMode && replicationMode) {
        const std::string trigger = ConfQuote(dataDir + "/postgresql-repl-" + port + ".trigger");
        // From 12 on the server refuses to start on standby_mode and trigger_file: standby
        // mode is asked for by standby.signal (made beside recovery.signal), the trigger file
        // is promote_trigger_file, and from 16 on there is no trigger file setting at all.
        if (!PGVersionAtLeast(version, PG_VERSION_12)) {
            lines.push_back("standby_mode = 'on'");
            lines.push_back("trigger_file = " + trigger);
        } else if (!PGVersionAtLeast(version, PG_VERSION_16)) {
            lines.push_back("promote_trigger_file = " + trigger);
        }
    }
    if (!recoveryTargetTime.empty() && recoveryTargetTime != "0")
        lines.push_back("recovery_target_time = " + ConfQuote(recoveryTargetTime));
    if (PGVersionAtLeast(version, PG_VERSION_10))
        lines.push_back("recovery_target_action = promote");
    return lines;
}

CRoError PostgresHelperClass::addRecoveryCommandsToServerConfig(
    const std::string& configFile, const GetPostgresInfo& info, const std::string& dataDir,
    const std::string& archiveDirectory, const std::string& recoveryTargetTime, bool standbyMode,
    bool replicationMode, std::string& recoveryConfigFile,
    std::string& outConfigFileWithoutRecoveryCmds) {
    const std::string& version = info.postgresVersion;
    CRoError initialized = initRecoveryConfigFileName(
        dataDir, configFile, version, recoveryConfigFile, outConfigFileWithoutRecoveryCmds);
    if (initialized.IsError()) {
        PGULO_LOG_WRITE(-1, "Recovery config file could not be initialized");
        return initialized;
    }

    const std::string doneFile = getRecoveryDoneFileName(dataDir, version);
    if (FXFile::DoesFileExist(doneFile)) {
        CRoError removed = FXFile::RemoveFile(doneFile);
        if (removed.IsError()) {
            PGULO_LOG_WRITE(-1, "RemoveFile failed for recovery.done file [%s]. Continue anyway...",
                            doneFile.c_str());
            PGULO_LOG_WRITE(-1, "Error String:%s", removed.AsString().c_str());
        }
    }

    const std::vector<std::string> lines =
        BuildRecoverySettings(version, dataDir, archiveDirectory, recoveryTargetTime, info.Port,
                              standbyMode, replicationMode);

    UniqueFd fd(
        ::open(recoveryConfigFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        PGULO_LOG_WRITE(-1, "Failed to open file %s", recoveryConfigFile.c_str());
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, -1,
                                       "Unable to open %s to add recovery commands.",
                                       recoveryConfigFile.c_str());
    }
    PGULO_LOG_WRITE(1, "Writing recovery commands to %s", recoveryConfigFile.c_str());
    std::string text;
    for (const std::string& line : lines) {
        PGULO_LOG_WRITE(1, "%s", line.c_str());
        text += line + "\n";
    }
    // Written in one piece and flushed to disk: the server must find every setting or none.
    // A failed write takes the file back to its length before the append.
    struct stat before {};
    const bool sized = ::fstat(fd.get(), &before) == 0;
    if (AtomicFile::writeAll(fd.get(), text.data(), text.size()) != 0 || ::fsync(fd.get()) != 0) {
        const int error = errno;
        if (sized && ::ftruncate(fd.get(), before.st_size) != 0)
            PGULO_LOG_WRITE(-1, "Unable to take %s back to its former length",
                            recoveryConfigFile.c_str());
        PGULO_LOG_WRITE(-1, "Failed to write recovery commands to %s: %s",
                        recoveryConfigFile.c_str(), std::strerror(error));
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, error,
                                       "Unable to write recovery commands to %s.",
                                       recoveryConfigFile.c_str());
    }
    if (!fd.close()) {
        const int error = errno;
        PGULO_LOG_WRITE(-1, "Failed to close file %s", recoveryConfigFile.c_str());
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, error,
                                       "Unable to write recovery commands to %s.",
                                       recoveryConfigFile.c_str());
    }

    // The server runs as the data directory's owner and must be able to read (and, before
    // 12, rename) what was written as root.
    GiveOwnerOfDataDir(configFile, dataDir);
    if (recoveryConfigFile != configFile)
        GiveOwnerOfDataDir(recoveryConfigFile, dataDir);

    if (PGVersionAtLeast(version, PG_VERSION_12)) {
        CreateSignalFile(FXPath::Append(dataDir, kRecoverySignal, 0), dataDir);
        if (standbyMode && replicationMode)
            CreateSignalFile(FXPath::Append(dataDir, kStandbySignal, 0), dataDir);
    }
    return CRoError::Success();
}

CRoError PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(
    const std::string& configFile, const std::string& dataDir,
    std::string& outConfigFileWithoutRecoveryCmds) {
    if (outConfigFileWithoutRecoveryCmds.empty())
        return CRoError::Success();

    bool isFile = false;
    CRoError exists = FXPath::DoesPathExist(outConfigFileWithoutRecoveryCmds, isFile);
    if (exists.IsError()) {
        PGULO_LOG_WRITE(-1, "%s does not exist? <%s>", outConfigFileWithoutRecoveryCmds.c_str(),
                        exists.AsString().c_str());
        outConfigFileWithoutRecoveryCmds.clear();
        return CRoError::Success();
    }

    // Each step is checked: the configuration file must never be left missing, and a failure
    // keeps the name so that the caller can try again.
    const std::string withRecovery = configFile + kWithRecoverySuffix;
    CRoError moved = FXFile::KXMoveFileEx(configFile, withRecovery, 1);
    if (moved.IsError()) {
        PGULO_LOG_WRITE(-1, "KXMoveFileEx [%s] to [%s] failed.Error [%s]", configFile.c_str(),
                        withRecovery.c_str(), moved.AsString().c_str());
        return moved;
    }
    PGULO_LOG_WRITE(2, "Copy %s back to %s", outConfigFileWithoutRecoveryCmds.c_str(),
                    configFile.c_str());
    CRoError copied = FXFile::KXCopyFile(outConfigFileWithoutRecoveryCmds, configFile, 0);
    if (copied.IsError()) {
        PGULO_LOG_WRITE(-1, "KXCopyFile [%s] to [%s] failed.Error [%s]",
                        outConfigFileWithoutRecoveryCmds.c_str(), configFile.c_str(),
                        copied.AsString().c_str());
        CRoError back = FXFile::KXMoveFileEx(withRecovery, configFile, 1);
        if (back.IsError())
            PGULO_LOG_WRITE(-1, "KXMoveFileEx [%s] to [%s] failed.Error [%s]", withRecovery.c_str(),
                            configFile.c_str(), back.AsString().c_str());
        return copied;
    }
    GiveOwnerOfDataDir(configFile, dataDir);
    outConfigFileWithoutRecoveryCmds.clear();
    return CRoError::Success();
}

int PostgresHelperClass::ValidateWalDirectory(GetPostgresInfo* info) {
    const char* const label = kValidateLabel;
    return PGGuard::OrReturn(g_log, label, -1, [&]() -> int {
        if (info == nullptr) {
            g_log.Error(label, "eRRoR -- no instance information");
            return -1;
        }
        ExecutePostgre executor;
        if (executor.init(info->datafilePath, info->binaryPath, info->saUser, info->password,
                          info->configFile, info->HostAddr, info->Port) != 0) {
            g_log.Error(label, "ExecutePostgre.init failed.");
            PGLastError("Failed to connect to PostgreSQL server");
            return -1;
        }
        if (executor.postgre_Query("show archive_command") != 0) {
            g_log.Error(label, "Failed to run \"show archive_command\" command.");
            PGLastError("Failed to run \"show archive_command\" command");
            return -1;
        }
        std::vector<std::string> values;
        executor.getCol(0, values);
        if (values.size() < 2)
            return 0;

        std::string walDir = info->archlogFile;
        const std::string& command = values[1];
        bool isFile = false;
        CRoError examined = FXPath::DoesPathExist(walDir, isFile);
        if (examined.IsError()) {
            g_log.Error(label, "Invalid archive log directory [%s]. Got error [%s].",
                        walDir.c_str(), examined.AsString().c_str());
            PGLastError("Invalid archive log directory.");
            return -1;
        }
        if (isFile) {
            g_log.Error(label,
                        "Wal directory [%s] is a file. Please give valid WAL directory name.",
                        walDir.c_str());
            PGLastError("Wal directory is a file. Please give valid WAL directory name.");
            return -1;
        }
        if (walDir.empty() || walDir.back() != '/')
            walDir += "/";
        walDir += "%f";
        if (command.find(walDir) == std::string::npos)
            g_log.Debug(label,
                        "Warning: Unable to find Archive WAL directory [%s] in archive command "
                        "[%s].",
                        walDir.c_str(), command.c_str());
        return 0;
    });
}

int PostgresHelperClass::GetDbDirs(EvEvent* event, ExecutePostgre* executor,
                                   std::vector<std::string>& dirs, std::string& dataDir) {
    const char* const label = kDbDirsLabel;
    if (event == nullptr || executor == nullptr || executor->GetSession() == nullptr)
        return -1;
    return PGGuard::OrReturn(g_log, label, -1, [&]() -> int {
        std::string reported;
        if (!executor->GetSession()->GetServerParameter("data_directory", &reported) ||
            reported.empty()) {
            event->Error(label, "Couldn't obtain data_dir");
            return 1;
        }
        std::string physical;
        if (!PhysicalPath(*event, reported, physical))
            return 1;
        dataDir = physical;
        event->DebugLvl(label, 2, "Data directory [%s]", dataDir.c_str());
        dirs.push_back(dataDir);

        std::string query = "show server_version";
        if (executor->postgre_Query(query) == -1) {
            event->Error(label, "postgre_exe failed (%s)", query.c_str());
            return -1;
        }
        std::vector<std::string> values;
        executor->getCol(0, values);
        std::string version;
        if (values.size() > 1) {
            version = values[1];
            event->DebugLvl(label, 2, "Got PostgreSQL version [%s]", version.c_str());
        }

        query = PGVersionAtLeast(version, PG_VERSION_9_2)
                    ? "select distinct pg_tablespace_location(oid) from pg_tablespace;"
                    : "select distinct spclocation from pg_tablespace;";
        if (executor->postgre_Query(query) == -1) {
            event->Error(label, "postgre_exe failed (%s)", query.c_str());
            return -1;
        }
        executor->getCol(0, values);
        for (size_t i = 1; i < values.size(); ++i) {
            // The built-in tablespaces have no location of their own.
            if (values[i].empty())
                continue;
            event->DebugLvl(label, 2, "Tablespace directory [%s]", values[i].c_str());
            if (!PhysicalPath(*event, values[i], physical))
                return 1;
            dirs.push_back(physical);
        }
        event->DebugLvl(label, 2, "DB Dirs size %ld", static_cast<long>(dirs.size()));
        return 0;
    });
}

int PostgresHelperClass::ChangeDataWalOwnership(std::string dataDir, std::string walDir,
                                                std::string configFile, std::string osUser) {
    const char* const label = kOwnershipLabel;
    if (dataDir.empty() || walDir.empty() || osUser.empty()) {
        g_log.Error(label, "Invalid dataDirectory [%s], walDirectory[%s] or userName osUser [%s]",
                    dataDir.c_str(), walDir.c_str(), osUser.c_str());
        return 1;
    }
    bool isFile = false;
    bool withConfig = !FXPath::DoesPathExist(configFile, isFile).IsError() && isFile;
    if (!withConfig)
        g_log.Debug(label, "Config file [%s] does not exist, not changing permission for it.",
                    configFile.c_str());

    // getpwnam and getgrgid leave errno at 0 for a name that simply is not there; that must
    // not read as success.
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> userBuffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd userEntry {};
    struct passwd* user = nullptr;
    int rc = ::getpwnam_r(osUser.c_str(), &userEntry, userBuffer.data(), userBuffer.size(), &user);
    if (user == nullptr) {
        const int error = FailureNumber(rc != 0 ? rc : ENOENT);
        g_log.Error(label, "Failed to get uid, errno = %d", error);
        return error;
    }
    size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> groupBuffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct group groupEntry {};
    struct group* group = nullptr;
    rc = ::getgrgid_r(user->pw_gid, &groupEntry, groupBuffer.data(), groupBuffer.size(), &group);
    if (group == nullptr) {
        const int error = FailureNumber(rc != 0 ? rc : ENOENT);
        g_log.Error(label, "Failed to get gid, errno = %d", error);
        return error;
    }
    const std::string userName = user->pw_name;
    const std::string groupName = group->gr_name;

    struct stat st {};
    if (CRoUTFOSAPI::lstat(dataDir, &st) != 0) {
        g_log.Error(label, "Failed to stat file [%s]. Error [%s]", dataDir.c_str(),
                    std::strerror(errno));
        return 1;
    }
    bool withDataDir = true;
    if (st.st_uid == user->pw_uid && st.st_gid == group->gr_gid) {
        g_log.Debug(label, "UID and GID for data directorory is same OS User [%s]",
                    userName.c_str());
        if (CRoUTFOSAPI::lstat(walDir, &st) != 0) {
            g_log.Error(label, "Failed to stat file [%s]. Error [%s]", walDir.c_str(),
                        std::strerror(errno));
            return 1;
        }
        if (st.st_uid == user->pw_uid && st.st_gid == group->gr_gid) {
            g_log.Debug(label, "UID and GID for WAL directorory is same OS User [%s]",
                        userName.c_str());
            return 0;
        }
        withDataDir = false;
    }

    std::string targets = PGCommon::ShellQuote(walDir);
    if (withDataDir)
        targets += " " + PGCommon::ShellQuote(dataDir);
    if (withConfig)
        targets += " " + PGCommon::ShellQuote(configFile);
    g_log.Debug(label, "Changing file ownership to [%s:%s] for %s", userName.c_str(),
                groupName.c_str(), targets.c_str());

    const std::string owner = PGCommon::ShellQuote(userName + ":" + groupName);
    for (const char* command : {"chown -h ", "chown -RL "}) {
        std::string out;
        std::string err;
        errno = 0;
        const int status = KxProcess::system(command + owner + " " + targets, &out, &err, 0, false);
        if (status != 0) {
            const int error = FailureNumber(errno);
            g_log.Error(label, "Failed to change ownership for [%s]", dataDir.c_str());
            g_log.Error(label, "%s%s: status %d: %s", command, targets.c_str(), status,
                        err.c_str());
            return error;
        }
    }
    g_log.Debug(label, "Changed file ownership to User[%s] group[%s]", userName.c_str(),
                groupName.c_str());
    return 0;
}
