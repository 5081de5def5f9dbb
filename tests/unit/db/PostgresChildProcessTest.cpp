#include "pgulo/PostgresChildProcess.h"

#include "pgulo/host/EvDebug.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Every test logs into its own fresh host home, so the debug log holds only its own lines.
class PostgresChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pgulo-child-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        ::setenv("PGULO_HOME", home_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    static std::string DebugLog() {
        std::ifstream in(EvDebug::logFilePath());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

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

    std::string home_;
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

TEST_F(PostgresChildProcessTest, MissingProgramIsReportedAsExecFailure) {
    PostgresChildProcess child;
    child.Initialize("/nonexistent/pgulo-no-such-program", {"pgulo-no-such-program"}, {});

    EXPECT_EQ(child.PGCreateProcess(), 0);
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.GetLastErrNo(), -1);
    EXPECT_NE(DebugLog().find("Exec failed"), std::string::npos);
}

TEST_F(PostgresChildProcessTest, ExitCodeThreeIsDecodedAndKeptAsLastError) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "exit 3"), 0);

    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.GetLastErrNo(), 3);
    const std::string log = DebugLog();
    EXPECT_NE(log.find("Exit status 0x300 (return 3 0x3)"), std::string::npos) << log;
    EXPECT_NE(log.find("Child exited with error: 3"), std::string::npos) << log;
}

TEST_F(PostgresChildProcessTest, ExitCodesAboveTheChildsOwnAreKeptAsLastError) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "exit 84"), 0);

    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.GetLastErrNo(), 84);
    EXPECT_NE(DebugLog().find("Child exited with error: 84"), std::string::npos);
}

TEST_F(PostgresChildProcessTest, ChildKilledBySigkillIsAFailureWithoutCoreSuffix) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "kill -9 $$"), 0);

    EXPECT_EQ(child.Wait(0), -1);
    const std::string log = DebugLog();
    const std::string line = "Child died after receiving signal 9";
    std::string::size_type at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    // The suffix is empty: the line ends right after the signal number.
    EXPECT_EQ(log.substr(at + line.size(), 1), "\n");
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

TEST_F(PostgresChildProcessTest, InputIsFedToTheChild) {
    PostgresChildProcess child;
    child.Initialize("/bin/cat", {"cat"}, {});
    ASSERT_EQ(child.PGCreateProcess(), 0);
    std::string text = "line one\nline two\n";
    ASSERT_EQ(child.WriteBuf(text.data(), static_cast<long>(text.size())), 0);
    ASSERT_EQ(child.CloseInput(), 0);

    EXPECT_EQ(ReadAll(child), text);
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_NE(DebugLog().find("wrote 18 bytes"), std::string::npos);
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

TEST_F(PostgresChildProcessTest, MalformedEnvironmentEntryEndsTheChildAsEnvFailure) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "echo should not run", {"NO_EQUALS_SIGN"}), 0);

    EXPECT_EQ(ReadAll(child), "");
    EXPECT_EQ(child.Wait(0), -1);
    EXPECT_EQ(child.GetLastErrNo(), -1);
    EXPECT_NE(DebugLog().find("Env failed"), std::string::npos);
}

TEST_F(PostgresChildProcessTest, WritingToAChildThatHasGoneFailsInsteadOfEndingTheProcess) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "exec 0<&-; exit 0"), 0);
    ASSERT_EQ(child.Wait(0), 0);

    std::string text = "nobody reads this";
    EXPECT_EQ(child.WriteBuf(text.data(), static_cast<long>(text.size())), -1);
    EXPECT_EQ(child.GetLastErrNo(), EPIPE);
    EXPECT_NE(DebugLog().find("write failed: errno=32"), std::string::npos);
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

TEST_F(PostgresChildProcessTest, WaitingTwiceFails) {
    PostgresChildProcess child;
    ASSERT_EQ(Start(child, "exit 0"), 0);
    EXPECT_EQ(child.Wait(0), 0);
    EXPECT_EQ(child.Wait(0), -1);
}

TEST_F(PostgresChildProcessTest, GetLastErrTakesTheCurrentErrno) {
    PostgresChildProcess child;
    errno = ENOSPC;
    EXPECT_EQ(child.GetLastErr(), ENOSPC);
    EXPECT_EQ(child.GetLastErrNo(), ENOSPC);
}

} // namespace
