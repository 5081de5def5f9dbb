#pragma once

#include "DumpToc.h"
#include "HostContext.h"
#include "InstanceRegistry.h"

#include <string>
#include <vector>

// One object of a database as browse shows it. kind is the word the restore selector uses
// ("table", "function", ...) or, for what the selector cannot name, "constraint", "index",
// "rule", "trigger" and "trigger-function".
struct BrowseObject {
    std::string database;
    std::string schema;
    std::string kind;
    std::string name;
    std::string table;                  // the table of a constraint, index, rule or trigger
    std::vector<std::string> arguments; // a function's argument types
    std::string oid;
    std::string path;              // the agent's browse path (live catalogue only)
    unsigned long long dumpId = 0; // the dump's entry (dumps only)
    std::string owner;             // dumps only
};

// "pgulo browse": the objects of one database, live from the server through the agent's
// catalogue, or as a custom-format dump holds them; an indented tree, or one JSON object a line.
class BrowseCommand {
public:
    struct Options {
        std::string instance;
        std::string database;
        std::string backupId;
        std::string dumpFile;
        bool json = false;
    };

    static void Run(HostContext& host, const Options& options);
    // The objects of a dump file, listed with the given pg_restore.
    static void ShowDump(const std::string& dumpFile, const std::string& pgRestore, bool json);

private:
    // connection reaches the instance's own database; database is the one browsed.
    static std::vector<BrowseObject> LiveObjects(const AgentConnection& connection,
                                                 const std::string& instance,
                                                 const std::string& database);
    static std::vector<BrowseObject> DumpObjects(const DumpToc& toc);
    static void Show(const std::vector<BrowseObject>& objects, const std::string& database,
                     bool json);
};
