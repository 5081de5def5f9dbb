// Damaged repositories, one row per kind of damage: `pgulo verify` must fail and name the
// damaged file, and `pgulo restore` must refuse rather than restore what it cannot trust.
//
// Per PostgreSQL major one cluster is backed up once (a full backup, then a log backup holding
// several WAL segments); each row damages the stored copies of a pristine repository.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using json = nlohmann::json;

const char* const kInstance = "main";
constexpr int kLogSegments = 3;
// Room for a full backup and a log backup of a small cluster, and for a restore of them.
constexpr int kRepositoryMb = 512;

void EditJson(const std::string& path, const std::function<void(json&)>& edit) {
    json document = json::parse(TestFiles::Read(path));
    edit(document);
    TestFiles::Write(path, document.dump(1) + "\n");
}

// One major's cluster, its full and log backup, and where their files are stored. The
// repository and its pristine copy, put back before every row, live in memory: every row
// reads the repository whole, and a busy disk would make the table slow for no gain.
class CorruptionStage {
public:
    explicit CorruptionStage(int major)
        : major_(major), repository_(host_.Repository(), kRepositoryMb),
          pristine_(host_.Home() + "/pristine", kRepositoryMb) {
        cluster_ = StartCluster(major, "corruption");
        host_.AddInstance(kInstance, *cluster_, "postgres", "");
        // The rows damage stored copies where they know the original's bytes to be.
        MustSucceed(host_.Run({"instance", "set", kInstance, "--compress", "none"}));
        cluster_->psql("CREATE TABLE t AS SELECT g AS id, md5(g::text) AS v "
                       "FROM generate_series(1, 20000) g");
        relation_ = cluster_->psql("SELECT pg_relation_filepath('t')");
        catalog_ = cluster_->psql("SELECT pg_relation_filepath('pg_class')");
        fullId_ = Backup("full");
        for (int i = 0; i < kLogSegments; ++i) {
            cluster_->psql("INSERT INTO t SELECT g, 'more' FROM generate_series(1, 1000) g");
            cluster_->switchWal();
        }
        logId_ = Backup("log");
        for (const std::string& id : {fullId_, logId_}) {
            const ProcessResult sound = host_.Run({"verify", kInstance, id, "-q"});
            if (sound.exitCode != 0 || sound.out.find("no problems") == std::string::npos)
                throw std::runtime_error("the pristine backup " + id +
                                         " does not verify: " + sound.out + sound.err);
        }
        fs::copy(Backups(), pristine_.path() + "/" + kInstance, fs::copy_options::recursive);
    }

    void PutPristineBack() const {
        fs::remove_all(Backups());
        fs::copy(pristine_.path() + "/" + kInstance, Backups(), fs::copy_options::recursive);
    }

    int major() const { return major_; }
    const PguloHost& host() const { return host_; }
    const std::string& FullId() const { return fullId_; }
    const std::string& LogId() const { return logId_; }
    std::string FullDir() const { return Backups() + "/" + fullId_; }
    std::string LogDir() const { return Backups() + "/" + logId_; }
    // The manifest's name of a stored file of the data directory, by its path in there.
    std::string StoredName(const std::string& relative) const {
        return "files" + cluster_->dataDir() + "/" + relative;
    }
    std::string Stored(const std::string& relative) const {
        return FullDir() + "/" + StoredName(relative);
    }
    const std::string& Relation() const { return relation_; }
    const std::string& Catalog() const { return catalog_; }
    std::string StoredLabel() const {
        // From 15 on the job hands the label back and the host stores it beside the files.
        return major_ >= 15 ? FullDir() + "/meta/backup_label" : Stored("backup_label");
    }
    // The WAL segments the log backup holds, oldest first.
    std::vector<std::string> LogSegments() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(LogDir() + "/wal")) {
            const std::string name = entry.path().filename().string();
            if (name.size() == 24 &&
                name.find_first_not_of("0123456789ABCDEF") == std::string::npos)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string Backup(const std::string& type) {
        const ProcessResult r = host_.Run({"backup", kInstance, "--type", type, "-q"});
        if (r.exitCode != 0)
            throw std::runtime_error("the " + type + " backup failed: " + r.out + r.err);
        return host_.List(kInstance).back()["id"].get<std::string>();
    }
    std::string Backups() const { return host_.Repository() + "/" + kInstance; }

    int major_;
    PguloHost host_;
    TmpfsMount repository_;
    TmpfsMount pristine_;
    std::unique_ptr<PgCluster> cluster_;
    std::string relation_;
    std::string catalog_;
    std::string fullId_;
    std::string logId_;
};

// The manifest entry of the stored file.
json& EntryOf(json& manifest, const std::string& stored) {
    for (json& entry : manifest["entries"]) {
        if (entry.value("stored", "") == stored)
            return entry;
    }
    throw std::runtime_error("the manifest has no entry for " + stored);
}

// ---- The damage. Each returns the name verify must report. ----

std::string EditManifestSize(CorruptionStage& s) {
    const std::string stored = s.StoredName(s.Relation());
    EditJson(s.FullDir() + "/manifest.json", [&](json& m) {
        json& entry = EntryOf(m, stored);
        entry["size"] = entry["size"].get<std::uint64_t>() + 8192;
    });
    return s.Relation();
}

std::string EditManifestChecksum(CorruptionStage& s) {
    const std::string stored = s.StoredName(s.Relation());
    EditJson(s.FullDir() + "/manifest.json", [&](json& m) {
        std::string checksum = EntryOf(m, stored)["checksum"];
        checksum.back() = checksum.back() == '0' ? '1' : '0';
        EntryOf(m, stored)["checksum"] = checksum;
    });
    return s.Relation();
}

// A segment gone from the middle of the chain, and from the manifest too: what a backup that
// lost a segment while it ran would look like. Only the chain check can see it.
std::string RemoveSegmentFromChain(CorruptionStage& s) {
    const std::vector<std::string> segments = s.LogSegments();
    const std::string segment = segments.at(segments.size() / 2);
    fs::remove(s.LogDir() + "/wal/" + segment);
    EditJson(s.LogDir() + "/manifest.json", [&](json& m) {
        json& entries = m["entries"];
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->value("stored", "") != "wal/" + segment)
                continue;
            m["file_count"] = m["file_count"].get<std::uint64_t>() - 1;
            m["total_bytes"] =
                m["total_bytes"].get<std::uint64_t>() - (*it)["size"].get<std::uint64_t>();
            entries.erase(it);
            return;
        }
        throw std::runtime_error("the log backup's manifest does not list " + segment);
    });
    return segment;
}

std::string EditBackupLabel(CorruptionStage& s) {
    const std::string path = s.StoredLabel();
    std::string label = TestFiles::Read(path);
    const std::size_t digit = label.find_first_of("0123456789", label.find("START WAL LOCATION"));
    if (digit == std::string::npos)
        throw std::runtime_error("no START WAL LOCATION in " + path);
    label[digit] = label[digit] == '9' ? '8' : '9';
    TestFiles::Write(path, label);
    return "backup_label";
}

// ---- The table. ----

struct CorruptionRow {
    const char* name;
    std::function<std::string(CorruptionStage&)> damage;
    // Which backup verify is asked about.
    bool logBackup;
    // Also found in the output of verify and of the refused restore, when given.
    const char* verifyText = "";
    const char* restoreText = "";
};

const std::vector<CorruptionRow>& CorruptionRows() {
    static const std::vector<CorruptionRow> rows = {
        {"FlippedByteInDataFile",
         [](CorruptionStage& s) {
             TestFiles::FlipByte(s.Stored(s.Relation()), 4000);
             return s.Relation();
         },
         false, "checksum mismatch", "damaged"},
        {"TruncatedDataFile",
         [](CorruptionStage& s) {
             fs::resize_file(s.Stored(s.Catalog()), fs::file_size(s.Stored(s.Catalog())) / 2);
             return s.Catalog();
         },
         false},
        {"DeletedDataFile",
         [](CorruptionStage& s) {
             fs::remove(s.Stored(s.Relation()));
             return s.Relation();
         },
         false},
        {"ExtraFileInBackup",
         [](CorruptionStage& s) {
             TestFiles::Write(s.Stored("base/pgulo_stray_file"), "not part of the backup\n");
             return std::string("pgulo_stray_file");
         },
         false},
        {"DeletedManifest",
         [](CorruptionStage& s) {
             EXPECT_NE(TestFiles::Read(s.FullDir() + "/status.json").find("\"complete\""),
                       std::string::npos);
             fs::remove(s.FullDir() + "/manifest.json");
             return std::string("manifest");
         },
         false},
        {"ManifestSizeEdited", EditManifestSize, false},
        {"ManifestChecksumEdited", EditManifestChecksum, false},
        {"CorruptedWalFile",
         [](CorruptionStage& s) {
             const std::string segment = s.LogSegments().front();
             TestFiles::FlipByte(s.LogDir() + "/wal/" + segment, 1000);
             return segment;
         },
         true},
        {"WalSegmentMissingFromChain", RemoveSegmentFromChain, true},
        {"BackupLabelEdited", EditBackupLabel, false},
        {"PgControlDeleted",
         [](CorruptionStage& s) {
             fs::remove(s.Stored("global/pg_control"));
             return std::string("pg_control");
         },
         false},
    };
    return rows;
}

class CliCorruptionTable : public StagePerMajor<CorruptionStage, MajorRow<CorruptionRow>, true> {};

TEST_P(CliCorruptionTable, VerifyNamesTheDamageAndRestoreRefuses) {
    PGULO_REQUIRE_MAJOR(GetParam().major);
    CorruptionStage& s = StageFor(GetParam().major);
    s.PutPristineBack();
    const std::string damaged = GetParam().row->damage(s);
    const std::string id = GetParam().row->logBackup ? s.LogId() : s.FullId();

    const ProcessResult verify = s.host().Run({"verify", kInstance, id, "-q"});
    EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;
    EXPECT_NE((verify.out + verify.err).find(damaged), std::string::npos)
        << "verify did not name " << damaged << ":\n"
        << verify.out << verify.err;
    EXPECT_NE(verify.out.find(GetParam().row->verifyText), std::string::npos) << verify.out;

    TempTree root("pgulo-corrupt-restore");
    const TmpfsMount target(root.Path("target"), kRepositoryMb);
    const ProcessResult restore =
        s.host().Run({"restore", kInstance, "--pgdata", target.path() + "/data", "-q"});
    ExpectRefused(restore, 1, GetParam().row->restoreText);
}

INSTANTIATE_TEST_SUITE_P(Damage, CliCorruptionTable,
                         ::testing::ValuesIn(MajorRows({10, 14, 15, 17}, CorruptionRows())),
                         MajorRowName<CorruptionRow>);

} // namespace
