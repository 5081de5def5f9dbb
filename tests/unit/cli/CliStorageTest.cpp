// The backup host's storage side on real files: copying with checksums, the parallel copy
// engine, the rate limit, the repository's catalogue and the backup writer.

#include "BackupWriter.h"
#include "Checksum.h"
#include "CliError.h"
#include "CollectFile.h"
#include "CopyEngine.h"
#include "FileCopier.h"
#include "FileOps.h"
#include "Manifest.h"
#include "PieceChecksum.h"
#include "RateLimiter.h"
#include "Repository.h"
#include "StoredParts.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string Read(const std::string& path) {
    return FileOps::ReadWhole(path);
}

// Bytes that differ from chunk to chunk, so that a chunk copied twice or skipped shows.
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    return text;
}

class Storage : public ::testing::Test {
protected:
    std::string Path(const std::string& relative) const { return tree_.Path(relative); }
    // Makes the parents and returns the file's path.
    std::string Write(const std::string& relative, const std::string& text) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        pgulo::test::TestFiles::Write(Path(relative), text);
        return Path(relative);
    }
    // Copies of src/<i> to dst-<i>, file i holding content(i).
    std::vector<CopyEngine::Task> Tasks(int count, std::string (*content)(int)) const {
        std::vector<CopyEngine::Task> tasks;
        for (int i = 0; i < count; ++i) {
            const std::string text = content(i);
            tasks.push_back({Write("src/" + std::to_string(i), text),
                             Path("dst-" + std::to_string(i)), 0600, text.size()});
        }
        return tasks;
    }
    static CopyEngine::Options Jobs(unsigned jobs) {
        CopyEngine::Options options;
        options.jobs = jobs;
        return options;
    }

    pgulo::test::TempTree tree_{"pgulo-cli-unit"};
};

std::string Data(int) {
    return "data";
}

TEST_F(Storage, FileCopierCopiesContentAndChecksumInOneRead) {
    const std::string content = Pattern(3 * 1024 * 1024 + 17);
    const std::string source = Write("src/base/1/1234", content);
    FileCopier copier({});
    const auto result = copier.Copy(source, Path("copy"), 0600);
    EXPECT_EQ(result.status, FileCopier::Status::Copied);
    EXPECT_EQ(result.bytes, content.size());
    EXPECT_EQ(result.checksum, Checksum::ofText(content));
    EXPECT_EQ(Read(Path("copy")), content);
    EXPECT_EQ(fs::status(Path("copy")).permissions(), fs::perms(0600));
    // An older, longer target is replaced whole, and takes the mode asked for; without a
    // target the file is only read.
    const std::string older = Write("older", std::string(4 * 1024 * 1024, 'z'));
    fs::permissions(older, fs::perms(0644));
    copier.Copy(source, older, 0600);
    EXPECT_EQ(Read(older), content);
    EXPECT_EQ(fs::status(older).permissions(), fs::perms(0600));
    EXPECT_EQ(copier.Copy(source, "", 0600).checksum, Checksum::ofText(content));

    FileCopier::Options kernel;
    kernel.checksum = false;
    const auto plain = FileCopier(kernel).Copy(source, Path("plain"), 0600);
    EXPECT_EQ(plain.bytes, content.size());
    EXPECT_TRUE(plain.checksum.empty());
    EXPECT_EQ(Read(Path("plain")), content);

    // A vanished source and a stop are reported; other errors fail.
    EXPECT_EQ(copier.Copy(Path("gone"), Path("copy2"), 0600).status, FileCopier::Status::Vanished);
    EXPECT_FALSE(fs::exists(Path("copy2")));
    EXPECT_THROW(copier.Copy(source, Path("no/such/dir/copy"), 0600), std::runtime_error);
    FileCopier::Options stop;
    stop.stop = [] { return true; };
    EXPECT_EQ(FileCopier(stop).Copy(source, Path("copy2"), 0600).status,
              FileCopier::Status::Stopped);
}

TEST_F(Storage, CopyEngineCopiesEveryTaskOnSeveralThreadsAndKeepsTheOrder) {
    const auto tasks =
        Tasks(40, [](int i) { return Pattern(static_cast<std::size_t>(i) * 5000 + 1); });
    CopyEngine engine(Jobs(3));
    const auto outcomes = engine.Run(tasks);
    ASSERT_EQ(outcomes.size(), tasks.size());
    EXPECT_TRUE(engine.FirstError().empty());
    EXPECT_FALSE(engine.Stopped());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const std::string content = Pattern(i * 5000 + 1);
        EXPECT_TRUE(outcomes[i].done) << i;
        EXPECT_EQ(outcomes[i].result.checksum, Checksum::ofText(content)) << i;
        EXPECT_EQ(Read(tasks[i].target), content) << i;
    }
}

// A file larger than a checksum piece is copied by several workers at once; its checksum is
// the same as when one worker copies it, and the same as reading it again.
TEST_F(Storage, CopyEngineCutsALargeFileIntoPiecesAndKeepsItsChecksum) {
    const std::uint64_t size = PieceChecksum::kPieceSize * 2 + 4096 * 3 + 7;
    const std::string content = Pattern(static_cast<std::size_t>(size));
    const std::string source = Write("big", content);
    PieceChecksum expected;
    expected.update(content.data(), content.size());
    const std::string checksum = PieceChecksum::Combine(expected.finishPieces(true));
    EXPECT_NE(checksum, Checksum::ofText(content)) << "large files are hashed piece by piece";
    EXPECT_EQ(PieceChecksum::OfText(""), Checksum::ofText(""));
    EXPECT_EQ(PieceChecksum::OfText("abc"), Checksum::ofText("abc")) << "small ones whole";

    // Copied in pieces; read again; listed larger than it is now (it shrank), so copied again
    // in one go; the same compressed, in parts, and read back from the parts.
    StoredForm lz4;
    lz4.compression = Compression(Compression::Algorithm::Lz4, 0);
    const struct {
        std::string source, target;
        std::uint64_t sizeHint;
        StoredForm from, to;
        std::size_t parts; // of the source when from is stored, of the target when to is
    } runs[] = {{source, Path("by-pieces"), size, {}, {}, 1},
                {Path("by-pieces"), "", size, {}, {}, 1},
                {source, Path("again"), size + PieceChecksum::kPieceSize, {}, {}, 1},
                {source, Path("parts.lz4"), size, {}, lz4, 3},
                {Path("parts.lz4"), Path("from-parts"), size, lz4, {}, 3},
                {source, Path("again.lz4"), size + PieceChecksum::kPieceSize, {}, lz4, 3}};
    for (const auto& r : runs) {
        CopyEngine engine(Jobs(3));
        CopyEngine::Task task{r.source, r.target, 0600, r.sizeHint, r.from, r.to};
        task.inParts = true;
        task.parts = r.from.Plain() ? 1 : r.parts;
        const auto outcome = engine.Run({task})[0];
        ASSERT_TRUE(outcome.done) << engine.FirstError();
        EXPECT_EQ(outcome.result.checksum, checksum) << r.target;
        EXPECT_EQ(outcome.result.bytes, size) << r.target;
        if (!r.to.Plain()) {
            ASSERT_EQ(outcome.result.partSizes.size(), r.parts) << r.target;
            EXPECT_EQ(fs::file_size(StoredParts::Name(r.target, 2)), outcome.result.partSizes[2]);
        } else if (!r.target.empty()) {
            EXPECT_EQ(Read(r.target), content);
        }
    }
    EXPECT_EQ(FileCopier({}).Copy(source, Path("whole"), 0600).checksum, checksum);
}

TEST_F(Storage, CopyEngineStopsAtTheFirstFailureOrQuitUnlessAllErrorsAreWanted) {
    auto tasks = Tasks(20, Data);
    // The biggest task runs first and fails: its target directory does not exist.
    tasks.push_back({Write("src/big", Pattern(10000)), Path("missing/dst"), 0600, 10000});
    CopyEngine stopping(Jobs(1));
    const auto stopped = stopping.Run(tasks);
    EXPECT_NE(stopping.FirstError().find("missing/dst"), std::string::npos)
        << stopping.FirstError();
    EXPECT_FALSE(stopped[0].done) << "nothing after the failure was copied";

    CopyEngine::Options options = Jobs(1);
    options.continueOnError = true;
    CopyEngine going(options);
    const auto all = going.Run(tasks);
    EXPECT_FALSE(going.FirstError().empty());
    EXPECT_FALSE(all.back().error.empty());
    for (std::size_t i = 0; i + 1 < all.size(); ++i)
        EXPECT_TRUE(all[i].done) << i;

    options = Jobs(2);
    options.quit = [] { return true; };
    CopyEngine quitting(options);
    for (const auto& outcome : quitting.Run(Tasks(5, Data)))
        EXPECT_FALSE(outcome.done);
    EXPECT_TRUE(quitting.Stopped());
}

TEST(RateLimiter, KeepsTheWorkersBelowTheRateAndLetsAStopThrough) {
    using namespace std::chrono;
    RateLimiter limiter(4 * 1024 * 1024);
    const auto start = steady_clock::now();
    for (int i = 0; i < 3; ++i)
        limiter.Acquire(1024 * 1024, [] { return false; });
    // The first MiB goes at once, the next two take a quarter second each.
    EXPECT_GE(duration<double>(steady_clock::now() - start).count(), 0.45);

    RateLimiter slow(1);
    const auto before = steady_clock::now();
    slow.Acquire(1, [] { return false; });
    slow.Acquire(1000000, [] { return true; });
    slow.Acquire(1, [] { return true; });
    EXPECT_LT(duration<double>(steady_clock::now() - before).count(), 1.0);
}

TEST_F(Storage, RepositoryCatalogueTellsCompleteFromIncompleteBackups) {
    Repository repo(Path("repo"));
    const std::int64_t t = 1796552100LL * 1000000;
    const std::string first = repo.CreateBackup("main", "full", t);
    const std::string second = repo.CreateBackup("main", "full", t);
    const std::string log = repo.CreateBackup("main", "log", t + 5000000);
    EXPECT_EQ(first.substr(15), "F");
    EXPECT_EQ(second, first + "-1") << "a second backup within the same second gets its own id";
    EXPECT_EQ(log.substr(15, 1), "L");

    Manifest m;
    m.id = first;
    m.instance = "main";
    m.type = "full";
    m.startMicros = t;
    m.endMicros = t + 1000;
    m.endWal = "000000010000000000000003";
    repo.WriteManifest("main", m);
    repo.MarkFailed("main", second, "full", t, "interrupted by signal 2");
    // A manifest that cannot be read does not make a backup complete.
    std::ofstream(repo.BackupDirectory("main", log) + "/manifest.json") << "{ not json";

    // Listed oldest first: complete or not, the state and why (up to its details).
    Lines rows;
    for (const auto& r : repo.List("main"))
        rows.push_back(r.id + (r.complete ? " complete " : " incomplete ") + r.state + " " +
                       r.message.substr(0, r.message.find(':')) +
                       (r.manifest ? r.manifest->endWal : ""));
    EXPECT_EQ(rows, (Lines{first + " complete complete 000000010000000000000003",
                           second + " incomplete failed interrupted by signal 2",
                           log + " incomplete incomplete unreadable manifest"}));

    EXPECT_THROW(repo.Get("main", "20260101-000000F"), CliError);
    EXPECT_THROW(repo.Get("main", "../../etc"), CliError);
    EXPECT_TRUE(repo.List("other").empty());

    // A removed backup, complete or not, leaves no trace.
    for (const std::string& id : {second, first})
        repo.Remove("main", id);
    EXPECT_EQ(FileOps::List(repo.InstanceDirectory("main")), std::vector<std::string>{log});
}

TEST_F(Storage, BackupWriterStoresEachListedEntryByRoleWithItsChecksum) {
    const std::string data = Path("cluster/data");
    const std::string archive = Path("cluster/archive");
    Write("cluster/data/PG_VERSION", "17\n");
    Write("cluster/data/global/pg_control", Pattern(8192));
    Write("cluster/data/base/1/1259", Pattern(100000));
    const std::string wal = Write("cluster/archive/000000010000000000000003", Pattern(4096));
    const std::string logTmp = Write("cluster/archive/pgulo_logtmp_1.kxf", "config_file:x\n");
    const std::string dropped = Write("cluster/data/dropped", "d");
    fs::create_symlink("/somewhere/else", data + "/pg_tblspc_link");

    BackupWriter writer(Path("backup"), {});
    writer.AddPaths({data, dropped, data + "/PG_VERSION", data + "/global",
                     data + "/global/pg_control", data + "/base", data + "/base/1",
                     data + "/base/1/1259", data + "/PG_VERSION", data + "/pg_tblspc_link",
                     "relative/path", data + "/never", archive, wal, logTmp},
                    {data, archive, logTmp});
    fs::remove(dropped); // before its copy: it leaves no entry, and the others keep their order
    ASSERT_TRUE(writer.CopyPending("test"));
    const std::string label = writer.StoreText(Path("job/backup_label"), "LABEL: x\n");
    writer.SyncDirectories();
    EXPECT_EQ(label, "meta/backup_label");
    ASSERT_GE(writer.Entries().size(), 2u);
    EXPECT_EQ(writer.Entries()[1].path, data + "/PG_VERSION");

    std::map<std::string, ManifestEntry> byPath;
    for (const auto& e : writer.Entries())
        byPath[e.path] = e;
    EXPECT_EQ(byPath.size(), writer.Entries().size()) << "PG_VERSION listed twice is kept once";
    EXPECT_EQ(byPath.count(archive), 0u) << "the archive directory itself is not a backup entry";
    EXPECT_EQ(byPath.count(dropped) + byPath.count(data + "/never"), 0u);
    EXPECT_EQ(byPath[data].kind, ManifestEntry::Kind::Directory);
    EXPECT_EQ(byPath[data + "/pg_tblspc_link"].kind, ManifestEntry::Kind::Symlink);
    EXPECT_EQ(byPath[data + "/pg_tblspc_link"].target, "/somewhere/else");

    const ManifestEntry& relation = byPath[data + "/base/1/1259"];
    EXPECT_EQ(relation.role, ManifestEntry::Role::Data);
    EXPECT_EQ(relation.stored, "files" + data + "/base/1/1259");
    EXPECT_EQ(relation.checksum, Checksum::ofText(Pattern(100000)));
    EXPECT_EQ(Read(Path("backup/" + relation.stored)), Pattern(100000));
    EXPECT_EQ(byPath[wal].role, ManifestEntry::Role::Wal);
    EXPECT_EQ(byPath[wal].stored, "wal/000000010000000000000003");
    EXPECT_EQ(byPath[logTmp].role, ManifestEntry::Role::Meta);
    EXPECT_EQ(byPath[Path("job/backup_label")].checksum, Checksum::ofText("LABEL: x\n"));
    EXPECT_EQ(writer.FileCount(), 6u);
    EXPECT_EQ(writer.TotalBytes(), 3u + 8192 + 100000 + 4096 + 14 + 9);
}

TEST_F(Storage, CollectFilesAreFoundByNumberAndReadOnePathPerLineUnescaped) {
    for (const char* name : {"CollectTot10.kxf", "CollectTot2.kxf", "CollectTot1.kxf",
                             "CollectTot1.kxfNew", "CollectTotX.kxf", "Collect_logfile1.kxf",
                             "DCTmp.kxf"})
        Write(name, "");
    EXPECT_EQ(CollectFile::Find(tree_.Root(), "CollectTot"),
              (Lines{Path("CollectTot1.kxf"), Path("CollectTot2.kxf"), Path("CollectTot10.kxf")}));
    EXPECT_EQ(CollectFile::Find(tree_.Root(), "Collect_logfile").size(), 1u);
    EXPECT_TRUE(CollectFile::Find(Path("none"), "CollectTot").empty());

    const std::string file = Write("CollectTot1.kxf", "/d/a\n/d/odd%0Aname\n\n/d/100%25\n");
    EXPECT_EQ(CollectFile::Read(file), (Lines{"/d/a", "/d/odd\nname", "/d/100%"}));
    EXPECT_THROW(CollectFile::Read(Path("missing.kxf")), std::runtime_error);
}

TEST_F(Storage, FileOpsSplitsAndJoinsPathsWritesAtomicallyAndTellsEmptyDirectories) {
    const std::pair<std::string, std::string> cases[] = {
        {FileOps::Parent("/a/b/c"), "/a/b"}, {FileOps::Parent("/a"), "/"},
        {FileOps::Parent("a"), "."},         {FileOps::BaseName("/a/b/c"), "c"},
        {FileOps::BaseName("c"), "c"},       {FileOps::Join("/a/", "/b"), "/a/b"},
        {FileOps::Join("/a", "b"), "/a/b"},  {FileOps::Join("", "b"), "b"},
        {FileOps::Join("/a", ""), "/a"},
    };
    for (const auto& [got, expected] : cases)
        EXPECT_EQ(got, expected);

    const std::string path = Path("file");
    FileOps::WriteAtomically(path, "one");
    FileOps::WriteAtomically(path, "two");
    EXPECT_EQ(Read(path), "two");
    EXPECT_EQ(FileOps::List(tree_.Root()), Lines{"file"}) << "no temporary left";
    EXPECT_TRUE(FileOps::IsAbsentOrEmpty(Path("missing")));
    FileOps::MakeDirectories(Path("x/y/z"));
    EXPECT_TRUE(FileOps::IsAbsentOrEmpty(Path("x/y/z")));
    EXPECT_FALSE(FileOps::IsAbsentOrEmpty(Path("x")));
    EXPECT_FALSE(FileOps::IsAbsentOrEmpty(path)) << "a file is no empty directory";
    EXPECT_THROW(FileOps::MakeDirectories(path + "/sub"), std::runtime_error);
}

} // namespace
