// Finding and loading the cluster's libpq: which file a library directory yields, and what a
// user is told when the directory, the file or one of its functions is missing.

#include "FsBackupHost.h"
#include "FakeLibpq.h"
#include "PGFailure.h"
#include "TempTree.h"
#include "TestFiles.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGLastError.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new pgulo::test::HostHome(9));
const char* const kSystemLibpq = "/usr/lib/x86_64-linux-gnu/libpq.so.5";
const char* const kSentinel = "earlier failure";

// A load-only session: the library is found and resolved, no server is contacted.
std::unique_ptr<libpqInterface> Load(const std::string& libDir) {
    return std::make_unique<libpqInterface>("/unused/bin", libDir, "postgres", "postgres", "",
                                            "5432", "", "", "", "", true);
}

void Link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

class LibpqLibrarySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        PGLastError(kSentinel);
    }

    TempTree tree_{"pgulo-libpq-search"};
    const std::string dir_ = tree_.Root();
};

TEST_F(LibpqLibrarySearchTest, SearchPicksTheUnversionedFileOrTheFirstVersionedOne) {
    const struct {
        std::vector<std::string> files;
        std::vector<std::string> directories;
        const char* expected; // file name inside the directory
    } cases[] = {
        {{"libpq.so", "libpq.so.5"}, {}, "libpq.so"},
        {{"libpq.so.5.dbg"}, {}, "libpq.so.5.dbg"},
        {{"libpqXsoY5"}, {}, "libpqXsoY5"}, // the dots match any character
        {{"libpq.so.x"}, {}, "libpq.so"},
        {{"libpqxx.so", "libpq.a", "libecpg.so.6"}, {}, "libpq.so"},
        {{}, {"libpq.so.6"}, "libpq.so"},
        {{}, {}, "libpq.so"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string dir = dir_ + "/" + std::to_string(index++);
        fs::create_directories(dir);
        for (const std::string& f : c.files)
            TestFiles::Write(dir + "/" + f, "x");
        for (const std::string& d : c.directories)
            fs::create_directories(dir + "/" + d);
        EXPECT_EQ(PGCommon::GetPGLibraryPath(dir), dir + "/" + c.expected);
    }
    EXPECT_EQ(PGCommon::GetPGLibraryPath(dir_ + "/absent"), dir_ + "/absent/libpq.so");
}

// How a location is prepared: a link to target as name, a file of that name, or a directory.
struct Entry {
    enum Kind { kLink, kFile, kDirectory } kind;
    std::string name;
    std::string target;
};

TEST_F(LibpqLibrarySearchTest, EachLibraryLocationLoadsOrFailsWithItsOwnMessage) {
    const std::string ctor = "libpqInterface :: libpqInterface";
    const std::string load = "libpqInterface :: LoadlibpqSymbols";
    const std::string notPresent = PGFailureText(ctor, "APPLICATION_EXCEPTION",
                                                 "Lib dir is not present");
    const std::string dlopenFailed =
        PGFailureText(load, "APPLICATION_EXCEPTION", "dlopen failed on libpq");
    const std::string loadingFailed = "Loading libpq.so library failed. Please check if required "
                                      "libpq.so file exists in Postgres Lib directory";
    auto lacking = [&](const std::string& name) {
        return PGFailureText(load, "APPLICATION_EXCEPTION", "Could not locate symbol " + name);
    };
    const struct {
        std::vector<Entry> entries;
        std::string passed;   // below the case's directory; "" the directory itself
        std::string loaded;   // the file the session ends up with; "" when it fails
        std::string failure;  // the exception's text when it fails
        std::string lastError; // "{dir}" stands for the location passed
    } cases[] = {
        {{{Entry::kLink, "libpq.so", kSystemLibpq}}, "", "libpq.so", "", kSentinel},
        {{{Entry::kLink, "libpq.so.5.15", kSystemLibpq}}, "", "libpq.so.5.15", "", kSentinel},
        {{{Entry::kLink, "libpq.so", FakeLibpqPath()}}, "", "libpq.so", "", kSentinel},
        {{{Entry::kFile, "libpqxx.so", ""}, {Entry::kDirectory, "libpq.so.6", ""}}, "", "",
         notPresent,
         "Unable to locate libpq.so library file in PostGres Lib directory. Please provide valid "
         "PostGres Lib Path"},
        {{{Entry::kFile, "libpq.so", ""}}, "", "", dlopenFailed, loadingFailed},
        {{{Entry::kFile, "notes.txt", ""}}, "notes.txt", "", dlopenFailed, loadingFailed},
        {{{Entry::kLink, "libpq.so", "/nonexistent/gone.so.5"}}, "", "", dlopenFailed,
         loadingFailed},
        {{{Entry::kLink, "libpq.so", FakeLibpqPath("PQbinaryTuples")}}, "", "",
         lacking("PQbinaryTuples"), kSentinel},
        {{{Entry::kLink, "libpq.so", FakeLibpqPath("PQreset")}}, "", "", lacking("PQreset "),
         kSentinel},
        {{{Entry::kLink, "libpq.so.5", FakeLibpqPath("PQfreemem")}}, "", "", lacking("PQfreemem"),
         kSentinel},
        {{}, "no/such/lib", "", notPresent,
         "Could not find {dir} Lib directory. Please provide valid PostGres Lib directory path"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string dir = dir_ + "/" + std::to_string(index++);
        SCOPED_TRACE(dir);
        fs::create_directories(dir);
        for (const Entry& e : c.entries) {
            if (e.kind == Entry::kLink)
                Link(e.target, dir + "/" + e.name);
            else if (e.kind == Entry::kFile)
                TestFiles::Write(dir + "/" + e.name, "not an ELF file\n");
            else
                fs::create_directories(dir + "/" + e.name);
        }
        const std::string location = c.passed.empty() ? dir : dir + "/" + c.passed;
        PGLastError(kSentinel);
        std::unique_ptr<libpqInterface> session;
        EXPECT_EQ(PGFailure([&] { session = Load(location); }), c.failure);
        if (!c.loaded.empty() && session) {
            EXPECT_EQ(session->LibraryPath(), dir + "/" + c.loaded);
        }
        std::string lastError = c.lastError;
        if (lastError.find("{dir}") != std::string::npos)
            lastError.replace(lastError.find("{dir}"), 5, location);
        EXPECT_EQ(PGLastError(nullptr), lastError);
    }
    EXPECT_EQ(Load(kSystemLibpq)->LibraryPath(), kSystemLibpq);
}

TEST_F(LibpqLibrarySearchTest, LoadOnlySessionHasNoResultToRead) {
    auto session = Load(kSystemLibpq);
    EXPECT_EQ(session->GetNumberOfTuples(), 0);
    EXPECT_EQ(session->GetNumberOfFields(), 0);
    EXPECT_EQ(session->GetPgErrorMsg(), "NULL");
    EXPECT_EQ(PGFailure([&] { session->GetValue(0, 0); }),
              PGFailureText("CheckForResultAccessViolation", "APPLICATION_EXCEPTION",
                            "Accessing unavilable result"));
}

} // namespace
