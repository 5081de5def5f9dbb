#pragma once

#include "PgCluster.h"
#include "TempTree.h"
#include "TestProcess.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Running the pgulo command line as a user runs it: its own host home, throwaway clusters
// registered with it, and the program in the background when a test has to strike mid-job.
namespace pgulo::test {

// A superuser that must give its password: the usual way a backup host connects.
// The program under test: $PGULO_BUILD_DIR/cli/pgulo.
std::string PguloBinary();

// One backup host for a test: its own home (property store, registry, logs, repository),
// removed at the end, and the pgulo program run against it.
class PguloHost {
public:
    PguloHost();

    // The command line's arguments after the program name; runs to the end.
    ProcessResult Run(const std::vector<std::string>& args, const std::string& input = "") const;

    // Registers the cluster under name, connecting as user with password; the test fails
    // when pgulo refuses.
    void AddInstance(const std::string& name, const PgCluster& cluster, const std::string& user,
                     const std::string& password) const;

    // `pgulo list NAME --json`, of another repository when repo is given.
    nlohmann::json List(const std::string& name, const std::string& repo = "") const;

    std::string Home() const { return home_.Path("home"); }
    // Every job's debug log under <home>/log, joined.
    std::string DebugLogs() const;
    std::string Repository() const { return Home() + "/repo"; }
    // The environment the program runs with.
    std::vector<std::pair<std::string, std::string>> Environment() const;
    // Runs the later commands with the variable set as well (PGULO_REPO_PASSPHRASE: the
    // inherited PG* variables never reach the program).
    void SetVariable(const std::string& name, const std::string& value);

private:
    TempTree home_;
    std::vector<std::pair<std::string, std::string>> variables_;
};

// Creates the directory (and its parents) owned by the server's OS user, mode 0700, as the
// server needs for directories of its own.
void MakeServerDirectory(const std::string& path);

std::unique_ptr<PgCluster> StartCluster(int major, const std::string& name, bool archiving = true);

// Runs SQL with psql against another server that shares the cluster's socket directory (a
// restored copy on its own port). The trimmed result of the query, or "error: ..." so that a
// comparison shows what went wrong.
std::string QueryValue(const PgCluster& cluster, int port, const std::string& sql);
std::string CountRows(const PgCluster& cluster, int port, const std::string& table);

// Stops the server of dataDir (a restored copy) at once.
void StopServer(const PgCluster& cluster, const std::string& dataDir);

// True when a regular file whose path contains part lies anywhere under dir.
bool RegularFileUnder(const std::string& dir, const std::string& part = "");

// pgulo in the background, with standard output and error going to one file that the test
// reads while the program runs, so that it can strike at a chosen moment.
class BackgroundPgulo {
public:
    BackgroundPgulo(const PguloHost& host, const std::vector<std::string>& args);
    // Kills a program still running and reaps it: no test leaves one behind.
    ~BackgroundPgulo();
    BackgroundPgulo(const BackgroundPgulo&) = delete;
    BackgroundPgulo& operator=(const BackgroundPgulo&) = delete;

    pid_t pid() const { return pid_; }
    std::string Output() const;
    bool Running();

    // Polls until condition holds (true) or the program ends or the time is up (false).
    bool WaitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(90));
    // Waits for an output line for which matches is true.
    bool WaitForLine(const std::function<bool(const std::string&)>& matches,
                     std::chrono::milliseconds timeout = std::chrono::seconds(90));

    void Signal(int signal) const;
    // The exit code, or 128 + the signal that ended it. After the timeout the program is
    // killed and -1 returned.
    int Wait(std::chrono::milliseconds timeout = std::chrono::minutes(5));

private:
    void Reap(int status);
    void KillGroup();

    TempTree dir_;
    std::string outputFile_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// A small tmpfs mounted on a fresh directory, for a disk that fills up; always unmounted
// (lazily, if something still holds it) when the object goes.
class TmpfsMount {
public:
    TmpfsMount(const std::string& dir, int sizeMb);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    const std::string& path() const { return dir_; }
    // Takes all but about keepBytes of the free space with one file.
    void FillLeaving(std::uint64_t keepBytes) const;

private:
    std::string dir_;
    bool mounted_ = false;
};

} // namespace pgulo::test
