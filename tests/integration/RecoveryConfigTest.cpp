#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PostgresHelperClass.h"

#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Lines = std::vector<std::string>;

const char* const kConfig = "port = 5432\n# restored settings\n";
const char* const kRestore = "restore_command = 'cp /var/lib/arch/%f %p'";
const char* const kTarget = "recovery_target_time = '2024-03-01 10:00:00+00'";
const char* const kPromote = "recovery_target_action = promote";

// The recovery settings a restore writes, and the files they go into, per major. Real servers
// start with them in the command line's restore tests.

struct SettingsRow {
    const char* version;
    std::string dataDir, archive, target;
    bool standby, replication;
    Lines expected;
};

TEST(RecoverySettings, LinesForEachMajorTargetStandbyAndAwkwardPath) {
    const std::string done12 = "recovery_end_command = 'touch /pg/data/recovery.done.kx'";
    const std::string target = "2024-03-01 10:00:00+00";
    // clang-format off
    const std::vector<SettingsRow> rows = {
        {"9.6", "/pg/data", "/var/lib/arch", "", false, false, {kRestore}},
        // With or without a trailing slash the archive gets one slash.
        {"9.6", "/pg/data", "/var/lib/arch/", "", false, false, {kRestore}},
        // Before 10 a target time adds no target action.
        {"9.6", "/pg/data", "/var/lib/arch", target, false, false, {kRestore, kTarget}},
        {"10.5", "/pg/data", "/var/lib/arch", target, false, false, {kRestore, kTarget, kPromote}},
        // A target of "" or "0" is none; "00" is one.
        {"10.5", "/pg/data", "/var/lib/arch", "", false, false, {kRestore, kPromote}},
        {"10.5", "/pg/data", "/var/lib/arch", "0", false, false, {kRestore, kPromote}},
        {"10.5", "/pg/data", "/var/lib/arch", "00", false, false,
         {kRestore, "recovery_target_time = '00'", kPromote}},
        {"12.0", "/pg/data", "/var/lib/arch", target, false, false,
         {kRestore, done12, kTarget, kPromote}},
        // The standby lines need both flags.
        {"9.6", "/pg/data", "/var/lib/arch", "", true, false, {kRestore}},
        {"9.6", "/pg/data", "/var/lib/arch", "", false, true, {kRestore}},
        {"9.6", "/pg/data", "/var/lib/arch", "", true, true,
         {kRestore, "standby_mode = 'on'",
          "trigger_file = '/pg/data/postgresql-repl-5433.trigger'"}},
        // standby_mode and trigger_file stop a server of 12 or later from starting.
        {"12.3", "/pg/data", "/var/lib/arch", "", true, true,
         {kRestore, done12, "promote_trigger_file = '/pg/data/postgresql-repl-5433.trigger'",
          kPromote}},
        {"16.2", "/pg/data", "/var/lib/arch", "", true, true, {kRestore, done12, kPromote}},
        // The shell gets '/backup/it'\''s $(arch)/%f', and each ' and \ of that is escaped for
        // the configuration value.
        {"12.3", "/pg/it's data", "/backup/it's $(arch)", "2024-03-01 10:00:00'; x", false, false,
         {"restore_command = 'cp ''/backup/it''\\\\''''s $(arch)/%f'' %p'",
          "recovery_end_command = 'touch ''/pg/it''\\\\''''s data/recovery.done.kx'''",
          "recovery_target_time = '2024-03-01 10:00:00''; x'", kPromote}},
        // A percent sign reaches the shell as itself.
        {"9.6", "/pg/data", "/arch/100%", "", false, false,
         {"restore_command = 'cp /arch/100%%/%f %p'"}},
    };
    // clang-format on
    for (const SettingsRow& r : rows)
        EXPECT_EQ(PostgresHelperClass::BuildRecoverySettings(
                      r.version, r.dataDir, r.archive, r.target, "5433", r.standby, r.replication),
                  r.expected)
            << r.version << " [" << r.archive << "] [" << r.target << "] " << r.standby
            << r.replication;
}

// A restored data directory that belongs to the server's user, as the restore leaves it.
class RecoverySettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::chown(dataDir_.c_str(), postgres_->pw_uid, postgres_->pw_gid), 0);
        TestFiles::Write(configFile_, kConfig);
        info_.Port = "5432";
    }

    CRoError Add(const std::string& version, const std::string& target = "", bool standby = false) {
        info_.postgresVersion = version;
        return PostgresHelperClass::addRecoveryCommandsToServerConfig(
            configFile_, info_, dataDir_, "/var/lib/arch", target, standby, standby,
            recoveryConfigFile_, savedConfig_);
    }
    CRoError Cleanup() {
        return PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(configFile_, dataDir_,
                                                                          savedConfig_);
    }
    std::string Data(const std::string& name) const { return dataDir_ + "/" + name; }

    TempHostHome home_;
    TempTree tree_{"pgulo-recovery"};
    const passwd* postgres_ = ::getpwnam("postgres");
    const std::string dataDir_ = tree_.Dir("data");
    const std::string configFile_ = dataDir_ + "/postgresql.conf";
    GetPostgresInfo info_;
    std::string recoveryConfigFile_;
    std::string savedConfig_ = "stale";
};

// Where the settings go, per major: recovery.conf before 12, appended to the configuration
// (whose old text is saved) with a signal file from 12 on; all given to the data directory's
// owner. What an earlier restore left (its done file, its recovery.conf, its saved
// configuration) is replaced.
struct FileRow {
    const char* version;
    bool standby;
    const char* recoveryFile;
    Lines content;
    std::vector<const char*> signals;
    const char* doneFile;
};

TEST_F(RecoverySettingsTest, EachMajorWritesItsFilesForTheOwnerAndNamesItsDoneFile) {
    const std::string done = "recovery_end_command = 'touch " + Data("recovery.done.kx") + "'";
    // clang-format off
    const std::vector<FileRow> rows = {
        {"9.6", false, "recovery.conf", {kRestore, kTarget}, {}, "recovery.done"},
        {"11.9", false, "recovery.conf", {kRestore, kTarget, kPromote}, {}, "recovery.done"},
        {"12.0", false, "postgresql.conf",
         {"port = 5432", "# restored settings", kRestore, done, kTarget, kPromote},
         {"recovery.signal"}, "recovery.done.kx"},
        {"13.2", false, "postgresql.conf",
         {"port = 5432", "# restored settings", kRestore, done, kTarget, kPromote},
         {"recovery.signal"}, "recovery.done.kx"},
        {"14.1", true, "postgresql.conf",
         {"port = 5432", "# restored settings", kRestore, done,
          "promote_trigger_file = '" + Data("postgresql-repl-5432.trigger") + "'", kTarget,
          kPromote},
         {"recovery.signal", "standby.signal"}, "recovery.done.kx"},
    };
    // clang-format on
    for (const FileRow& r : rows) {
        SCOPED_TRACE(r.version);
        for (const char* stale : {"recovery.signal", "standby.signal", "recovery.conf"})
            fs::remove(Data(stale));
        TestFiles::Write(configFile_, kConfig);
        TestFiles::Write(Data(r.doneFile), "from an earlier restore\n");
        TestFiles::Write(configFile_ + "_without_recovery_command", "stale copy\n");
        if (std::string(r.recoveryFile) == "recovery.conf")
            TestFiles::Write(Data("recovery.conf"), "restore_command = 'false'\n");
        ASSERT_FALSE(Add(r.version, "2024-03-01 10:00:00+00", r.standby).IsError());

        EXPECT_FALSE(fs::exists(Data(r.doneFile)));
        EXPECT_EQ(recoveryConfigFile_, Data(r.recoveryFile));
        EXPECT_EQ(TestFiles::ReadLines(recoveryConfigFile_), r.content);
        const bool appended = recoveryConfigFile_ == configFile_;
        EXPECT_EQ(savedConfig_, appended ? configFile_ + "_without_recovery_command" : "");
        if (appended)
            EXPECT_EQ(TestFiles::Read(savedConfig_), kConfig);
        else
            EXPECT_EQ(TestFiles::Read(configFile_), kConfig);
        EXPECT_EQ(fs::exists(Data("recovery.conf")), !appended);
        for (const char* signal : {"recovery.signal", "standby.signal"}) {
            const bool wanted = std::find(r.signals.begin(), r.signals.end(),
                                          std::string(signal)) != r.signals.end();
            EXPECT_EQ(fs::is_regular_file(Data(signal)), wanted) << signal;
        }
        for (const std::string& written : Lines{recoveryConfigFile_, Data("recovery.signal")}) {
            struct stat st {};
            if (::stat(written.c_str(), &st) == 0) {
                EXPECT_EQ(st.st_uid, postgres_->pw_uid) << written;
                EXPECT_EQ(st.st_gid, postgres_->pw_gid) << written;
            }
        }
        EXPECT_EQ(PostgresHelperClass::getRecoveryDoneFileName(dataDir_, r.version),
                  Data(r.doneFile));
    }
}

TEST_F(RecoverySettingsTest, FilesThatCannotBeWrittenAreErrorsBeforeAnythingIsWritten) {
    fs::remove(configFile_);
    EXPECT_TRUE(Add("12.0").IsError());
    EXPECT_FALSE(fs::exists(configFile_));
    EXPECT_FALSE(fs::exists(Data("recovery.signal")));

    fs::create_directories(Data("recovery.conf/keep"));
    const CRoError error = Add("10.5");
    ASSERT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("Unable to open " + Data("recovery.conf") +
                                    " to add recovery commands."),
              std::string::npos)
        << error.AsString();
}

// Without a saved copy the configuration stays as it is; with one it is put back, or, when that
// fails, the configuration and the copy's name are kept for another try.
TEST_F(RecoverySettingsTest, CleanupPutsTheSavedConfigurationBackOrKeepsItOnFailure) {
    for (const std::string name : {"", "/no-such-copy"}) {
        savedConfig_ = name.empty() ? name : dataDir_ + name;
        EXPECT_FALSE(Cleanup().IsError()) << name;
        EXPECT_EQ(savedConfig_, "");
    }
    EXPECT_EQ(TestFiles::Read(configFile_), kConfig);
    EXPECT_FALSE(fs::exists(configFile_ + ".with_recovery_command_kx"));

    ASSERT_FALSE(Add("12.0").IsError());
    const std::string withSettings = TestFiles::Read(configFile_);
    // The saved copy is a directory for a moment: it exists but cannot be copied back.
    const std::string saved = savedConfig_;
    fs::rename(saved, saved + ".aside");
    fs::create_directory(saved);
    EXPECT_TRUE(Cleanup().IsError());
    EXPECT_EQ(savedConfig_, saved);
    EXPECT_EQ(TestFiles::Read(configFile_), withSettings);

    fs::remove(saved);
    fs::rename(saved + ".aside", saved);
    ASSERT_FALSE(Cleanup().IsError());
    EXPECT_EQ(savedConfig_, "");
    EXPECT_EQ(TestFiles::Read(configFile_), kConfig);
    EXPECT_EQ(TestFiles::Read(configFile_ + ".with_recovery_command_kx"), withSettings);
}

} // namespace
