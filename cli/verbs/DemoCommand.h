#pragma once

#include <cstdint>
#include <string>
#include <vector>

// "pgulo demo": the whole road on a throwaway cluster. Makes a cluster and a host home,
// loads pgbench tables, takes a full backup, changes data, notes the time, changes data
// again, takes a log backup, restores to the noted time into a new directory, starts it,
// shows that its data is that of the noted time, and cleans up unless asked to keep it.
class DemoCommand {
public:
    struct Options {
        int major = 15;
        int scale = 5;
        bool keep = false;
        bool quiet = false;
    };
    explicit DemoCommand(Options options);
    ~DemoCommand();
    DemoCommand(const DemoCommand&) = delete;
    DemoCommand& operator=(const DemoCommand&) = delete;

    // 0 when the restored data matched the noted moment, 1 otherwise.
    int Run();

private:
    struct Snapshot {
        std::string balance;
        std::string history;
        std::string notes;
        bool operator==(const Snapshot& other) const {
            return balance == other.balance && history == other.history && notes == other.notes;
        }
    };

    void FindInstallation();
    void MakeWorkspace();
    void MakeCluster();
    void RegisterInstance();
    void Step(const std::string& text) const;
    std::string Psql(int port, const std::string& sql) const;
    void Pgbench(const std::vector<std::string>& args) const;
    void Change(const std::string& note) const;
    Snapshot Take(int port) const;
    void Cleanup() noexcept;

    Options options_;
    std::string binDir_;
    std::string libDir_;
    std::string root_;
    std::string dataDir_;
    std::string archiveDir_;
    std::string socketDir_;
    std::string restoredDir_;
    int port_ = 0;
    int restoredPort_ = 0;
    bool started_ = false;
    bool restoredStarted_ = false;
};
