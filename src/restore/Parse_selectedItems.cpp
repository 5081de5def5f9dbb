#include "pgulo/Parse_selectedItems.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "restore/PostgresCatalogQueries.h"

#include <utility>

int LangInstallFlag = 0;

static EvDebug g_log(nullptr);

namespace {

const char* const kAddLabel = "Parse_selectedItems::addGUIitems";
const char* const kSetDbLabel = "Parse_selectedItems::setDb";
const char* const kParseLabel = "Parse_selectedItems::parse";
const char* const kGetObjectsLabel = "Parse_selectedItems::getobjects";

// Where in the browse tree a tag sits, which fixes how many path components it needs
// (counting the leading "TblView" and the tag).
enum class Shape {
    Database,    // TblView/db/tag
    Schema,      // TblView/db/schema/tag
    SchemaLevel, // TblView/db/schema/name/tag
    TableLevel,  // TblView/db/schema/table/name/tag
};

struct TagRule {
    const char* tag;
    const char* log;
    const char* keyword;
    Shape shape;
};

const TagRule kTagRules[] = {
    {"#?#?#tabl", "table", "TABLE", Shape::SchemaLevel},
    {"#?#?#view", "View", "VIEW", Shape::SchemaLevel},
    {"#?#?#trfn", "trigger funtion", "FUNCTION", Shape::SchemaLevel},
    {"#?#?#seqc", "sequence", "SEQUENCE", Shape::SchemaLevel},
    {"#?#?#func", "function", "FUNCTION", Shape::SchemaLevel},
    {"#?#?#domn", "domain", "DOMAIN", Shape::SchemaLevel},
    {"#?#?#cons", "constraint", "CONSTRAINT", Shape::TableLevel},
    {"#?#?#trig", "trigger", "TRIGGER", Shape::TableLevel},
    {"#?#?#rule", "rule", "RULE", Shape::TableLevel},
    {"#?#?#indx", "index", "INDEX", Shape::TableLevel},
    {"#?#?#schm", "Schema", "SCHEMA", Shape::Schema},
    {"#?#?#dbnm", "database", "DATABASE", Shape::Database},
    {"#?#?#type", "user defined type", "TYPE", Shape::SchemaLevel},
};

size_t ComponentsNeeded(Shape shape) {
    switch (shape) {
    case Shape::Database:
        return 3;
    case Shape::Schema:
        return 4;
    case Shape::SchemaLevel:
        return 5;
    case Shape::TableLevel:
        return 6;
    }
    return 6;
}

const TagRule* FindRule(const std::string& tag) {
    for (const TagRule& rule : kTagRules)
        if (tag == rule.tag)
            return &rule;
    return nullptr;
}

// The kinds a restore recreates with CREATE and that a drop can therefore make room for.
bool IsDroppedBeforeRestore(const std::string& keyword) {
    return keyword == "TABLE" || keyword == "VIEW" || keyword == "DOMAIN" || keyword == "SEQUENCE";
}

} // namespace

Parse_selectedItems::Parse_selectedItems() = default;
Parse_selectedItems::~Parse_selectedItems() = default;

int Parse_selectedItems::addGUIitems(std::string path) {
    g_log.DebugLvl(kAddLabel, 1, " %s ", path.c_str());
    GUI_seleted_list_m.push_back(std::move(path));
    return 0;
}

int Parse_selectedItems::setDb(std::string libDir, std::string binDir, std::string user,
                               std::string password, std::string database, std::string host,
                               std::string port, std::string version) {
    g_log.DebugLvl(kSetDbLabel, 1, "exepg.init database1 = %s", database.c_str());
    missing_m = 0;
    unreachable_m = false;
    LangInstallFlag = 0;
    if (exepg_m.init(libDir, binDir, user, password, database, host, port) != 0) {
        g_log.DebugLvl(kSetDbLabel, 1, "exepg.init failed this database may not be existing");
        missing_m = 1;
        unreachable_m = true;
        LangInstallFlag = 1;
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
}

int Parse_selectedItems::parse() {
    for (const std::string& path : GUI_seleted_list_m) {
        g_log.DebugLvl(kParseLabel, 1, "GUI_seleted_list[%s][%ld]", path.c_str(),
                       static_cast<long>(GUI_seleted_list_m.size()));
        if (path.size() < 2 || path[0] != '/')
            continue;

        const std::string rest = path.substr(1);
        g_log.DebugLvl(kParseLabel, 4, "[%s][%ld]", rest.c_str(), static_cast<long>(rest.size()));
        std::vector<std::string> components;
        std::string::size_type start = 0;
        for (;;) {
            std::string::size_type end = rest.find('/', start);
            components.push_back(
                rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
            g_log.DebugLvl(kParseLabel, 4, "[%d] dn = %s old = %ld loc = %ld",
                           static_cast<int>(components.size() - 1), components.back().c_str(),
                           static_cast<long>(start),
                           end == std::string::npos ? -1L : static_cast<long>(end));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        for (size_t i = components.size(); i-- > 0;)
            g_log.DebugLvl(kParseLabel, 4, "[%ld] [%ld] [%s]", static_cast<long>(i),
                           static_cast<long>(components[i].size()), components[i].c_str());

        const TagRule* rule = FindRule(components.back());
        // A path too short for its tag would leave the entry without a database, schema or
        // name; it is as unusable as an unknown tag.
        if (rule == nullptr || components.size() < ComponentsNeeded(rule->shape)) {
            g_log.DebugLvl(kParseLabel, 1, "unknown type");
            continue;
        }
        g_log.DebugLvl(kParseLabel, 1, "%s", rule->log);

        Item_prop item;
        item.database = components[1];
        switch (rule->shape) {
        case Shape::Database:
            item.name = components[1];
            break;
        case Shape::Schema:
            item.schema = components[2];
            item.name = components[2];
            break;
        case Shape::SchemaLevel:
            item.schema = components[2];
            item.parent = components[3];
            item.name = components[3];
            break;
        case Shape::TableLevel:
            item.schema = components[2];
            item.parent = components[3];
            item.name = components[4];
            break;
        }
        item.type = rule->keyword;
        item.path = path;
        dbList_m.push_back(item.database);
        ObjectsVec_m.push_back(std::move(item));
    }

    dbList_m.unique();
    g_log.DebugLvl(kParseLabel, 1, " dblist");
    for (const std::string& name : dbList_m)
        g_log.DebugLvl(kParseLabel, 1, " dn = %s", name.c_str());
    for (const Item_prop& item : ObjectsVec_m)
        g_log.DebugLvl(kParseLabel, 1, "ObjectsVec %s %s %s %s %s %s", item.database.c_str(),
                       item.schema.c_str(), item.parent.c_str(), item.name.c_str(),
                       item.path.c_str(), item.type.c_str());
    return 0;
}

int Parse_selectedItems::SchemaExists(const std::string& schema) {
    const std::string query = PostgresCatalogQueries::Schemas(version_m);
    if (exepg_m.postgre_Query(query) == -1) {
        g_log.DebugLvl(kGetObjectsLabel, 1, "postgre_exe failed (%s)", query.c_str());
        return -1;
    }
    std::vector<std::string> oids, firstRow, names;
    exepg_m.getCol(2, oids);
    exepg_m.getRow(0, firstRow);
    exepg_m.getCol(1, names);
    g_log.DebugLvl(kGetObjectsLabel, 1, "size Col = %ld size Row = %ld",
                   static_cast<long>(oids.size()), static_cast<long>(firstRow.size()));
    for (size_t i = 1; i < names.size(); ++i) {
        g_log.DebugLvl(kGetObjectsLabel, 1, "Schema = %s %s", names[i].c_str(), schema.c_str());
        if (names[i] == schema)
            return 1;
    }
    return 0;
}

int Parse_selectedItems::getobjects(std::string databaseName, std::vector<object_type>& objects,
                                    bool noDrop) {
    return PGGuard::OrReturn(g_log, kGetObjectsLabel, -1, [&] {
        g_log.DebugLvl(kGetObjectsLabel, 1, "databasename = %s", databaseName.c_str());
        for (const Item_prop& item : ObjectsVec_m) {
            g_log.DebugLvl(kGetObjectsLabel, 1, "The exist entries %s %s %s %s %s [%s]",
                           item.database.c_str(), item.schema.c_str(), item.parent.c_str(),
                           item.name.c_str(), item.path.c_str(), item.type.c_str());
            g_log.DebugLvl(kGetObjectsLabel, 1,
                           "ObjectsVec[i].databasename = [%s] databasename = [%s]",
                           item.database.c_str(), databaseName.c_str());
            if (item.type == "DATABASE" || item.database != databaseName)
                continue;

            objects.push_back(object_type{item.name, item.type, item.schema});
            processed_m.push_back(item);

            // Each entry's own schema decides: one missing schema must not stop the objects
            // of an existing schema from being dropped, or their restore would add rows to
            // the tables still there.
            if (!unreachable_m) {
                const int exists = SchemaExists(item.schema);
                if (exists < 0)
                    return -1;
                missing_m = exists == 1 ? 0 : 1;
            }
            if (missing_m == 1) {
                objects.push_back(object_type{item.schema, "SCHEMA", item.schema});
                continue;
            }
            if (noDrop || PGCommon::IsOldPGVersion(version_m))
                continue;
            if (!IsDroppedBeforeRestore(item.type))
                continue;

            const std::string schema = PGCommon::QuoteIdent(item.schema);
            const std::string name = PGCommon::QuoteIdent(item.name);
            g_log.DebugLvl(kGetObjectsLabel, 1, "drop %s IF EXISTS %s.%s;", item.type.c_str(),
                           schema.c_str(), name.c_str());
            const std::string statement =
                "drop " + item.type + " IF EXISTS " + schema + "." + name + ";";
            if (exepg_m.postgre_Query(statement) == -1) {
                const std::string message =
                    "Failed to drop " + item.type + " - " + item.schema + "." + item.name +
                    ". Please make sure all dependent objects associated with this " + item.type +
                    " is selected for restore.";
                PGLastError(message.c_str());
                g_log.DebugLvl(kGetObjectsLabel, 1,
                               "postgre_exe failed (%s), we are trying to delete existing "
                               "objects this is not a fatal error, but user has to work on "
                               "this error",
                               statement.c_str());
                return -1;
            }
        }
        for (const Item_prop& item : processed_m)
            g_log.DebugLvl(kGetObjectsLabel, 1, "DBs %s \t%s %s %s %s %s", item.database.c_str(),
                           item.schema.c_str(), item.parent.c_str(), item.name.c_str(),
                           item.path.c_str(), item.type.c_str());
        return 0;
    });
}
