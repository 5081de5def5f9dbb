// What a full backup job decides without asking its server: the WAL segment size it works
// with (16 MiB unless the registry value "sWalSegmentSize" of section "PostGres" says
// otherwise; a size no server can have is refused) and the refusal of a log boundary it does
// not know.

#include "PGFailure.h"
#include "TempHostHome.h"
#include "fsbackup/PGFsBackup.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace pgulo::test;

TEST(FsBackupSegmentSize, ComesFromTheRegistryWithItsUnit) {
    const struct {
        const char* value;        // nullptr: the key is not set
        unsigned long long bytes; // 0: refused, no size the server can have
    } cases[] = {
        {nullptr, 16777216ULL}, {"64MB", 67108864ULL}, {"1GB", 1073741824ULL},
        {"1MB", 1048576ULL},    {"1024KB", 1048576ULL}, {"0MB", 16777216ULL},
        {"MB", 16777216ULL},    {"", 16777216ULL},      {"32XB", 33554432ULL},
        {"-4MB", 16777216ULL},  {"512KB", 0},           {"3MB", 0},
        {"2GB", 0},             {"4294967296GB", 0},    {"99999999999999999999MB", 0},
    };
    for (const auto& c : cases) {
        TempHostHome home;
        if (c.value != nullptr) {
            ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "sWalSegmentSize", c.value));
        }
        PGFsBackup::OfflineSetup setup;
        setup.jobResultsDir = home.path();
        PGFsBackup job(setup);
        unsigned long long bytes = 0;
        const std::string failure = PGFailure([&] { bytes = job.getWalSegmentSize(); });
        EXPECT_EQ(bytes, c.bytes) << (c.value ? c.value : "(not set)");
        EXPECT_EQ(failure.find("a power of two from 1MB to 1GB") != std::string::npos,
                  c.bytes == 0)
            << failure;
    }
}

TEST(FsBackupLogBoundaries, OnlyTheStartAndTheEndCanBeAskedFor) {
    TempHostHome home;
    PGFsBackup::OfflineSetup setup;
    setup.jobResultsDir = home.path();
    setup.serverVersion = "12.3";
    PGFsBackup job(setup);
    for (int which : {0, 3, -1}) {
        std::string out = "untouched";
        EXPECT_NE(PGFailure([&] { job.GetLogFilesNeeded(&out, which); })
                      .find("Msg:[Unable to obtain start transaction log file name]"),
                  std::string::npos)
            << which;
        EXPECT_EQ(out, "untouched");
    }
}

} // namespace
