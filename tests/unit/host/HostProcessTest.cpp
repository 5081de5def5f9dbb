// The host's shell runner: both streams read without blocking, exit codes and signals decoded,
// nothing inherited.
#include "pgulo/host/KxProcess.h"

#include "TempHostHome.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(HostProcessTest, SeparatesTheStreamsAndReportsHowTheChildEnded) {
    pgulo::test::TempHostHome home;
    const struct {
        const char* command;
        int status;
        const char* out;
        const char* err; // nullptr: not checked
    } cases[] = {
        {"echo to-out; echo to-err >&2", 0, "to-out\n", "to-err\n"},
        {"echo partial; exit 3", 3, "partial\n", ""},
        {"/nonexistent/program", 127, "", nullptr},
        {"kill -KILL $$", 128 + SIGKILL, "", ""},
    };
    for (const auto& c : cases) {
        std::string out;
        std::string err;
        EXPECT_EQ(c.status, KxProcess::system(c.command, &out, &err, 0, false)) << c.command;
        EXPECT_EQ(c.out, out) << c.command;
        if (c.err != nullptr) {
            EXPECT_EQ(c.err, err) << c.command;
        } else {
            EXPECT_FALSE(err.empty()) << c.command;
        }
    }
    EXPECT_EQ(0, KxProcess::system("echo ignored; echo ignored >&2", nullptr, nullptr, 0, false));
}

TEST(HostProcessTest, LargeOutputOnBothStreamsDoesNotBlock) {
    pgulo::test::TempHostHome home;
    // Each stream gets 1 MiB, written alternately so that a reader draining only one pipe
    // would leave the child stuck on the other.
    const char* command = "i=0; while [ $i -lt 16 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
                          "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done";
    std::string out;
    std::string err;
    ASSERT_EQ(0, KxProcess::system(command, &out, &err, 0, false));
    EXPECT_EQ(std::string(1048576, 'o'), out);
    EXPECT_EQ(std::string(1048576, 'e'), err);
}

TEST(HostProcessTest, ChildGetsNoInputAndNoInheritedDescriptors) {
    pgulo::test::TempHostHome home;
    int fd = ::open("/dev/null", O_RDONLY); // without close-on-exec
    ASSERT_GE(fd, 0);
    std::string out;
    const std::string probe = "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo open; cat";
    EXPECT_EQ(0, KxProcess::system(probe, &out, nullptr, 0, false));
    ::close(fd);
    EXPECT_EQ("", out) << "the descriptor leaked or stdin was not empty";
}

} // namespace
