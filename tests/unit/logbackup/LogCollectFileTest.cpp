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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Lines = std::vector<std::string>;
constexpr auto incr = PG_LOG_INCR_BACKUP;
constexpr auto full = PG_LOG_FULL_BACKUP;

// Segment n of time line 1: its log id above the last two hex digits.
std::string Seg(unsigned n) {
    char name[25];
    std::snprintf(name, sizeof name, "00000001%08X%08X", n >> 8, n & 0xFF);
    return name;
}

// Blank-separated names in which {hex} stands for that segment's name.
Lines Names(const std::string& text) {
    Lines names;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const auto open = word.find('{');
        const auto close = word.find('}');
        if (open != std::string::npos) {
            const auto n = static_cast<unsigned>(std::stoul(word.substr(open + 1), nullptr, 16));
            word.replace(open, close - open + 1, Seg(n));
        }
        names.push_back(word);
    }
    return names;
}

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
    void Archive(const std::string& names) const {
        for (const std::string& name : Names(names))
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

    static Lines CollectLines(const PGLogBackup& job) {
        Lines lines;
        for (const std::string& file : job.GetCollectFileList())
            for (const std::string& line : TestFiles::ReadLines(file))
                lines.push_back(line);
        return lines;
    }

    TempHostHome home_;
    TempTree tree_{"pgulo-logcollect"};
};

TEST_F(LogCollectFile, EachWalkTakesTheLogsItsTypeAndReleaseCallFor) {
    // The names listed before the log temporary file and the archive (a full backup's sorted);
    // allLogs: the registry's nDoNotBackupAllLogs unset.
    const struct {
        const char *archived, *config;
        PG_LOG_BACKUP_TYPE type;
        const char* version;
        unsigned lastLog, endLog;
        bool allLogs;
        const char* expected;
    } walks[] = {
        {"{10} {11} {12} {13} {14}", "", incr, "14.2", 0x10, 0x13, true, "{11} {12} {13}"},
        {"arch_{11}.gz arch_{12}.gz", "log_prefix:arch_\nlog_suffix:.gz\n", incr, "14.2", 0x10,
         0x12, true, "arch_{11}.gz arch_{12}.gz"},
        // Full: every archived log up to the end, and the history files.
        {"{E} {F} {10} {10}.00000028.backup 00000002.history {11} {12} {13} {14} {13}.partial "
         "README", "", full, "14.2", 0x10, 0x13, true,
         "{E} {F} {10} {10}.00000028.backup {11} {12} {13} 00000002.history"},
        // Full with the old behaviour: the range with its start.
        {"{F} {10} {11} {12} 00000002.history", "", full, "14.2", 0x10, 0x12, false,
         "{10} {11} {12}"},
        // Old servers: the start again, and a copy of the unarchived end.
        {"{10} {11}", "", incr, "8.1.22", 0x10, 0x12, true, "{10} {11} {12}_PGuLOLogCopy.kxf_7"},
        {"{F} {10} {11}", "", full, "8.0.26", 0x10, 0x12, true,
         "{F} {10} {11} {12}_PGuLOLogCopy.kxf_7"},
        // Releases before 9.3 never wrote segment FF, later ones do.
        {"{FD} {FE} {FF} {100} {101}", "", incr, "9.2.24", 0xFD, 0x101, true, "{FE} {100} {101}"},
        {"{FE} {FF} {100}", "", incr, "9.3.0", 0xFD, 0x100, true, "{FE} {FF} {100}"},
    };
    const std::string copy = Archived(Seg(0x12) + "_PGuLOLogCopy.kxf_7");
    for (const auto& w : walks) {
        SCOPED_TRACE(std::string(w.expected) + " " + w.version);
        fs::remove_all(Path("archive"));
        fs::remove_all(Path("jr"));
        SetUp();
        TestFiles::Write(Path("data/pg_xlog/") + Seg(0x12), "newest");
        AgentConfig(w.config);
        ASSERT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", !w.allLogs));
        Archive(w.archived);
        PGLogBackup job(Job(w.type, Seg(w.lastLog), w.version));
        job.SetCurrentLastLog(Seg(w.endLog));
        unsigned long long collectFiles = 0;
        unsigned long long files = 0;
        job.GenerateCollectFile(&collectFiles, &files);
        Lines expected;
        unsigned long long bytes = 0;
        for (const std::string& name : Names(w.expected)) {
            expected.push_back(Archived(name));
            bytes += fs::file_size(expected.back());
        }
        Lines lines = CollectLines(job);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
                  (Lines{Archived("PGLogTmp.txt"), Path("archive")}));
        lines.resize(lines.size() - 2);
        if (w.type == full)
            std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(files, expected.size());
        EXPECT_EQ(job.getTotBytes(), bytes);
        EXPECT_EQ(collectFiles, 1u);
        EXPECT_EQ(job.GetCollectFileList().front(),
                  Path(w.type == full ? "jr/CollectTot1.kxf" : "jr/Collect_logfile1.kxf"));
        EXPECT_EQ(TestFiles::ReadLines(Archived("PGLogTmp.txt")),
                  (Lines{"PG_WAL_DIR:" + Path("archive"),
                         "config_file:" + Path("data/postgresql.conf"),
                         std::string("PG_SERVER_VERSION:") + w.version}));
        // The copy of the end log is left for the cleanup to remove.
        const bool copied = std::count(expected.begin(), expected.end(), copy) == 1;
        EXPECT_EQ(TestFiles::ReadLines(Path("jr/PGCleanupLog_7.txt")),
                  copied ? Lines{"PG_WAL_LOG:" + copy} : Lines{});
        EXPECT_EQ(TestFiles::Read(copy), copied ? "newest" : "");
    }
}

TEST_F(LogCollectFile, IncrementalWithNothingNewWritesNothing) {
    PGLogBackup job(Job(incr, Seg(0x10)));
    job.SetCurrentLastLog(Seg(0x10));
    unsigned long long collectFiles = 99;
    unsigned long long files = 98;
    job.GenerateCollectFile(&collectFiles, &files);
    EXPECT_EQ(std::make_pair(collectFiles, files), std::make_pair(99ULL, 98ULL)) << "untouched";
    EXPECT_TRUE(job.GetCollectFileList().empty());
    EXPECT_TRUE(fs::is_empty(Path("jr")));
    EXPECT_FALSE(fs::exists(Archived("PGLogTmp.txt")));
}

TEST_F(LogCollectFile, AMissingLogInTheRangeNeedsAFullBackup) {
    Archive("{11} {13}");
    PGLogBackup job(Job(incr, Seg(0x10)));
    job.SetCurrentLastLog(Seg(0x13));
    EXPECT_NE(PGFailure([&] { job.GenerateCollectFile(nullptr, nullptr); })
                  .find("Some log files are missing from the WAL dir"),
              std::string::npos);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_STREQ(PGLastError(nullptr), "Archive Log files are missing. Please run a FULL backup");
}

TEST_F(LogCollectFile, WithoutAnEndTheWalkStopsAtTheFirstMissingLog) {
    AgentConfig("donot_set_backup_mode_for_log_backup:on\n");
    Archive("{11} {12} {14}");
    TestFiles::Write(Path("data/pg_wal/") + Seg(0x13), "being written");
    PGLogBackup job(Job(incr, Seg(0x10)));
    job.RollOverLogs();
    EXPECT_TRUE(job.IncludesWalDir());
    job.GenerateCollectFile(nullptr, nullptr);
    std::string endLog;
    job.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, Seg(0x12));
    EXPECT_EQ(CollectLines(job),
              (Lines{Archived(Seg(0x11)), Archived(Seg(0x12)), Path("data/pg_wal"),
                     Path("data/pg_wal/") + Seg(0x13), Path("data/pg_wal/archive_status"),
                     Archived("PGLogTmp.txt"), Path("archive")}));

    // With nothing archived the end stays empty.
    PGLogBackup whole(Job(full, Seg(0x20)));
    whole.RollOverLogsWithStartStopBackup();
    whole.GenerateCollectFile(nullptr, nullptr);
    whole.GetCurrentLastLog(&endLog);
    EXPECT_EQ(endLog, "");
}

TEST_F(LogCollectFile, ADataDirectoryBehindALinkIsNamedForTheRestore) {
    fs::rename(Path("data"), Path("real-data"));
    fs::create_directory_symlink(Path("real-data"), Path("data"));
    Archive("{10}");
    PGLogBackup job(Job(full, Seg(0x10)));
    EXPECT_EQ(job.GetWalDir(), Path("real-data/pg_wal"));
    job.SetCurrentLastLog(Seg(0x10));
    job.GenerateCollectFile(nullptr, nullptr);
    const Lines tmp = TestFiles::ReadLines(Archived("PGLogTmp.txt"));
    ASSERT_EQ(tmp.size(), 4u);
    EXPECT_EQ(tmp[3], "physical_path:" + Path("real-data"));
}

TEST_F(LogCollectFile, TheWholeArchiveNeedsNeitherTypeNorLastLog) {
    AgentConfig("backup_entire_archive_dir:on\n");
    Archive("{10} anything-at-all");
    PGLogBackup job(Job(static_cast<PG_LOG_BACKUP_TYPE>(7), ""));
    EXPECT_TRUE(job.BacksUpEntireArchiveDir());
    job.GenerateCollectFile(nullptr, nullptr);
    const Lines lines = CollectLines(job);
    for (const std::string& expected :
         {Archived(Seg(0x10)), Archived("anything-at-all"), Path("data/pg_wal"),
          Archived("PGLogTmp.txt"), Path("archive")})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
}

TEST_F(LogCollectFile, TheConstructorRefusesUnknownTypesAndAMissingLastLogAndQuitStopsTheWalk) {
    EXPECT_NE(PGFailure([&] { PGLogBackup(Job(static_cast<PG_LOG_BACKUP_TYPE>(3), Seg(0x10))); })
                  .find("Improper Usage.Unknown BackupType"),
              std::string::npos);
    EXPECT_EQ(GetPGLastErrCode(), 0);
    EXPECT_NE(PGFailure([&] { PGLogBackup(Job(incr, "")); }), "");
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_NE(std::string(PGLastError(nullptr)).find("No earlier FULL backup detected"),
              std::string::npos);

    Archive("{11} {12}");
    auto setup = Job(incr, Seg(0x10));
    setup.base.quitFlag = [](void*) { return true; };
    PGLogBackup job(setup);
    job.SetCurrentLastLog(Seg(0x12));
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
        Archive("{11} {12}");
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
    const auto none = std::nullopt;
    const struct {
        std::optional<std::string> server, registry;
        std::uint64_t maxSegmentNum;
    } cases[] = {
        {"16MB", none, 254},      {"64MB", none, 62},        {"1GB", none, 2},
        {"1024KB", none, 4094},   {none, none, 254},         {"16MB", "64MB", 62},
        {"1GB", "16MB", 254},     {"16MB", "1GB", 2},        {"1GB", "0MB", 254},
        {"1GB", "MB", 254},       {"64MB", "", 62},          {"16MB", "2048KB", 2046},
        {"0MB", none, 0},         {"garbage", none, 0},      {"16MB", "4GB", 0},
        {"16MB", "99999999999GB", 0}, {"16MB", "2GB", 0},    {"16MB", "3MB", 0},
        {"16MB", "512KB", 0},     {"512KB", none, 0},        {"8192MB", none, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server.value_or("-") + " " + c.registry.value_or("-"));
        fs::remove(home_.file("registry.ini"));
        if (c.registry) {
            ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sWalSegmentSize", *c.registry));
        }
        std::uint64_t max = 0;
        const std::string failure = PGFailure([&] {
            max = PGLogBackup(Job(incr, Seg(1), "14.2", c.server)).GetMaxSegmentNum();
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
        Archive("{10} {11} {12}");
        auto setup = Job(type, Seg(0x10));
        setup.pruneLogs = prune;
        EXPECT_TRUE(KXPlatformInfo().setNumber("PostGres", "nDoNotBackupAllLogs", 1));
        auto job = std::make_unique<PGLogBackup>(setup);
        job->SetCurrentLastLog(Seg(0x12));
        job->GenerateCollectFile(nullptr, nullptr);
        return job;
    }
};

TEST_F(LogPruning, DeletesWhatTheCollectFilesListInsideTheArchiveOnly) {
    auto job = TookLogs(incr);
    const std::string sibling = Path("archive-old/") + Seg(0x11);
    const std::string live = Path("data/pg_wal/") + Seg(0x13);
    fs::create_directories(Path("archive-old"));
    TestFiles::Write(sibling, "elsewhere");
    TestFiles::Write(Archived("100%"), "odd name");
    TestFiles::Write(live, "live");
    const std::string collect = job->GetCollectFileList().front();
    TestFiles::Write(collect, TestFiles::Read(collect) + sibling + "\n" + Archived("100%25") +
                                  "\n" + live + "\n");
    job->PruneLogs();
    EXPECT_TRUE(fs::exists(Archived(Seg(0x10)))) << "not taken";
    for (const std::string& name : {Seg(0x11), Seg(0x12), std::string("PGLogTmp.txt"),
                                    std::string("100%")})
        EXPECT_FALSE(fs::exists(Archived(name))) << name;
    EXPECT_TRUE(fs::is_directory(Path("archive")));
    EXPECT_TRUE(fs::exists(sibling))
        << "a sibling whose name begins like the archive's is not the archive";
    EXPECT_TRUE(fs::exists(live));
    fs::remove(collect);
    EXPECT_THROW(job->PruneLogs(), PGException) << "an unreadable collect file fails the prune";
}

// Without pruning nothing is deleted; the delete list needs a full log phase and a yes.
TEST_F(LogPruning, TheDeleteListNeedsPruningAFullLogPhaseAndAnExactYes) {
    TestFiles::Write(Path("jr/PGArchDelList.kxf"),
                     Path("stray") + "\n\n" + Path("no-such-file") + "\n");
    const struct {
        const char* value;
        PG_LOG_BACKUP_TYPE type;
        bool prune, applied;
    } cases[] = {{"yes", full, false, false}, {"YES", incr, true, false}, {"Yes", full, true, false},
                 {"no", full, true, false},   {"Y", full, true, true},     {"y", full, true, true},
                 {"YES", full, true, true},   {"yes", full, true, true}};
    for (const auto& c : cases) {
        TestFiles::Write(Path("stray"), "x");
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sCleanArchDir", c.value));
        TookLogs(c.type, c.prune)->PruneLogs();
        EXPECT_EQ(fs::exists(Path("stray")), !c.applied) << c.value;
        EXPECT_EQ(fs::exists(Archived(Seg(0x11))), !c.prune) << c.value;
    }
}

TEST_F(LogPruning, ShutdownPrunesOnlyAfterTheHostsSuccessAndNeedsAHandle) {
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(TookLogs(incr).release(), 1), 1);
    EXPECT_TRUE(fs::exists(Archived(Seg(0x11))));
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(TookLogs(incr).release(), 0), 1);
    EXPECT_FALSE(fs::exists(Archived(Seg(0x11))));

    std::vector<std::string> databases;
    std::string lastLog = "unchanged";
    EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(nullptr, &databases, &lastLog), 0);
    EXPECT_EQ(lastLog, "unchanged");
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(nullptr, 0), 1);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(nullptr, 1), 1);
}

} // namespace
