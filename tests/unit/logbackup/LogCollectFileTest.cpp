// What a log backup lists, writes and prunes, on an archive laid out by hand and a job whose
// server settings are given instead of asked for.
#include "logbackup/PGLogBackup.h"

#include "PGFailure.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

class LogCollectFile : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir :
             {"jr", "archive", "data/pg_wal/archive_status", "data/pg_xlog", "config"})
            fs::create_directories(Path(dir));
        TestFiles::Write(Path("data/postgresql.conf"), "port = 5432\n");
        SetPGLastErrCode(0);
    }

    std::string Path(const std::string& name) const { return tree_.Path(name); }
    std::string Archived(const std::string& name) const { return Path("archive/" + name); }
    void Archive(const std::vector<std::string>& names) const {
        for (const std::string& name : names)
            TestFiles::Write(Archived(name), "segment " + name);
    }
    void AgentConfig(const std::string& lines) const {
        TestFiles::Write(Path("config/postgres_5432"), lines);
    }

    PGLogBackup::OfflineSetup Job(PG_LOG_BACKUP_TYPE type, const std::string& lastLog,
                                  const std::string& version = "14.2",
                                  std::optional<std::string> segmentSize = "16MB") const {
        PGLogBackup::OfflineSetup setup;
        setup.base.jobId = 7;
        setup.base.jobResultsDir = Path("jr");
        setup.base.archiveLogDir = Path("archive");
        setup.base.serverVersion = version;
        setup.base.settings = {{"data_directory", Path("data")},
                               {"config_file", Path("data/postgresql.conf")}};
        if (segmentSize)
            setup.base.settings["wal_segment_size"] = *segmentSize;
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
        for (const std::string& file : job.GetCollectFileList())
            for (const std::string& line : TestFiles::ReadLines(file))
                lines.push_back(line);
        return lines;
    }

    TempHostHome home_;
    TempTree tree_{"pgulo-logcollect"};
};

// A segment's file name on time line 1.
std::string Seg(unsigned log, unsigned seg) {
    char name[25];
    std::snprintf(name, sizeof name, "00000001%08X%08X", log, seg);
    return name;
}

// One walk of the archive: what lies there, the job, and the names its collect file lists
// before the log temporary file and the archive (in that order unless anyOrder).
struct Walk {
    std::vector<std::string> archived;
    const char* config;
    PG_LOG_BACKUP_TYPE type;
    const char* version;
    std::string lastLog, endLog;
    bool allLogs; // the registry's nDoNotBackupAllLogs unset
    std::vector<std::string> expected;
    bool anyOrder;
};

TEST_F(LogCollectFile, EachWalkTakesTheLogsItsTypeAndReleaseCallFor) {
    const auto incr = PG_LOG_INCR_BACKUP;
    const auto full = PG_LOG_FULL_BACKUP;
    const std::string copy = Seg(0, 0x12) + "_PGuLOLogCopy.kxf_7";
    const Walk walks[] = {
        {{Seg(0, 0x10), Seg(0, 0x11), Seg(0, 0x12), Seg(0, 0x13), Seg(0, 0x14)}, "", incr, "14.2",
         Seg(0, 0x10), Seg(0, 0x13), true, {Seg(0, 0x11), Seg(0, 0x12), Seg(0, 0x13)}, false},
        {{"arch_" + Seg(0, 0x11) + ".gz", "arch_" + Seg(0, 0x12) + ".gz"},
         "log_prefix:arch_\nlog_suffix:.gz\n", incr, "14.2", Seg(0, 0x10), Seg(0, 0x12), true,
         {"arch_" + Seg(0, 0x11) + ".gz", "arch_" + Seg(0, 0x12) + ".gz"}, false},
        // Full: every archived log up to the end, and the history files.
        {{Seg(0, 0xE), Seg(0, 0xF), Seg(0, 0x10), Seg(0, 0x10) + ".00000028.backup",
          "00000002.history", Seg(0, 0x11), Seg(0, 0x12), Seg(0, 0x13), Seg(0, 0x14),
          Seg(0, 0x13) + ".partial", "README"},
         "", full, "14.2", Seg(0, 0x10), Seg(0, 0x13), true,
         {Seg(0, 0xE), Seg(0, 0xF), Seg(0, 0x10), Seg(0, 0x10) + ".00000028.backup",
          "00000002.history", Seg(0, 0x11), Seg(0, 0x12), Seg(0, 0x13)},
         true},
        // Full with the old behaviour: the range with its start.
        {{Seg(0, 0xF), Seg(0, 0x10), Seg(0, 0x11), Seg(0, 0x12), "00000002.history"}, "", full,
         "14.2", Seg(0, 0x10), Seg(0, 0x12), false, {Seg(0, 0x10), Seg(0, 0x11), Seg(0, 0x12)},
         false},
        // Old servers: the start again, and a copy of the unarchived end.
        {{Seg(0, 0x10), Seg(0, 0x11)}, "", incr, "8.1.22", Seg(0, 0x10), Seg(0, 0x12), true,
         {Seg(0, 0x10), Seg(0, 0x11), copy}, false},
        {{Seg(0, 0xF), Seg(0, 0x10), Seg(0, 0x11)}, "", full, "8.0.26", Seg(0, 0x10),
         Seg(0, 0x12), true, {Seg(0, 0xF), Seg(0, 0x10), Seg(0, 0x11), copy}, true},
        // Releases before 9.3 never wrote segment FF, later ones do.
        {{Seg(0, 0xFD), Seg(0, 0xFE), Seg(0, 0xFF), Seg(1, 0), Seg(1, 1)}, "", incr, "9.2.24",
         Seg(0, 0xFD), Seg(1, 1), true, {Seg(0, 0xFE), Seg(1, 0), Seg(1, 1)}, false},
        {{Seg(0, 0xFE), Seg(0, 0xFF), Seg(1, 0)}, "", incr, "9.3.0", Seg(0, 0xFD), Seg(1, 0),
         true, {Seg(0, 0xFE), Seg(0, 0xFF), Seg(1, 0)}, false},
    };
    for (const Walk& w : walks) {
        SCOPED_TRACE(w.endLog + " " + w.version);
        fs::remove_all(Path("archive"));
        fs::remove_all(Path("jr"));
        SetUp();
        TestFiles::Write(Path("data/pg_xlog/") + Seg(0, 0x12), "newest");
        AgentConfig(w.config);
        ASSERT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", !w.allLogs));
        Archive(w.archived);
        PGLogBackup job(Job(w.type, w.lastLog, w.version));
        job.SetCurrentLastLog(w.endLog);
        unsigned long long collectFiles = 0;
        unsigned long long files = 0;
        job.GenerateCollectFile(&collectFiles, &files);
        std::vector<std::string> expected;
        for (const std::string& name : w.expected)
            expected.push_back(Archived(name));
        std::vector<std::string> lines = CollectLines(job);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), Path("archive"));
        EXPECT_EQ(lines[lines.size() - 2], Archived("PGLogTmp.txt"));
        lines.resize(lines.size() - 2);
        if (w.anyOrder) {
            std::sort(lines.begin(), lines.end());
            std::sort(expected.begin(), expected.end());
        }
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(files, expected.size());
        EXPECT_EQ(collectFiles, 1u);
        EXPECT_EQ(job.GetCollectFileList().front(),
                  Path(w.type == full ? "jr/CollectTot1.kxf" : "jr/Collect_logfile1.kxf"));
    }
}

TEST_F(LogCollectFile, IncrementalCountsBytesAndWritesTheLogTemporaryFile) {
    Archive({"000000010000000000000011", "000000010000000000000012"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000012");
    job.GenerateCollectFile(nullptr, nullptr);
    EXPECT_EQ(job.getTotBytes(), 2 * std::string("segment 000000010000000000000011").size());
    EXPECT_EQ(TestFiles::ReadLines(Archived("PGLogTmp.txt")),
              (std::vector<std::string>{"PG_WAL_DIR:" + Path("archive"),
                                        "config_file:" + Path("data/postgresql.conf"),
                                        "PG_SERVER_VERSION:14.2"}));
}

TEST_F(LogCollectFile, OldServersKeepTheEndLogCopyForCleanup) {
    Archive({"000000010000000000000010"});
    TestFiles::Write(Path("data/pg_xlog/000000010000000000000011"), "newest");
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010", "8.1.22"));
    job.SetCurrentLastLog("000000010000000000000011");
    job.GenerateCollectFile(nullptr, nullptr);
    const std::string copy = Archived("000000010000000000000011_PGuLOLogCopy.kxf_7");
    EXPECT_EQ(TestFiles::Read(copy), "newest");
    EXPECT_EQ(TestFiles::ReadLines(Path("jr/PGCleanupLog_7.txt")),
              std::vector<std::string>{"PG_WAL_LOG:" + copy});
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

TEST_F(LogCollectFile, AMissingLogInTheRangeNeedsAFullBackup) {
    Archive({"000000010000000000000011", "000000010000000000000013"});
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.SetCurrentLastLog("000000010000000000000013");
    EXPECT_NE(PGFailure([&] { job.GenerateCollectFile(nullptr, nullptr); })
                  .find("Some log files are missing from the WAL dir"),
              std::string::npos);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_STREQ(PGLastError(nullptr), "Archive Log files are missing. Please run a FULL backup");
}

TEST_F(LogCollectFile, WithoutAnEndTheWalkStopsAtTheFirstMissingLog) {
    AgentConfig("donot_set_backup_mode_for_log_backup:on\n");
    Archive({"000000010000000000000011", "000000010000000000000012", "000000010000000000000014"});
    TestFiles::Write(Path("data/pg_wal/000000010000000000000013"), "being written");
    PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
    job.RollOverLogs();
    EXPECT_TRUE(job.IncludesWalDir());
    job.GenerateCollectFile(nullptr, nullptr);
    std::string endLog;
    job.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, "000000010000000000000012");
    EXPECT_EQ(CollectLines(job),
              (std::vector<std::string>{
                  Archived("000000010000000000000011"), Archived("000000010000000000000012"),
                  Path("data/pg_wal"), Path("data/pg_wal/000000010000000000000013"),
                  Path("data/pg_wal/archive_status"), Archived("PGLogTmp.txt"), Path("archive")}));

    // With nothing archived the end stays empty.
    PGLogBackup full(Job(PG_LOG_FULL_BACKUP, "000000010000000000000020"));
    full.RollOverLogsWithStartStopBackup();
    full.GenerateCollectFile(nullptr, nullptr);
    full.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, "");
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

TEST_F(LogCollectFile, TheWholeArchiveNeedsNeitherTypeNorLastLog) {
    AgentConfig("backup_entire_archive_dir:on\n");
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
    EXPECT_NE(PGFailure([&] {
                  PGLogBackup(Job(static_cast<PG_LOG_BACKUP_TYPE>(3), "000000010000000000000010"));
              }).find("Improper Usage.Unknown BackupType"),
              std::string::npos);
    EXPECT_EQ(GetPGLastErrCode(), 0);
    EXPECT_NE(PGFailure([&] { PGLogBackup(Job(PG_LOG_INCR_BACKUP, "")); }), "");
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

// The end log is in the archive but the server has not marked it done: the job looks again
// after each wait, and within it as often as nWaitForEndLogPollMs says. Without that key the
// waits are sat out and logged as always.
TEST_F(LogCollectFile, TheEndLogWaitLooksAsOftenAsTheRegistrySays) {
    using std::chrono::milliseconds;
    const struct {
        const char* name;
        long pollSeconds;
        std::optional<long> pollMs;
        bool doneAfter200Ms; // else never
        milliseconds atLeast, below;
    } cases[] = {
        {"looks every 20 ms within a 3-second wait", 3, 20, true, milliseconds(200),
         milliseconds(2000)},
        {"without the key the second is sat out", 1, std::nullopt, true, milliseconds(1000),
         milliseconds(2000)},
        {"looking every 20 ms still gives up after the looks", 1, 20, false, milliseconds(1000),
         milliseconds(2000)},
    };
    const std::string end = "000000010000000000000012";
    const std::string ready = Path("data/pg_wal/archive_status/" + end + ".ready");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(home_.file("registry.ini"));
        KXPlatformInfo registry;
        ASSERT_TRUE(registry.setNumber("PostGres", "nWaitForEndLogMins", 2));
        ASSERT_TRUE(registry.setNumber("PostGres", "nWaitForEndLogPollSecs", c.pollSeconds));
        if (c.pollMs) {
            ASSERT_TRUE(registry.setNumber("PostGres", "nWaitForEndLogPollMs", *c.pollMs));
        }
        Archive({"000000010000000000000011", end});
        TestFiles::Write(ready, "");
        const std::size_t logStart = TestFiles::Read(EvDebug::logFilePath()).size();
        PGLogBackup job(Job(PG_LOG_INCR_BACKUP, "000000010000000000000010"));
        job.SetCurrentLastLog(end);

        const auto before = std::chrono::steady_clock::now();
        std::thread archiver([&] {
            std::this_thread::sleep_for(milliseconds(200));
            if (c.doneAfter200Ms)
                fs::rename(ready, Path("data/pg_wal/archive_status/" + end + ".done"));
        });
        const std::string failure = PGFailure([&] { job.GenerateCollectFile(nullptr, nullptr); });
        const auto waited = std::chrono::steady_clock::now() - before;
        archiver.join();

        EXPECT_EQ(failure.empty(), c.doneAfter200Ms) << failure;
        EXPECT_GE(waited, c.atLeast);
        EXPECT_LT(waited, c.below);
        const std::string log = TestFiles::Read(EvDebug::logFilePath()).substr(logStart);
        std::size_t waits = 0;
        for (std::size_t at = log.find("Waiting for ["); at != std::string::npos;
             at = log.find("Waiting for [", at + 1))
            ++waits;
        EXPECT_EQ(waits, 1u) << log;
        EXPECT_EQ(log.find(" We waited long enough for the end log [" + Archived(end) +
                           "] to be archived.") != std::string::npos,
                  !c.doneAfter200Ms)
            << log;
        fs::remove_all(Path("data/pg_wal/archive_status"));
        fs::create_directories(Path("data/pg_wal/archive_status"));
    }
}

// The last segment number of a log id: from the server's segment size unless the registry's
// sWalSegmentSize says otherwise; 0 when the job must refuse to start.
TEST_F(LogCollectFile, SegmentRangeFollowsTheServerUnlessTheRegistrySaysOtherwise) {
    const struct {
        std::optional<std::string> server;
        std::optional<std::string> registry;
        std::uint64_t maxSegmentNum;
    } cases[] = {
        {"16MB", std::nullopt, 254}, {"64MB", std::nullopt, 62}, {"1GB", std::nullopt, 2},
        {"1024KB", std::nullopt, 4094}, {std::nullopt, std::nullopt, 254}, {"16MB", "64MB", 62},
        {"1GB", "16MB", 254}, {"16MB", "1GB", 2}, {"1GB", "0MB", 254}, {"1GB", "MB", 254},
        {"64MB", "", 62}, {"16MB", "2048KB", 2046}, {"0MB", std::nullopt, 0},
        {"garbage", std::nullopt, 0}, {"16MB", "4GB", 0}, {"16MB", "99999999999GB", 0},
        {"16MB", "2GB", 0}, {"16MB", "3MB", 0}, {"16MB", "512KB", 0}, {"512KB", std::nullopt, 0},
        {"8192MB", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server.value_or("-") + " " + c.registry.value_or("-"));
        fs::remove(home_.file("registry.ini"));
        if (c.registry) {
            ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sWalSegmentSize", *c.registry));
        }
        std::uint64_t max = 0;
        const std::string failure = PGFailure([&] {
            max = PGLogBackup(Job(PG_LOG_INCR_BACKUP, "000000010000000000000001", "14.2",
                                  c.server))
                      .GetMaxSegmentNum();
        });
        EXPECT_EQ(max, c.maxSegmentNum);
        EXPECT_EQ(failure.find("WAL segment range is Zero") != std::string::npos,
                  c.maxSegmentNum == 0)
            << failure;
    }
}

class LogPruning : public LogCollectFile {
protected:
    // A job that took logs 11 and 12 (and the log temporary file) from the archive.
    std::unique_ptr<PGLogBackup> TookLogs(PG_LOG_BACKUP_TYPE type, bool prune = true) {
        Archive(
            {"000000010000000000000010", "000000010000000000000011", "000000010000000000000012"});
        auto setup = Job(type, "000000010000000000000010");
        setup.pruneLogs = prune;
        EXPECT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", 1));
        auto job = std::make_unique<PGLogBackup>(setup);
        job->SetCurrentLastLog("000000010000000000000012");
        job->GenerateCollectFile(nullptr, nullptr);
        return job;
    }
};

TEST_F(LogPruning, DeletesWhatTheCollectFilesListInsideTheArchiveOnly) {
    auto job = TookLogs(PG_LOG_INCR_BACKUP);
    fs::create_directories(Path("archive-old"));
    TestFiles::Write(Path("archive-old/000000010000000000000011"), "elsewhere");
    TestFiles::Write(Archived("100%"), "odd name");
    TestFiles::Write(Path("data/pg_wal/000000010000000000000013"), "live");
    const std::string collect = job->GetCollectFileList().front();
    TestFiles::Write(collect, TestFiles::Read(collect) + Path("archive-old/000000010000000000000011") +
                                  "\n" + Archived("100%25") + "\n" +
                                  Path("data/pg_wal/000000010000000000000013") + "\n");
    job->PruneLogs();
    EXPECT_TRUE(fs::exists(Archived("000000010000000000000010"))) << "not taken";
    for (const char* name : {"000000010000000000000011", "000000010000000000000012",
                             "PGLogTmp.txt", "100%"})
        EXPECT_FALSE(fs::exists(Archived(name))) << name;
    EXPECT_TRUE(fs::is_directory(Path("archive")));
    EXPECT_TRUE(fs::exists(Path("archive-old/000000010000000000000011")))
        << "a sibling whose name begins like the archive's is not the archive";
    EXPECT_TRUE(fs::exists(Path("data/pg_wal/000000010000000000000013")));
}

// Without pruning nothing is deleted; the delete list needs a full log phase and a yes.
TEST_F(LogPruning, TheDeleteListNeedsPruningAFullLogPhaseAndAnExactYes) {
    TestFiles::Write(Path("jr/PGArchDelList.kxf"),
                     Path("stray") + "\n\n" + Path("no-such-file") + "\n");
    const struct {
        const char* value;
        PG_LOG_BACKUP_TYPE type;
        bool prune;
        bool applied;
    } cases[] = {{"yes", PG_LOG_FULL_BACKUP, false, false}, {"YES", PG_LOG_INCR_BACKUP, true, false},
                 {"Yes", PG_LOG_FULL_BACKUP, true, false},  {"no", PG_LOG_FULL_BACKUP, true, false},
                 {"Y", PG_LOG_FULL_BACKUP, true, true},     {"y", PG_LOG_FULL_BACKUP, true, true},
                 {"YES", PG_LOG_FULL_BACKUP, true, true},   {"yes", PG_LOG_FULL_BACKUP, true, true}};
    for (const auto& c : cases) {
        TestFiles::Write(Path("stray"), "x");
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sCleanArchDir", c.value));
        TookLogs(c.type, c.prune)->PruneLogs();
        EXPECT_EQ(fs::exists(Path("stray")), !c.applied) << c.value;
        EXPECT_EQ(fs::exists(Archived("000000010000000000000011")), !c.prune) << c.value;
    }
}

TEST_F(LogPruning, AnUnreadableCollectFileFailsThePrune) {
    auto job = TookLogs(PG_LOG_INCR_BACKUP);
    fs::remove(job->GetCollectFileList().front());
    EXPECT_THROW(job->PruneLogs(), PGException);
}

TEST_F(LogPruning, ShutdownPrunesOnlyAfterTheHostsSuccess) {
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(TookLogs(PG_LOG_INCR_BACKUP).release(), 1), 1);
    EXPECT_TRUE(fs::exists(Archived("000000010000000000000011")));
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(TookLogs(PG_LOG_INCR_BACKUP).release(), 0), 1);
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
