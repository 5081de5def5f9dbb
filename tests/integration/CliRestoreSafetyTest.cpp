// What "pgulo restore" refuses before it touches anything, and what it must never report as a
// good restore: pgulo run as a user runs it, against a major whose server promotes whatever
// recovery reached (12) and a recent one (17).

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "Repository.h"
#include "RestoreTargetGuard.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TimeText.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

constexpr auto npos = std::string::npos;

// One cluster of a major with a full backup and a log backup of several segments, shared by
// every case of that major. Throws when a step fails.
struct World {
    explicit World(int major) {
        PgCluster::Options options;
        options.name = "safety";
        cluster = std::make_unique<PgCluster>(major, options);
        cluster->start();
        host.AddInstance("main", *cluster, "postgres", "");
        // A case writes a stored segment over with what the server is to read unchecked.
        MustSucceed(host.Run({"instance", "set", "main", "--compress", "none"}));
        cluster->psql("CREATE TABLE t AS SELECT generate_series(1, 1000) AS i");
        MustSucceed(host.Run({"backup", "main", "--type", "full", "-q"}));
        for (int i = 0; i < 3; ++i) {
            cluster->psql("INSERT INTO t SELECT generate_series(1, 100)");
            cluster->switchWal();
        }
        MustSucceed(host.Run({"backup", "main", "--type", "log", "-q"}));
        rows = cluster->psql("SELECT count(*) FROM t");
        const std::vector<BackupRecord> backups = Repository(host.Repository()).List("main");
        if (backups.size() != 2 || backups[0].type != "full" || backups[1].type != "log")
            throw std::runtime_error("expected a full and a log backup");
        log = backups[1];
        std::vector<const ManifestEntry*> segments;
        for (const ManifestEntry& e : log.manifest->entries) {
            if (e.role == ManifestEntry::Role::Wal &&
                fs::path(e.path).filename().string().size() == 24)
                segments.push_back(&e);
        }
        std::sort(segments.begin(), segments.end(),
                  [](const ManifestEntry* a, const ManifestEntry* b) { return a->path < b->path; });
        if (segments.size() < 3)
            throw std::runtime_error("the log backup holds fewer than three segments");
        middle = *segments[1];
        middleName = fs::path(middle.path).filename().string();
    }

    ProcessResult Restore(std::vector<std::string> options) const {
        options.insert(options.begin(), {"restore", "main", "-q"});
        return host.Run(options);
    }

    std::string StoredMiddle() const { return log.directory + "/" + middle.stored; }

    std::size_t CompleteBackups() const {
        const auto backups = Repository(host.Repository()).List("main");
        return static_cast<std::size_t>(std::count_if(
            backups.begin(), backups.end(), [](const BackupRecord& b) { return b.complete; }));
    }

    std::unique_ptr<PgCluster> cluster;
    PguloHost host;
    BackupRecord log;
    ManifestEntry middle; // a WAL segment of the log backup, neither its first nor its last
    std::string middleName;
    std::string rows; // of t, at the end of the backed-up WAL
};

// A file of the repository put back as it was when the case is over. The copy waits
// outside the backup: a file the manifest does not know makes a restore refuse the backup.
class KeptFile {
public:
    explicit KeptFile(std::string path) : path_(std::move(path)) {
        fs::copy_file(path_, Copy(), fs::copy_options::overwrite_existing);
    }
    ~KeptFile() {
        std::error_code ignored;
        fs::copy_file(Copy(), path_, fs::copy_options::overwrite_existing, ignored);
    }
    KeptFile(const KeptFile&) = delete;
    KeptFile& operator=(const KeptFile&) = delete;

private:
    std::string Copy() const { return kept_.Path("kept"); }

    std::string path_;
    TempTree kept_{"pgulo-kept"};
};

class RestoreSafety : public StagePerMajor<World, int> {
protected:
    World& TheWorld() { return StageFor(GetParam()); }
};

struct ForceCase {
    const char* name;
    std::string target;
    std::string refusal; // empty: the forced restore goes ahead
};

// --force empties a data directory not in use or an empty one; everything else it refuses
// before it touches anything.
TEST_P(RestoreSafety, ForceEmptiesOnlyWhatTheRestoreReplaces) {
    PGULO_REQUIRE_MAJOR(GetParam());
    const World& w = TheWorld();
    const TempTree dirs("pgulo-force");
    fs::create_directories(dirs.Path("target"));
    const std::vector<ForceCase> cases = {
        {"the parent of a running data directory", w.cluster->baseDir(),
         "it holds the data directory of a running server"},
        {"the repository", w.host.Repository(), "it is the backup repository"},
        {"the host home", w.host.Home(), "it is the pgulo home directory"},
        {"the root directory", "/", "it is the root directory"},
        {"an empty directory", dirs.Path("target"), ""},
        // The cluster the case before restored, not running.
        {"a stopped data directory", dirs.Path("target"), ""},
    };
    for (const ForceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string& target = c.target;
        if (!c.refusal.empty()) {
            // Unforced first: a pgulo that does not refuse for this reason never gets --force.
            const ProcessResult probe = w.Restore({"--pgdata", target});
            ASSERT_NE(probe.err.find("cannot restore into " + target + ": " + c.refusal), npos)
                << probe.out << probe.err;
        }
        const ProcessResult r = w.Restore({"--pgdata", target, "--force"});
        if (c.refusal.empty()) {
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_TRUE(fs::exists(target + "/PG_VERSION"));
        } else {
            ExpectRefused(r, 1, "cannot restore into " + target + ": " + c.refusal);
        }
        EXPECT_EQ(w.cluster->psql("SELECT count(*) FROM t"), w.rows);
        EXPECT_TRUE(fs::exists(w.cluster->archiveDir()));
        EXPECT_TRUE(fs::exists(w.cluster->socketDir()));
        EXPECT_TRUE(fs::exists(w.host.Home() + "/registry.ini"));
        EXPECT_EQ(w.CompleteBackups(), 2u);
    }
}

struct WalCase {
    const char* name;
    std::vector<std::string> options;
    // Damages the repository; the returned file is put back after the case.
    std::function<std::unique_ptr<KeptFile>()> damage;
    std::string refusal;
};

// A restore whose backed-up WAL cannot reach its target, or has a hole, would stop early and
// pass for a good one: it is refused before anything is written.
TEST_P(RestoreSafety, RefusesWalThatCannotReachTheTarget) {
    PGULO_REQUIRE_MAJOR(GetParam());
    const World& w = TheWorld();
    const TempTree dirs("pgulo-wal");
    auto none = [] { return std::unique_ptr<KeptFile>(); };
    const std::vector<WalCase> cases = {
        {"a target after the backed-up WAL",
         {"--target-time", w.cluster->psql("SELECT clock_timestamp()::text")},
         none,
         "the backed-up WAL reaches " + TimeText::Local(w.log.manifest->WalCompleteMicros()) +
             "; take a log backup first"},
        {"a target in the future",
         {"--target-time", w.cluster->psql("SELECT (clock_timestamp() + interval '1 hour')::text")},
         none,
         "is in the future"},
        {"a segment left out of a manifest",
         {},
         [&w] {
             const std::string manifest = w.log.directory + "/" + Repository::kManifestFile;
             auto kept = std::make_unique<KeptFile>(manifest);
             nlohmann::json j = nlohmann::json::parse(TestFiles::Read(manifest));
             auto& entries = j["entries"];
             entries.erase(std::remove_if(
                               entries.begin(), entries.end(),
                               [&](const nlohmann::json& e) { return e["path"] == w.middle.path; }),
                           entries.end());
             TestFiles::Write(manifest, j.dump());
             return kept;
         },
         "the backed-up WAL is not whole: segment " + w.middleName + " is missing"},
        {"a stored segment gone",
         {},
         [&w] {
             auto kept = std::make_unique<KeptFile>(w.StoredMiddle());
             fs::remove(w.StoredMiddle());
             return kept;
         },
         "the backed-up WAL is not whole: " + w.middleName + " is missing (backup " + w.log.id +
             " lost its stored copy"},
    };
    for (const WalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<KeptFile> kept = c.damage();
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--pgdata", dirs.Path("restored"), "--start"});
        ExpectRefused(w.Restore(options), 1, c.refusal);
        EXPECT_FALSE(fs::exists(dirs.Path("restored")));
        EXPECT_FALSE(fs::exists(dirs.Path("restored.restore_wal")));
    }
}

// Parents the restore makes are open to the server's user: it starts in a new nested place
// and holds every row.
TEST_P(RestoreSafety, StartsInANewNestedPath) {
    PGULO_REQUIRE_MAJOR(GetParam());
    const World& w = TheWorld();
    const TempTree dirs("pgulo-nested");
    const std::string target = dirs.Path("x/a/b/c");
    const int port = w.cluster->port() + 1;
    const ProcessResult r =
        w.Restore({"--pgdata", target, "--start", "--port", std::to_string(port)});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("recovery done"), npos) << r.out;
    EXPECT_EQ(CountRows(*w.cluster, port, "t"), w.rows);
    for (const char* parent : {"x", "x/a", "x/a/b"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dirs.Path(parent).c_str(), &st), 0) << parent;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << parent;
    }
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the data directory is open to others";
    StopServer(*w.cluster, target);
}

// A damaged segment in the middle, copied unread (--no-verify): the server ends recovery
// there and promotes; pgulo must not call that a restore.
TEST_P(RestoreSafety, RecoveryThatEndsEarlyIsAFailure) {
    PGULO_REQUIRE_MAJOR(GetParam());
    const World& w = TheWorld();
    const TempTree dirs("pgulo-early");
    const KeptFile kept(w.StoredMiddle());
    TestFiles::Write(w.StoredMiddle(), std::string(w.middle.size, '\0'));
    const std::string target = dirs.Path("restored");
    const ProcessResult r = w.Restore({"--pgdata", target, "--no-verify", "--start", "--port",
                                       std::to_string(w.cluster->port() + 2)});
    ExpectRefused(r, 1, "recovery ended early");
    EXPECT_EQ(r.out.find("recovery done"), npos) << r.out;
    EXPECT_FALSE(RestoreTargetGuard::HasLivePostmaster(target)) << "the server was left running";
    StopServer(*w.cluster, target);
}

// A restore over the instance's own data directory waits for no other job: it fails at once,
// naming the job that holds the instance.
TEST_P(RestoreSafety, InPlaceRestoreNamesTheJobHoldingTheInstance) {
    PGULO_REQUIRE_MAJOR(GetParam());
    const World& w = TheWorld();
    const std::string lockFile = w.host.Home() + "/locks/main.lock";
    fs::create_directories(fs::path(lockFile).parent_path());
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const std::string holder = "pgulo backup (process 4242)\n";
    ASSERT_EQ(::pwrite(fd, holder.data(), holder.size(), 0), static_cast<ssize_t>(holder.size()));
    const ProcessResult r = w.Restore({"--force"});
    ::close(fd);
    ExpectRefused(r, 1, "instance 'main' is busy: pgulo backup (process 4242) is running");
    EXPECT_EQ(w.cluster->psql("SELECT count(*) FROM t"), w.rows);
}

INSTANTIATE_TEST_SUITE_P(Majors, RestoreSafety, ::testing::Values(12, 17), MajorName);

} // namespace
