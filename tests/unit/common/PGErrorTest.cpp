// The error machinery every operation shares: exception texts, the last-error text and code a
// host reads after a failed call, and the guard that logs a failure at each level it crosses.

#include "FsBackupHost.h"

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

using pgulo::test::AgentLog;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new pgulo::test::HostHome(9));

// Must stay the first test of this program: the last-error state lives for the whole process
// and nothing may have written it yet.
TEST(PGLastErrorFreshProcessTest, NothingIsStoredBeforeTheFirstWrite) {
    EXPECT_EQ(PGLastError(nullptr), nullptr);
    EXPECT_EQ(GetPGLastErrCode(), 0);
}

TEST(PGExceptionTest, TextNamesLabelTypeAndMessage) {
    const struct {
        int type;
        const char* shown;
    } cases[] = {
        {PG_EXCEPTION_POSTGRE_PARAMETER, "POSTGRE_EXCEPTION"},
        {PG_EXCEPTION_RESULT_ACCESS, "APPLICATION_EXCEPTION"},
        {PG_EXCEPTION_SYSTEM_OTHER, "SYSTEM_EXCEPTION"},
        {PG_EXCEPTION_APPLICATION_OTHER, "APPLICATION_EXCEPTION"},
        // Values the enumeration cannot hold.
        {-1, "UNKNOWN_EXCEPTION"},
        {8, "UNKNOWN_EXCEPTION"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(PGException::TypeName(c.type), c.shown) << c.type;
}

TEST(PGExceptionTest, NullMessageLeavesEmptyBracketsAndLongTextIsCut) {
    const std::exception& e = PGException("Outer :: Op", PG_EXCEPTION_UNKNOWN, nullptr);
    EXPECT_STREQ(e.what(), "Exception in [Outer :: Op]\tType:[UNKNOWN_EXCEPTION]\tMsg:[]");
    const std::string label(5000, 'L');
    EXPECT_EQ(std::string(PGException(label.c_str(), PG_EXCEPTION_SYSTEM, "lost").what()),
              ("Exception in [" + label).substr(0, 4095));
}

TEST(PGLastErrorTest, KeepsTextsShorterThan1024Characters) {
    const std::string fits(1023, 'a');
    EXPECT_EQ(std::string(PGLastError(fits.c_str())), fits);
    EXPECT_EQ(std::string(PGLastError(nullptr)), fits);

    const std::string tooLong(1024, 'b');
    EXPECT_EQ(std::string(PGLastError(tooLong.c_str())), fits);
    EXPECT_STREQ(PGLastError(""), "");
}

class PGGuardTest : public ::testing::Test {
protected:
    void SetUp() override { logStart_ = AgentLog().size(); }

    // The error lines written since the test began, each reduced to "label message".
    std::vector<std::string> NewErrorLines() const {
        std::istringstream in(AgentLog().substr(logStart_));
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
