// The command line's own answers, without a server: usage mistakes, the version, and the
// catalogue verbs that need no connection (delete, verify of a broken repository).

#include "FileOps.h"
#include "Manifest.h"
#include "Repository.h"
#include "TempTree.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using pgulo::test::ProcessOptions;
using pgulo::test::ProcessResult;
using pgulo::test::runCommand;
using pgulo::test::TempTree;

std::string Pgulo() {
    const char* build = std::getenv("PGULO_BUILD_DIR");
    return std::string(build ? build : ".") + "/cli/pgulo";
}

class CommandLine : public ::testing::Test {
protected:
    ProcessResult Run(std::vector<std::string> args) const {
        args.insert(args.begin(), Pgulo());
        ProcessOptions options;
        options.env = {{"PGULO_HOME", home_.Root()}};
        options.timeout = std::chrono::seconds(60);
        return runCommand(args, options);
    }
    // An instance that is only registered: enough for the verbs that never connect.
    void Register(const std::string& name) const {
        ProcessOptions options;
        options.env = {{"PGULO_HOME", home_.Root()}, {"PGPASSWORD", ""}};
        const ProcessResult r = runCommand(
            {Pgulo(), "instance", "add", name, "--pgdata", home_.Root(), "--bindir", "/usr/bin",
             "--libdir", "/usr/lib", "--port", "5432", "--user", "postgres", "--archive-dir",
             home_.Root()},
            options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    std::string Repo() const { return home_.Root() + "/repo"; }
    // A backup of "main" with a manifest: complete as far as the catalogue can tell.
    static std::string Complete(Repository& repo, std::int64_t start,
                                const std::string& type = "full") {
        Manifest m;
        m.id = repo.CreateBackup("main", type, start);
        m.instance = "main";
        m.type = type;
        m.startMicros = start;
        repo.WriteManifest("main", m);
        return m.id;
    }

    TempTree home_{"pgulo-cli-home"};
};

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string output; // expected in stdout + stderr
};

class Usage : public CommandLine, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, AnswersWithTheDocumentedExitCode) {
    const ProcessResult r = Run(GetParam().args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(GetParam().output), std::string::npos) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Usage,
    ::testing::Values(
        UsageCase{"Version", {"--version"}, 0, "pgulo 0."},
        UsageCase{"UnknownCommand", {"bogus"}, 2, "unknown command 'bogus'"},
        UsageCase{"NegativeWait", {"restore", "main", "--wait", "-1"}, 2, "--wait"},
        UsageCase{"PortOutOfRange", {"restore", "main", "--port", "70000"}, 2, "70000"},
        UsageCase{"PortNotANumber",
                  {"instance", "add", "x", "--pgdata", "/d", "--bindir", "/b", "--libdir", "/l",
                   "--port", "host:abc", "--user", "u", "--archive-dir", "/a"},
                  2, "not a port number"},
        UsageCase{"ZeroJobs", {"backup", "main", "-j", "0"}, 2, "--jobs"},
        UsageCase{"DeleteNeedsAnId", {"delete", "main"}, 2, "id"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

// A failed backup can be deleted, a complete one once no other backup needs it; a job
// holding the instance keeps delete away and is named.
TEST_F(CommandLine, DeleteRemovesWhatNoBackupNeeds) {
    Register("main");
    Repository repo(Repo());
    const std::int64_t t = 1796552100LL * 1000000;
    const std::string failed = repo.CreateBackup("main", "full", t);
    repo.MarkFailed("main", failed, "full", t, "disk full");
    const std::string full = Complete(repo, t + 1000000);
    const std::string log = Complete(repo, t + 2000000, "log");

    const ProcessResult refused = Run({"delete", "main", full});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is needed by log backup " + log + "; delete " + log + " first"),
              std::string::npos)
        << refused.err;

    {
        const std::string lockFile = home_.Root() + "/locks/main.lock";
        FileOps::WriteAtomically(lockFile, "pgulo backup (process 4242)\n");
        const int fd = ::open(lockFile.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        const ProcessResult busy = Run({"delete", "main", failed});
        EXPECT_EQ(busy.exitCode, 1);
        EXPECT_NE(busy.err.find("is busy: pgulo backup (process 4242)"), std::string::npos)
            << busy.err;
        ::close(fd);
    }

    for (const std::string& id : {failed, log, full}) {
        const ProcessResult deleted = Run({"delete", "main", id});
        EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
        EXPECT_FALSE(FileOps::Exists(repo.BackupDirectory("main", id)));
    }
    EXPECT_EQ(FileOps::List(repo.InstanceDirectory("main")), std::vector<std::string>());
}

// A backup whose status said complete but whose manifest went missing, and a backup
// directory holding a file the manifest does not know, are both reported by verify --all.
TEST_F(CommandLine, VerifyReportsVanishedManifestAndExtraFile) {
    Register("main");
    Repository repo(Repo());
    const std::int64_t t = 1796552100LL * 1000000;
    const std::vector<std::string> ids = {Complete(repo, t), Complete(repo, t + 1000000)};
    const ProcessResult sound = Run({"verify", "main", "--all", "-q"});
    EXPECT_EQ(sound.exitCode, 0) << sound.out << sound.err;

    ::unlink((repo.BackupDirectory("main", ids[0]) + "/manifest.json").c_str());
    FileOps::MakeDirectories(repo.BackupDirectory("main", ids[1]) + "/files");
    FileOps::WriteAtomically(repo.BackupDirectory("main", ids[1]) + "/files/stray", "x");
    const ProcessResult r = Run({"verify", "main", "--all", "-q"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("manifest is gone"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("files/stray: unexpected file"), std::string::npos) << r.out;
}

} // namespace
