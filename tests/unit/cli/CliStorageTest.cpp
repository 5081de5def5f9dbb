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
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A test's own tree; Write makes the parents and returns the file's path.
class Tree : public pgulo::test::TempTree {
public:
    Tree() : TempTree("pgulo-cli-unit") {}
    std::string Write(const std::string& relative, const std::string& text) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        pgulo::test::TestFiles::Write(Path(relative), text);
        return Path(relative);
    }
};

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

TEST(FileCopier, CopiesContentAndChecksumInOneRead) {
    Tree tree;
    const std::string content = Pattern(3 * 1024 * 1024 + 17);
    const std::string source = tree.Write("src/base/1/1234", content);
    FileCopier copier({});
    const auto result = copier.Copy(source, tree.Path("copy"), 0600);
    EXPECT_EQ(result.status, FileCopier::Status::Copied);
    EXPECT_EQ(result.bytes, content.size());
    EXPECT_EQ(result.checksum, Checksum::ofText(content));
    EXPECT_EQ(Read(tree.Path("copy")), content);
    EXPECT_EQ(fs::status(tree.Path("copy")).permissions(), fs::perms(0600));
    // An older, longer target is replaced whole, and takes the mode asked for; without a
    // target the file is only read.
    const std::string older = tree.Write("older", std::string(4 * 1024 * 1024, 'z'));
    fs::permissions(older, fs::perms(0644));
    copier.Copy(source, older, 0600);
    EXPECT_EQ(Read(older), content);
    EXPECT_EQ(fs::status(older).permissions(), fs::perms(0600));
    EXPECT_EQ(copier.Copy(source, "", 0600).checksum, Checksum::ofText(content));

    FileCopier::Options kernel;
    kernel.checksum = false;
    const auto plain = FileCopier(kernel).Copy(source, tree.Path("plain"), 0600);
    EXPECT_EQ(plain.bytes, content.size());
    EXPECT_TRUE(plain.checksum.empty());
    EXPECT_EQ(Read(tree.Path("plain")), content);
}

TEST(FileCopier, ReportsAVanishedSourceAStopAndFailsOnOtherErrors) {
    Tree tree;
    FileCopier copier({});
    EXPECT_EQ(copier.Copy(tree.Path("gone"), tree.Path("copy"), 0600).status,
              FileCopier::Status::Vanished);
    EXPECT_FALSE(fs::exists(tree.Path("copy")));
    EXPECT_THROW(copier.Copy(tree.Write("src", "x"), tree.Path("no/such/dir/copy"), 0600),
                 std::runtime_error);
    FileCopier::Options options;
    options.stop = [] { return true; };
    EXPECT_EQ(FileCopier(options).Copy(tree.Write("big", Pattern(100000)), tree.Path("copy"), 0600)
                  .status,
              FileCopier::Status::Stopped);
}

TEST(CopyEngine, CopiesEveryTaskOnSeveralThreadsAndKeepsTheOrder) {
    Tree tree;
    std::vector<CopyEngine::Task> tasks;
    std::vector<std::string> contents;
    for (int i = 0; i < 40; ++i) {
        contents.push_back(Pattern(static_cast<std::size_t>(i) * 5000 + 1));
        const std::string source = tree.Write("src/" + std::to_string(i), contents.back());
        tasks.push_back(
            {source, tree.Path("dst-" + std::to_string(i)), 0600, contents.back().size()});
    }
    CopyEngine::Options options;
    options.jobs = 3;
    CopyEngine engine(options);
    const auto outcomes = engine.Run(tasks);
    ASSERT_EQ(outcomes.size(), tasks.size());
    EXPECT_TRUE(engine.FirstError().empty());
    EXPECT_FALSE(engine.Stopped());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        EXPECT_TRUE(outcomes[i].done) << i;
        EXPECT_EQ(outcomes[i].result.checksum, Checksum::ofText(contents[i])) << i;
        EXPECT_EQ(Read(tasks[i].target), contents[i]) << i;
    }
}

// A file larger than a checksum piece is copied by several workers at once; its checksum is
// the same as when one worker copies it, and the same as reading it again.
TEST(CopyEngine, LargeFileCutIntoPiecesKeepsItsChecksum) {
    Tree tree;
    const std::uint64_t size = PieceChecksum::kPieceSize * 2 + 4096 * 3 + 7;
    const std::string content = Pattern(static_cast<std::size_t>(size));
    const std::string source = tree.Write("big", content);
    PieceChecksum expected;
    expected.update(content.data(), content.size());
    const std::string checksum = PieceChecksum::Combine(expected.finishPieces(true));
    EXPECT_NE(checksum, Checksum::ofText(content)) << "large files are hashed piece by piece";
    EXPECT_EQ(PieceChecksum::OfText(""), Checksum::ofText(""));
    EXPECT_EQ(PieceChecksum::OfText("abc"), Checksum::ofText("abc")) << "small ones whole";

    CopyEngine::Options parallel;
    parallel.jobs = 3;
    CopyEngine engine(parallel);
    const auto pieces = engine.Run({{source, tree.Path("by-pieces"), 0600, size}});
    ASSERT_TRUE(pieces[0].done) << engine.FirstError();
    EXPECT_EQ(pieces[0].result.checksum, checksum);
    EXPECT_EQ(pieces[0].result.bytes, size);
    EXPECT_EQ(Read(tree.Path("by-pieces")), content);

    FileCopier single({});
    EXPECT_EQ(single.Copy(source, tree.Path("whole"), 0600).checksum, checksum);
    CopyEngine reader(parallel);
    EXPECT_EQ(reader.Run({{tree.Path("by-pieces"), "", 0600, size}})[0].result.checksum, checksum);
    // Listed larger than it is now (it shrank): copied again in one go, still right.
    CopyEngine shrunk(parallel);
    const auto again =
        shrunk.Run({{source, tree.Path("again"), 0600, size + PieceChecksum::kPieceSize}});
    EXPECT_EQ(again[0].result.checksum, checksum);
    EXPECT_EQ(Read(tree.Path("again")), content);
}

TEST(CopyEngine, FirstFailureStopsTheRunUnlessAllErrorsAreWanted) {
    Tree tree;
    std::vector<CopyEngine::Task> tasks;
    for (int i = 0; i < 20; ++i)
        tasks.push_back({tree.Write("src/" + std::to_string(i), "data"),
                         tree.Path("dst-" + std::to_string(i)), 0600, 4});
    // The biggest task runs first and fails: its target directory does not exist.
    tasks.push_back({tree.Write("src/big", Pattern(10000)), tree.Path("missing/dst"), 0600, 10000});
    CopyEngine::Options options;
    options.jobs = 1;
    CopyEngine stopping(options);
    const auto stopped = stopping.Run(tasks);
    EXPECT_NE(stopping.FirstError().find("missing/dst"), std::string::npos)
        << stopping.FirstError();
    EXPECT_FALSE(stopped[0].done) << "nothing after the failure was copied";

    options.continueOnError = true;
    CopyEngine going(options);
    const auto all = going.Run(tasks);
    EXPECT_FALSE(going.FirstError().empty());
    EXPECT_FALSE(all.back().error.empty());
    for (std::size_t i = 0; i + 1 < all.size(); ++i)
        EXPECT_TRUE(all[i].done) << i;
}

TEST(CopyEngine, QuitRequestStopsTheWorkers) {
    Tree tree;
    std::vector<CopyEngine::Task> tasks;
    for (int i = 0; i < 5; ++i)
        tasks.push_back({tree.Write("src/" + std::to_string(i), "data"),
                         tree.Path("dst-" + std::to_string(i)), 0600, 4});
    CopyEngine::Options options;
    options.jobs = 2;
    options.quit = [] { return true; };
    CopyEngine engine(options);
    const auto outcomes = engine.Run(tasks);
    EXPECT_TRUE(engine.Stopped());
    for (const auto& outcome : outcomes)
        EXPECT_FALSE(outcome.done);
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

TEST(Repository, CatalogueTellsCompleteFromIncompleteBackups) {
    Tree tree;
    Repository repo(tree.Path("repo"));
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

    const auto list = repo.List("main");
    ASSERT_EQ(list.size(), 3u);
    std::map<std::string, BackupRecord> byId;
    for (const auto& r : list)
        byId[r.id] = r;
    EXPECT_TRUE(byId[first].complete);
    EXPECT_EQ(byId[first].manifest->endWal, "000000010000000000000003");
    EXPECT_FALSE(byId[second].complete);
    EXPECT_EQ(byId[second].state, "failed");
    EXPECT_EQ(byId[second].message, "interrupted by signal 2");
    EXPECT_FALSE(byId[log].complete);
    EXPECT_NE(byId[log].message.find("unreadable manifest"), std::string::npos);
    EXPECT_EQ(list.back().id, log) << "listed oldest first";

    EXPECT_THROW(repo.Get("main", "20260101-000000F"), CliError);
    EXPECT_THROW(repo.Get("main", "../../etc"), CliError);
    EXPECT_TRUE(repo.List("other").empty());

    // A removed backup, complete or not, leaves no trace.
    for (const std::string& id : {second, first})
        repo.Remove("main", id);
    EXPECT_EQ(FileOps::List(repo.InstanceDirectory("main")), std::vector<std::string>{log});
}

TEST(BackupWriter, StoresEachListedEntryByRoleWithItsChecksum) {
    Tree tree;
    const std::string data = tree.Path("cluster/data");
    const std::string archive = tree.Path("cluster/archive");
    tree.Write("cluster/data/PG_VERSION", "17\n");
    tree.Write("cluster/data/global/pg_control", Pattern(8192));
    tree.Write("cluster/data/base/1/1259", Pattern(100000));
    const std::string wal = tree.Write("cluster/archive/000000010000000000000003", Pattern(4096));
    const std::string logTmp = tree.Write("cluster/archive/pgulo_logtmp_1.kxf", "config_file:x\n");
    fs::create_symlink("/somewhere/else", data + "/pg_tblspc_link");

    BackupWriter writer(tree.Path("backup"), {});
    writer.AddPaths({data, data + "/PG_VERSION", data + "/global", data + "/global/pg_control",
                     data + "/base", data + "/base/1", data + "/base/1/1259", data + "/PG_VERSION",
                     data + "/pg_tblspc_link", "relative/path", data + "/dropped", archive, wal,
                     logTmp},
                    {data, archive, logTmp});
    ASSERT_TRUE(writer.CopyPending("test"));
    const std::string label = writer.StoreText(tree.Path("job/backup_label"), "LABEL: x\n");
    writer.SyncDirectories();
    EXPECT_EQ(label, "meta/backup_label");

    std::map<std::string, ManifestEntry> byPath;
    for (const auto& e : writer.Entries())
        byPath[e.path] = e;
    EXPECT_EQ(byPath.size(), writer.Entries().size()) << "PG_VERSION listed twice is kept once";
    EXPECT_EQ(byPath.count(archive), 0u) << "the archive directory itself is not a backup entry";
    EXPECT_EQ(byPath.count(data + "/dropped"), 0u);
    EXPECT_EQ(byPath[data].kind, ManifestEntry::Kind::Directory);
    EXPECT_EQ(byPath[data + "/pg_tblspc_link"].kind, ManifestEntry::Kind::Symlink);
    EXPECT_EQ(byPath[data + "/pg_tblspc_link"].target, "/somewhere/else");

    const ManifestEntry& relation = byPath[data + "/base/1/1259"];
    EXPECT_EQ(relation.role, ManifestEntry::Role::Data);
    EXPECT_EQ(relation.stored, "files" + data + "/base/1/1259");
    EXPECT_EQ(relation.checksum, Checksum::ofText(Pattern(100000)));
    EXPECT_EQ(Read(tree.Path("backup/" + relation.stored)), Pattern(100000));
    EXPECT_EQ(byPath[wal].role, ManifestEntry::Role::Wal);
    EXPECT_EQ(byPath[wal].stored, "wal/000000010000000000000003");
    EXPECT_EQ(byPath[logTmp].role, ManifestEntry::Role::Meta);
    EXPECT_EQ(byPath[tree.Path("job/backup_label")].checksum, Checksum::ofText("LABEL: x\n"));
    EXPECT_EQ(writer.FileCount(), 6u);
    EXPECT_EQ(writer.TotalBytes(), 3u + 8192 + 100000 + 4096 + 14 + 9);
}

TEST(BackupWriter, FileDroppedBeforeItsCopyLeavesNoEntry) {
    Tree tree;
    const std::string data = tree.Path("data");
    const std::string kept = tree.Write("data/kept", "k");
    const std::string dropped = tree.Write("data/dropped", "d");
    BackupWriter writer(tree.Path("backup"), {});
    writer.AddPaths({data, kept, dropped}, {data, "", ""});
    fs::remove(dropped);
    ASSERT_TRUE(writer.CopyPending("test"));
    ASSERT_EQ(writer.Entries().size(), 2u);
    EXPECT_EQ(writer.Entries()[1].path, kept);
    EXPECT_EQ(writer.FileCount(), 1u);
}

TEST(CollectFileFind, ListsCollectFilesByNumber) {
    Tree tree;
    for (const char* name :
         {"CollectTot10.kxf", "CollectTot2.kxf", "CollectTot1.kxf", "CollectTot1.kxfNew",
          "CollectTotX.kxf", "Collect_logfile1.kxf", "DCTmp.kxf"})
        tree.Write(name, "");
    EXPECT_EQ(CollectFile::Find(tree.Root(), "CollectTot"),
              (std::vector<std::string>{tree.Path("CollectTot1.kxf"), tree.Path("CollectTot2.kxf"),
                                        tree.Path("CollectTot10.kxf")}));
    EXPECT_EQ(CollectFile::Find(tree.Root(), "Collect_logfile").size(), 1u);
    EXPECT_TRUE(CollectFile::Find(tree.Path("none"), "CollectTot").empty());
}

TEST(CollectFileRead, GivesOnePathPerLineUnescaped) {
    Tree tree;
    const std::string file = tree.Write("CollectTot1.kxf", "/d/a\n/d/odd%0Aname\n\n/d/100%25\n");
    EXPECT_EQ(CollectFile::Read(file),
              (std::vector<std::string>{"/d/a", "/d/odd\nname", "/d/100%"}));
    EXPECT_THROW(CollectFile::Read(tree.Path("missing.kxf")), std::runtime_error);
}

TEST(FileOpsPaths, SplitsAndJoinsPaths) {
    const std::pair<std::string, std::string> cases[] = {
        {FileOps::Parent("/a/b/c"), "/a/b"}, {FileOps::Parent("/a"), "/"},
        {FileOps::Parent("a"), "."},         {FileOps::BaseName("/a/b/c"), "c"},
        {FileOps::BaseName("c"), "c"},       {FileOps::Join("/a/", "/b"), "/a/b"},
        {FileOps::Join("/a", "b"), "/a/b"},  {FileOps::Join("", "b"), "b"},
        {FileOps::Join("/a", ""), "/a"},
    };
    for (const auto& [got, expected] : cases)
        EXPECT_EQ(got, expected);
}

TEST(FileOpsFiles, WritesAtomicallyAndTellsEmptyDirectories) {
    Tree tree;
    const std::string path = tree.Path("file");
    FileOps::WriteAtomically(path, "one");
    FileOps::WriteAtomically(path, "two");
    EXPECT_EQ(Read(path), "two");
    EXPECT_EQ(FileOps::List(tree.Root()), std::vector<std::string>{"file"}) << "no temporary left";
    EXPECT_TRUE(FileOps::IsAbsentOrEmpty(tree.Path("missing")));
    FileOps::MakeDirectories(tree.Path("x/y/z"));
    EXPECT_TRUE(FileOps::IsAbsentOrEmpty(tree.Path("x/y/z")));
    EXPECT_FALSE(FileOps::IsAbsentOrEmpty(tree.Path("x")));
    EXPECT_FALSE(FileOps::IsAbsentOrEmpty(path)) << "a file is no empty directory";
    EXPECT_THROW(FileOps::MakeDirectories(path + "/sub"), std::runtime_error);
}

} // namespace
