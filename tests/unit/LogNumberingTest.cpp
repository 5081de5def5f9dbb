// How a log backup steps from one WAL segment file name to the next, and how many segments a
// log id holds for the segment size and server release at hand.
#include "logbackup/PGLogBackup.h"

#include "pgulo/PGException.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A throwaway host home, job results directory, archive and data directory.
class Sandbox {
public:
    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "pgulo-lognum-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        for (const char* dir : {"home", "jobresults", "archive", "data", "data/pg_wal", "config"})
            fs::create_directories(root_ + "/" + dir);
        ::setenv("PGULO_HOME", (root_ + "/home").c_str(), 1);
        EvDebug::reloadSettings();
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        ::unsetenv("PGULO_HOME");
        EvDebug::reloadSettings();
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::string path(const std::string& name) const { return root_ + "/" + name; }
    void touch(const std::string& name) const { std::ofstream(path(name)) << "wal"; }

    PGLogBackup::OfflineSetup job(const std::string& version,
                                  std::optional<std::string> walSegmentSize) const {
        PGLogBackup::OfflineSetup setup;
        setup.base.jobId = 7;
        setup.base.jobResultsDir = path("jobresults");
        setup.base.archiveLogDir = path("archive");
        setup.base.serverVersion = version;
        setup.base.settings = {{"data_directory", path("data")},
                               {"config_file", path("data/postgresql.conf")}};
        if (walSegmentSize)
            setup.base.settings["wal_segment_size"] = *walSegmentSize;
        setup.base.exclude = false;
        setup.configDir = path("config");
        setup.port = "5432";
        setup.type = PG_LOG_INCR_BACKUP;
        setup.lastLogNumber = "000000010000000000000001";
        setup.logTmpFileName = "pgulo_log_tmp.txt";
        return setup;
    }

private:
    std::string root_;
};

constexpr std::uint64_t k16MbBefore93 = 0xFE;
constexpr std::uint64_t k16MbFrom93 = 0xFF;
constexpr std::uint64_t k64MbBefore93 = 62;
constexpr std::uint64_t k64MbFrom93 = 63;
constexpr std::uint64_t k1GbBefore93 = 2;
constexpr std::uint64_t k1GbFrom93 = 3;

struct Step {
    const char* current;
    std::uint64_t maxSegmentNum;
    const char* next;
};

void PrintTo(const Step& s, std::ostream* os) {
    *os << s.current << " (last segment " << s.maxSegmentNum << ") -> " << s.next;
}

class NextLogNumberTable : public ::testing::TestWithParam<Step> {};

TEST_P(NextLogNumberTable, StepsToTheFollowingSegment) {
    const Step& step = GetParam();
    EXPECT_EQ(PGLogBackup::NextLogNumber(step.current, step.maxSegmentNum), step.next);
}

INSTANTIATE_TEST_SUITE_P(
    SegmentSizesAndReleases, NextLogNumberTable,
    ::testing::Values(
        // 16 MB segments: 9.3 and later use FF, earlier releases stop at FE.
        Step{"000000010000000000000000", k16MbFrom93, "000000010000000000000001"},
        Step{"0000000100000003000000FE", k16MbFrom93, "0000000100000003000000FF"},
        Step{"0000000100000003000000FF", k16MbFrom93, "000000010000000400000000"},
        Step{"0000000100000003000000FD", k16MbBefore93, "0000000100000003000000FE"},
        Step{"0000000100000003000000FE", k16MbBefore93, "000000010000000400000000"},
        Step{"00000001FFFFFFFE000000FF", k16MbFrom93, "00000001FFFFFFFF00000000"},
        // 64 MB segments: 64 per log id.
        Step{"00000001000000050000003D", k64MbBefore93, "00000001000000050000003E"},
        Step{"00000001000000050000003E", k64MbBefore93, "000000010000000600000000"},
        Step{"00000001000000050000003E", k64MbFrom93, "00000001000000050000003F"},
        Step{"00000001000000050000003F", k64MbFrom93, "000000010000000600000000"},
        // 1 GB segments: 4 per log id.
        Step{"000000020000000A00000002", k1GbBefore93, "000000020000000B00000000"},
        Step{"000000020000000A00000002", k1GbFrom93, "000000020000000A00000003"},
        Step{"000000020000000A00000003", k1GbFrom93, "000000020000000B00000000"},
        // The time line is carried over as it stands.
        Step{"0000000A00000000000000F3", k16MbFrom93, "0000000A00000000000000F4"},
        Step{"0000000a00000000000000FE", k16MbBefore93, "0000000a0000000100000000"},
        // Lower-case digits are read; the new name is written in upper case.
        Step{"00000001000000030000000a", k16MbFrom93, "00000001000000030000000B"},
        Step{"00000001000000ab000000ff", k16MbFrom93, "00000001000000AC00000000"},
        // A segment number past the last one starts the next log id.
        Step{"000000010000000300000100", k16MbFrom93, "000000010000000400000000"},
        // A non-hexadecimal character ends the number where it stands.
        Step{"000000010000000300000005.partial", k16MbFrom93, "000000010000000300000006"},
        Step{"000000010000000G00000001", k16MbFrom93, "000000010000000000000002"},
        Step{"0000000100000003000000F", k16MbFrom93, "000000010000000300000010"},
        Step{"00000001000000030", k16MbFrom93, "000000010000000300000001"}));

class GarbledLogNumber : public ::testing::TestWithParam<const char*> {};

TEST_P(GarbledLogNumber, IsRefused) {
    try {
        PGLogBackup::NextLogNumber(GetParam(), k16MbFrom93);
        FAIL() << "no exception for [" << GetParam() << "]";
    } catch (const PGException& e) {
        EXPECT_NE(std::string(e.what()).find("Log file names should be Hex"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("APPLICATION_EXCEPTION"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(NotASegmentName, GarbledLogNumber,
                         ::testing::Values("", "0000000100000003", "00000001XXXXXXXX00000001",
                                           "0000000100000003 0000001", "0000000100000003x0000001",
                                           "0000000100000003FFFFFFFFF",
                                           "garbage-garbage-garbage!"));

TEST(HexDigits, ConvertBothWaysForEverySixteenValues) {
    const std::string digits = "0123456789ABCDEF";
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(PGLogBackup::ConvertDecimalToHex(value), digits[value]);
        EXPECT_EQ(PGLogBackup::ConvertHexToDecimal(digits[value]), value);
    }
}

TEST(HexDigits, RefuseValuesAndCharactersOutsideTheUpperCaseDigits) {
    for (int value : {-1, 16, 255})
        EXPECT_THROW(PGLogBackup::ConvertDecimalToHex(value), PGException) << value;
    for (char digit : {'a', 'f', 'G', 'g', ' ', '/', ':', '@', '\0'})
        EXPECT_THROW(PGLogBackup::ConvertHexToDecimal(digit), PGException) << int(digit);
}

struct SegmentSetup {
    std::optional<std::string> serverValue;
    std::optional<std::string> registryValue;
    std::uint64_t maxSegmentNum; // 0: construction must fail
};

void PrintTo(const SegmentSetup& s, std::ostream* os) {
    *os << "server " << s.serverValue.value_or("(unreadable)") << ", registry "
        << s.registryValue.value_or("(unset)");
}

class SegmentRange : public ::testing::TestWithParam<SegmentSetup> {};

TEST_P(SegmentRange, FollowsTheServerUnlessTheRegistrySaysOtherwise) {
    Sandbox sandbox;
    const SegmentSetup& setup = GetParam();
    if (setup.registryValue) {
        ASSERT_TRUE(
            KXPlatformInfo().setString("PostGres", "sWalSegmentSize", *setup.registryValue));
    }
    if (setup.maxSegmentNum == 0) {
        try {
            PGLogBackup job(sandbox.job("14.2", setup.serverValue));
            FAIL() << "constructed with last segment " << job.GetMaxSegmentNum();
        } catch (const PGException& e) {
            EXPECT_NE(std::string(e.what()).find("WAL segment range is Zero"), std::string::npos)
                << e.what();
        }
        return;
    }
    PGLogBackup job(sandbox.job("14.2", setup.serverValue));
    EXPECT_EQ(job.GetMaxSegmentNum(), setup.maxSegmentNum);
}

INSTANTIATE_TEST_SUITE_P(
    ServerAndRegistry, SegmentRange,
    ::testing::Values(
        SegmentSetup{"16MB", std::nullopt, 254}, SegmentSetup{"64MB", std::nullopt, 62},
        SegmentSetup{"1GB", std::nullopt, 2}, SegmentSetup{"1024KB", std::nullopt, 4094},
        SegmentSetup{std::nullopt, std::nullopt, 254}, SegmentSetup{"16MB", "64MB", 62},
        SegmentSetup{"1GB", "16MB", 254}, SegmentSetup{"16MB", "1GB", 2},
        SegmentSetup{"1GB", "0MB", 254}, SegmentSetup{"1GB", "MB", 254},
        SegmentSetup{"64MB", "", 62}, SegmentSetup{"16MB", "2048KB", 2046},
        // Sizes that give no segment range at all.
        SegmentSetup{"0MB", std::nullopt, 0}, SegmentSetup{"garbage", std::nullopt, 0},
        SegmentSetup{"16MB", "4GB", 0}, SegmentSetup{"16MB", "99999999999GB", 0},
        SegmentSetup{"16MB", "2GB", 0}, SegmentSetup{"16MB", "3MB", 0},
        SegmentSetup{"16MB", "512KB", 0}, SegmentSetup{"512KB", std::nullopt, 0},
        SegmentSetup{"8192MB", std::nullopt, 0}));

// The job steps through an archive exactly as the server named the segments: releases before
// 9.3 never wrote segment FF, later ones do.
struct ReleaseWalk {
    const char* version;
    std::vector<std::string> expected;
};

void PrintTo(const ReleaseWalk& w, std::ostream* os) {
    *os << "release " << w.version;
}

class ReleaseBoundary : public ::testing::TestWithParam<ReleaseWalk> {};

TEST_P(ReleaseBoundary, TakesTheSegmentsTheReleaseWrote) {
    Sandbox sandbox;
    const std::vector<std::string> archived = {
        "0000000100000000000000FD", "0000000100000000000000FE", "0000000100000000000000FF",
        "000000010000000100000000", "000000010000000100000001", "000000010000000100000002"};
    for (const std::string& name : archived)
        sandbox.touch("archive/" + name);
    auto setup = sandbox.job(GetParam().version, "16MB");
    setup.lastLogNumber = "0000000100000000000000FD";
    PGLogBackup job(setup);
    job.SetCurrentLastLog("000000010000000100000001");

    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    job.GenerateCollectFile(&collectFiles, &files);

    std::vector<std::string> expected;
    for (const std::string& name : GetParam().expected)
        expected.push_back(sandbox.path("archive/" + name));
    expected.push_back(job.LogTmpFilePath());
    expected.push_back(sandbox.path("archive"));
    ASSERT_EQ(job.GetCollectFileList().size(), 1u);
    std::ifstream collect(job.GetCollectFileList().front());
    std::vector<std::string> lines;
    for (std::string line; std::getline(collect, line);)
        lines.push_back(line);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(collectFiles, 1u);
    EXPECT_EQ(files, GetParam().expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Before93AndAfter, ReleaseBoundary,
    ::testing::Values(ReleaseWalk{"9.2.24",
                                  {"0000000100000000000000FE", "000000010000000100000000",
                                   "000000010000000100000001"}},
                      ReleaseWalk{"9.3.0",
                                  {"0000000100000000000000FE", "0000000100000000000000FF",
                                   "000000010000000100000000", "000000010000000100000001"}},
                      ReleaseWalk{"14.2",
                                  {"0000000100000000000000FE", "0000000100000000000000FF",
                                   "000000010000000100000000", "000000010000000100000001"}}));

} // namespace
