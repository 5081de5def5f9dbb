#include "pgulo/host/KxProcess.h"

#include "TempHostHome.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using pgulo::test::TempHostHome;

class HostProcessTest : public ::testing::Test {
protected:
    TempHostHome home_;
};

TEST_F(HostProcessTest, SeparatesTheStreams) {
    std::string out;
    std::string err;
    EXPECT_EQ(0, KxProcess::system("echo to-out; echo to-err >&2", &out, &err, 0, false));
    EXPECT_EQ("to-out\n", out);
    EXPECT_EQ("to-err\n", err);
}

TEST_F(HostProcessTest, LargeOutputOnBothStreamsDoesNotBlock) {
    // Each stream gets 1 MiB, written alternately so that a reader draining only one pipe
    // would leave the child stuck on the other.
    const char* command = "i=0; while [ $i -lt 16 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
                          "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done";
    std::string out;
    std::string err;
    ASSERT_EQ(0, KxProcess::system(command, &out, &err, 0, false));
    EXPECT_EQ(1048576u, out.size());
    EXPECT_EQ(1048576u, err.size());
    EXPECT_EQ(std::string::npos, out.find_first_not_of('o'));
    EXPECT_EQ(std::string::npos, err.find_first_not_of('e'));
}

TEST_F(HostProcessTest, ReportsExitStatus) {
    std::string out;
    std::string err;
    EXPECT_EQ(3, KxProcess::system("echo partial; exit 3", &out, &err, 0, false));
    EXPECT_EQ("partial\n", out);
    EXPECT_EQ(127, KxProcess::system("/nonexistent/program", &out, &err, 0, false));
    EXPECT_FALSE(err.empty());
}

TEST_F(HostProcessTest, SignalledChildGives128PlusSignal) {
    std::string out;
    EXPECT_EQ(128 + SIGKILL, KxProcess::system("kill -KILL $$", &out, nullptr, 0, false));
    EXPECT_EQ(128 + SIGTERM, KxProcess::system("kill -TERM $$", nullptr, nullptr, 0, false));
}

TEST_F(HostProcessTest, StreamsMayBeIgnored) {
    EXPECT_EQ(0, KxProcess::system("echo ignored; echo ignored >&2", nullptr, nullptr, 0, false));
}

TEST_F(HostProcessTest, ChildGetsNoInputAndNoInheritedDescriptors) {
    int fd = ::open("/dev/null", O_RDONLY); // without close-on-exec
    ASSERT_GE(fd, 0);
    std::string out;
    const std::string probe = "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo open; cat";
    EXPECT_EQ(0, KxProcess::system(probe, &out, nullptr, 0, false));
    ::close(fd);
    EXPECT_EQ("", out) << "the descriptor leaked or stdin was not empty";
}

TEST_F(HostProcessTest, QuotedArgumentsReachTheShellUnchanged) {
    std::string out;
    EXPECT_EQ(0, KxProcess::system("printf '%s|' 'a b' \"c'd\"", &out, nullptr, 0, false));
    EXPECT_EQ("a b|c'd|", out);
}

} // namespace
