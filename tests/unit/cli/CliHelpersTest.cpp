// The backup host's pure helpers: collect file lines, restore placement and exclusions,
// recovery target times, rates, checksums and the manifest's round trip.

#include "BackupLabel.h"
#include "Checksum.h"
#include "pgulo/host/CollectLine.h"
#include "HumanFormat.h"
#include "Manifest.h"
#include "StoredParts.h"
#include "Repository.h"
#include "RestorePlan.h"
#include "TimeText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <tuple>

namespace {

TEST(CollectFileUnescape, TurnsTheThreeEscapesBackIntoBytes) {
    const std::pair<const char*, const char*> cases[] = {
        {"/data/base/1/1234", "/data/base/1/1234"}, {"/data/odd%0Aname", "/data/odd\nname"},
        {"/data/cr%0Dlf%0A", "/data/cr\rlf\n"},      {"/data/100%25", "/data/100%"},
        {"/data/%2525", "/data/%25"},
        // Not one of the agent's escapes: the bytes stay (the log backup's raw lines).
        {"/data/%41", "/data/%41"}, {"/data/%0", "/data/%0"}, {"/data/%", "/data/%"},
        {"%0a", "%0a"},             {"", ""},
    };
    for (const auto& [line, path] : cases)
        EXPECT_EQ(CollectLine::Decode(line), path) << line;
}

TEST(RestoreExclusion, LeavesOutRunTimeFilesAndRebuiltDirectoryContents) {
    const struct {
        const char* relative;
        bool isDirectory, inDataDirectory, excluded;
    } cases[] = {
        {"postmaster.pid", false, true, true},          {"postmaster.opts", false, true, true},
        {"base/1/pg_internal.init", false, true, true},
        {"global/pg_internal.init", false, true, true},
        {"pg_replslot", true, true, false},             {"pg_replslot/slot1", true, true, true},
        {"pg_replslot/slot1/state", false, true, true}, {"pg_dynshmem/mmap.1", false, true, true},
        {"pg_notify/0000", false, true, true},          {"pg_serial/0000", false, true, true},
        {"pg_snapshots/0000-1", false, true, true}, {"pg_stat_tmp/global.stat", false, true, true},
        {"pg_subtrans/0000", false, true, true},        {"base/pgsql_tmp", true, true, false},
        {"base/pgsql_tmp/pgsql_tmp123.0", false, true, true},
        {"PG_17_202406281/pgsql_tmp/pgsql_tmp9.1", false, false, true},
        {"pg_wal/000000010000000000000001", false, true, true},
        {"pg_wal/archive_status", true, true, false},
        {"pg_wal/archive_status/000000010000000000000001.done", false, true, true},
        {"pg_xlog/000000010000000000000001", false, true, true},
        {"global/pg_control", false, true, false},      {"base/1/1259", false, true, false},
        {"postgresql.conf", false, true, false},        {"backup_label", false, true, false},
        // The same names are ordinary in a tablespace or below the top of the data directory.
        {"postmaster.pid", false, false, false},        {"base/pg_replslot/x", false, true, false},
        {"PG_17_202406281/16384/16385", false, false, false}, {"", true, true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RestorePlan::IsExcluded(c.relative, c.isDirectory, c.inDataDirectory), c.excluded)
            << c.relative << (c.inDataDirectory ? " in the data directory" : " in a tablespace");
}

TEST(RestorePlanPaths, NormalizesAndComparesByWholeComponents) {
    EXPECT_EQ(RestorePlan::Normalize("/a//b/./c/"), "/a/b/c");
    EXPECT_EQ(RestorePlan::Normalize("/"), "/");
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"/data/base", "/data", true}, {"/data", "/data", true}, {"/database", "/data", false},
        {"/dat", "/data", false},      {"/x", "/", true}};
    for (const auto& [path, root, under] : cases)
        EXPECT_EQ(RestorePlan::IsUnder(path, root), under) << path << " " << root;
}

ManifestEntry Entry(const std::string& path, ManifestEntry::Kind kind,
                    const std::string& target = "") {
    ManifestEntry e;
    e.path = path;
    e.kind = kind;
    e.target = target;
    e.stored = kind == ManifestEntry::Kind::File ? "files" + path : "";
    e.mode = kind == ManifestEntry::Kind::Directory ? 040700 : 0100600;
    return e;
}

// A backed-up cluster at /pg/data with a tablespace at /ts/one, a pg_wal linked to /wal/x
// and a configuration file kept in /etc.
Manifest SampleManifest() {
    using K = ManifestEntry::Kind;
    Manifest m;
    m.id = "20261206-101500F";
    m.dataDirectory = "/pg/data";
    m.configFile = "/etc/pg/postgresql.conf";
    m.folders = {"/ts/one", "/wal/x"};
    m.entries = {Entry("/etc/pg/postgresql.conf", K::File), Entry("/pg/data", K::Directory),
                 Entry("/pg/data/global", K::Directory),
                 Entry("/pg/data/global/pg_control", K::File),
                 Entry("/pg/data/global/1262", K::File), Entry("/pg/data/postmaster.pid", K::File),
                 Entry("/pg/data/pg_tblspc", K::Directory),
                 Entry("/pg/data/pg_tblspc/16384", K::Symlink, "/ts/one"),
                 Entry("/ts/one", K::Directory), Entry("/ts/one/PG_17_1/5/16385", K::File),
                 Entry("/pg/data/pg_wal", K::Symlink, "/wal/x"), Entry("/wal/x", K::Directory),
                 Entry("/wal/x/archive_status", K::Directory),
                 Entry("/wal/x/000000010000000000000003", K::File),
                 Entry("/pg/data/pg_replslot", K::Directory),
                 Entry("/pg/data/pg_replslot/s/state", K::File),
                 Entry("/archive/000000010000000000000003", K::File)};
    m.entries.back().role = ManifestEntry::Role::Wal;
    return m;
}

RestorePlan Plan(const std::string& pgdata,
                 std::vector<std::pair<std::string, std::string>> linkMap = {}) {
    RestorePlan::Options options;
    options.pgdata = pgdata;
    options.linkMap = std::move(linkMap);
    static const Manifest manifest = SampleManifest(); // the plan refers to it
    return RestorePlan(manifest, options);
}

// The kind of action at each destination; a symlink's with its target.
std::map<std::string, std::string> Actions(const RestorePlan& plan) {
    const char* const kinds[] = {"dir", "file", "link"};
    std::map<std::string, std::string> actions;
    for (const auto& a : plan.Actions())
        actions[a.destination] = kinds[static_cast<int>(a.kind)] +
                                 (a.linkTarget.empty() ? "" : " " + a.linkTarget);
    return actions;
}

TEST(RestorePlanPlacement, InPlaceKeepsEveryPathAndLeavesOutRunTimeFiles) {
    const RestorePlan plan = Plan("");
    EXPECT_TRUE(plan.InPlace());
    EXPECT_EQ(plan.MapPath("/pg/data/global/1262"), "/pg/data/global/1262");
    EXPECT_EQ(plan.MapPath("/etc/pg/postgresql.conf"), "/etc/pg/postgresql.conf");
    const auto actions = Actions(plan);
    for (const char* left : {"/pg/data/postmaster.pid", "/pg/data/pg_replslot/s/state",
                             "/wal/x/000000010000000000000003", // WAL comes from the archive
                             "/archive/000000010000000000000003"})
        EXPECT_EQ(actions.count(left), 0u) << left;
    EXPECT_EQ(actions.at("/pg/data/pg_replslot"), "dir");
    EXPECT_EQ(actions.at("/wal/x/archive_status"), "dir");
    EXPECT_EQ(plan.Actions().back().destination, "/pg/data/global/pg_control");
    EXPECT_EQ(plan.Actions().front().kind, RestorePlan::Action::Kind::MakeDirectory);
}

TEST(RestorePlanPlacement, MovedClusterRemapsTablespaceAndFoldsLinkedWal) {
    const RestorePlan plan = Plan("/new/data/", {{"/ts/one", "/new/ts"}});
    EXPECT_FALSE(plan.InPlace());
    const std::pair<const char*, const char*> paths[] = {
        {"/pg/data/global/1262", "/new/data/global/1262"},
        {"/ts/one/PG_17_1/5/16385", "/new/ts/PG_17_1/5/16385"},
        {"/wal/x/archive_status", "/new/data/pg_wal/archive_status"},
        {"/etc/pg/postgresql.conf", "/new/data.external/etc/pg/postgresql.conf"},
        {"/pg/database/x", "/new/data.external/pg/database/x"}};
    for (const auto& [from, to] : paths)
        EXPECT_EQ(plan.MapPath(from), to);
    const auto actions = Actions(plan);
    EXPECT_EQ(actions.at("/new/data/pg_tblspc/16384"), "link /new/ts");
    EXPECT_EQ(actions.at("/new/data/pg_wal"), "dir") << "no link to the old WAL";
    EXPECT_EQ(plan.ExternalFiles(),
              std::vector<std::string>{"/new/data.external/etc/pg/postgresql.conf"});
    EXPECT_EQ(plan.RewriteTablespaceMap("16384 /ts/one\n99 /elsewhere\n"),
              "16384 /new/ts\n99 /elsewhere\n");

    // A tablespace left where it was may belong to the backed-up cluster itself.
    bool shared = false;
    const RestorePlan unmapped = Plan("/new/data");
    for (const auto& root : unmapped.Roots())
        shared = shared || (root.destination == "/ts/one" && root.sharedWithSource);
    EXPECT_TRUE(shared);
}

TEST(RestorePlanPlacement, RefusesUnknownOrRelativeMappings) {
    EXPECT_THROW(Plan("", {{"/not/a/tablespace", "/x"}}), std::invalid_argument);
    EXPECT_THROW(Plan("", {{"/ts/one", "relative/dir"}}), std::invalid_argument);
    EXPECT_EQ(Plan("", {{"/pg/data/pg_tblspc/16384", "/by/link"}}).MapPath("/ts/one/f"),
              "/by/link/f");
}

TEST(TimeTextParse, AcceptsDatesWithZonesAndRefusesTheRest) {
    const std::int64_t base = 1796552100LL * 1000000;
    const std::string blanks(100000, ' ');
    const std::pair<std::string, std::int64_t> cases[] = {
        {"2026-12-06 10:15:00+00", base},
        {"2026-12-06T10:15:00Z", base},
        {"2026-12-06 11:15:00.25+01:00", base + 250000},
        {"2026-12-06 08:45:00.123456-0130", base + 123456},
        // However many blanks surround a time, reading it costs no more stack than the time.
        {blanks + "2026-12-06 10:15:00+00" + blanks, base},
        {"2026-12-06 10:15:00" + blanks + "+00", -1},
        {"", -1}, {"yesterday", -1}, {"2026-12-06", -1}, {"2026-13-01 00:00", -1},
        {"2025-02-29 00:00", -1}, {"2026-12-06 24:00", -1}, {"2026-12-06 10:60", -1},
        {"2026-12-06 10:15:61", -1}, {"2026-12-06 10:15:00+25", -1},
        {"2026-12-06 10:15:00.1234567", -1}, {"2026-12-06 10:15:00 +00 extra", -1},
    };
    for (const auto& [text, micros] : cases) {
        std::int64_t t = -1;
        EXPECT_EQ(TimeText::Parse(text, t) ? t : -1, micros) << text.substr(0, 40);
    }
    std::int64_t t = 0;
    ASSERT_TRUE(TimeText::Parse(" 2024-02-29 23:59:59 UTC ", t));
    EXPECT_EQ(TimeText::ForServer(t), "2024-02-29 23:59:59.000000+00");

    // A local time without a zone round-trips through the server's form.
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    ASSERT_TRUE(TimeText::Parse("2026-07-01 12:00:00", t));
    EXPECT_EQ(TimeText::ForServer(t), "2026-07-01 10:00:00.000000+00");
    EXPECT_EQ(TimeText::Local(t), "2026-07-01 12:00:00+02:00");
    EXPECT_EQ(TimeText::IdStem(t), "20260701-120000");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(HumanFormatRate, ParsesBinaryUnitsAndRefusesNonsense) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"1", 1}, {"512k", 512u * 1024}, {"20M", 20u * 1024 * 1024}, {"1G", 1024u * 1024 * 1024},
        {"", 0}, {"0", 0}, {"0M", 0}, {"M", 0}, {"-1", 0}, {"1.5M", 0}, {"20MB", 0},
        {"fast", 0}, {"99999999999999999999", 0},
    };
    for (const auto& [text, expected] : cases) {
        std::uint64_t rate = 0;
        EXPECT_EQ(HumanFormat::ParseRate(text, rate), expected != 0) << text;
        EXPECT_EQ(rate, expected) << text;
    }
    EXPECT_EQ(HumanFormat::Bytes(1023), "1023 B");
    EXPECT_EQ(HumanFormat::Bytes(1536), "1.5 KiB");
    EXPECT_EQ(HumanFormat::Duration(59.4), "59s");
    EXPECT_EQ(HumanFormat::Duration(187), "3m07s");
    EXPECT_EQ(HumanFormat::Duration(3720), "1h02m");
}

TEST(ChecksumSha256, MatchesTheKnownDigestAndFeedsInPieces) {
    Checksum pieces;
    pieces.update("a", 1);
    pieces.update("bc", 2);
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(pieces.finish(), abc);
    EXPECT_EQ(Checksum::ofText("abc"), abc);
}

TEST(ManifestJson, RoundTripsAndRefusesOtherFormatsAndNumbersOutOfRange) {
    Manifest m = SampleManifest();
    m.type = "full";
    m.startWal = "000000010000000000000003";
    m.tablespaces = {{"16384", "ts", "/ts/one"}};
    m.entries[0].checksum = "abc";
    m.entries[0].size = 42;
    const Manifest back = Manifest::FromJson(m.ToJson());
    EXPECT_EQ(back.ToJson(), m.ToJson());

    // What was written before stored forms: every file plain, its stored size its own.
    nlohmann::json old = m.ToJson();
    EXPECT_EQ(old["format"], Manifest::kPlainFormat);
    for (const char* field : {"compression", "encrypted", "stored_bytes"})
        old.erase(field);
    old["entries"][0].erase("stored_size");
    const Manifest plain = Manifest::FromJson(old);
    EXPECT_EQ(plain.entries[0].storedSize, 42u);
    EXPECT_EQ(plain.entries[0].compression, Compression::Algorithm::None);
    EXPECT_FALSE(plain.entries[0].encrypted || plain.encrypted);
    m.entries[0].compression = Compression::Algorithm::Zstd;
    m.entries[0].encrypted = true;
    EXPECT_EQ(m.ToJson()["format"], Manifest::kFormat);
    EXPECT_EQ(Manifest::FromJson(m.ToJson()).ToJson(), m.ToJson());

    // A copy in parts: their sizes kept, and a format older readers refuse; each part's name.
    m.entries[0].partSizes = {7, 9};
    EXPECT_EQ(m.ToJson()["format"], Manifest::kPartsFormat);
    EXPECT_EQ(Manifest::FromJson(m.ToJson()).entries[0].partSizes, m.entries[0].partSizes);
    EXPECT_EQ(StoredParts::Names("files/a.zst", 3),
              (std::vector<std::string>{"files/a.zst", "files/a.zst.part1", "files/a.zst.part2"}));
    EXPECT_EQ(StoredParts::Count(StoredParts::kPartSize * 2 + 1), 3u);


    // A packed file: a newer format, its place in the pack kept.
    m.entries[0].partSizes.clear();
    m.entries[0].packed = true;
    m.entries[0].packOffset = 8192;
    EXPECT_EQ(m.ToJson()["format"], Manifest::kPackFormat);
    EXPECT_EQ(Manifest::FromJson(m.ToJson()).entries[0].packOffset, 8192u);
    EXPECT_EQ(Manifest::FromJson(m.ToJson()).ToJson(), m.ToJson());

    nlohmann::json future = m.ToJson();
    future["format"] = Manifest::kPackFormat + 1;
    EXPECT_THROW(Manifest::FromJson(future), std::runtime_error);
    nlohmann::json broken = m.ToJson();
    broken["entries"][0]["type"] = "fifo";
    EXPECT_THROW(Manifest::FromJson(broken), std::runtime_error);
    broken.erase("entries");
    EXPECT_THROW(Manifest::FromJson(broken), std::runtime_error);

    // A number that is fractional or beyond its field's range is refused, not cast.
    const std::pair<const char*, nlohmann::json> numbers[] = {
        {"/format", 1e300},      {"/start_time_us", -1e300}, {"/end_time_us", 1e19},
        {"/job_id", -1},         {"/entries/0/mode", -1.5},  {"/entries/0/mode", 4294967296ull},
        {"/entries/0/uid", 0.5}, {"/entries/0/size", -1},    {"/entries/0/mtime", 1e30},
        {"/entries/0/part_sizes", -1},   {"/entries/0/part_sizes/1", -2},
    };
    for (const auto& [field, value] : numbers) {
        nlohmann::json json = m.ToJson();
        json[nlohmann::json::json_pointer(field)] = value;
        EXPECT_THROW(Manifest::FromJson(json), std::runtime_error) << field << " " << value;
    }
}

// A full backup keeps only the label its own job's backup mode wrote.
TEST(BackupLabelOwner, RecognisesOnlyTheLabelOfTheJob) {
    const std::string head = "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                             "CHECKPOINT LOCATION: 0/2000060\nBACKUP METHOD: streamed\n";
    const struct {
        std::string label;
        bool ours;
    } cases[] = {
        {"pgulo_backup_5432_1765000000123_1765000000", true},
        {"pgulo_backup_/tmp/sock:5432_1765000000123_1765000000", true},
        {"pgulo_backup_5432_1765000000124_1765000000", false}, // another job
        {"pgulo_backup_5432_11765000000123_1765000000", false},
        {"pgulo_backup_5432_1765000000123_", false},
        {"pgulo_backup_5432_1765000000123_17650x", false},
        {"", false},
    };
    for (const auto& c : cases) {
        const std::string file = head + "LABEL: " + c.label + "\nSTART TIMELINE: 1\n";
        EXPECT_EQ(BackupLabel::IsOfJob(file, 1765000000123ull), c.ours) << c.label;
    }
    EXPECT_FALSE(BackupLabel::IsOfJob(head, 1765000000123ull)) << "no LABEL line";
}

TEST(RepositoryStatus, ReadsItsFieldsAndRefusesNumbersOutOfRange) {
    BackupRecord record;
    EXPECT_EQ(Repository::ParseStatus(R"({"type": "log", "state": "failed", "message": "killed",
                                          "pid": 4242, "start_time_us": 1796595301002211})",
                                      record),
              4242);
    EXPECT_EQ(record.type, "log");
    EXPECT_EQ(record.recordedState, "failed");
    EXPECT_EQ(record.message, "killed");
    EXPECT_EQ(record.startMicros, 1796595301002211);
    for (const char* text : {R"({"pid": 1e30})", R"({"pid": 1.5})", R"({"start_time_us": -1e300})",
                             R"({"start_time_us": 18446744073709551615})", "[1]", "{"})
        EXPECT_THROW(Repository::ParseStatus(text, record), std::exception) << text;
}

} // namespace
