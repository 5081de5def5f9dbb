// Compressed and encrypted repositories, one row per stored form on each major: the whole road
// (full, log and dump backup, a restore to a point in time, a table from the dump) in that
// form; and for an encrypted repository, no data byte readable anywhere in it, a changed byte
// in a data file, a WAL file or a manifest found by verify and refused by restore, and a wrong
// or missing key refused before anything is read. A streamed row takes the road an object store
// takes (no local path: every file streamed in and out of the storage), with a table larger
// than a stored part (its file stored in parts, one part damaged and one deleted in turn), and
// ends with the backups' removal.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using json = nlohmann::json;

const char* const kMarker = "pgulo-codec-marker-5c1e";
const char* const kPassphraseVariable = "PGULO_REPO_PASSPHRASE";
// Over 64 MiB on disk: its file is stored in two parts.
const char* const kBigTableSql = "CREATE TABLE big AS SELECT g AS id, md5(g::text) AS v "
                                 "FROM generate_series(1, 1300000) g";
const char* const kBigFingerprintSql =
    "SELECT count(*) || ':' || md5(string_agg(md5(v), '' ORDER BY id)) FROM big";

struct CodecRow {
    const char* name;
    // Given to 'instance set' (the instance's defaults) and to every backup.
    std::vector<std::string> defaults;
    std::vector<std::string> backupArgs;
    const char* compression; // as the list shows it
    bool encrypted;
    bool passphrase;
    bool streamed = false;
};

const std::vector<CodecRow>& CodecRows() {
    static const std::vector<CodecRow> rows = {
        {"Zstd3", {}, {"--compress", "zstd:3"}, "zstd:3", false, false},
        {"Lz4EncryptedByDefault", {"--compress", "lz4", "--encrypt"}, {}, "lz4", true, false},
        {"DefaultUnderPassphrase", {}, {"--encrypt"}, "zstd:1", true, true},
    };
    return rows;
}

const std::vector<CodecRow>& StreamedRows() {
    static const std::vector<CodecRow> rows = {
        {"StreamedLz4Encrypted", {}, {"--compress", "lz4", "--encrypt"}, "lz4", true, false, true},
    };
    return rows;
}

// The first file under dir that holds text, or "".
std::string FileHolding(const std::string& dir, const std::string& text) {
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() &&
            TestFiles::Read(entry.path().string()).find(text) != std::string::npos)
            return entry.path().string();
    }
    return "";
}

// The stored copy of a file, with whatever suffix its compression gave it.
std::string StoredCopy(const std::string& stem) {
    for (const char* suffix : {"", ".zst", ".lz4"}) {
        if (fs::exists(stem + suffix))
            return stem + suffix;
    }
    throw std::runtime_error("no stored copy of " + stem);
}

class CliRepositoryCodec : public ::testing::TestWithParam<MajorRow<CodecRow>> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam().major);
        cluster_ = StartCluster(GetParam().major, "codec");
        host_.AddInstance("main", *cluster_, "postgres", "");
        if (Row().passphrase)
            host_.SetVariable(kPassphraseVariable, "correct horse battery staple");
        if (Row().streamed)
            host_.SetVariable("PGULO_TEST_STORAGE_STREAMING", "1");
        if (!Row().defaults.empty()) {
            std::vector<std::string> set = {"instance", "set", "main"};
            set.insert(set.end(), Row().defaults.begin(), Row().defaults.end());
            MustSucceed(host_.Run(set));
        }
    }

    const CodecRow& Row() const { return *GetParam().row; }

    std::string Backup(const std::string& type) {
        std::vector<std::string> args = {"backup", "main", "--type", type, "-q"};
        args.insert(args.end(), Row().backupArgs.begin(), Row().backupArgs.end());
        MustSucceed(host_.Run(args));
        return host_.List("main").back()["id"].get<std::string>();
    }

    ProcessResult Restore(const std::string& target, const std::string& name, bool start) {
        MakeServerDirectory(dirs_.Path(name));
        std::vector<std::string> args = {"restore", "main", "--target-time", target, "--pgdata",
                                         dirs_.Path(name), "-q"};
        if (start)
            args.insert(args.end(), {"--start", "--port", std::to_string(cluster_->port() + 1)});
        return host_.Run(args);
    }

    std::unique_ptr<PgCluster> cluster_;
    PguloHost host_;
    TempTree dirs_{"pgulo-codec"};
};

TEST_P(CliRepositoryCodec, RestoresWhatItStoredAndRefusesWhatWasChanged) {
    cluster_->psql(std::string("CREATE TABLE t AS SELECT g AS id, '") + kMarker +
                   "' || g AS v FROM generate_series(1, 5000) g");
    cluster_->psql("CREATE TABLE kept AS SELECT generate_series(1, 300) AS i");
    if (Row().streamed)
        cluster_->psql(kBigTableSql);
    const std::string fullId = Backup("full");
    cluster_->psql(std::string("INSERT INTO t SELECT g, '") + kMarker +
                   "' FROM generate_series(5001, 5100) g");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string target = cluster_->psql("SELECT clock_timestamp()::text");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster_->psql("INSERT INTO t SELECT g, 'late' FROM generate_series(5101, 5200) g");
    const std::string logId = Backup("log");
    // The only pg_dump at hand is Debian's 15, which dumps servers up to its own major.
    const bool dumps = GetParam().major <= 15;
    if (dumps)
        Backup("dump");

    for (const json& b : host_.List("main")) {
        EXPECT_EQ(b["compression"], Row().compression) << b.dump();
        EXPECT_EQ(b["encrypted"], Row().encrypted) << b.dump();
        EXPECT_LT(b["stored_size"].get<std::uint64_t>(), b["size"].get<std::uint64_t>());
    }
    const ProcessResult verified = host_.Run({"verify", "main", "--all", "-q"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;

    const ProcessResult restored = Restore(target, "restored", true);
    ASSERT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(CountRows(*cluster_, cluster_->port() + 1, "t"), "5100");
    if (Row().streamed) {
        EXPECT_EQ(QueryValue(*cluster_, cluster_->port() + 1, kBigFingerprintSql),
                  cluster_->psql(kBigFingerprintSql));
    }
    StopServer(*cluster_, dirs_.Path("restored"));

    if (dumps) {
        cluster_->psql("DROP TABLE kept");
        const ProcessResult object = host_.Run(
            {"restore", "main", "--database", "postgres", "--object", "table:public.kept"});
        EXPECT_EQ(object.exitCode, 0) << object.out << object.err;
        EXPECT_EQ(cluster_->psql("SELECT count(*) FROM kept"), "300");
    }

    if (!Row().encrypted)
        return;
    EXPECT_NE(FileHolding(cluster_->archiveDir(), kMarker), "") << "the marker is in the WAL";
    EXPECT_EQ(FileHolding(host_.Repository(), kMarker), "") << "readable in the repository";

    const std::string backups = host_.Repository() + "/main/";
    const std::string relation = cluster_->psql("SELECT pg_relation_filepath('t')");
    std::string segment;
    for (const auto& entry : fs::directory_iterator(backups + logId + "/wal"))
        if (entry.path().filename().string().size() >= 24)
            segment = entry.path().string();
    struct Damage {
        const char* what;
        std::string file;
        std::string id;
        std::string found;
        bool deleted = false; // moved away instead of changed
    };
    std::vector<Damage> damages = {
        // Streamed, the table's file is small enough to share a pack with others.
        {"a data file",
         Row().streamed
             ? backups + fullId + "/packs/1"
             : StoredCopy(backups + fullId + "/files" + cluster_->dataDir() + "/" + relation),
         fullId, "is damaged"},
        {"a WAL file", segment, logId, "is damaged"},
        {"a manifest", backups + fullId + "/manifest.json", fullId, "unreadable manifest"},
    };
    if (Row().streamed) {
        const std::string part =
            StoredCopy(backups + fullId + "/files" + cluster_->dataDir() + "/" +
                       cluster_->psql("SELECT pg_relation_filepath('big')")) +
            ".part1";
        damages.push_back(
            {"a part of a file", part, fullId, fs::path(part).filename().string() + " is damaged"});
        damages.push_back({"a deleted part", part, fullId,
                           fs::path(part).filename().string() + " is missing", true});
    }
    int attempt = 0;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        const std::uintmax_t middle = fs::file_size(damage.file) / 2;
        if (damage.deleted)
            fs::rename(damage.file, damage.file + ".away");
        else
            TestFiles::FlipByte(damage.file, middle);
        const ProcessResult verify = host_.Run({"verify", "main", damage.id, "-q"});
        EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;
        EXPECT_NE(verify.out.find(damage.found), std::string::npos) << verify.out;
        const ProcessResult refused = Restore(target, "refused" + std::to_string(++attempt), false);
        EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
        if (damage.deleted)
            fs::rename(damage.file + ".away", damage.file);
        else
            TestFiles::FlipByte(damage.file, middle);
    }

    // A wrong or missing key is refused before any backup is read.
    const std::string keyFile = host_.Home() + "/repository.key";
    if (Row().passphrase) {
        host_.SetVariable(kPassphraseVariable, "Correct horse battery staple");
        ExpectRefused(host_.Run({"list", "main"}), 1, "the repository key does not open");
        host_.SetVariable(kPassphraseVariable, "");
        ExpectRefused(host_.Run({"restore", "main", "--pgdata", dirs_.Path("nokey")}), 1,
                      "set PGULO_REPO_PASSPHRASE");
        host_.SetVariable(kPassphraseVariable, "correct horse battery staple");
        EXPECT_FALSE(fs::exists(keyFile)) << "a passphrase needs no key file";
    } else {
        const std::string key = TestFiles::Read(keyFile);
        EXPECT_EQ(fs::status(keyFile).permissions() & fs::perms::all, fs::perms::owner_read |
                                                                           fs::perms::owner_write);
        fs::remove(keyFile);
        ExpectRefused(host_.Run({"verify", "main", "-q"}), 1, "which is missing");
        TestFiles::Write(keyFile, std::string(32, 'k'));
        ExpectRefused(host_.Run({"list", "main"}), 1, "the repository key does not open");
        TestFiles::Write(keyFile, key);
    }
    const ProcessResult whole = host_.Run({"verify", "main", "--all", "-q"});
    EXPECT_EQ(whole.exitCode, 0) << "everything changed was put back: " << whole.out << whole.err;
    if (!Row().streamed)
        return;

    // Removal: a deleted and an expired backup leave nothing in the repository.
    const std::string newer = Backup("full");
    const ProcessResult deleted = host_.Run({"delete", "main", logId});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.out << deleted.err;
    const ProcessResult expired = host_.Run({"expire", "main", "--retain-full", "1"});
    EXPECT_NE(expired.out.find("removed backup " + fullId), std::string::npos)
        << expired.out << expired.err;
    for (const std::string& id : {logId, fullId})
        EXPECT_FALSE(fs::exists(backups + id)) << id;
    for (const auto& entry : fs::directory_iterator(backups))
        EXPECT_EQ(entry.path().filename().string().rfind(".deleting-", 0), std::string::npos);
    const ProcessResult left = host_.Run({"verify", "main", newer, "-q"});
    EXPECT_EQ(left.exitCode, 0) << left.out << left.err;
}

INSTANTIATE_TEST_SUITE_P(Forms, CliRepositoryCodec,
                         ::testing::ValuesIn(MajorRows({14, 15, 17}, CodecRows())),
                         MajorRowName<CodecRow>);
// Streaming differs from the local copies in the host alone: one major proves it.
INSTANTIATE_TEST_SUITE_P(Streamed, CliRepositoryCodec,
                         ::testing::ValuesIn(MajorRows({15}, StreamedRows())),
                         MajorRowName<CodecRow>);

} // namespace
