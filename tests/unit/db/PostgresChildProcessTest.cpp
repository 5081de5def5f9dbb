#include "pgulo/PostgresChildProcess.h"

#include "pgulo/host/EvDebug.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Every test logs into its own fresh host home, so the debug log holds only its own lines.
class PostgresChildProcessTest : public ::testing::Test {
protected:
    static std::string DebugLog() { return pgulo::test::TestFiles::Read(EvDebug::logFilePath()); }

    // Reads until the child closes its output; the last status and last error are kept.
    static std::string ReadAll(PostgresChildProcess& child, int* lastError = nullptr) {
        std::string output;
        std::vector<char> buffer(4096);
        for (;;) {
            long length = static_cast<long>(buffer.size());
            if (child.ReadBuf(buffer.data(), &length) != 0)
                break;
            output.append(buffer.data(), static_cast<size_t>(length));
        }
        if (lastError != nullptr)
            *lastError = child.GetLastErrNo();
        return output;
    }

    static int Start(PostgresChildProcess& child, const std::string& script,
                     const std::vector<std::string>& environment = {}) {
        child.Initialize("/bin/sh", {"sh", "-c", script}, environment);
        return child.PGCreateProcess();
    }

    pgulo::test::TempHostHome home_;
};

TEST_F(PostgresChildProcessTest, EmptyArgumentListRunsTheProgramWithOnlyItsPath) {
    PostgresChildProcess child;
    child.Initialize("/bin/sh", {}, {});
    ASSERT_EQ(child.PGCreateProcess(), 0);

    std::string script = "echo \"argv0=$0 count=$#\"\n";
    ASSERT_EQ(child.WriteBuf(script.data(), static_cast<long>(script.size())), 0);
    ASSERT_EQ(child.CloseInput(), 0);

    EXPECT_EQ(ReadAll(child), "argv0=/bin/sh count=0\n");
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_NE(DebugLog().find("Child OK"), std::string::npos);
}

// How a child ends: the wait's result, the last error kept and the line the log gets.
TEST_F(PostgresChildProcessTest, EachWayOfEndingIsDecodedAndLogged) {
    const struct {
        const char* program;
        const char* script;
        std::vector<std::string> environment;
        int wait, lastError;
        const char* logLine;
    } cases[] = {
        {"/nonexistent/pgulo-no-such-program", "", {}, -1, -1, "Exec failed"},
        {"/bin/sh", "exit 3", {}, -1, 3, "Child exited with error: 3"},
        {"/bin/sh", "exit 84", {}, -1, 84, "Child exited with error: 84"},
        // Without a core the line ends right after the signal number.
        {"/bin/sh", "kill -9 $$", {}, -1, 0, "Child died after receiving signal 9\n"},
        {"/bin/sh", "echo should not run", {"NO_EQUALS_SIGN"}, -1, -1, "Env failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const std::size_t logStart = DebugLog().size();
        PostgresChildProcess child;
        child.Initialize(c.program, {"sh", "-c", c.script}, c.environment);
        EXPECT_EQ(child.PGCreateProcess(), 0);
        EXPECT_EQ(ReadAll(child), "");
        EXPECT_EQ(child.Wait(0), c.wait);
        if (c.lastError != 0) {
            EXPECT_EQ(child.GetLastErrNo(), c.lastError);
        }
        EXPECT_NE(DebugLog().find(c.logLine, logStart), std::string::npos) << DebugLog();
    }
}

TEST_F(PostgresChildProcessTest, ReadingAfterTheChildClosedItsOutputIsABrokenPipe) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "printf done"), 0);

    int lastError = 0;
    EXPECT_EQ(ReadAll(child, &lastError), "done");
    EXPECT_EQ(lastError, EPIPE);

    char buffer[16] = "untouched";
    long length = 7;
    EXPECT_EQ(child.ReadBuf(buffer, &length), -1);
    EXPECT_EQ(child.GetLastErrNo(), 32);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_EQ(child.Wait(0), -1) << "waiting twice";
}

TEST_F(PostgresChildProcessTest, OutputLargerThanAPipeHoldsArrivesWhole) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "head -c 1048576 /dev/zero | tr '\\000' x; echo ' end' >&2"), 0);

    const std::string output = ReadAll(child);
    EXPECT_EQ(child.Wait(0), 0);
    ASSERT_EQ(output.size(), 1048576u + 5u);
    EXPECT_EQ(output.find_first_not_of('x'), 1048576u);
    // Standard error shares the pipe with standard output.
    EXPECT_EQ(output.substr(1048576), " end\n");
}

TEST_F(PostgresChildProcessTest, EnvironmentEntriesAreAddedAndReplaceInheritedOnes) {
    ::setenv("PGULO_CHILD_REPLACED", "parent", 1);
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "printf '%s/%s' \"$PGULO_CHILD_ADDED\" \"$PGULO_CHILD_REPLACED\"",
                    {"PGULO_CHILD_ADDED=a=b c", "PGULO_CHILD_REPLACED=child"}),
              0);

    EXPECT_EQ(ReadAll(child), "a=b c/child");
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_STREQ(std::getenv("PGULO_CHILD_REPLACED"), "parent");
    ::unsetenv("PGULO_CHILD_REPLACED");
}

TEST_F(PostgresChildProcessTest, WritingToAChildThatHasGoneFailsInsteadOfEndingTheProcess) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "exec 0<&-; exit 0"), 0);
    ASSERT_EQ(child.Wait(0), 0);

    std::string text = "nobody reads this";
    EXPECT_EQ(child.WriteBuf(text.data(), static_cast<long>(text.size())), -1);
    EXPECT_EQ(child.GetLastErrNo(), EPIPE);
}

TEST_F(PostgresChildProcessTest, OperationsWithoutAChildFail) {
    PostgresChildProcess child;
    child.Initialize("/bin/true", {"true"}, {});
    char buffer[8];
    long length = sizeof buffer;

    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.GetLastErrNo(), ECHILD);
    EXPECT_EQ(child.ReadBuf(buffer, &length), -1);
    EXPECT_EQ(child.WriteBuf(buffer, 1), -1);
    EXPECT_EQ(child.CloseInput(), -1);
}

} // namespace
