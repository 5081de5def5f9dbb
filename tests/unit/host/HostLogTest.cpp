#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/EvEvent.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPI_Focus.h"
#include "pgulo/host/KXPlatformInfo.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <fstream>
#include <string>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using pgulo::test::TempHostHome;
using pgulo::test::TestFiles;

// Loggers are static objects of each unit, as in the agent.
EvDebug g_log(nullptr);

class HostLogTest : public ::testing::Test {
protected:
    void SetUp() override { EvDebug::setJobContext("client-a", 4711); }

    static std::vector<std::string> lines() { return TestFiles::ReadLines(EvDebug::logFilePath()); }
    static std::string text() { return TestFiles::Read(EvDebug::logFilePath()); }
    void setLevel(long level) {
        ASSERT_TRUE(KXPlatformInfo().setNumber("EvDebug", "nDebugLevel", level));
        EvDebug::reloadSettings();
    }

    TempHostHome home_;
};

TEST_F(HostLogTest, LineNamesProcessJobLevelAndLabel) {
    g_log.DebugLvl("PGFsBackup :: StopBackup", 2, "stopped at %s", "0/2000028");
    EXPECT_EQ(HostHome::logDirectory() + "/job_4711.log", EvDebug::logFilePath());
    std::vector<std::string> all = lines();
    ASSERT_EQ(1u, all.size());
    const std::string& line = all[0];
    // "YYYY-MM-DD HH:MM:SS.mmm pid tid job level label message"
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ('.', line[19]) << line;
    const std::string rest = line.substr(24);
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(0u, rest.find(pid + " ")) << line;
    EXPECT_NE(std::string::npos, rest.find(" 4711 2 PGFsBackup :: StopBackup stopped at 0/2000028"))
        << line;
    EXPECT_EQ("client-a", KXPI_Focus::getFocusClientName(true));

    struct stat st {};
    ASSERT_EQ(0, ::stat(EvDebug::logFilePath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(HostLogTest, LevelFilterAndErrorsAlwaysWritten) {
    setLevel(1);
    g_log.DebugLvl("L", 1, "level one");
    g_log.DebugLvl("L", 2, "level two");
    g_log.Debug("L", "plain debug");
    g_log.debug(3, "unlabelled three");
    g_log.Error("L", "eRRoR -- broken");
    EvEvent().DebugLvl("E", 2, "event two");
    EvEvent().Error("E", "event error");

    setLevel(-1);
    g_log.DebugLvl("L", 0, "level zero while off");
    g_log.Error("L", "error while off");

    setLevel(3);
    g_log.debug(3, "unlabelled three again");

    const std::string all = text();
    for (const char* written : {" 1 L level one", " 1 L plain debug", " ERR L eRRoR -- broken",
                                " ERR E event error", " ERR L error while off",
                                " 3 - unlabelled three again"})
        EXPECT_NE(std::string::npos, all.find(written)) << written << "\n" << all;
    for (const char* dropped :
         {"level two", "unlabelled three\n", "event two", "level zero while off"})
        EXPECT_EQ(std::string::npos, all.find(dropped)) << dropped << "\n" << all;
}

TEST_F(HostLogTest, LogWriterFollowsTheSameLevel) {
    setLevel(1);
    ASSERT_TRUE(g_ptrLogWriter);
    PGULO_LOG_WRITE(0, "writer zero %d", 0);
    PGULO_LOG_WRITE(2, "writer two %d", 2);
    PGULO_LOG_WRITE(-1, "writer error %s", "text");
    const std::string all = text();
    EXPECT_NE(std::string::npos, all.find("writer zero 0")) << all;
    EXPECT_EQ(std::string::npos, all.find("writer two")) << all;
    EXPECT_NE(std::string::npos, all.find(" ERR ")) << all;
}

TEST_F(HostLogTest, ManyThreadsWriteWholeLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                g_log.DebugLvl("T", 1, "thread %d line %d %s", t, i, std::string(100, 'x').c_str());
        });
    for (std::thread& thread : threads)
        thread.join();
    std::vector<std::string> all = lines();
    ASSERT_EQ(800u, all.size());
    for (const std::string& line : all)
        EXPECT_EQ(std::string(100, 'x'), line.substr(line.size() - 100)) << line;
}

TEST_F(HostLogTest, UnwritableLogIsSilentlyDropped) {
    // The log directory's place is taken by a file: lines are lost, nothing fails.
    std::ofstream(HostHome::logDirectory()) << "not a directory";
    g_log.Error("L", "dropped");
    EXPECT_EQ(std::string::npos, text().find("dropped"));
}

} // namespace
