#include "FsBackupHost.h"

#include "TestFiles.h"
#include "TestProcess.h"

#include "pgulo/PGLastError.h"
#include "pgulo/host/CollectLine.h"
#include "pgulo/host/EvDebug.h"


#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace pgulo::test {

namespace fs = std::filesystem;

std::string LastError() {
    const char* text = PGLastError(nullptr);
    return text == nullptr ? std::string("(no last error)") : std::string(text);
}

std::vector<std::string> ReadCollectFile(const std::string& path) {
    std::vector<std::string> paths;
    for (const std::string& line : TestFiles::ReadLines(path))
        paths.push_back(CollectLine::Decode(line));
    return paths;
}

StartResult StartBackup(const PgCluster& cluster, const JobSetup& job) {
    StartResult result;
    result.handle = PostGreFsBackupInterfaceStart(
        job.jobId, job.jobResultsDir, job.configDir, cluster.binDir(), cluster.libDir(), "postgres",
        cluster.socketDir(), std::to_string(cluster.port()), "postgres", "", &result.collectFiles,
        &result.files, &result.totalBytes, job.quitFlag, job.quitFlagContext, job.archiveDir,
        job.logTmpName, job.restart, &result.restartString, job.version, job.makeArchiveDeleteList,
        job.standby);
    return result;
}

StartResult StartLogBackup(const PgCluster& cluster, const JobSetup& job, PG_LOG_BACKUP_TYPE type,
                           const std::string& lastLog, bool prune,
                           const std::string& primaryLastLog) {
    StartResult result;
    result.handle = PostGreLogBackupInterfaceStart(
        job.jobId, job.jobResultsDir, job.configDir, prune, cluster.binDir(), cluster.libDir(),
        "postgres", cluster.socketDir(), std::to_string(cluster.port()), "postgres", "",
        job.archiveDir, type, &result.collectFiles, &result.files, &result.totalBytes, lastLog,
        job.quitFlag, job.quitFlagContext, job.logTmpName, job.version, primaryLastLog,
        job.standby);
    return result;
}

void WriteAgentConfig(const std::string& configDir, int port, const std::string& lines) {
    TestFiles::Write(configDir + "/postgres_" + std::to_string(port), lines);
}

bool InBackupMode(const PgCluster& cluster) {
    return fs::exists(cluster.dataDir() + "/backup_label");
}

std::string BackupLabel(const PgCluster& cluster) {
    for (const std::string& line : TestFiles::ReadLines(cluster.dataDir() + "/backup_label")) {
        if (line.rfind("LABEL: ", 0) == 0)
            return line.substr(7);
    }
    return "";
}

std::string AgentLog() {
    return TestFiles::ReadDirectory(std::string(std::getenv("PGULO_HOME")) + "/log");
}

namespace {
// A file the job keeps is written under a unique temporary name first, which cannot be listed
// here; the final names show any such write.
constexpr const char* kRootNames[] = {"/BackupTime.kxf", "/backup_label", "/tablespace_map",
                                      "/PGLogNumberStore.txt"};
} // namespace

RootDirectoryWatch::RootDirectoryWatch() {
    for (const char* name : kRootNames) {
        std::error_code ec;
        const auto time = fs::last_write_time(name, ec);
        before_[name] = ec ? std::nullopt : std::optional<fs::file_time_type>(time);
    }
}

std::vector<std::string> RootDirectoryWatch::Written() {
    std::vector<std::string> written;
    for (const auto& [name, time] : before_) {
        std::error_code ec;
        const auto now = fs::last_write_time(name, ec);
        if (ec || (time && *time == now))
            continue;
        written.push_back(name);
        if (!time)
            fs::remove(name, ec);
    }
    return written;
}

void HostHome::SetUp() {
    dir_ = std::make_unique<TempTree>("pgulo-agent-home");
    ::setenv("PGULO_HOME", dir_->Root().c_str(), 1);
    if (debugLevel_ > 0)
        TestFiles::Write(dir_->Path("registry.ini"),
                         "[EvDebug]\nnDebugLevel=" + std::to_string(debugLevel_) + "\n");
    EvDebug::reloadSettings();
}

void HostHome::TearDown() {
    // The debug log tells what went wrong when a test failed.
    if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) {
        const std::string log = AgentLog();
        std::cerr << "===== agent log =====\n"
                  << log.substr(log.size() > 64 * 1024 ? log.size() - 64 * 1024 : 0);
    }
    dir_.reset();
    ::unsetenv("PGULO_HOME");
    EvDebug::reloadSettings();
}

} // namespace pgulo::test
