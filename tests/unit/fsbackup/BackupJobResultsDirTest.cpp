// A backup started without a job results directory is refused before it connects or writes:
// its collect and bookkeeping files would otherwise land in "/".

#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include "pgulo/PGLastError.h"
#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/host/EvDebug.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pgulo::test::TempHostHome;
using pgulo::test::TempTree;
using pgulo::test::TestFiles;

const char* const kNoResultsDir =
    "The job results directory is not set. Please provide a valid job results directory";

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec))
        names.insert(entry.path().string());
    return names;
}

std::set<std::string> RootEntries() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator("/"))
        names.insert(entry.path().string());
    return names;
}

std::string LastError() {
    const char* text = PGLastError(nullptr);
    return text == nullptr ? std::string() : std::string(text);
}

class EmptyJobResultsDir : public ::testing::Test {
protected:
    void SetUp() override {
        tree_ = std::make_unique<TempTree>("pgulo-noresults");
        fs::create_directory(tree_->Path("config"));
        fs::create_directory(tree_->Path("archive"));
        // No server listens here: reaching the connection would fail with another error.
        fs::create_directory(tree_->Path("socket"));
        PGLastError("");
        rootBefore_ = RootEntries();
        treeBefore_ = Entries(tree_->Root());
        logStart_ = TestFiles::Read(EvDebug::logFilePath()).size();
    }

    std::string LogSince() const {
        return TestFiles::Read(EvDebug::logFilePath()).substr(logStart_);
    }

    TempHostHome home_;
    std::unique_ptr<TempTree> tree_;
    std::set<std::string> rootBefore_;
    std::set<std::string> treeBefore_;
    std::string::size_type logStart_ = 0;
};

TEST_F(EmptyJobResultsDir, FullAndLogBackupsAreRefused) {
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    long long totalBytes = 0;
    std::string restartString;
    EXPECT_EQ(PostGreFsBackupInterfaceStart(
                  1, "", tree_->Path("config"), "/nonexistent/bin", "/nonexistent/lib",
                  "postgres", tree_->Path("socket"), "5432", "postgres", "", &collectFiles,
                  &files, &totalBytes, nullptr, nullptr, tree_->Path("archive"), "",
                  std::vector<RestartInfo_p>(), &restartString, "16.2", true, 0),
              nullptr);
    EXPECT_EQ(LastError(), kNoResultsDir);
    for (PG_LOG_BACKUP_TYPE type : {PG_LOG_FULL_BACKUP, PG_LOG_INCR_BACKUP}) {
        for (unsigned int standby : {0u, 1u}) {
            PGLastError("");
            void* job = PostGreLogBackupInterfaceStart(
                1, "", tree_->Path("config"), false, "/nonexistent/bin", "/nonexistent/lib",
                "postgres", tree_->Path("socket"), "5432", "postgres", "", tree_->Path("archive"),
                type, &collectFiles, &files, &totalBytes, "", nullptr, nullptr, "", "16.2",
                "000000010000000000000003", standby);
            EXPECT_EQ(job, nullptr) << type << " " << standby;
            EXPECT_EQ(LastError(), kNoResultsDir) << type << " " << standby;
        }
    }
    EXPECT_NE(LogSince().find("eRRoR -- "), std::string::npos) << LogSince();
    EXPECT_EQ(Entries(tree_->Root()), treeBefore_);
    EXPECT_EQ(RootEntries(), rootBefore_);
}

// With a directory given, the same start goes on to the server and fails there instead: the
// refusal is about the missing directory, nothing else.
TEST_F(EmptyJobResultsDir, AGivenDirectoryGetsPastTheCheck) {
    fs::create_directory(tree_->Path("results"));
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    long long totalBytes = 0;
    void* job = PostGreLogBackupInterfaceStart(
        1, tree_->Path("results"), tree_->Path("config"), false, "/nonexistent/bin",
        "/nonexistent/lib", "postgres", tree_->Path("socket"), "5432", "postgres", "",
        tree_->Path("archive"), PG_LOG_INCR_BACKUP, &collectFiles, &files, &totalBytes, "", nullptr,
        nullptr, "", "16.2", "", 0);

    EXPECT_EQ(job, nullptr);
    EXPECT_NE(LastError(), kNoResultsDir);
}

} // namespace
