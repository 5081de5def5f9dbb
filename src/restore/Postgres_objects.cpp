#include "pgulo/Postgres_objects.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "restore/PostgresCatalogQueries.h"

#include <utility>

static EvDebug g_log(nullptr);

namespace {

const char* const kInitLabel = "Postgres_objects::init";
const char* const kSetLabel = "Postgres_objects::set";
const char* const kSchemasLabel = "Postgres_objects::fillSchemas";
const char* const kDomainsLabel = "Postgres_objects::fillDomainsObjects";
const char* const kTablesLabel = "Postgres_objects::fillTableObjects";
const char* const kTriggerFunctionsLabel = "Postgres_objects::fillTriggerObjects";
const char* const kViewsLabel = "Postgres_objects::fillViewsObjects";
const char* const kFunctionsLabel = "Postgres_objects::fillFunctionObjects";
const char* const kSequencesLabel = "Postgres_objects::fillsequenceObjects";
const char* const kTypesLabel = "Postgres_objects::fillTypeObjects";
const char* const kConstraintsLabel = "Postgres_objects::fillConstraintsNames";
const char* const kIndexesLabel = "Postgres_objects::fillIndexesNames";
const char* const kRulesLabel = "Postgres_objects::fillRulesNames";
const char* const kTriggersLabel = "Postgres_objects::fillTriggersNames";
const char* const kGetObjectsLabel = "Postgres_objects::getObjects";
const char* const kDisplayLabel = "Postgres_objects::displayObjects";

const char* const kPathRoot = "/TblView/";
const char* const kTagMarker = "/#?#?#";

// The steps take oids from the host as well as from the catalogue, and an oid is spliced
// into the query text: anything but digits would be SQL of the caller's choosing.
bool CheckOid(const char* label, const std::string& oid) {
    if (PostgresCatalogQueries::IsOidText(oid))
        return true;
    g_log.Error(label, "eRRoR -- [%s] is not an oid", oid.c_str());
    return false;
}

void LogRecord(const object_prop& record) {
    g_log.DebugLvl(kGetObjectsLabel, 2, "Object [%s] [%s] [%s] [%s] [%s] [%s]", record.oid.c_str(),
                   record.schema.c_str(), record.type.c_str(), record.name.c_str(),
                   record.path.c_str(), record.extra.c_str());
}

} // namespace

Postgres_objects::Postgres_objects() = default;
Postgres_objects::~Postgres_objects() = default;

int Postgres_objects::init(std::string libDir, std::string binDir, std::string user,
                           std::string password, std::string database, std::string host,
                           std::string port, std::string version) {
    return PGGuard::OrReturn(g_log, kInitLabel, -1, [&] {
        if (exepg_m.init(libDir, binDir, user, password, database, host, port) != 0) {
            g_log.DebugLvl(kInitLabel, 1, "exepg.init failed");
            return -1;
        }
        libDir_m = std::move(libDir);
        binDir_m = std::move(binDir);
        user_m = std::move(user);
        password_m = std::move(password);
        database_m = std::move(database);
        host_m = std::move(host);
        port_m = std::move(port);
        version_m = std::move(version);
        return 0;
    });
}

int Postgres_objects::set(std::string database) {
    return PGGuard::OrReturn(g_log, kSetLabel, -1, [&] {
        if (exepg_m.init(libDir_m, binDir_m, user_m, password_m, database, host_m, port_m) != 0) {
            g_log.DebugLvl(kSetLabel, 1, "exepg.init failed");
            return -1;
        }
        database_m = std::move(database);
        return 0;
    });
}

std::string Postgres_objects::SchemaPathPrefix() const {
    return kPathRoot + database_m + "/" + schema_m + "/";
}

void Postgres_objects::AddRecord(const std::string& oid, const std::string& name, const char* type,
                                 const std::string& path) {
    object_prop record;
    record.schema = schema_m;
    record.database = database_m;
    record.oid = oid;
    record.name = name;
    record.type = type;
    record.path = path;
    objects_m.push_back(std::move(record));
}

bool Postgres_objects::RunCatalogueQuery(const char* label, int failLevel, const std::string& query,
                                         int nameColumn, std::vector<std::string>& oids,
                                         std::vector<std::string>& names) {
    query_m = query;
    if (exepg_m.postgre_Query(query_m) == -1) {
        g_log.DebugLvl(label, failLevel, "postgre_exe failed (%s)", query_m.c_str());
        return false;
    }
    std::vector<std::string> firstRow;
    exepg_m.getRow(0, firstRow);
    exepg_m.getCol(0, oids);
    exepg_m.getCol(nameColumn, names);
    return true;
}

int Postgres_objects::fillSchemas() {
    return PGGuard::OrReturn(g_log, kSchemasLabel, -1, [&] {
        query_m = PostgresCatalogQueries::Schemas(version_m);
        if (exepg_m.postgre_Query(query_m) == -1) {
            g_log.DebugLvl(kSchemasLabel, 1, "postgre_exe failed (%s)", query_m.c_str());
            return -1;
        }
        std::vector<std::string> firstRow;
        std::vector<std::string> names;
        std::vector<std::string> oids;
        exepg_m.getRow(0, firstRow);
        exepg_m.getCol(1, names);
        exepg_m.getCol(2, oids);

        object_prop databaseRecord;
        databaseRecord.name = database_m;
        databaseRecord.type = "Database";
        objects_m.push_back(std::move(databaseRecord));

        using Step = int (Postgres_objects::*)(std::string);
        static const std::pair<Step, const char*> kSteps[] = {
            {&Postgres_objects::fillDomainsObjects, "fillDomainsObjects failed"},
            {&Postgres_objects::fillTableObjects, "fillTableObjects failed"},
            {&Postgres_objects::fillTriggerObjects, nullptr},
            {&Postgres_objects::fillViewsObjects, "fillViewsObjects failed"},
            {&Postgres_objects::fillFunctionObjects, "fillFunctionObjects failed"},
            {&Postgres_objects::fillsequenceObjects, "fillsequenceObjects failed"},
            {&Postgres_objects::fillTypeObjects, "fillTypeObjects failed"},
        };
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kSchemasLabel, 3, "Schema = %s", oids[i].c_str());
            schema_m = names[i];
            AddRecord(oids[i], names[i], "Schema",
                      kPathRoot + database_m + "/" + schema_m + kTagMarker + "schm");
            for (const auto& step : kSteps) {
                if ((this->*step.first)(oids[i]) != 0) {
                    if (step.second != nullptr)
                        g_log.DebugLvl(kSchemasLabel, 1, "%s", step.second);
                    return -1;
                }
            }
        }
        return 0;
    });
}

int Postgres_objects::fillDomainsObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kDomainsLabel, -1, [&] {
        g_log.DebugLvl(kDomainsLabel, 3, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kDomainsLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kDomainsLabel, 1, PostgresCatalogQueries::Domains(schemaOid), 1,
                               oids, names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kDomainsLabel, 2, "Domain = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Domain",
                      SchemaPathPrefix() + names[i] + kTagMarker + "domn");
        }
        return 0;
    });
}

int Postgres_objects::fillTableObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kTablesLabel, -1, [&] {
        g_log.DebugLvl(kTablesLabel, 3, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kTablesLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kTablesLabel, 2,
                               PostgresCatalogQueries::Tables(schemaOid, version_m), 1, oids,
                               names))
            return -1;
        using Step = int (Postgres_objects::*)(std::string);
        static const std::pair<Step, const char*> kSteps[] = {
            {&Postgres_objects::fillConstraintsNames, "fillConstraintsNames failed"},
            {&Postgres_objects::fillIndexesNames, "fillIndexesNames failed"},
            {&Postgres_objects::fillRulesNames, "fillRulesNames failed"},
            {&Postgres_objects::fillTriggersNames, "fillTriggersNames failed"},
        };
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kTablesLabel, 3, "Table = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Table",
                      SchemaPathPrefix() + names[i] + kTagMarker + "tabl");
            table_m = names[i];
            for (const auto& step : kSteps) {
                if ((this->*step.first)(oids[i]) != 0) {
                    g_log.DebugLvl(kTablesLabel, 1, "%s", step.second);
                    return -1;
                }
            }
        }
        return 0;
    });
}

int Postgres_objects::fillTriggerObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kTriggerFunctionsLabel, -1, [&] {
        g_log.DebugLvl(kTriggerFunctionsLabel, 3, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kTriggerFunctionsLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kTriggerFunctionsLabel, 1,
                               PostgresCatalogQueries::TriggerFunctions(schemaOid, version_m), 2,
                               oids, names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kTriggerFunctionsLabel, 2, "TriggerFunction = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "TriggFunction",
                      SchemaPathPrefix() + names[i] + kTagMarker + "trfn");
        }
        return 0;
    });
}

int Postgres_objects::fillViewsObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kViewsLabel, -1, [&] {
        g_log.DebugLvl(kViewsLabel, 3, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kViewsLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kViewsLabel, 1, PostgresCatalogQueries::Views(schemaOid), 2, oids,
                               names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kViewsLabel, 2, "View = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "View",
                      SchemaPathPrefix() + names[i] + kTagMarker + "view");
        }
        return 0;
    });
}

int Postgres_objects::fillFunctionObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kFunctionsLabel, -1, [&] {
        g_log.DebugLvl(kFunctionsLabel, 2, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kFunctionsLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kFunctionsLabel, 1,
                               PostgresCatalogQueries::Functions(schemaOid, version_m), 1, oids,
                               names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kFunctionsLabel, 2, "Function = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Function",
                      SchemaPathPrefix() + names[i] + kTagMarker + "func");
        }
        return 0;
    });
}

int Postgres_objects::fillsequenceObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kSequencesLabel, -1, [&] {
        g_log.DebugLvl(kSequencesLabel, 3, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kSequencesLabel, schemaOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kSequencesLabel, 1, PostgresCatalogQueries::Sequences(schemaOid), 1,
                               oids, names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kSequencesLabel, 3, "Sequence = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Seqeunce",
                      SchemaPathPrefix() + names[i] + kTagMarker + "seqc");
        }
        return 0;
    });
}

int Postgres_objects::fillTypeObjects(std::string schemaOid) {
    return PGGuard::OrReturn(g_log, kTypesLabel, -1, [&] {
        g_log.Debug(kTypesLabel, "SchemaObjId = %s", schemaOid.c_str());
        if (!CheckOid(kTypesLabel, schemaOid))
            return -1;
        const std::string query = PostgresCatalogQueries::Types(schemaOid, version_m);
        g_log.Debug(kTypesLabel, "Executing query %s", query.c_str());
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kTypesLabel, 1, query, 1, oids, names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.Debug(kTypesLabel, "Types function = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Type",
                      SchemaPathPrefix() + names[i] + kTagMarker + "type");
        }
        return 0;
    });
}

int Postgres_objects::fillConstraintsNames(std::string tableOid) {
    return PGGuard::OrReturn(g_log, kConstraintsLabel, -1, [&] {
        g_log.DebugLvl(kConstraintsLabel, 3, "tableObjId = %s", tableOid.c_str());
        if (!CheckOid(kConstraintsLabel, tableOid))
            return -1;
        const std::string tablePath = SchemaPathPrefix() + table_m + "/";
        for (const std::string& query : {PostgresCatalogQueries::KeyConstraints(tableOid),
                                         PostgresCatalogQueries::ForeignKeys(tableOid)}) {
            std::vector<std::string> oids, names;
            if (!RunCatalogueQuery(kConstraintsLabel, 1, query, 1, oids, names))
                return -1;
            for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
                g_log.DebugLvl(kConstraintsLabel, 2, "Constraint = %s", names[i].c_str());
                AddRecord(oids[i], names[i], "Constraint",
                          tablePath + names[i] + kTagMarker + "cons");
            }
        }
        return 0;
    });
}

int Postgres_objects::fillIndexesNames(std::string tableOid) {
    return PGGuard::OrReturn(g_log, kIndexesLabel, -1, [&] {
        g_log.DebugLvl(kIndexesLabel, 3, "tableObjId = %s", tableOid.c_str());
        if (!CheckOid(kIndexesLabel, tableOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kIndexesLabel, 1,
                               PostgresCatalogQueries::Indexes(tableOid, version_m), 1, oids,
                               names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kIndexesLabel, 2, "Index = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Index",
                      SchemaPathPrefix() + table_m + "/" + names[i] + kTagMarker + "indx");
        }
        return 0;
    });
}

int Postgres_objects::fillRulesNames(std::string tableOid) {
    return PGGuard::OrReturn(g_log, kRulesLabel, -1, [&] {
        g_log.DebugLvl(kRulesLabel, 3, "tableObjId = %s", tableOid.c_str());
        if (!CheckOid(kRulesLabel, tableOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kRulesLabel, 1, PostgresCatalogQueries::Rules(tableOid), 1, oids,
                               names))
            return -1;
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kRulesLabel, 2, "Rule = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Rules",
                      SchemaPathPrefix() + table_m + "/" + names[i] + kTagMarker + "rule");
        }
        return 0;
    });
}

int Postgres_objects::fillTriggersNames(std::string tableOid) {
    return PGGuard::OrReturn(g_log, kTriggersLabel, -1, [&] {
        g_log.DebugLvl(kTriggersLabel, 3, "tableObjId = %s", tableOid.c_str());
        if (!CheckOid(kTriggersLabel, tableOid))
            return -1;
        std::vector<std::string> oids, names;
        if (!RunCatalogueQuery(kTriggersLabel, 1,
                               PostgresCatalogQueries::Triggers(tableOid, version_m), 1, oids,
                               names)) {
            g_log.DebugLvl(kTriggersLabel, 1, "postgresVersion is %s", version_m.c_str());
            return -1;
        }
        for (size_t i = 1; i < oids.size() && i < names.size(); ++i) {
            g_log.DebugLvl(kTriggersLabel, 2, "Trigger = %s", names[i].c_str());
            AddRecord(oids[i], names[i], "Trigger",
                      SchemaPathPrefix() + table_m + "/" + names[i] + kTagMarker + "trig");
        }
        return 0;
    });
}

int Postgres_objects::getObjects(std::vector<object_prop>& objects) {
    for (const object_prop& record : objects_m) {
        LogRecord(record);
        objects.push_back(record);
    }
    return 0;
}

int Postgres_objects::getObjects(std::vector<std::string>& paths) {
    for (const object_prop& record : objects_m) {
        LogRecord(record);
        paths.push_back(record.path);
    }
    return 0;
}

int Postgres_objects::displayObjects() {
    for (const object_prop& record : objects_m)
        g_log.DebugLvl(kDisplayLabel, 2, "Object [%s] [%s] [%s] [%s] [%s] [%s]", record.oid.c_str(),
                       record.extra.c_str(), record.schema.c_str(), record.type.c_str(),
                       record.name.c_str(), record.path.c_str());
    return 0;
}
