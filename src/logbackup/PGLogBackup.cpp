// Log backup job setup and log file numbering.
#include "logbackup/PGLogBackup.h"

#include "common/PGGuard.h"
#include "pgulo/PGText.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/UnixSymbolicLink.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelConstructor = "PGLogBackup :: PGLogBackup";
const char* const kLabelNext = "PGLogBackup :: GetNextLogNumber";
const char* const kLabelToHex = "PGLogBackup :: ConvertDecimalToHex";
const char* const kLabelFromHex = "PGLogBackup :: ConvertHexToDecimal";

constexpr std::uint64_t kLargestSegmentSize = 0xFFFFFFFFULL;

} // namespace

// ---------------------------------------------------------------------------------------
// Construction

PGLogBackup::PGLogBackup(unsigned long long jobId, std::string jobResultsDir, std::string configDir,
                         bool pruneLogs, std::string binDir, std::string libDir, std::string dbName,
                         std::string hostAddr, std::string port, std::string user,
                         std::string password, std::string archiveLogDir, PG_LOG_BACKUP_TYPE type,
                         std::string lastLogNumber, PGQuitFlagCallback quitFlag,
                         void* quitFlagContext, bool exclude, std::string logTmpFileName)
    : PGFsBackup(jobId, std::move(jobResultsDir), std::move(configDir), std::move(binDir),
                 std::move(libDir), std::move(dbName), std::move(hostAddr), std::move(port),
                 std::move(user), std::move(password), std::move(logTmpFileName), quitFlag,
                 quitFlagContext, exclude, std::move(archiveLogDir)),
      Type_m(type), LastLogNumber_m(std::move(lastLogNumber)), PruneLogs_m(pruneLogs) {
    PGGuard::Rethrow(g_log, kLabelConstructor, [&] { Setup(); });
}

PGLogBackup::PGLogBackup(const OfflineSetup& setup)
    : PGFsBackup(setup.base), Type_m(setup.type), LastLogNumber_m(setup.lastLogNumber),
      PruneLogs_m(setup.pruneLogs) {
    ConfigDir_m = setup.configDir;
    Port_m = setup.port;
    LogTmpFileName_m = setup.logTmpFileName;
    PGGuard::Rethrow(g_log, kLabelConstructor, [&] { Setup(); });
}

PGLogBackup::~PGLogBackup() = default;

bool PGLogBackup::OptionOn(const char* token) const {
    const std::string* value = OptionValue(token);
    return value != nullptr && *value == "on";
}

const std::string* PGLogBackup::OptionValue(const char* token) const {
    auto found = Options_m.find(token);
    return found == Options_m.end() ? nullptr : &found->second;
}

void PGLogBackup::Setup() {
    try {
        PGCommon::ReadUserConfiguration(ConfigDir_m, Port_m, &Options_m);
        if (OptionOn("backup_entire_archive_dir")) {
            g_log.Debug(kLabelConstructor, "backup_entire_archive_dir is on.");
            BackupEntireArchiveDir_m = true;
            // The whole archive is taken together with the live WAL directory, so that
            // directory has to be known in this mode too.
            LocateWalDir();
            return;
        }
        if (const std::string* prefix = OptionValue("log_prefix")) {
            LogPrefix_m = *prefix;
            g_log.Debug(kLabelConstructor, "log_prefix[%s]", LogPrefix_m.c_str());
        }
        if (const std::string* suffix = OptionValue("log_suffix")) {
            LogSuffix_m = *suffix;
            g_log.Debug(kLabelConstructor, "log_suffix[%s]", LogSuffix_m.c_str());
        }
        ReadSegmentRange();
        if (Type_m != PG_LOG_FULL_BACKUP && Type_m != PG_LOG_INCR_BACKUP) {
            g_log.Error(kLabelConstructor, "Unknown BackupType:%d", static_cast<int>(Type_m));
            throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                              "Improper Usage.Unknown BackupType");
        }
        if (LastLogNumber_m.empty()) {
            g_log.Error(kLabelConstructor, "Last log number is empty");
            SetPGLastErrCode(PG_LAST_ERROR_NEED_FULL_BACKUP);
            throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                              "No earlier FULL backup detected, last transaction number is empty. "
                              "Cannot perfrom log backup . Please run a FULL backup");
        }
        StartLogNumber_m = LastLogNumber_m;
        g_log.Debug(kLabelConstructor, "Incr backup Log Numbers. Start[%s].",
                    StartLogNumber_m.c_str());
        LocateWalDir();
    } catch (const std::exception& e) {
        // The host shows this text: it names the precise cause.
        PGLastError(e.what());
        throw;
    }
}

void PGLogBackup::ReadSegmentRange() {
    std::uint64_t segmentSize = PGText::kDefaultWalSegmentSize;
    std::string serverValue;
    if (!ReadServerSetting("wal_segment_size", &serverValue)) {
        g_log.Error(kLabelConstructor, "eRRoR -- Could not obtain the wal_segment_size");
    } else {
        g_log.DebugLvl(kLabelConstructor, 2, "wal_segment_size = [%s]", serverValue.c_str());
        segmentSize = PGText::WalSegmentSize(serverValue, 0);
    }

    const char* const key = "sWalSegmentSize";
    std::string registryValue;
    KXPlatformInfo registry;
    if (!registry.getString("PostGres", key, registryValue)) {
        g_log.DebugLvl(kLabelConstructor, 2, "Failed to read registry key %s", key);
    } else {
        g_log.Debug(kLabelConstructor, "WAL SEGMENT SIZE = %s - Read from registry %s",
                    registryValue.c_str(), key);
        if (!registryValue.empty())
            segmentSize = PGText::WalSegmentSize(registryValue, PGText::kDefaultWalSegmentSize);
    }
    g_log.DebugLvl(kLabelConstructor, 2, "WalSegmentSize %llu",
                   static_cast<unsigned long long>(segmentSize));

    if (segmentSize == 0) {
        g_log.Error(kLabelConstructor, "Segment range is zero.");
        throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                          "WAL segment range is Zero. Please set the registry key sWalSegmentSize "
                          "to provide the required WAL SEGMENT SIZE");
    }
    Max_Segment_Num_m = kLargestSegmentSize / segmentSize - 1;
    g_log.DebugLvl(kLabelConstructor, 2, "Max_Segment_Num_m = [%llu]",
                   static_cast<unsigned long long>(Max_Segment_Num_m));
}

void PGLogBackup::LocateWalDir() {
    std::string dataDir;
    if (!ReadServerSetting("data_directory", &dataDir)) {
        g_log.Error(kLabelConstructor, "eRRoR -- Could not obtain the data_dir");
        throw PGException(kLabelConstructor, PG_EXCEPTION_POSTGRE,
                          "data_dir could not be obtained");
    }
    struct stat st {};
    if (::lstat(dataDir.c_str(), &st) != 0) {
        g_log.Error(kLabelConstructor, "eRRoR -- lstat failed on [%s]. errno:%d", dataDir.c_str(),
                    errno);
        throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION, "Could not stat DataDir");
    }
    std::string directory = dataDir;
    if (S_ISLNK(st.st_mode)) {
        std::string physical;
        std::vector<std::string> components;
        if (!UnixSymbolicLink::getPhysicalPath(dataDir, physical, components, true, false)) {
            g_log.Error(kLabelConstructor, "Couldn't obtain physical path for path = [%s]",
                        dataDir.c_str());
            throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                              "Could not get physical path for DataDir symbolic link");
        }
        g_log.Debug(kLabelConstructor, "Physical path:<%s> src path:<%s>", physical.c_str(),
                    dataDir.c_str());
        if (::lstat(physical.c_str(), &st) != 0) {
            g_log.Error(kLabelConstructor, "eRRoR -- lstat failed on [%s]. errno:%d",
                        physical.c_str(), errno);
            throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                              "Could not stat DataDir");
        }
        if (!S_ISDIR(st.st_mode)) {
            g_log.Error(kLabelConstructor, "eRRoR -- [%s] is not a dir", physical.c_str());
            throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                              "DataDir is not actually a dir");
        }
        directory = physical;
    } else if (!S_ISDIR(st.st_mode)) {
        g_log.Error(kLabelConstructor, "eRRoR -- Data Dir [%s] is neither a sym link nor a Dir",
                    dataDir.c_str());
        throw PGException(kLabelConstructor, PG_EXCEPTION_APPLICATION,
                          "DataDir is not actually a dir");
    }
    // The host gives the version only after construction; without it a server of release 10
    // or later would be taken for one with pg_xlog. The server knows its own.
    if (ServerVersion_m.empty())
        setPostgresVersion(std::string());
    WalDir_m = directory + "/" + PGCommon::GetPGXlogFolder(ServerVersion_m);
}

// ---------------------------------------------------------------------------------------
// Numbering

void PGLogBackup::GetNextLogNumber(const std::string& current, std::string* next) {
    const std::string name = NextLogNumber(current, Max_Segment_Num_m);
    if (next != nullptr)
        *next = name;
}

std::string PGLogBackup::NextLogNumber(const std::string& current, std::uint64_t maxSegmentNum) {
    return PGGuard::Rethrow(g_log, kLabelNext, [&] {
        g_log.DebugLvl(kLabelNext, 2, "CurrentLogNumber:%s", current.c_str());
        std::uint32_t logId = 0;
        std::uint32_t segment = 0;
        std::string::size_type logIdEnd = 0;
        std::string::size_type segmentEnd = 0;
        if (current.size() < 17 || !PGText::ReadHex32(current.substr(8, 8), logIdEnd, logId) ||
            !PGText::ReadHex32(current.substr(16), segmentEnd, segment)) {
            // Stepping on from a name that is no segment name would walk the archive for
            // names that can never be there.
            g_log.Error(kLabelNext, "eRRoR -- [%s] is not a WAL segment file name",
                        current.c_str());
            throw PGException(kLabelNext, PG_EXCEPTION_APPLICATION, "Log file names should be Hex");
        }
        g_log.DebugLvl(kLabelNext, 2, " logId = [%X] SegNum = [%X] ", logId, segment);
        if (segment >= maxSegmentNum) {
            ++logId;
            segment = 0;
            g_log.Debug(kLabelNext, "Changed LogId as Seg range is over ");
        } else {
            ++segment;
        }
        char numbers[17];
        std::snprintf(numbers, sizeof numbers, "%08X%08X", logId, segment);
        const std::string next = current.substr(0, 8) + numbers;
        g_log.DebugLvl(kLabelNext, 2, "newlogname = [%s]", next.c_str());
        return next;
    });
}

char PGLogBackup::ConvertDecimalToHex(int value) {
    return PGGuard::Rethrow(g_log, kLabelToHex, [&] {
        if (value < 0 || value > 15) {
            g_log.Error(kLabelToHex, "We cannot handle log files names that are not Hex");
            throw PGException(kLabelToHex, PG_EXCEPTION_APPLICATION,
                              "Log file names should be Hex");
        }
        return "0123456789ABCDEF"[value];
    });
}

int PGLogBackup::ConvertHexToDecimal(char digit) {
    return PGGuard::Rethrow(g_log, kLabelFromHex, [&] {
        // Segment file names are written with upper-case digits only.
        const bool lowerCase = digit >= 'a' && digit <= 'f';
        const int value = PGText::HexDigit(digit);
        if (value < 0 || lowerCase) {
            g_log.Error(kLabelFromHex, "We cannot handle log files names that are not Hex");
            throw PGException(kLabelFromHex, PG_EXCEPTION_APPLICATION,
                              "Log file names should be Hex");
        }
        return value;
    });
}

// ---------------------------------------------------------------------------------------
// Accessors

void PGLogBackup::GetCurrentLastLog(std::string* out) const {
    if (out != nullptr)
        *out = EndLogNumber_m;
}

std::string PGLogBackup::ArchivedFilePath(const std::string& logNumber) const {
    return WalArchiveDir_m + "/" + LogPrefix_m + logNumber + LogSuffix_m;
}
