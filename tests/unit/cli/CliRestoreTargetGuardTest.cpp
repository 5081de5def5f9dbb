// What a restore may write into and what --force may empty: cases as a table over a real tree.

#include "FileOps.h"
#include "RestoreTargetGuard.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Kind = RestoreTargetGuard::Kind;

struct GuardCase {
    const char* name;
    std::string target; // relative to the tree unless it begins with '/'
    Kind kind;
    bool force;
    std::string refusal; // a part of the refusal; empty when the target is allowed
};

// The tree every case looks at: a host home and a repository, a running server's data
// directory and WAL directory (declared so), and directories of every kind a target may be.
class GuardTree {
public:
    GuardTree() : tree_("pgulo-guard") {
        for (const char* file : {"home/registry.ini",
                                 "repo/main/20260101-000000F/files/srv/data/PG_VERSION",
                                 "running/data/PG_VERSION",
                                 "running/data/base/1/PG_VERSION",
                                 "running/wal/000000010000000000000003",
                                 "stopped/PG_VERSION",
                                 "stopped/base/1/1259",
                                 "stale/PG_VERSION",
                                 "mine/PG_VERSION",
                                 "junk/notes.txt",
                                 "ts_ok/PG_17_202406281/16384/1259",
                                 "ts_bad/PG_17_202406281/16384/1259",
                                 "ts_bad/photos/cat.jpg",
                                 "wal_ok/000000010000000000000003",
                                 "wal_ok/000000010000000000000004.partial",
                                 "wal_ok/000000010000000000000002.00000028.backup",
                                 "wal_ok/00000002.history",
                                 "wal_ok/archive_status/000000010000000000000003.done",
                                 "wal_bad/000000010000000000000003",
                                 "wal_bad/notes.txt",
                                 "file"})
            Write(file, "x");
        FileOps::MakeDirectories(tree_.Path("empty"));
        // A pid that cannot be alive, and one that is alive but no server.
        Write("stale/postmaster.pid", "2147483646\n");
        Write("mine/postmaster.pid", std::to_string(::getpid()) + "\n");
        if (::symlink(tree_.Path("repo").c_str(), tree_.Path("link_to_repo").c_str()) != 0)
            throw std::runtime_error("cannot make the link");
    }

    RestoreTargetGuard Guard() const {
        return RestoreTargetGuard(
            {{tree_.Path("repo"), "the backup repository", true},
             {tree_.Path("home"), "the pgulo home directory", false},
             {tree_.Path("running/data"), "the data directory of a running server", true},
             {tree_.Path("running/wal"), "the WAL directory of the running server", true}});
    }

    std::string Path(const std::string& target) const {
        return target.empty() ? tree_.Root() : target[0] == '/' ? target : tree_.Path(target);
    }

private:
    void Write(const std::string& relative, const std::string& text) {
        FileOps::MakeDirectories(FileOps::Parent(tree_.Path(relative)));
        pgulo::test::TestFiles::Write(tree_.Path(relative), text);
    }

    pgulo::test::TempTree tree_;
};

// Built once: the guard only looks.
const GuardTree& Tree() {
    static const GuardTree tree;
    return tree;
}

class GuardCases : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardCases, AllowsOrRefusesWithItsReason) {
    const GuardTree& tree = Tree();
    const GuardCase& c = GetParam();
    const std::string refusal = tree.Guard().Refusal(tree.Path(c.target), c.kind, c.force);
    if (c.refusal.empty()) {
        EXPECT_EQ(refusal, "");
    } else {
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, GuardCases,
    ::testing::Values(
        GuardCase{"Root", "/", Kind::DataDirectory, true, "it is the root directory"},
        GuardCase{"SystemDirectory", "/usr", Kind::DataDirectory, true,
                  "it is the system directory /usr"},
        GuardCase{"LibDirectory", "/lib", Kind::WalDirectory, true,
                  "it is the system directory /lib"},
        GuardCase{"Tmp", "/tmp", Kind::Tablespace, true, "it is the system directory /tmp"},
        GuardCase{"DotsToASystemDirectory", "empty/../../../usr", Kind::DataDirectory, true,
                  "it is the system directory /usr"},
        GuardCase{"Repository", "repo", Kind::DataDirectory, true, "it is the backup repository"},
        GuardCase{"LinkToRepository", "link_to_repo", Kind::DataDirectory, true,
                  "it is the backup repository"},
        GuardCase{"HolderOfRepository", "", Kind::DataDirectory, true,
                  "it holds the backup repository"},
        GuardCase{"StoredDataDirectory", "repo/main/20260101-000000F/files/srv/data",
                  Kind::DataDirectory, true, "it lies inside the backup repository"},
        GuardCase{"NewDirectoryInRepository", "repo/restored", Kind::DataDirectory, false,
                  "it lies inside the backup repository"},
        GuardCase{"Home", "home", Kind::DataDirectory, true, "it is the pgulo home directory"},
        GuardCase{"NewDirectoryInHome", "home/restored", Kind::DataDirectory, false, ""},
        GuardCase{"RunningDataDirectory", "running/data", Kind::DataDirectory, true,
                  "it is the data directory of a running server"},
        GuardCase{"HolderOfRunningDataDirectory", "running", Kind::DataDirectory, true,
                  "it holds the data directory of a running server"},
        GuardCase{"DatabaseOfRunningServer", "running/data/base/1", Kind::DataDirectory, true,
                  "it lies inside the data directory of a running server"},
        GuardCase{"RunningServersWal", "running/wal", Kind::WalDirectory, true,
                  "it is the WAL directory of the running server"},
        GuardCase{"StoppedDataDirectory", "stopped", Kind::DataDirectory, true, ""},
        GuardCase{"StoppedDataDirectoryUnforced", "stopped", Kind::DataDirectory, false,
                  "is not empty; pass --force"},
        GuardCase{"StalePostmasterPid", "stale", Kind::DataDirectory, true, ""},
        GuardCase{"PidOfAnotherProgram", "mine", Kind::DataDirectory, true, ""},
        GuardCase{"EmptyDirectory", "empty", Kind::DataDirectory, true, ""},
        GuardCase{"NewNestedDirectory", "new/a/b/c", Kind::DataDirectory, false, ""},
        GuardCase{"OtherFiles", "junk", Kind::DataDirectory, true, "is neither"},
        GuardCase{"NotADirectory", "file", Kind::DataDirectory, true, "it is not a directory"},
        GuardCase{"Tablespace", "ts_ok", Kind::Tablespace, true, ""},
        GuardCase{"TablespaceWithOtherFiles", "ts_bad", Kind::Tablespace, true, "holds 'photos'"},
        GuardCase{"DataDirectoryAsTablespace", "stopped", Kind::Tablespace, true,
                  "holds 'PG_VERSION'"},
        GuardCase{"WalDirectory", "wal_ok", Kind::WalDirectory, true, ""},
        GuardCase{"WalDirectoryWithOtherFiles", "wal_bad", Kind::WalDirectory, true,
                  "holds 'notes.txt', which is not WAL"},
        GuardCase{"EmptyWalDirectory", "empty", Kind::WalDirectory, true, ""},
        GuardCase{"ExistingFileUnforced", "junk/notes.txt", Kind::ExternalFile, false,
                  "exists; pass --force"},
        GuardCase{"ExistingFileForced", "junk/notes.txt", Kind::ExternalFile, true, ""},
        GuardCase{"FileInRepository", "repo/postgresql.conf", Kind::ExternalFile, true,
                  "it lies inside the backup repository"}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return info.param.name; });

} // namespace
