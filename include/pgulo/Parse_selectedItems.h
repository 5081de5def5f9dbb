#pragma once

#include "pgulo/ExecutePostgre.h"
#include "pgulo/Export.h"
#include "pgulo/PostgresObjectRecords.h"

#include <list>
#include <string>
#include <vector>

// 1 when the last setDb could not reach its target database, else 0. Object restore reads it
// to keep a pre-9.0 dump's procedural languages for a database that is created afresh.
PGULO_API extern int LangInstallFlag;

// Turns the browse paths a user selected into the objects to restore, per target database:
// each object, its schema when the target database lacks it, and the drop of an existing
// table, view, domain or sequence that the restore is to replace.
//
// Order of use: setDb, addGUIitems for every path, parse, getobjects per database.
class PGULO_API Parse_selectedItems {
public:
    Parse_selectedItems();
    ~Parse_selectedItems();

    Parse_selectedItems(const Parse_selectedItems&) = delete;
    Parse_selectedItems& operator=(const Parse_selectedItems&) = delete;

    // Appends one selected browse path. 0.
    int addGUIitems(std::string path);
    // Connects to the target database. A failed connection is not an error: every object
    // then gets its schema restored and nothing is dropped. 0.
    int setDb(std::string libDir, std::string binDir, std::string user, std::string password,
              std::string database, std::string host, std::string port, std::string version);
    // Parses every selected path by its tag; paths with an unknown tag, or with fewer
    // components than their tag needs, are logged and left out. 0.
    int parse();
    // Appends the objects of one database to objects, dropping what the restore replaces
    // unless noDrop. 0, or -1 when the schema query or a drop failed (PGLastError then names
    // the object that could not be dropped).
    int getobjects(std::string databaseName, std::vector<object_type>& objects, bool noDrop);

    // What parse produced: one entry per understood path, in selection order.
    const std::vector<Item_prop>& ParsedItems() const { return ObjectsVec_m; }
    // The database of each parsed entry, consecutive repetitions once.
    const std::list<std::string>& DatabaseList() const { return dbList_m; }

private:
    // Whether the target database holds the schema (the schema query, run now); -1 when
    // the query failed.
    int SchemaExists(const std::string& schema);

    int missing_m = 0;
    // Set by a failed setDb: then no query is possible and every schema counts as missing.
    bool unreachable_m = false;
    std::vector<Item_prop> ObjectsVec_m;
    std::vector<std::string> GUI_seleted_list_m;
    std::vector<Item_prop> processed_m;
    std::list<std::string> dbList_m;
    ExecutePostgre exepg_m;
    std::string libDir_m;
    std::string binDir_m;
    std::string user_m;
    std::string password_m;
    std::string host_m;
    std::string port_m;
    std::string database_m;
    std::string version_m;
};
