// What a log backup lists, writes and prunes, on an archive laid out by hand and a job whose
// server settings are given instead of asked for.
#include "logbackup/PGLogBackup.h"

#include "TestFiles.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pgulo::test::TestFiles;

class LogCollectFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pgulo-logcollect-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        for (const char* dir : {"home", "jr", "archive", "data", "data/pg_wal",
                                "data/pg_wal/archive_status", "config"})
            fs::create_directories(Path(dir));
        std::ofstream(Path("data/postgresql.conf")) << "port = 5432\n";
        ::setenv("PGULO_HOME", Path("home").c_str(), 1);
        EvDebug::reloadSettings();
        SetPGLastErrCode(0);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        ::unsetenv("PGULO_HOME");
        EvDebug::reloadSettings();
    }

    std::string Path(const std::string& name) const { return root_ + "/" + name; }
    std::string Archived(const std::string& name) const { return Path("archive/" + name); }
    void Archive(const std::vector<std::string>& names) const {
        for (const std::string& name : names)
            std::ofstream(Archived(name)) << "segment " << name;
    }
    void AgentConfig(const std::vector<std::string>& lines) const {
        std::ofstream out(Path("config/postgres_5432"));
        for (const std::string& line : lines)
            out << line << "\n";
    }

    PGLogBackup::OfflineSetup Job(PG_LOG_BACKUP_TYPE type, const std::string& lastLog,
                                  const std::string& version = "14.2") const {
        PGLogBackup::OfflineSetup setup;
        setup.base.jobId = 7;
        setup.base.jobResultsDir = Path("jr");
        setup.base.archiveLogDir = Path("archive");
        setup.base.serverVersion = version;
        setup.base.settings = {{"data_directory", Path("data")},
                               {"config_file", Path("data/postgresql.conf")},
                               {"wal_segment_size", "16MB"}};
        setup.base.exclude = false;
        setup.configDir = Path("config");
        setup.port = "5432";
        setup.type = type;
        setup.lastLogNumber = lastLog;
        setup.logTmpFileName = "PGLogTmp.txt";
        return setup;
    }

    static std::vector<std::string> CollectLines(const PGLogBackup& job) {
        std::vector<std::string> lines;
        for (const std::string& file : job.GetCollectFileList()) {
            for (const std::string& line : TestFiles::ReadLines(file))
                lines.push_back(line);
        }
        return lines;
    }

    std::string root_;
};

TEST_F(LogCollectFile, IncrementalTakesTheLogsAfterTheStartUpToTheEnd) {
    Archive({"000000010000000000000010", "000000010000000000000011", "000000010000000000000012",
             "000000010000000000000013", "000000010000000000000014"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000013");
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    job.GenerateCollectFile(&collectFiles, &files);
    EXPECT_EQ(CollectLines(job),
              (std::vector<std::string>{Archived("000000010000000000000011"),
                                        Archived("000000010000000000000012"),
                                        Archived("000000010000000000000013"),
                                        Archived("PGLogTmp.txt"), Path("archive")}));
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(collectFiles, 1u);
    EXPECT_EQ(job.getTotBytes(), 3 * std::string("segment 000000010000000000000011").size());
    EXPECT_EQ(TestFiles::ReadLines(Archived("PGLogTmp.txt")),
              (std::vector<std::string>{"PG_WAL_DIR:" + Path("archive"),
                                        "config_file:" + Path("data/postgresql.conf"),
                                        "PG_SERVER_VERSION:14.2"}));
}

TEST_F(LogCollectFile, IncrementalWithNothingNewWritesNothing) {
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000010");
    unsigned long long collectFiles = 99;
    unsigned long long files = 98;
    job.GenerateCollectFile(&collectFiles, &files);
    EXPECT_EQ(collectFiles, 99u);
    EXPECT_EQ(files, 98u);
    EXPECT_TRUE(job.GetCollectFileList().empty());
    EXPECT_TRUE(fs::is_empty(Path("jr")));
    EXPECT_FALSE(fs::exists(Archived("PGLogTmp.txt")));
}

TEST_F(LogCollectFile, PrefixAndSuffixSurroundTheLogNumber) {
    AgentConfig({"log_prefix:arch_", "log_suffix:.gz"});
    Archive({"arch_000000010000000000000011.gz", "arch_000000010000000000000012.gz"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    EXPECT_EQ(job.ArchivedFilePath("000000010000000000000011"),
              Archived("arch_000000010000000000000011.gz"));
    job.SetCurrentLastLog("000000010000000000000012");
    job.GenerateCollectFile(nullptr, nullptr);
    const std::vector<std::string> lines = CollectLines(job);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], Archived("arch_000000010000000000000011.gz"));
    EXPECT_EQ(lines[1], Archived("arch_000000010000000000000012.gz"));
}

TEST_F(LogCollectFile, AMissingLogInTheRangeNeedsAFullBackup) {
    Archive({"000000010000000000000011", "000000010000000000000013"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000013");
    try {
        job.GenerateCollectFile(nullptr, nullptr);
        FAIL() << "a gap in the archive went unnoticed";
    } catch (const PGException& e) {
        EXPECT_NE(std::string(e.what()).find("Some log files are missing from the WAL dir"),
                  std::string::npos);
    }
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_STREQ(PGLastError(nullptr), "Archive Log files are missing. Please run a FULL backup");
}

TEST_F(LogCollectFile, WithoutAnEndTheWalkStopsAtTheFirstMissingLog) {
    AgentConfig({"donot_set_backup_mode_for_log_backup:on"});
    Archive({"000000010000000000000011", "000000010000000000000012", "000000010000000000000014"});
    std::ofstream(Path("data/pg_wal/000000010000000000000013")) << "being written";
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.RollOverLogs();
    EXPECT_TRUE(job.IncludesWalDir());
    job.GenerateCollectFile(nullptr, nullptr);
    std::string endLog;
    job.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, "000000010000000000000012");
    const std::vector<std::string> lines = CollectLines(job);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  Archived("000000010000000000000011"), Archived("000000010000000000000012"),
                  Path("data/pg_wal"), Path("data/pg_wal/000000010000000000000013"),
                  Path("data/pg_wal/archive_status"), Archived("PGLogTmp.txt"), Path("archive")}));
}

TEST_F(LogCollectFile, WithoutAnEndAndNothingArchivedTheEndStaysEmpty) {
    AgentConfig({"donot_set_backup_mode_for_log_backup:on"});
    PGLogBackup job(Job(PG_LOG_FULL_BACKUP, "000000010000000000000010"));
    job.RollOverLogsWithStartStopBackup();
    job.GenerateCollectFile(nullptr, nullptr);
    std::string endLog = "unchanged?";
    job.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, "");
    EXPECT_EQ(CollectLines(job).front(), Path("data/pg_wal"));
}

TEST_F(LogCollectFile, FullLogPhaseTakesEveryArchivedLogUpToTheEndAndTheHistoryFiles) {
    Archive({"00000001000000000000000E", "00000001000000000000000F", "000000010000000000000010",
             "000000010000000000000010.00000028.backup", "00000002.history",
             "000000010000000000000011", "000000010000000000000012", "000000010000000000000013",
             "000000010000000000000014", "000000010000000000000013.partial", "README"});
    fs::create_directories(Archived("old"));
    PGLogBackup job(Job(PG_LOG_FULL_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000013");
    unsigned long long files = 0;
    job.GenerateCollectFile(nullptr, &files);
    std::vector<std::string> lines = CollectLines(job);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), Path("archive"));
    lines.pop_back();
    EXPECT_EQ(lines.back(), Archived("PGLogTmp.txt"));
    lines.pop_back();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         Archived("00000001000000000000000E"), Archived("00000001000000000000000F"),
                         Archived("000000010000000000000010"),
                         Archived("000000010000000000000010.00000028.backup"),
                         Archived("000000010000000000000011"), Archived("000000010000000000000012"),
                         Archived("000000010000000000000013"), Archived("00000002.history")}));
    EXPECT_EQ(files, 8u);
    EXPECT_EQ(job.GetCollectFileList().front(), Path("jr/CollectTot1.kxf"));
}

TEST_F(LogCollectFile, FullLogPhaseWithTheOldBehaviourTakesTheRangeWithItsStart) {
    ASSERT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", 1));
    Archive({"00000001000000000000000F", "000000010000000000000010", "000000010000000000000011",
             "000000010000000000000012", "000000010000000000000013", "00000002.history"});
    PGLogBackup job(Job(PG_LOG_FULL_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000013");
    job.GenerateCollectFile(nullptr, nullptr);
    EXPECT_EQ(CollectLines(job),
              (std::vector<std::string>{
                  Archived("000000010000000000000010"), Archived("000000010000000000000011"),
                  Archived("000000010000000000000012"), Archived("000000010000000000000013"),
                  Archived("PGLogTmp.txt"), Path("archive")}));
}

TEST_F(LogCollectFile, ADataDirectoryBehindALinkIsNamedForTheRestore) {
    fs::rename(Path("data"), Path("real-data"));
    fs::create_directory_symlink(Path("real-data"), Path("data"));
    Archive({"000000010000000000000010"});
    PGLogBackup job(Job(PG_LOG_FULL_BACKUP, "000000010000000000000010"));
    EXPECT_EQ(job.GetWalDir(), Path("real-data/pg_wal"));
    job.SetCurrentLastLog("000000010000000000000010");
    job.GenerateCollectFile(nullptr, nullptr);
    const std::vector<std::string> tmp = TestFiles::ReadLines(Archived("PGLogTmp.txt"));
    ASSERT_EQ(tmp.size(), 4u);
    EXPECT_EQ(tmp[3], "physical_path:" + Path("real-data"));
}

TEST_F(LogCollectFile, OldServersCopyTheUnarchivedEndLogFromTheLiveDirectory) {
    fs::create_directories(Path("data/pg_xlog"));
    std::ofstream(Path("data/pg_xlog/000000010000000000000012")) << "newest";
    Archive({"000000010000000000000010", "000000010000000000000011"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010", "8.1.22"));
    job.SetCurrentLastLog("000000010000000000000012");
    job.GenerateCollectFile(nullptr, nullptr);
    const std::string copy = Archived("000000010000000000000012_PGuLOLogCopy.kxf_7");
    // On these servers the start itself is taken again.
    EXPECT_EQ(CollectLines(job),
              (std::vector<std::string>{Archived("000000010000000000000010"),
                                        Archived("000000010000000000000011"), copy,
                                        Archived("PGLogTmp.txt"), Path("archive")}));
    EXPECT_EQ(TestFiles::ReadLines(copy), std::vector<std::string>{"newest"});
    EXPECT_EQ(TestFiles::ReadLines(Path("jr/PGCleanupLog_7.txt")),
              std::vector<std::string>{"PG_WAL_LOG:" + copy});
}

TEST_F(LogCollectFile, OldServersFullLogPhaseTakesTheCopiedEndLogToo) {
    fs::create_directories(Path("data/pg_xlog"));
    std::ofstream(Path("data/pg_xlog/000000010000000000000012")) << "newest";
    Archive({"00000001000000000000000F", "000000010000000000000010", "000000010000000000000011"});
    PGLogBackup job(Job(PG_LOG_FULL_BACKUP, "000000010000000000000010", "8.0.26"));
    job.SetCurrentLastLog("000000010000000000000012");
    job.GenerateCollectFile(nullptr, nullptr);
    std::vector<std::string> lines = CollectLines(job);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         Path("archive"), Archived("00000001000000000000000F"),
                         Archived("000000010000000000000010"), Archived("000000010000000000000011"),
                         Archived("000000010000000000000012_PGuLOLogCopy.kxf_7"),
                         Archived("PGLogTmp.txt")}));
}

TEST_F(LogCollectFile, TheWholeArchiveNeedsNeitherTypeNorLastLog) {
    AgentConfig({"backup_entire_archive_dir:on"});
    Archive({"000000010000000000000010", "anything-at-all"});
    PGLogBackup job(Job(static_cast<PG_LOG_BACKUP_TYPE>(7), ""));
    EXPECT_TRUE(job.BacksUpEntireArchiveDir());
    job.GenerateCollectFile(nullptr, nullptr);
    const std::vector<std::string> lines = CollectLines(job);
    for (const std::string& expected :
         {Archived("000000010000000000000010"), Archived("anything-at-all"), Path("data/pg_wal"),
          Archived("PGLogTmp.txt"), Path("archive")})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
}

TEST_F(LogCollectFile, TheConstructorRefusesUnknownTypesAndAMissingLastLog) {
    try {
        PGLogBackup job(Job(static_cast<PG_LOG_BACKUP_TYPE>(3), "000000010000000000000010"));
        FAIL() << "type 3 accepted";
    } catch (const PGException& e) {
        EXPECT_NE(std::string(e.what()).find("Improper Usage.Unknown BackupType"),
                  std::string::npos);
    }
    EXPECT_EQ(GetPGLastErrCode(), 0);
    EXPECT_THROW(PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "")), PGException);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_NE(std::string(PGLastError(nullptr)).find("No earlier FULL backup detected"),
              std::string::npos);
}

TEST_F(LogCollectFile, TheQuitFlagStopsTheWalk) {
    Archive({"000000010000000000000011", "000000010000000000000012"});
    auto setup = Job(PG_LOG_INCR_BACKUP, "000000010000000000000010");
    setup.base.quitFlag = [](void*) { return true; };
    PGLogBackup job(setup);
    job.SetCurrentLastLog("000000010000000000000012");
    EXPECT_THROW(job.GenerateCollectFile(nullptr, nullptr), PGException);
}

class LogPruning : public LogCollectFile {
protected:
    // A job that took logs 11 and 12 (and the log temporary file) from the archive.
    std::unique_ptr<PGLogBackup> TookLogs(PG_LOG_BACKUP_TYPE type, bool prune = true) {
        Archive(
            {"000000010000000000000010", "000000010000000000000011", "000000010000000000000012"});
        auto setup = Job(type, "000000010000000000000010");
        setup.pruneLogs = prune;
        if (type == PG_LOG_FULL_BACKUP) {
            EXPECT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", 1));
        }
        auto job = std::make_unique<PGLogBackup>(setup);
        job->SetCurrentLastLog("000000010000000000000012");
        job->GenerateCollectFile(nullptr, nullptr);
        return job;
    }
    // Lines as the walk writes them for other names.
    static void AppendToCollect(const PGLogBackup& job, const std::vector<std::string>& lines) {
        std::ofstream out(job.GetCollectFileList().front(), std::ios::app);
        for (const std::string& line : lines)
            out << line << "\n";
    }
};

TEST_F(LogPruning, DeletesWhatTheCollectFilesListInsideTheArchiveOnly) {
    auto job = TookLogs(PG_LOG_INCR_BACKUP);
    fs::create_directories(Path("archive-old"));
    std::ofstream(Path("archive-old/000000010000000000000011")) << "elsewhere";
    std::ofstream(Archived("100%")) << "odd name";
    std::ofstream(Path("data/pg_wal/000000010000000000000013")) << "live";
    AppendToCollect(*job, {Path("archive-old/000000010000000000000011"), Archived("100%25"),
                           Path("data/pg_wal/000000010000000000000013")});
    job->PruneLogs();
    EXPECT_TRUE(fs::exists(Archived("000000010000000000000010"))) << "not taken";
    EXPECT_FALSE(fs::exists(Archived("000000010000000000000011")));
    EXPECT_FALSE(fs::exists(Archived("000000010000000000000012")));
    EXPECT_FALSE(fs::exists(Archived("PGLogTmp.txt")));
    EXPECT_FALSE(fs::exists(Archived("100%")));
    EXPECT_TRUE(fs::is_directory(Path("archive")));
    EXPECT_TRUE(fs::exists(Path("archive-old/000000010000000000000011")))
        << "a sibling whose name begins like the archive's is not the archive";
    EXPECT_TRUE(fs::exists(Path("data/pg_wal/000000010000000000000013")));
}

TEST_F(LogPruning, NothingIsDeletedUnlessAsked) {
    ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sCleanArchDir", "yes"));
    std::ofstream(Path("jr/PGArchDelList.kxf")) << Archived("000000010000000000000010") << "\n";
    auto job = TookLogs(PG_LOG_FULL_BACKUP, false);
    job->PruneLogs();
    for (const char* name : {"000000010000000000000010", "000000010000000000000011",
                             "000000010000000000000012", "PGLogTmp.txt"})
        EXPECT_TRUE(fs::exists(Archived(name))) << name;
}

TEST_F(LogPruning, TheDeleteListNeedsAFullLogPhaseAndAnExactYes) {
    std::ofstream(Path("jr/PGArchDelList.kxf")) << Path("stray") << "\n\n"
                                                << Path("no-such-file") << "\n";
    struct Case {
        const char* value;
        PG_LOG_BACKUP_TYPE type;
        bool applied;
    };
    for (const Case& c :
         {Case{"YES", PG_LOG_INCR_BACKUP, false}, Case{"Yes", PG_LOG_FULL_BACKUP, false},
          Case{"no", PG_LOG_FULL_BACKUP, false}, Case{"Y", PG_LOG_FULL_BACKUP, true},
          Case{"y", PG_LOG_FULL_BACKUP, true}, Case{"YES", PG_LOG_FULL_BACKUP, true},
          Case{"yes", PG_LOG_FULL_BACKUP, true}}) {
        SCOPED_TRACE(c.value);
        std::ofstream(Path("stray")) << "x";
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sCleanArchDir", c.value));
        auto job = TookLogs(c.type);
        job->PruneLogs();
        EXPECT_EQ(fs::exists(Path("stray")), !c.applied);
    }
}

TEST_F(LogPruning, AnUnreadableCollectFileFailsThePrune) {
    auto job = TookLogs(PG_LOG_INCR_BACKUP);
    fs::remove(job->GetCollectFileList().front());
    EXPECT_THROW(job->PruneLogs(), PGException);
}

TEST_F(LogPruning, ShutdownPrunesOnlyAfterTheHostsSuccess) {
    auto job = TookLogs(PG_LOG_INCR_BACKUP);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(job.release(), 1), 1);
    EXPECT_TRUE(fs::exists(Archived("000000010000000000000011")));

    job = TookLogs(PG_LOG_INCR_BACKUP);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(job.release(), 0), 1);
    EXPECT_FALSE(fs::exists(Archived("000000010000000000000011")));
}

TEST(LogBackupEntryPoints, WithoutAHandleNothingIsDone) {
    std::vector<std::string> databases;
    std::string lastLog = "unchanged";
    EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(nullptr, &databases, &lastLog), 0);
    EXPECT_EQ(lastLog, "unchanged");
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(nullptr, 0), 1);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(nullptr, 1), 1);
}

} // namespace
