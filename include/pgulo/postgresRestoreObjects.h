#pragma once

#include "pgulo/Export.h"
#include "pgulo/PostgresObjectRecords.h"

#include <list>
#include <string>
#include <vector>

// Object-level restore from a custom-format dump: lists the dump's table of contents with
// pg_restore, writes an edited copy of the list that keeps only the entries of the chosen
// objects, and restores those entries into the target database with pg_restore.
//
// Order of use: init; getObjectsList or setObjectsListfile; addObjects per object;
// setObjectsList; RestoreObjects (or getEditObjectListfile for a caller that runs the
// restore itself). Status codes: 0 success, -1 failure.
class PGULO_API postgresRestoreObjects {
public:
    postgresRestoreObjects();
    ~postgresRestoreObjects();

    postgresRestoreObjects(const postgresRestoreObjects&) = delete;
    postgresRestoreObjects& operator=(const postgresRestoreObjects&) = delete;

    // Stores the values; the list files are workDir + "/ObjectsList" and
    // workDir + "/ObjectsListEdit". 0.
    int init(std::string libDir, std::string password, std::string binDir, std::string user,
             std::string host, std::string port, std::string database, std::string dumpFile,
             std::string workDir, std::string version);
    // Writes the dump's table of contents to the list file with pg_restore --list.
    int getObjectsList();
    // Uses an existing list file instead; -1 when it does not exist (it is kept anyway).
    int setObjectsListfile(std::string path);
    // One object to restore, as selection parsing produced it. 0.
    int addObjects(object_type object);
    // Writes the edited list from the list file and the objects, which it then forgets.
    int setObjectsList();
    // The edited list file. 0.
    int getEditObjectListfile(std::string& path);
    // Creates the target database when it does not exist, then restores the edited list's
    // entries into it. No database or object outside the edited list is dropped.
    int RestoreObjects();
    // Runs a shell command line; -1 when it exits non-zero.
    int execute(std::string command);

private:
    // Whether the target database accepts a connection.
    bool TargetDatabaseExists();
    // Whether the target database holds the schema; -1 when the schema query failed. A
    // target that cannot be reached holds none.
    int SchemaInTarget(const std::string& schema);
    // Runs a command, logging a failure as not fatal.
    void RunNotFatal(const char* label, const std::string& command);
    // Makes the password known to the programs that connect, without a command line.
    void ExportPassword() const;

    std::string libDir_m;
    std::string password_m;
    std::string binDir_m;
    std::string user_m;
    std::string unused_m;
    std::string host_m;
    std::string port_m;
    std::string database_m;
    std::string dumpFile_m;
    std::string workDir_m;
    std::string listFile_m;
    std::string editListFile_m;
    std::string version_m;
    std::list<object_type> objectsToRestore_m;
    std::vector<DBObject> listObjects_m;
};
