// The error machinery every operation shares: exception texts, the last-error text and code a
// host reads after a failed call, and the guard that logs a failure at each level it crosses.

#include "FakeLibpq.h"

#include "common/PGGuard.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KxException.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

auto* const g_home =
    ::testing::AddGlobalTestEnvironment(new libpqtest::HostHomeEnvironment("pgulo-error"));

// Must stay the first test of this program: the last-error state lives for the whole process
// and nothing may have written it yet.
TEST(PGLastErrorFreshProcessTest, NothingIsStoredBeforeTheFirstWrite) {
    EXPECT_EQ(PGLastError(nullptr), nullptr);
    EXPECT_EQ(GetPGLastErrCode(), 0);
}

TEST(PGExceptionTest, TextNamesLabelTypeAndMessage) {
    const struct {
        PGExceptionTypes type;
        const char* shown;
    } cases[] = {
        {PG_EXCEPTION_POSTGRE, "POSTGRE_EXCEPTION"},
        {PG_EXCEPTION_POSTGRE_PARAMETER, "POSTGRE_EXCEPTION"},
        {PG_EXCEPTION_APPLICATION, "APPLICATION_EXCEPTION"},
        {PG_EXCEPTION_RESULT_ACCESS, "APPLICATION_EXCEPTION"},
        {PG_EXCEPTION_SYSTEM, "SYSTEM_EXCEPTION"},
        {PG_EXCEPTION_SYSTEM_OTHER, "SYSTEM_EXCEPTION"},
        {PG_EXCEPTION_UNKNOWN, "UNKNOWN_EXCEPTION"},
        {PG_EXCEPTION_APPLICATION_OTHER, "APPLICATION_EXCEPTION"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const PGException e("libpqInterface :: ConnectDb", c.type, "PQconnectdb failed");
        EXPECT_EQ(std::string(e.what()), std::string("Exception in [libpqInterface :: ConnectDb]"
                                                     "\tType:[") +
                                             c.shown + "]\tMsg:[PQconnectdb failed]");
        EXPECT_STREQ(PGException::TypeName(c.type), c.shown);
    }
}

TEST(PGExceptionTest, TypesOutsideTheTableAreShownAsUnknown) {
    // Values outside 0..7 cannot be held by the enumeration itself, so the naming is checked
    // on the plain number the text is built from.
    for (int type : {-1, 8, 100, -2147483647 - 1}) {
        SCOPED_TRACE(type);
        EXPECT_STREQ(PGException::TypeName(type), "UNKNOWN_EXCEPTION");
    }
}

TEST(PGExceptionTest, NullMessageLeavesEmptyBrackets) {
    const PGException e("Outer :: Op", PG_EXCEPTION_UNKNOWN, nullptr);
    EXPECT_EQ(std::string(e.what()),
              "Exception in [Outer :: Op]\tType:[UNKNOWN_EXCEPTION]\tMsg:[]");
}

TEST(PGExceptionTest, OversizedCompositionIsCutToTheBuffer) {
    const std::string label(5000, 'L');
    const PGException e(label.c_str(), PG_EXCEPTION_SYSTEM, "lost");
    const std::string text = e.what();
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text, ("Exception in [" + label).substr(0, 4095));
}

TEST(PGExceptionTest, IsCaughtAsStdException) {
    try {
        throw PGException("CheckForResultAccessViolation", PG_EXCEPTION_RESULT_ACCESS,
                          "Accessing unavilable result");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Exception in [CheckForResultAccessViolation]\tType:["
                               "APPLICATION_EXCEPTION]\tMsg:[Accessing unavilable result]");
    }
}

TEST(PGLastErrorTest, KeepsTextsShorterThan1024Characters) {
    ASSERT_STREQ(PGLastError("Failed to Connect to DB. Please check if PostGres Server is running"),
                 "Failed to Connect to DB. Please check if PostGres Server is running");
    EXPECT_STREQ(PGLastError(nullptr),
                 "Failed to Connect to DB. Please check if PostGres Server is running");

    const std::string fits(1023, 'a');
    EXPECT_EQ(std::string(PGLastError(fits.c_str())), fits);
    EXPECT_EQ(std::string(PGLastError(nullptr)), fits);

    const std::string tooLong(1024, 'b');
    EXPECT_EQ(std::string(PGLastError(tooLong.c_str())), fits);
    EXPECT_EQ(std::string(PGLastError(nullptr)), fits);

    EXPECT_STREQ(PGLastError(""), "");
    EXPECT_STREQ(PGLastError("later"), "later");
}

TEST(PGLastErrorTest, CodeKeepsItsLastValue) {
    SetPGLastErrCode(PG_LAST_ERROR_NEED_FULL_BACKUP);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    SetPGLastErrCode(-7);
    EXPECT_EQ(GetPGLastErrCode(), -7);
}

// ---- The guard.

class PGGuardTest : public ::testing::Test {
protected:
    void SetUp() override { logStart_ = libpqtest::DebugLog().size(); }

    // The error lines written since the test began, each reduced to "label message".
    std::vector<std::string> NewErrorLines() const {
        std::istringstream in(libpqtest::DebugLog().substr(logStart_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            const auto at = line.find(" ERR ");
            if (at != std::string::npos)
                lines.push_back(line.substr(at + 5));
        }
        return lines;
    }

    EvDebug log_{nullptr};
    std::size_t logStart_ = 0;
};

TEST_F(PGGuardTest, UnknownExceptionTwoLevelsDeepLeavesThreeLines) {
    const std::string rethrown = "Exception in [Inner :: Op]\tType:[UNKNOWN_EXCEPTION]\tMsg:[]";
    try {
        PGGuard::Rethrow(log_, "Outer :: Op", [&] {
            PGGuard::Rethrow(log_, "Middle :: Op",
                             [&] { PGGuard::Rethrow(log_, "Inner :: Op", [] { throw 42; }); });
        });
        ADD_FAILURE() << "nothing left the guard";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()), rethrown);
    }
    EXPECT_EQ(NewErrorLines(), (std::vector<std::string>{
                                   "Inner :: Op eRRoR -- UnHandled exception",
                                   "Middle :: Op eRRoR -- " + rethrown,
                                   "Outer :: Op eRRoR -- " + rethrown,
                               }));
}

TEST_F(PGGuardTest, KnownExceptionsPassUnchangedAndAreLoggedAtEachLevel) {
    try {
        PGGuard::Rethrow(log_, "Outer :: Op", [&] {
            PGGuard::Rethrow(log_, "Inner :: Op", [] { throw std::runtime_error("disk full"); });
        });
        ADD_FAILURE() << "nothing left the guard";
    } catch (const PGException&) {
        ADD_FAILURE() << "the exception was replaced";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
    try {
        PGGuard::Rethrow(log_, "Host :: Op", [] { throw KxException("share gone"); });
        ADD_FAILURE() << "nothing left the guard";
    } catch (const KxException& e) {
        EXPECT_STREQ(e.getMessage(), "share gone");
    }
    EXPECT_EQ(NewErrorLines(), (std::vector<std::string>{
                                   "Inner :: Op eRRoR -- disk full",
                                   "Outer :: Op eRRoR -- disk full",
                                   "Host :: Op eRRoR -- KxException: share gone",
                               }));
}

TEST_F(PGGuardTest, HostEntryPointsReturnTheirFailureValue) {
    EXPECT_EQ(PGGuard::OrReturn(log_, "Entry :: Start", -1,
                                []() -> int {
                                    throw PGException("Step :: One", PG_EXCEPTION_SYSTEM,
                                                      "open failed");
                                }),
              -1);
    EXPECT_EQ(PGGuard::OrReturn(log_, "Entry :: Start", -1, [] { return 5; }), 5);
    EXPECT_EQ(NewErrorLines(),
              (std::vector<std::string>{"Entry :: Start eRRoR -- Exception in [Step :: One]\t"
                                        "Type:[SYSTEM_EXCEPTION]\tMsg:[open failed]"}));
}

TEST_F(PGGuardTest, DestructorsLogAndSwallow) {
    EXPECT_NO_THROW(PGGuard::Quietly(log_, "Job :: ~Job", [] { throw 1; }));
    EXPECT_EQ(NewErrorLines(),
              (std::vector<std::string>{"Job :: ~Job eRRoR -- UnHandled exception"}));
}

} // namespace
