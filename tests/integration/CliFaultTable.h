#pragma once

// The command line under faults, one row per fault: what is done to a running pgulo, to the
// server under it or to the disk it writes to, and what must come of it. Every row then checks
// the same promises: no backup listed as complete fails verification, no other is offered for
// restore, the source is untouched, the next backup works, and a new complete backup restores
// to exactly the source's rows.
//
// The rows of one PostgreSQL major share one cluster and one host home and run in order, so
// that a row also proves that the faults before it left nothing behind. Two programs include
// this table, each for two majors, so that they can run side by side.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "pgulo/host/UniqueFd.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using json = nlohmann::json;
using namespace std::chrono_literals;

const char* const kInstance = "main";
// Enough for the few dozen backups a major's rows make, and for a restored copy.
constexpr int kMemoryDiskMb = 3072;
// Room for a backup's small files (label, history file, status); a manifest takes far more.
constexpr std::uint64_t kSmallFilesBytes = 64 * 1024;
// The agent waits this many seconds for the last WAL segment before it gives up: long enough for
// the server's archiver, after its failed attempts (a second apart), to archive the segment on a
// busy machine.
constexpr int kWalWaitTrials = 8;
// Rows, and what a restored copy must hold of them: every column, in order.
const char* const kFingerprintSql =
    "SELECT count(*) || ':' || coalesce(md5(string_agg(t::text, ',' ORDER BY id)), '') FROM t";

// True when one of the '|'-separated alternatives is text (whole) or is found in it; an empty
// list always is.
bool AnyOf(const std::string& text, const std::string& alternatives, bool whole) {
    std::istringstream in(alternatives);
    bool any = alternatives.empty();
    for (std::string one; std::getline(in, one, '|');)
        any = any || (whole ? text == one : text.find(one) != std::string::npos);
    return any;
}

// The last line of a copy phase: "full backup: 955 files, 25.3 MiB in 1s" (progress lines
// count "n/total files").
bool EndsDataCopy(const std::string& line) {
    return line.rfind("full backup: ", 0) == 0 && line.find('/') == std::string::npos &&
           line.find(" in ") != std::string::npos;
}

// What a row's action came to.
struct Outcome {
    int exitCode = -1;
    std::string output;
    // A repository of the row's own (a small disk), kept until its backups have been listed.
    std::unique_ptr<TmpfsMount> ownRepository;
};

Outcome From(const ProcessResult& r) {
    return {r.exitCode, r.out + r.err, nullptr};
}

Outcome From(BackgroundPgulo& job) {
    const int exitCode = job.Wait();
    return {exitCode, job.Output(), nullptr};
}

// The moment at which a running backup is struck.
enum class Moment {
    Copy,     // a full backup copying the data directory
    LogPhase, // a backup copying WAL
    WalWait,  // a full backup ending backup mode, waiting for an archive that takes nothing
};

// One major's cluster and host, shared by its rows. The repository and the restored copies
// live in memory: every backup and restore flushes its file system, and on a busy shared
// disk that alone would take minutes.
class FaultStage {
public:
    explicit FaultStage(int major)
        : major_(major), scratch_("pgulo-faults"), repository_(host_.Repository(), kMemoryDiskMb) {
        PgCluster::Options options;
        options.name = "faults";
        cluster_ = std::make_unique<PgCluster>(major, options);
        archiveFlag_ = cluster_->baseDir() + "/archive_fails";
        // The archive refuses every segment while the flag file exists.
        cluster_->appendConf("archive_command = 'test ! -e " + archiveFlag_ + " && cp %p " +
                             cluster_->archiveDir() + "/%f'");
        cluster_->start();
        fs::create_directories(host_.Home());
        TestFiles::Write(host_.Home() + "/registry.ini",
                         "[PostGres]\nnWaitForEndLogMins=" + std::to_string(kWalWaitTrials) + "\n");
        host_.AddInstance(kInstance, *cluster_, "postgres", "");
        // The faults are timed and sized by the bytes a plain copy writes.
        MustSucceed(host_.Run({"instance", "set", kInstance, "--compress", "none"}));
        cluster_->psql("CREATE TABLE t(id serial PRIMARY KEY, v text); CREATE TABLE filler(x int)");
        AddRows();
        const ProcessResult first = host_.Run({"backup", kInstance, "-q"});
        if (first.exitCode != 0)
            throw std::runtime_error("the first full backup failed: " + first.out + first.err);
    }

    ~FaultStage() {
        const long postmaster = postmaster_;
        cluster_.reset();
        // A row that wrongly emptied the cluster's directory leaves its server without a pid
        // file; it must not outlive the test.
        if (pgulo::test::isProcessAlive(postmaster) && RunsPostgres(postmaster))
            ::kill(static_cast<pid_t>(postmaster), SIGKILL);
    }

    int major() const { return major_; }
    PgCluster& cluster() { return *cluster_; }
    const PguloHost& host() const { return host_; }
    std::string Scratch(const std::string& name) const { return scratch_.Path(name); }
    const std::string& ArchiveFlag() const { return archiveFlag_; }

    // Each row starts on a running cluster with a working archive and rows of its own.
    void Prepare() {
        if (!cluster_->isRunning())
            cluster_->start();
        std::error_code ec;
        fs::remove(archiveFlag_, ec);
        postmaster_ =
            std::stol(TestFiles::ReadLines(cluster_->dataDir() + "/postmaster.pid").at(0));
        AddRows();
    }

    std::string Fingerprint() const { return cluster_->psql(kFingerprintSql); }

    std::set<std::string> BackupIds() const {
        std::set<std::string> ids;
        for (const json& b : host_.List(kInstance))
            ids.insert(b["id"].get<std::string>());
        return ids;
    }

    // pgulo in the background; the stage remembers which backups existed before it.
    std::unique_ptr<BackgroundPgulo> Start(const std::vector<std::string>& args) {
        known_ = BackupIds();
        return std::make_unique<BackgroundPgulo>(host_, args);
    }

    // The directory of a backup that the job started last made; empty while there is none.
    std::string NewBackupDirectory() const {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(host_.Repository() + "/" + kInstance, ec)) {
            if (known_.count(entry.path().filename().string()) == 0)
                return entry.path().string();
        }
        return "";
    }

    bool NewBackupHolds(const std::string& part) const {
        const std::string dir = NewBackupDirectory();
        return !dir.empty() && RegularFileUnder(dir + "/" + part);
    }

    // A full backup that is slow enough to be caught at the moment: throttled when it is to
    // be caught copying, yet as fast as it may be for what follows the strike.
    static std::vector<std::string> BackupArgs(Moment moment, const char* rate = "4M") {
        if (moment == Moment::Copy)
            return {"backup", kInstance, "--max-rate", rate, "-j", "1"};
        return {"backup", kInstance, "-j", "1"};
    }

    // True once the job started last has reached the moment.
    bool WaitFor(BackgroundPgulo& job, Moment moment) {
        switch (moment) {
        case Moment::Copy:
            return job.WaitUntil([&] { return NewBackupHolds("files"); });
        case Moment::LogPhase:
            return job.WaitUntil([&] { return NewBackupHolds("wal"); });
        case Moment::WalWait:
            break;
        }
        if (!job.WaitForLine(EndsDataCopy))
            return false;
        // Backup mode is ending now and waits for the archive.
        std::this_thread::sleep_for(1500ms);
        return job.Running();
    }

    // Closes n WAL segments that hold something, waits until the archive has them, and
    // returns their names.
    std::vector<std::string> ArchiveSegments(int n) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            cluster_->psql("INSERT INTO filler VALUES (1)");
            names.push_back(cluster_->switchWal());
        }
        const std::string last = cluster_->archiveDir() + "/" + names.back();
        for (int i = 0; i < 300 && !fs::exists(last); ++i)
            std::this_thread::sleep_for(100ms);
        if (!fs::exists(last))
            throw std::runtime_error("the archive did not take " + names.back());
        return names;
    }

    // Returns once the archive holds every finished segment. After three failures the
    // archiver sleeps for a minute unless a new segment wakes it (before 14 a reload does
    // not), so one is made.
    void WaitForArchive() {
        cluster_->reload();
        cluster_->psql("INSERT INTO filler VALUES (1)");
        cluster_->switchWal();
        for (int i = 0; i < 300 && SegmentsAwaitingArchive(); ++i)
            std::this_thread::sleep_for(100ms);
        if (SegmentsAwaitingArchive())
            throw std::runtime_error("segments still wait for the archive after 30 seconds");
    }

    // The backups a row made, of the host's repository or of the row's own.
    json NewBackups(const std::set<std::string>& before, const std::string& repo) const {
        json made = json::array();
        for (const json& b : host_.List(kInstance, repo)) {
            if (before.count(b["id"].get<std::string>()) == 0)
                made.push_back(b);
        }
        return made;
    }

    // No backup listed as complete may fail verification; each is read once.
    void VerifyCompleteBackups() {
        for (const json& b : host_.List(kInstance)) {
            const std::string id = b["id"];
            if (b["state"] != "complete" || verified_.count(id) != 0)
                continue;
            const ProcessResult r = host_.Run({"verify", kInstance, id, "-q"});
            EXPECT_EQ(r.exitCode, 0) << "backup " << id << " is listed as complete\n"
                                     << r.out << r.err;
            verified_.insert(id);
        }
    }

    // The newest complete backups, restored beside the source and started, hold exactly
    // the source's rows.
    void ExpectRestoreMatchesSource() {
        TempTree root("pgulo-restored");
        const TmpfsMount disk(root.Path("disk"), kMemoryDiskMb);
        const std::string data = disk.path() + "/data";
        MakeServerDirectory(data);
        const int port = FreePort();
        const ProcessResult r =
            host_.Run({"restore", kInstance, "--pgdata", data, "--wal-dir", disk.path() + "/wal",
                       "--start", "--port", std::to_string(port), "-q"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        if (r.exitCode == 0) {
            EXPECT_EQ(QueryValue(*cluster_, port, kFingerprintSql), Fingerprint())
                << "the restored copy differs from the source";
        }
        if (fs::exists(data + "/postmaster.pid"))
            StopServer(*cluster_, data);
    }

    void ExpectNextBackupSucceeds(const std::string& type) {
        const ProcessResult r = host_.Run({"backup", kInstance, "--type", type, "-q"});
        EXPECT_EQ(r.exitCode, 0) << "the " << type << " backup after the fault failed\n"
                                 << r.out << r.err;
        // Whatever a killed job left in the archive directory is gone after the next one.
        for (const auto& entry : fs::directory_iterator(cluster_->archiveDir()))
            EXPECT_NE(entry.path().filename().string().rfind("pgulo_logtmp_", 0), 0u)
                << entry.path() << " was left behind";
        VerifyCompleteBackups();
    }

    // The running cluster's own files are all still there.
    void ExpectClusterIntact() const {
        for (const std::string& file :
             {cluster_->dataDir() + "/PG_VERSION", cluster_->dataDir() + "/global/pg_control",
              cluster_->dataDir() + "/postmaster.pid"})
            EXPECT_TRUE(fs::exists(file)) << file << " is gone";
        EXPECT_FALSE(fs::is_empty(cluster_->archiveDir())) << "the WAL archive was emptied";
    }

private:
    void AddRows() {
        // Committed durably: an immediate stop of the server must not take them back.
        cluster_->psql("SET synchronous_commit = on; "
                       "INSERT INTO t(v) SELECT md5(g::text) FROM generate_series(1, 500) g");
    }

    bool SegmentsAwaitingArchive() const {
        std::error_code ec;
        for (const auto& entry :
             fs::directory_iterator(cluster_->dataDir() + "/pg_wal/archive_status", ec)) {
            if (entry.path().extension() == ".ready")
                return true;
        }
        return false;
    }

    static bool RunsPostgres(long pid) {
        std::error_code ec;
        const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        return !ec && exe.filename() == "postgres";
    }

    int major_;
    TempTree scratch_;
    PguloHost host_;
    TmpfsMount repository_;
    std::unique_ptr<PgCluster> cluster_;
    std::string archiveFlag_;
    long postmaster_ = 0;
    std::set<std::string> known_;
    std::set<std::string> verified_;
};

// While it lives, the archive refuses every segment; afterwards the archive catches up.
class ArchiveFailure {
public:
    explicit ArchiveFailure(FaultStage& stage) : stage_(stage) {
        TestFiles::Write(stage_.ArchiveFlag(), "");
    }
    ~ArchiveFailure() {
        std::error_code ec;
        fs::remove(stage_.ArchiveFlag(), ec);
        try {
            if (stage_.cluster().isRunning())
                stage_.WaitForArchive();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the archive did not catch up: " << e.what();
        }
    }
    ArchiveFailure(const ArchiveFailure&) = delete;
    ArchiveFailure& operator=(const ArchiveFailure&) = delete;

private:
    FaultStage& stage_;
};

// ---- The faults. Each returns what the struck (or refused) command came to. ----

Outcome SignalAt(FaultStage& s, Moment moment, int signal) {
    std::optional<ArchiveFailure> stalled;
    if (moment == Moment::WalWait)
        stalled.emplace(s);
    auto job = s.Start(FaultStage::BackupArgs(moment));
    EXPECT_TRUE(s.WaitFor(*job, moment)) << "the backup never got there\n" << job->Output();
    job->Signal(signal);
    return From(*job);
}

// Watches a directory for new entries whose name begins with a prefix.
class CreationWatch {
public:
    CreationWatch(const std::string& dir, std::string prefix)
        : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), prefix_(std::move(prefix)) {
        if (!fd_ || ::inotify_add_watch(fd_.get(), dir.c_str(), IN_CREATE) < 0)
            throw std::runtime_error("cannot watch " + dir);
    }
    // Waits up to timeout for such an entry; true when one appeared.
    bool Wait(std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        alignas(inotify_event) char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && std::string(event->name).rfind(prefix_, 0) == 0)
                    return true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return false;
    }

private:
    UniqueFd fd_;
    std::string prefix_;
};

// The manifest goes to a temporary file first. The moment that file appears the backup is
// frozen, then killed: it dies in the middle of writing its manifest. On a machine too busy
// for the freeze to land before the rename, the backup is whole instead, which the row's
// checks (verify, restore) then hold it to.
Outcome SigkillDuringManifestWrite(FaultStage& s) {
    auto job = s.Start({"backup", kInstance, "-j", "1"});
    std::string dir;
    EXPECT_TRUE(job->WaitUntil([&] { return !(dir = s.NewBackupDirectory()).empty(); }))
        << job->Output();
    const CreationWatch watch(dir, "manifest.json.tmp");
    EXPECT_TRUE(watch.Wait(std::chrono::seconds(90))) << "the manifest was never written\n"
                                                      << job->Output();
    job->Signal(SIGSTOP);
    if (std::filesystem::exists(dir + "/manifest.json"))
        std::printf("note: the manifest was in place before the backup could be frozen\n");
    job->Signal(SIGKILL);
    return From(*job);
}

Outcome ServerStopsAt(FaultStage& s, Moment moment) {
    std::optional<ArchiveFailure> stalled;
    if (moment == Moment::WalWait)
        stalled.emplace(s);
    // The copy goes on from the files after the server is gone: no need to drag it out.
    auto job = s.Start(FaultStage::BackupArgs(moment, "16M"));
    EXPECT_TRUE(s.WaitFor(*job, moment)) << "the backup never got there\n" << job->Output();
    s.cluster().stop("immediate");
    Outcome outcome = From(*job);
    s.cluster().start();
    return outcome;
}

Outcome ArchiveFailsDuringLogBackup(FaultStage& s) {
    ArchiveFailure failing(s);
    return From(s.host().Run({"backup", kInstance, "--type", "log"}));
}

Outcome ArchiveFailsForAWhileDuringFullBackup(FaultStage& s) {
    std::unique_ptr<BackgroundPgulo> job;
    {
        ArchiveFailure failing(s);
        job = s.Start(FaultStage::BackupArgs(Moment::WalWait));
        EXPECT_TRUE(s.WaitFor(*job, Moment::WalWait)) << job->Output();
        std::this_thread::sleep_for(1s);
    }
    return From(*job);
}

Outcome DiskFullDuringCopy(FaultStage& s) {
    auto disk = std::make_unique<TmpfsMount>(s.Scratch("small-repository"), 12);
    Outcome outcome = From(s.host().Run({"backup", kInstance, "--repo", disk->path(), "-j", "1"}));
    outcome.ownRepository = std::move(disk);
    return outcome;
}

// The position of a 16 MB segment in the WAL: 256 of them to a log file.
std::uint64_t SegmentNumber(const std::string& name) {
    return std::stoull(name.substr(8, 8), nullptr, 16) * 0x100 +
           std::stoull(name.substr(16, 8), nullptr, 16);
}

bool IsSegmentName(const std::string& name) {
    return name.size() == 24 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// The bytes a full backup that has begun to copy its WAL has still to write for it: its
// segments run from the one its label starts in to the newest in the archive.
std::uint64_t WalStillToCopy(const std::string& backupDir, const std::string& archiveDir) {
    std::string label = TestFiles::Read(backupDir + "/meta/backup_label");
    for (const auto& entry : fs::recursive_directory_iterator(backupDir + "/files")) {
        if (label.empty() && entry.path().filename() == "backup_label")
            label = TestFiles::Read(entry.path().string());
    }
    const std::size_t file = label.find("(file ");
    if (file == std::string::npos)
        throw std::runtime_error("no backup_label with a start segment in " + backupDir);
    const std::uint64_t first = SegmentNumber(label.substr(file + 6, 24));
    std::uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(archiveDir)) {
        const std::string name = entry.path().filename().string();
        if (IsSegmentName(name) && SegmentNumber(name) >= first)
            bytes += entry.file_size();
        else if (name.find(".backup") != std::string::npos && IsSegmentName(name.substr(0, 24)) &&
                 SegmentNumber(name.substr(0, 24)) >= first)
            bytes += entry.file_size();
    }
    for (const auto& entry : fs::directory_iterator(backupDir + "/wal"))
        bytes -= std::min<std::uint64_t>(bytes, entry.file_size());
    return bytes;
}

// The manifest is written once the WAL is in. The backup is held as it begins to copy its
// WAL, and the disk fills up but for that WAL and a few small files.
Outcome DiskFullAtManifest(FaultStage& s) {
    auto disk = std::make_unique<TmpfsMount>(s.Scratch("repository-filling-up"), 256);
    const std::string backups = disk->path() + "/" + kInstance;
    auto job =
        s.Start({"backup", kInstance, "--repo", disk->path(), "--max-rate", "16M", "-j", "1"});
    EXPECT_TRUE(job->WaitUntil([&] { return RegularFileUnder(backups, "/wal/"); }))
        << job->Output();
    job->Signal(SIGSTOP);
    for (const auto& backup : fs::directory_iterator(backups))
        disk->FillLeaving(WalStillToCopy(backup.path().string(), s.cluster().archiveDir()) +
                          kSmallFilesBytes);
    job->Signal(SIGCONT);
    Outcome outcome = From(*job);
    outcome.ownRepository = std::move(disk);
    return outcome;
}

Outcome DiskFullDuringRestore(FaultStage& s) {
    TmpfsMount disk(s.Scratch("small-restore-target"), 16);
    const std::string data = disk.path() + "/data";
    Outcome outcome = From(s.host().Run({"restore", kInstance, "--pgdata", data, "-q"}));
    EXPECT_FALSE(fs::exists(data + "/global/pg_control"))
        << "a restore cut short left a directory that could be started";
    return outcome;
}

Outcome SegmentRemovedBetweenBackups(FaultStage& s) {
    const std::vector<std::string> segments = s.ArchiveSegments(3);
    fs::remove(s.cluster().archiveDir() + "/" + segments[1]);
    return From(s.host().Run({"backup", kInstance, "--type", "log"}));
}

// A pruning log backup comes while a slow one copies the same segments. The lock turns it
// away; were it let in, the slow one would lose segments, and the restore check would find
// the hole (or the slow one must fail).
Outcome PruneWhileLogBackupCopies(FaultStage& s) {
    s.ArchiveSegments(2);
    auto slow = s.Start({"backup", kInstance, "--type", "log", "--max-rate", "8M", "-j", "1"});
    EXPECT_TRUE(s.WaitFor(*slow, Moment::LogPhase)) << slow->Output();
    Outcome outcome = From(s.host().Run({"backup", kInstance, "--type", "log", "--prune"}));
    const int first = slow->Wait();
    EXPECT_TRUE(first == 0 || first == 1) << slow->Output();
    return outcome;
}

Outcome FullBackupWhilePruning(FaultStage& s) {
    s.ArchiveSegments(2);
    auto pruning =
        s.Start({"backup", kInstance, "--type", "log", "--prune", "--max-rate", "8M", "-j", "1"});
    EXPECT_TRUE(s.WaitFor(*pruning, Moment::LogPhase)) << pruning->Output();
    Outcome outcome = From(s.host().Run({"backup", kInstance}));
    EXPECT_EQ(pruning->Wait(), 0) << pruning->Output();
    return outcome;
}

Outcome TwoFullBackupsAtOnce(FaultStage& s) {
    auto first = s.Start(FaultStage::BackupArgs(Moment::Copy, "8M"));
    EXPECT_TRUE(s.WaitFor(*first, Moment::Copy)) << first->Output();
    std::this_thread::sleep_for(1s);
    const auto began = std::chrono::steady_clock::now();
    Outcome outcome = From(s.host().Run({"backup", kInstance}));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s) << "the second backup waited";
    EXPECT_TRUE(first->Running()) << "the first backup ended before the second began";
    EXPECT_EQ(first->Wait(), 0) << first->Output();
    return outcome;
}

// The refused restore gathers WAL (if it gets that far) in the stage's scratch tree rather than
// beside its target. The other refusals of --force, and restore targets the WAL cannot reach,
// are CliRestoreSafetyTest's.
Outcome RestoreOverRunningCluster(FaultStage& s) {
    Outcome outcome = From(s.host().Run({"restore", kInstance, "--pgdata", s.cluster().dataDir(),
                                         "--wal-dir", s.Scratch("wal"), "--force", "-q"}));
    s.ExpectClusterIntact();
    return outcome;
}

// ---- The table. ----

struct FaultRow {
    const char* name;
    std::function<Outcome(FaultStage&)> action;
    int exitCode;
    // Found in the output; alternatives separated by '|'.
    const char* message;
    // The state every backup the action made must have in `pgulo list --json` (alternatives
    // separated by '|'); empty when the action must make none.
    const char* state;
    // The type of the backup that must succeed afterwards.
    const char* next;
    // Also run on the majors that get the short table.
    bool representative;
};

const std::vector<FaultRow>& FaultRows() {
    static const std::vector<FaultRow> rows = {
        {"SigkillDuringCopy", [](FaultStage& s) { return SignalAt(s, Moment::Copy, SIGKILL); },
         128 + SIGKILL, "", "incomplete", "full", true},
        {"SigkillDuringManifestWrite", SigkillDuringManifestWrite, 128 + SIGKILL, "",
         "incomplete|complete", "full", false},
        {"SigkillDuringWalWait",
         [](FaultStage& s) { return SignalAt(s, Moment::WalWait, SIGKILL); }, 128 + SIGKILL, "",
         "incomplete", "full", false},
        {"SigintDuringCopy", [](FaultStage& s) { return SignalAt(s, Moment::Copy, SIGINT); }, 1,
         "interrupted", "failed", "full", false},
        {"ServerStopsDuringCopy", [](FaultStage& s) { return ServerStopsAt(s, Moment::Copy); }, 1,
         "backup mode could not be ended", "failed", "full", false},
        {"ServerStopsWhileBackupModeEnds",
         [](FaultStage& s) { return ServerStopsAt(s, Moment::WalWait); }, 1,
         "backup mode could not be ended", "failed", "full", false},
        {"ArchiveFailsDuringLogBackup", ArchiveFailsDuringLogBackup, 1, "archive_command", "failed",
         "log", false},
        {"ArchiveFailsForAWhileDuringFullBackup", ArchiveFailsForAWhileDuringFullBackup, 0,
         "complete: full", "complete", "log", false},
        {"DiskFullDuringCopy", DiskFullDuringCopy, 1, "No space left on device", "failed", "full",
         false},
        {"DiskFullAtManifestWrite", DiskFullAtManifest, 1, "manifest.json", "failed", "full",
         false},
        {"DiskFullDuringRestore", DiskFullDuringRestore, 1, "No space left on device", "", "log",
         false},
        {"WalSegmentRemovedBetweenBackups", SegmentRemovedBetweenBackups, 1, "missing", "failed",
         "full", false},
        {"WalVanishesDuringLogBackup", PruneWhileLogBackupCopies, 1,
         "is busy: pgulo backup (process", "complete|failed", "log", true},
        {"TwoFullBackupsAtOnce", TwoFullBackupsAtOnce, 1, "is busy: pgulo backup (process",
         "complete", "log", true},
        {"FullBackupWhileLogBackupPrunes", FullBackupWhilePruning, 1,
         "is busy: pgulo backup (process", "complete", "log", false},
        {"RestoreOverRunningCluster", RestoreOverRunningCluster, 1,
         "a server is running on|the data directory of a running server", "", "log", false},
    };
    return rows;
}

// ---- Running a row. ----

void ExpectStates(const json& made, const std::string& states) {
    if (states.empty()) {
        EXPECT_TRUE(made.empty()) << "the row made backups:\n" << made.dump(2);
        return;
    }
    EXPECT_FALSE(made.empty()) << "the row made no backup";
    for (const json& b : made) {
        const std::string state = b["state"];
        EXPECT_TRUE(AnyOf(state, states, true))
            << "backup " << b["id"] << " is " << state << ", not " << states << "\n"
            << b.dump(2);
    }
}

// No backup short of complete is offered for restore; true when the row made a complete one.
bool RefuseIncompleteRestores(const FaultStage& s, const json& made) {
    bool anyComplete = false;
    for (const json& b : made) {
        anyComplete = anyComplete || b["state"] == "complete";
        if (b["state"] != "complete")
            ExpectRefused(s.host().Run({"restore", kInstance, "--backup", b["id"], "--pgdata",
                                        s.Scratch("never-restored")}),
                          1, "is incomplete");
    }
    return anyComplete;
}

void RunFaultRow(FaultStage& s, const FaultRow& row) {
    s.Prepare();
    const std::set<std::string> before = s.BackupIds();
    const std::string source = s.Fingerprint();

    Outcome outcome = row.action(s);
    EXPECT_EQ(outcome.exitCode, row.exitCode) << outcome.output;
    EXPECT_TRUE(AnyOf(outcome.output, row.message, false))
        << "expected '" << row.message << "' in:\n"
        << outcome.output;
    const std::string repo = outcome.ownRepository ? outcome.ownRepository->path() : "";
    const json made = s.NewBackups(repo.empty() ? before : std::set<std::string>(), repo);
    ExpectStates(made, row.state);
    const bool anyComplete = repo.empty() && RefuseIncompleteRestores(s, made);
    outcome.ownRepository.reset();

    EXPECT_EQ(s.Fingerprint(), source) << "the source cluster's rows changed";
    s.VerifyCompleteBackups();
    if (anyComplete)
        s.ExpectRestoreMatchesSource();
    s.ExpectNextBackupSucceeds(row.next);
}

using FaultCase = MajorRow<FaultRow>;

// Every row on the majors given in full, the representative ones on the others.
std::vector<FaultCase> FaultCases(const std::vector<int>& fullMajors,
                                  const std::vector<int>& shortMajors) {
    std::vector<FaultCase> cases;
    for (int major : shortMajors) {
        for (const FaultRow& row : FaultRows()) {
            if (row.representative)
                cases.push_back({major, &row});
        }
    }
    const std::vector<FaultCase> full = MajorRows(fullMajors, FaultRows());
    cases.insert(cases.end(), full.begin(), full.end());
    return cases;
}

// One stage at a time: a stage holds a cluster and a repository of dozens of backups.
class CliFaultTable : public StagePerMajor<FaultStage, FaultCase, true> {};

TEST_P(CliFaultTable, Row) {
    PGULO_REQUIRE_MAJOR(GetParam().major);
    RunFaultRow(StageFor(GetParam().major), *GetParam().row);
}

} // namespace
