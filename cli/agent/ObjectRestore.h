#pragma once

#include "ClientPrograms.h"
#include "InstanceRegistry.h"
#include "ObjectSelector.h"

#include <string>
#include <vector>

// Puts chosen objects of one custom-format dump back into a database of a live instance,
// through the agent's selection parsing and list editing, then pg_restore with the edited
// list in one transaction. A chosen table comes back with what belongs to it (its rows,
// indexes, constraints, defaults, owned sequences, triggers, rules, comments, privileges);
// nothing else is touched.
class ObjectRestore {
public:
    struct Request {
        AgentConnection connection; // the instance restored into
        std::string serverVersion;  // of that instance
        std::string dumpFile;
        std::string dumpName;       // how messages name the dump ("backup X")
        std::string targetDatabase; // created when missing
        std::vector<ObjectSelector> objects;
        std::string workDir; // an empty directory for the list files; the caller removes it
    };
    struct Outcome {
        std::size_t entries = 0; // table-of-contents entries restored
        bool createdDatabase = false;
    };

    // Refuses (CliError) before changing anything when an object is not in the dump; throws
    // CliError with pg_restore's message when the restore fails (its transaction then leaves
    // the database as it was, but for a database created for it).
    static Outcome FromDump(const Request& request);
};
