#pragma once

#include "HostContext.h"
#include "ObjectSelector.h"

#include <string>
#include <vector>

// "pgulo restore --object": puts chosen objects of one database back into the live instance,
// either from a dump backup or as they were at a point in time, through a scratch copy of the
// cluster restored to that time and dumped.
class ObjectRestoreCommand {
public:
    struct Options {
        std::string instance;
        std::string backupId;
        std::string targetTime;
        std::vector<std::string> objects; // KIND:SCHEMA.NAME
        std::string database;             // the database the objects come from
        std::string intoDatabase;         // the database restored into (default: database)
        std::string scratchParent;        // where a scratch copy is made (default in the home)
        unsigned jobs = 1;
        bool quiet = false;
    };

    ObjectRestoreCommand(HostContext& host, Options options);
    void Run();

private:
    void CheckOptions() const;
    void FromDumpBackup(const std::vector<ObjectSelector>& objects);
    void AsOfTime(const std::vector<ObjectSelector>& objects);
    void Restore(const std::vector<ObjectSelector>& objects, const std::string& dumpFile,
                 const std::string& dumpName, const std::string& workDir);

    HostContext& host_;
    Options options_;
};
