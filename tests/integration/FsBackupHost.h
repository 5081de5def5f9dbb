#pragma once

// What the backup host does around a full backup, for the integration tests: it calls the
// entry points with a cluster's values, reads the collect files, copies every listed path
// (and later copies it back), and keeps its own job directories.

#include "PgCluster.h"
#include "TestProcess.h"

#include "pgulo/host/CollectLine.h"
#include "TestFiles.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/host/EvDebug.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fsbackuptest {

namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::TestFiles;

inline std::string LastError() {
    const char* text = PGLastError(nullptr);
    return text == nullptr ? std::string("(no last error)") : std::string(text);
}

// A directory of its own for one test (job results, configuration, copies), readable by the
// server's OS user, removed afterwards.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        ::chmod(path_.c_str(), 0755);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const {
        const std::string dir = path_ + "/" + name;
        fs::create_directories(dir);
        return dir;
    }

private:
    std::string path_;
};

inline void ChownToPostgres(const std::string& path) {
    pgulo::test::ProcessResult r = pgulo::test::runCommand({"chown", "-R", "postgres:", path});
    if (!r.ok())
        throw std::runtime_error("chown failed: " + r.err);
}

inline std::vector<std::string> ReadCollectFile(const std::string& path) {
    std::vector<std::string> paths;
    std::istringstream in(TestFiles::Read(path));
    for (std::string line; std::getline(in, line);)
        paths.push_back(CollectLine::Decode(line));
    return paths;
}

// Copies one path as a host does: a directory as a directory, a file's bytes, a link as a
// link; modes are kept. A path that vanished in between is skipped.
inline void CopyEntry(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return;
    fs::create_directories(fs::path(to).parent_path());
    std::error_code ec;
    if (S_ISDIR(st.st_mode)) {
        fs::create_directories(to);
        ::chmod(to.c_str(), st.st_mode & 07777);
    } else if (S_ISLNK(st.st_mode)) {
        fs::remove(to, ec);
        fs::create_symlink(fs::read_symlink(from), to);
    } else if (S_ISREG(st.st_mode)) {
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        ::chmod(to.c_str(), st.st_mode & 07777);
    }
}

// The host's side of one full backup: keeps the copies under a staging directory that
// mirrors the absolute paths.
class BackupCopy {
public:
    explicit BackupCopy(std::string stage) : stage_(std::move(stage)) {}

    void CopyListed(const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            CopyEntry(path, stage_ + path);
            copied_.push_back(path);
        }
    }
    // Puts every copied path back where it was, in listing order.
    void RestoreAll() const {
        for (const std::string& path : copied_)
            CopyEntry(stage_ + path, path);
    }
    const std::vector<std::string>& Copied() const { return copied_; }

private:
    std::string stage_;
    std::vector<std::string> copied_;
};

// The values the host passes for one cluster.
struct JobSetup {
    unsigned long long jobId = 1;
    std::string jobResultsDir;
    std::string configDir;
    std::string archiveDir;
    std::string version;
    PGQuitFlagCallback quitFlag = nullptr;
    void* quitFlagContext = nullptr;
    std::vector<RestartInfo_p> restart;
    bool makeArchiveDeleteList = false;
    unsigned int standby = 0;
};

struct StartResult {
    void* handle = nullptr;
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    long long totalBytes = 0;
    std::string restartString;
};

inline StartResult StartBackup(const PgCluster& cluster, const JobSetup& job) {
    StartResult result;
    result.handle = PostGreFsBackupInterfaceStart(
        job.jobId, job.jobResultsDir, job.configDir, cluster.binDir(), cluster.libDir(), "postgres",
        cluster.socketDir(), std::to_string(cluster.port()), "postgres", "", &result.collectFiles,
        &result.files, &result.totalBytes, job.quitFlag, job.quitFlagContext, job.archiveDir, "",
        job.restart, &result.restartString, job.version, job.makeArchiveDeleteList, job.standby);
    return result;
}

inline int ShutdownBackup(void* handle, std::string& startLog) {
    return PostGreFsBackupInterfaceShutdown(handle, 0, startLog);
}

// The agent configuration file "postgres_<port>" in the configuration directory.
inline void WriteAgentConfig(const std::string& configDir, int port, const std::string& lines) {
    TestFiles::Write(configDir + "/postgres_" + std::to_string(port), lines);
}

// Whether the cluster is in exclusive backup mode: the server keeps backup_label then.
inline bool InBackupMode(const PgCluster& cluster) {
    return fs::exists(cluster.dataDir() + "/backup_label");
}

inline std::string BackupLabel(const PgCluster& cluster) {
    std::istringstream in(TestFiles::Read(cluster.dataDir() + "/backup_label"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("LABEL: ", 0) == 0)
            return line.substr(7);
    }
    return "";
}

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return condition();
}

// PGULO_HOME for the whole test program: the host services keep their files there.
class HostHome : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<ScratchDir>("pgulo-fsb-home");
        ::setenv("PGULO_HOME", dir_->path().c_str(), 1);
        EvDebug::reloadSettings();
    }
    void TearDown() override {
        // The debug log tells what went wrong when a test failed.
        if (::testing::UnitTest::GetInstance()->failed_test_count() > 0 &&
            fs::exists(dir_->path() + "/log")) {
            for (const auto& entry : fs::directory_iterator(dir_->path() + "/log")) {
                std::string log = TestFiles::Read(entry.path().string());
                if (log.size() > 64 * 1024)
                    log = log.substr(log.size() - 64 * 1024);
                std::cerr << "===== agent log " << entry.path() << " =====\n" << log;
            }
        }
        dir_.reset();
        ::unsetenv("PGULO_HOME");
    }

private:
    std::unique_ptr<ScratchDir> dir_;
};

} // namespace fsbackuptest
