#pragma once

#include "pgulo/ExecutePostgre.h"
#include "pgulo/Export.h"
#include "pgulo/PostgresObjectRecords.h"

#include <string>
#include <vector>

// The object catalogue of one database for object-level browse: the schemas and, in each,
// domains, tables (with their constraints, indexes, rules and triggers), trigger functions,
// views, functions, sequences and types, as an ordered list of object_prop records whose
// browse paths the host shows as a tree. Records accumulate over fillSchemas calls.
//
// Status codes: 0 success, -1 failure. No exception leaves an operation.
class PGULO_API Postgres_objects {
public:
    Postgres_objects();
    ~Postgres_objects();

    Postgres_objects(const Postgres_objects&) = delete;
    Postgres_objects& operator=(const Postgres_objects&) = delete;

    // Connects to the database; the values are stored only when the connection succeeds.
    int init(std::string libDir, std::string binDir, std::string user, std::string password,
             std::string database, std::string host, std::string port, std::string version);
    // Connects to another database of the same cluster; the stored database changes only on
    // success.
    int set(std::string database);

    // The whole enumeration of the current database, appended to the list.
    int fillSchemas();

    // Per-kind steps. The paths they build are right only when the current schema (and, for
    // the table sub-objects, the current table) is set as fillSchemas sets it.
    int fillDomainsObjects(std::string schemaOid);
    int fillTableObjects(std::string schemaOid);
    int fillTriggerObjects(std::string schemaOid);
    int fillViewsObjects(std::string schemaOid);
    int fillFunctionObjects(std::string schemaOid);
    int fillsequenceObjects(std::string schemaOid);
    int fillTypeObjects(std::string schemaOid);
    int fillConstraintsNames(std::string tableOid);
    int fillIndexesNames(std::string tableOid);
    int fillRulesNames(std::string tableOid);
    int fillTriggersNames(std::string tableOid);

    // Appends a copy of every record / every record's path (the database record gives an
    // empty path), in list order.
    int getObjects(std::vector<object_prop>& objects);
    int getObjects(std::vector<std::string>& paths);
    // Logs every record.
    int displayObjects();

private:
    // Runs the query (kept as the last one) and reads row 0, the oid column and the name
    // column; false when the query failed.
    bool RunCatalogueQuery(const char* label, int failLevel, const std::string& query,
                           int nameColumn, std::vector<std::string>& oids,
                           std::vector<std::string>& names);
    // One record of the current schema.
    void AddRecord(const std::string& oid, const std::string& name, const char* type,
                   const std::string& path);
    // "/TblView/<database>/<schema>/"
    std::string SchemaPathPrefix() const;

    std::string libDir_m;
    std::string binDir_m;
    std::string user_m;
    std::string password_m;
    std::string host_m;
    std::string port_m;
    std::string query_m;
    std::string database_m;
    std::string schema_m;
    std::string table_m;
    std::string version_m;
    ExecutePostgre exepg_m;
    std::vector<object_prop> objects_m;
};
