// Finding and loading the cluster's libpq: which file a library directory yields, and what a
// user is told when the directory, the file or one of its functions is missing.

#include "FakeLibpq.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using libpqtest::DebugLog;
using libpqtest::TestFiles;
namespace fs = std::filesystem;

auto* const g_home =
    ::testing::AddGlobalTestEnvironment(new libpqtest::HostHomeEnvironment("pgulo-libpq-search"));

const char* const kSystemLibpq = "/usr/lib/x86_64-linux-gnu/libpq.so.5";
const char* const kSentinel = "earlier failure";

std::string ExpectedText(const char* label, const char* type, const std::string& message) {
    return std::string("Exception in [") + label + "]\tType:[" + type + "]\tMsg:[" + message + "]";
}

// A load-only session: the library is found and resolved, no server is contacted.
std::unique_ptr<libpqInterface> Load(const std::string& libDir) {
    return std::make_unique<libpqInterface>("/unused/bin", libDir, "postgres", "postgres", "",
                                            "5432", "", "", "", "", true);
}

class LibpqLibrarySearchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = libpqtest::HostHomeEnvironment::Home();
        stubs_ = home_ + "/stubs";
        fs::create_directories(stubs_);
    }
    void SetUp() override {
        ASSERT_FALSE(home_.empty());
        dir_ = home_ + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
        PGLastError(kSentinel);
        logStart_ = DebugLog().size();
    }

    // The debug log lines written since this test began.
    std::string NewLog() const { return DebugLog().substr(logStart_); }

    static std::string home_;
    static std::string stubs_;
    std::string dir_;
    std::size_t logStart_ = 0;
};
std::string LibpqLibrarySearchTest::home_;
std::string LibpqLibrarySearchTest::stubs_;

// ---- The search alone: which file a directory yields.

struct SearchCase {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> directories;
    const char* expected; // file name inside the directory
};

TEST_F(LibpqLibrarySearchTest, SearchPicksTheUnversionedFileOrTheFirstVersionedOne) {
    const SearchCase cases[] = {
        {"unversioned wins", {"libpq.so", "libpq.so.5"}, {}, "libpq.so"},
        {"major only", {"libpq.so.5"}, {}, "libpq.so.5"},
        {"major and minor", {"libpq.so.5.15"}, {}, "libpq.so.5.15"},
        {"anything after the digits", {"libpq.so.5.dbg"}, {}, "libpq.so.5.dbg"},
        {"dots match any character", {"libpqXsoY5"}, {}, "libpqXsoY5"},
        {"no digit after the dot", {"libpq.so.x"}, {}, "libpq.so"},
        {"dot but nothing after", {"libpq.so."}, {}, "libpq.so"},
        {"other libraries", {"libpqxx.so", "libpq.a", "libecpg.so.6"}, {}, "libpq.so"},
        {"directories are skipped", {}, {"libpq.so.6"}, "libpq.so"},
        {"empty directory", {}, {}, "libpq.so"},
    };
    int index = 0;
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = dir_ + "/" + std::to_string(index++);
        fs::create_directories(dir);
        for (const std::string& f : c.files)
            TestFiles::Write(dir + "/" + f, "x");
        for (const std::string& d : c.directories)
            fs::create_directories(dir + "/" + d);
        EXPECT_EQ(PGCommon::GetPGLibraryPath(dir), dir + "/" + c.expected);
    }
}

TEST_F(LibpqLibrarySearchTest, SearchOfAMissingDirectoryReturnsTheUnversionedName) {
    EXPECT_EQ(PGCommon::GetPGLibraryPath(dir_ + "/absent"), dir_ + "/absent/libpq.so");
}

TEST_F(LibpqLibrarySearchTest, SearchLogsEachEntryItLooksAt) {
    TestFiles::Write(dir_ + "/README", "x");
    EXPECT_EQ(PGCommon::GetPGLibraryPath(dir_), dir_ + "/libpq.so");
    std::string log = NewLog();
    EXPECT_NE(log.find("Couldn't find library [" + dir_ +
                       "/libpq.so] , try to locate libpq.so.x version under library path."),
              std::string::npos);
    EXPECT_NE(log.find("Did not match [README]"), std::string::npos);
    EXPECT_EQ(log.find("found match"), std::string::npos);

    ASSERT_EQ(::symlink(kSystemLibpq, (dir_ + "/libpq.so.5.15").c_str()), 0);
    EXPECT_EQ(PGCommon::GetPGLibraryPath(dir_), dir_ + "/libpq.so.5.15");
    EXPECT_NE(NewLog().find("found match [libpq.so.5.15]"), std::string::npos);
}

// ---- Loading: what each kind of library location leads to.

struct LoadCase {
    const char* name;
    // Prepares the location inside the test directory and returns what the caller passes.
    std::function<std::string(const std::string& dir, const std::string& stubs)> prepare;
    bool loads;
    const char* label;   // of the exception, when the load fails
    std::string message; // of the exception
    // Expected last-error text; "{dir}" stands for the location passed.
    std::string lastError;
    const char* loadedFile; // file name the session ends up with, when it loads
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

TEST_F(LibpqLibrarySearchTest, EachLibraryLocationLoadsOrFailsWithItsOwnMessage) {
    const char* const kCtor = "libpqInterface :: libpqInterface";
    const char* const kLoad = "libpqInterface :: LoadlibpqSymbols";
    const std::string notPresent = "Lib dir is not present";
    const std::string unableToLocate = "Unable to locate libpq.so library file in PostGres Lib "
                                       "directory. Please provide valid PostGres Lib Path";
    const std::string loadingFailed = "Loading libpq.so library failed. Please check if required "
                                      "libpq.so file exists in Postgres Lib directory";
    auto link = [](const std::string& target, const std::string& path) {
        EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    };

    const LoadCase cases[] = {
        {"unversioned link to the real library",
         [&](const std::string& d, const std::string&) {
             link(kSystemLibpq, d + "/libpq.so");
             return d;
         },
         true, nullptr, "", kSentinel, "libpq.so"},
        {"only a versioned file",
         [&](const std::string& d, const std::string&) {
             link(kSystemLibpq, d + "/libpq.so.5.15");
             return d;
         },
         true, nullptr, "", kSentinel, "libpq.so.5.15"},
        {"the library file given directly",
         [&](const std::string&, const std::string&) { return std::string(kSystemLibpq); }, true,
         nullptr, "", kSentinel, nullptr},
        {"neither file",
         [&](const std::string& d, const std::string&) {
             TestFiles::Write(d + "/libpqxx.so", "x");
             fs::create_directories(d + "/libpq.so.6");
             return d;
         },
         false, kCtor, notPresent, unableToLocate, nullptr},
        {"a file that is no library",
         [&](const std::string& d, const std::string&) {
             TestFiles::Write(d + "/libpq.so", "not an ELF file\n");
             return d;
         },
         false, kLoad, "dlopen failed on libpq", loadingFailed, nullptr},
        {"a text file given directly",
         [&](const std::string& d, const std::string&) {
             TestFiles::Write(d + "/notes.txt", "not an ELF file\n");
             return d + "/notes.txt";
         },
         false, kLoad, "dlopen failed on libpq", loadingFailed, nullptr},
        {"a dangling link",
         [&](const std::string& d, const std::string&) {
             link(d + "/gone.so.5", d + "/libpq.so");
             return d;
         },
         false, kLoad, "dlopen failed on libpq", loadingFailed, nullptr},
        {"a library lacking PQbinaryTuples",
         [&](const std::string& d, const std::string& stubs) {
             link(stubs + "/no_PQbinaryTuples.so", d + "/libpq.so");
             return d;
         },
         false, kLoad, "Could not locate symbol PQbinaryTuples", kSentinel, nullptr},
        {"a library lacking PQreset",
         [&](const std::string& d, const std::string& stubs) {
             link(stubs + "/no_PQreset.so", d + "/libpq.so");
             return d;
         },
         false, kLoad, "Could not locate symbol PQreset ", kSentinel, nullptr},
        {"a library lacking PQstatus",
         [&](const std::string& d, const std::string& stubs) {
             link(stubs + "/no_PQstatus.so", d + "/libpq.so");
             return d;
         },
         false, kLoad, "Could not locate symbol PQstatus ", kSentinel, nullptr},
        {"a library lacking the first function",
         [&](const std::string& d, const std::string& stubs) {
             link(stubs + "/no_PQfreemem.so", d + "/libpq.so.5");
             return d;
         },
         false, kLoad, "Could not locate symbol PQfreemem", kSentinel, nullptr},
        {"a library with every function",
         [&](const std::string& d, const std::string& stubs) {
             link(stubs + "/complete.so", d + "/libpq.so");
             return d;
         },
         true, nullptr, "", kSentinel, "libpq.so"},
        {"a missing directory",
         [&](const std::string& d, const std::string&) { return d + "/no/such/lib"; }, false, kCtor,
         notPresent,
         "Could not find {dir} Lib directory. Please provide valid PostGres Lib directory path",
         nullptr},
    };

    for (const char* omit : {"PQbinaryTuples", "PQreset", "PQstatus", "PQfreemem"}) {
        const std::string error =
            libpqtest::BuildFakeLibpq(stubs_, std::string("no_") + omit + ".so", omit);
        ASSERT_EQ(error, "");
    }
    ASSERT_EQ(libpqtest::BuildFakeLibpq(stubs_, "complete.so"), "");

    int index = 0;
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = dir_ + "/" + std::to_string(index++);
        fs::create_directories(dir);
        const std::string location = c.prepare(dir, stubs_);
        PGLastError(kSentinel);

        if (c.loads) {
            std::unique_ptr<libpqInterface> session;
            EXPECT_NO_THROW(session = Load(location));
            ASSERT_NE(session, nullptr);
            const std::string expected =
                c.loadedFile != nullptr ? dir + "/" + c.loadedFile : location;
            EXPECT_EQ(session->LibraryPath(), expected);
        } else {
            try {
                Load(location);
                ADD_FAILURE() << "the load succeeded";
            } catch (const PGException& e) {
                EXPECT_EQ(std::string(e.what()),
                          ExpectedText(c.label, "APPLICATION_EXCEPTION", c.message));
            }
        }
        EXPECT_STREQ(PGLastError(nullptr), Replace(c.lastError, "{dir}", location).c_str());
    }
}

TEST_F(LibpqLibrarySearchTest, VersionedFileIsLoadedAfterSayingTheUnversionedOneIsMissing) {
    ASSERT_EQ(::symlink(kSystemLibpq, (dir_ + "/libpq.so.5").c_str()), 0);
    auto session = Load(dir_);
    EXPECT_EQ(session->LibraryPath(), dir_ + "/libpq.so.5");
    const std::string log = NewLog();
    const auto couldNot = log.find("Couldn't find library [" + dir_ + "/libpq.so]");
    const auto directory =
        log.find("[" + dir_ + "] is a directory looking for libpq.so in this dir");
    const auto dlopenLine = log.find("dlopen on LibDir_m[" + dir_ + "/libpq.so.5]");
    ASSERT_NE(directory, std::string::npos);
    ASSERT_NE(couldNot, std::string::npos);
    ASSERT_NE(dlopenLine, std::string::npos);
    EXPECT_LT(directory, couldNot);
    EXPECT_LT(couldNot, dlopenLine);
}

TEST_F(LibpqLibrarySearchTest, MissingFunctionIsLoggedWithTheLoadersOwnWords) {
    ASSERT_EQ(libpqtest::BuildFakeLibpq(dir_, "libpq.so", "PQbinaryTuples"), "");
    EXPECT_THROW(Load(dir_), PGException);
    const std::string log = NewLog();
    const auto line = log.find("libpqInterface :: LoadlibpqSymbols dlopen failed:");
    ASSERT_NE(line, std::string::npos);
    EXPECT_NE(log.find("PQbinaryTuples", line), std::string::npos);
    // The failure crosses two guarded levels, each leaving its own line.
    EXPECT_NE(log.find("libpqInterface :: libpqInterface eRRoR -- Exception in "
                       "[libpqInterface :: LoadlibpqSymbols]"),
              std::string::npos);
}

TEST_F(LibpqLibrarySearchTest, MissingDirectoryIsLoggedWithErrno) {
    const std::string missing = dir_ + "/absent";
    EXPECT_THROW(Load(missing), PGException);
    EXPECT_NE(NewLog().find("eRRoR -- lstat failed on[" + missing + "]. errno:2"),
              std::string::npos);
}

TEST_F(LibpqLibrarySearchTest, LoadOnlySessionHasNoResultToRead) {
    auto session = Load(kSystemLibpq);
    EXPECT_EQ(session->GetNumberOfTuples(), 0);
    EXPECT_EQ(session->GetNumberOfFields(), 0);
    EXPECT_EQ(session->GetPgErrorMsg(), "NULL");
    try {
        session->GetValue(0, 0);
        ADD_FAILURE() << "read from an empty result";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("CheckForResultAccessViolation", "APPLICATION_EXCEPTION",
                               "Accessing unavilable result"));
    }
}

} // namespace
