// What a full backup job decides without asking its server: the WAL segment size it works
// with (16 MiB unless the registry value "sWalSegmentSize" of section "PostGres" says
// otherwise) and the refusal of a log boundary it does not know.

#include "TempHostHome.h"

#include "fsbackup/PGFsBackup.h"
#include "pgulo/host/KXPlatformInfo.h"

#include "pgulo/PGException.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pgulo::test::TempHostHome;

TEST(FsBackupSegmentSize, ComesFromTheRegistryWithItsUnit) {
    struct Case {
        const char* value; // nullptr: the key is not set
        unsigned long long bytes;
    } const cases[] = {
        {nullptr, 16777216ULL}, {"16MB", 16777216ULL},  {"64MB", 67108864ULL},
        {"1GB", 1073741824ULL}, {"64KB", 65536ULL},     {"0MB", 16777216ULL},
        {"MB", 16777216ULL},    {"", 16777216ULL},      {"32XB", 33554432ULL},
        {"-4MB", 16777216ULL},  {"2GB", 2147483648ULL}, {"512KB", 524288ULL},
    };
    for (const Case& c : cases) {
        TempHostHome home;
        if (c.value != nullptr) {
            KXPlatformInfo registry;
            ASSERT_TRUE(registry.setString("PostGres", "sWalSegmentSize", c.value));
        }
        PGFsBackup::OfflineSetup setup;
        setup.jobResultsDir = home.path();
        PGFsBackup job(setup);
        EXPECT_EQ(job.getWalSegmentSize(), c.bytes) << (c.value ? c.value : "(not set)");
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
        try {
            job.GetLogFilesNeeded(&out, which);
            ADD_FAILURE() << which;
        } catch (const PGException& e) {
            EXPECT_NE(std::string(e.what()).find(
                          "Msg:[Unable to obtain start transaction log file name]"),
                      std::string::npos);
        }
        EXPECT_EQ(out, "untouched");
    }
}

} // namespace
