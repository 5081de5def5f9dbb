#include "BrowseCommand.h"

#include "CliError.h"
#include "ClientPrograms.h"
#include "DumpSet.h"
#include "JobDirectory.h"
#include "Repository.h"

#include "pgulo/ExecutePostgre.h"
#include "pgulo/PGCommon.h"
#include "pgulo/Postgres_objects.h"

#include <nlohmann/json.hpp>


#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace {

// Where Debian keeps the client programs that read dumps of servers up to its own major.

// The tags that end the agent's browse paths, and the kinds they are.
const std::map<std::string, std::string> kKindOfTag = {
    {"schm", "schema"}, {"domn", "domain"},   {"tabl", "table"},    {"cons", "constraint"},
    {"indx", "index"},  {"rule", "rule"},     {"trig", "trigger"},  {"trfn", "trigger-function"},
    {"view", "view"},   {"func", "function"}, {"seqc", "sequence"}, {"type", "type"},
};

const std::map<std::string, std::string> kKindOfEntry = {
    {"SCHEMA", "schema"},
    {"TABLE", "table"},
    {"VIEW", "view"},
    {"SEQUENCE", "sequence"},
    {"FUNCTION", "function"},
    {"TYPE", "type"},
    {"DOMAIN", "domain"},
    {"CONSTRAINT", "constraint"},
    {"FK CONSTRAINT", "constraint"},
    {"CHECK CONSTRAINT", "constraint"},
    {"INDEX", "index"},
    {"RULE", "rule"},
    {"TRIGGER", "trigger"},
};

// The order of the tree within a schema and within a table.
const std::vector<std::string> kKindOrder = {
    "table",  "view",       "sequence", "function", "trigger-function", "type",
    "domain", "constraint", "index",    "rule",     "trigger",
};

const std::set<std::string> kSelectable = {"schema",   "table", "view",  "sequence",
                                           "function", "type",  "domain"};

std::size_t Rank(const std::string& kind) {
    return static_cast<std::size_t>(std::find(kKindOrder.begin(), kKindOrder.end(), kind) -
                                    kKindOrder.begin());
}

// The values of one column of the last result, without the agent's placeholder.
std::vector<std::string> Column(ExecutePostgre& query, int column) {
    std::vector<std::string> values;
    if (query.GetResultRows() == 0)
        return values;
    query.getCol(column, values);
    if (!values.empty())
        values.erase(values.begin());
    return values;
}

void Execute(ExecutePostgre& query, const std::string& sql) {
    HostContext::ClearAgentError();
    if (query.postgre_Query(sql) != 0)
        throw CliError(HostContext::AgentFailure("the server did not answer \"" + sql + "\""));
}

void Connect(ExecutePostgre& query, const AgentConnection& c, const std::string& database,
             const std::string& what) {
    HostContext::ClearAgentError();
    if (query.init(c.libDir, c.binDir, c.user, c.password, database, c.hostAddr, c.port) != 0)
        throw CliError(HostContext::AgentFailure("cannot connect to " + what));
}

// The server's version, after checking that the database is there: a missing database is
// named plainly rather than as a failed connection.
std::string CheckDatabase(const AgentConnection& c, const std::string& instance,
                          const std::string& database) {
    ExecutePostgre query;
    Connect(query, c, c.database, "instance '" + instance + "'");
    const std::string sql = "SELECT current_setting('server_version'), count(*)::text "
                            "FROM pg_database WHERE datname = " +
                            PGCommon::QuoteLiteral(database);
    Execute(query, sql);
    const std::vector<std::string> version = Column(query, 0);
    const std::vector<std::string> count = Column(query, 1);
    if (version.empty() || count.empty())
        throw CliError("instance '" + instance + "' gave no answer about its databases");
    if (count.front() == "0")
        throw CliError("instance '" + instance + "' has no database '" + database + "'");
    return version.front();
}

// What the agent's records leave out: the argument types of every function, and the plain
// name of every type (the agent's record gives it as format_type does, qualified when the
// schema is not on the search path). Types are written as a dump's list writes them.
struct CatalogueDetails {
    std::map<std::string, std::vector<std::string>> arguments;
    std::map<std::string, std::string> typeNames;
};

CatalogueDetails ReadDetails(const AgentConnection& c, const std::string& database) {
    ExecutePostgre query;
    Connect(query, c, database, "database '" + database + "'");
    Execute(query, "SET search_path = pg_catalog");
    const char* const userNamespaces =
        "(SELECT oid FROM pg_namespace WHERE nspname NOT IN ('pg_catalog', 'information_schema'))";
    Execute(query, std::string("SELECT p.oid::text, format_type(a.t, NULL) FROM pg_proc p, "
                               "unnest(p.proargtypes::oid[]) WITH ORDINALITY AS a(t, n) "
                               "WHERE p.pronamespace IN ") +
                       userNamespaces + " ORDER BY p.oid, a.n");
    CatalogueDetails details;
    const std::vector<std::string> functions = Column(query, 0);
    const std::vector<std::string> types = Column(query, 1);
    for (std::size_t i = 0; i < functions.size() && i < types.size(); ++i)
        details.arguments[functions[i]].push_back(types[i]);
    Execute(query, std::string("SELECT oid::text, typname FROM pg_type WHERE typnamespace IN ") +
                       userNamespaces);
    const std::vector<std::string> oids = Column(query, 0);
    const std::vector<std::string> names = Column(query, 1);
    for (std::size_t i = 0; i < oids.size() && i < names.size(); ++i)
        details.typeNames[oids[i]] = names[i];
    return details;
}

std::string TagOf(const std::string& path) {
    return path.size() < 4 ? "" : path.substr(path.size() - 4);
}

std::string Qualified(const BrowseObject& o) {
    if (o.kind == "schema")
        return PGCommon::QuoteIdent(o.name);
    std::string text = PGCommon::QuoteIdent(o.schema) + "." + PGCommon::QuoteIdent(o.name);
    if (o.kind == "function" || o.kind == "trigger-function") {
        std::string list;
        for (const std::string& type : o.arguments)
            list += (list.empty() ? "" : ",") + type;
        text += "(" + list + ")";
    }
    return text;
}

// What `restore --object` takes for the object; empty for what it cannot name.
std::string Selector(const BrowseObject& o) {
    if (o.kind == "trigger-function")
        return "function:" + Qualified(o);
    return kSelectable.count(o.kind) ? o.kind + ":" + Qualified(o) : "";
}

nlohmann::json Describe(const BrowseObject& o) {
    nlohmann::json j = {
        {"database", o.database}, {"schema", o.schema}, {"kind", o.kind}, {"name", o.name}};
    if (!o.table.empty())
        j["table"] = o.table;
    if (o.kind == "function" || o.kind == "trigger-function")
        j["arguments"] = o.arguments;
    if (!o.oid.empty())
        j["oid"] = o.oid;
    if (!o.path.empty())
        j["path"] = o.path;
    if (o.dumpId != 0) {
        j["dump_id"] = o.dumpId;
        j["owner"] = o.owner;
    }
    const std::string selector = Selector(o);
    if (!selector.empty())
        j["selector"] = selector;
    return j;
}

void PrintLine(int depth, const BrowseObject& o) {
    const bool schemaLevel = o.table.empty() || o.kind == "schema";
    const std::string text = schemaLevel ? Qualified(o) : PGCommon::QuoteIdent(o.name);
    std::printf("%*s%s %s\n", depth * 2, "", o.kind.c_str(), text.c_str());
}

// The schemas in name order, each with its objects in kind order; a table's constraints,
// indexes, rules and triggers under it. A sub-object whose table is not listed (a dump does
// not name an index's table) stays at the schema's level.
void PrintTree(const std::vector<BrowseObject>& objects, const std::string& database) {
    std::printf("database %s\n", database.c_str());
    std::map<std::string, std::vector<const BrowseObject*>> bySchema;
    std::map<std::pair<std::string, std::string>, std::vector<const BrowseObject*>> byTable;
    std::set<std::pair<std::string, std::string>> tables;
    for (const BrowseObject& o : objects) {
        if (o.kind == "table")
            tables.insert({o.schema, o.name});
    }
    for (const BrowseObject& o : objects) {
        bySchema[o.schema];
        if (o.kind == "schema")
            continue;
        if (!o.table.empty() && tables.count({o.schema, o.table}))
            byTable[{o.schema, o.table}].push_back(&o);
        else
            bySchema[o.schema].push_back(&o);
    }
    const auto byKind = [](const BrowseObject* a, const BrowseObject* b) {
        return Rank(a->kind) < Rank(b->kind);
    };
    for (auto& [schema, members] : bySchema) {
        std::printf("  schema %s\n", PGCommon::QuoteIdent(schema).c_str());
        std::stable_sort(members.begin(), members.end(), byKind);
        for (const BrowseObject* o : members) {
            PrintLine(2, *o);
            if (o->kind != "table")
                continue;
            auto& subs = byTable[{o->schema, o->name}];
            std::stable_sort(subs.begin(), subs.end(), byKind);
            for (const BrowseObject* sub : subs)
                PrintLine(3, *sub);
        }
    }
}

} // namespace

std::vector<BrowseObject> BrowseCommand::LiveObjects(const AgentConnection& c,
                                                     const std::string& instance,
                                                     const std::string& database) {
    const std::string version = CheckDatabase(c, instance, database);
    Postgres_objects catalogue;
    HostContext::ClearAgentError();
    if (catalogue.init(c.libDir, c.binDir, c.user, c.password, database, c.hostAddr, c.port,
                       version) != 0)
        throw CliError(HostContext::AgentFailure("cannot connect to database '" + database + "'"));
    HostContext::ClearAgentError();
    if (catalogue.fillSchemas() != 0)
        throw CliError(
            HostContext::AgentFailure("cannot read the catalogue of database '" + database + "'"));
    std::vector<object_prop> records;
    catalogue.getObjects(records);
    const CatalogueDetails details = ReadDetails(c, database);

    std::vector<BrowseObject> objects;
    std::string table;
    for (const object_prop& record : records) {
        const auto kind = kKindOfTag.find(TagOf(record.path));
        if (kind == kKindOfTag.end())
            continue; // the database's own record: the tree's root
        BrowseObject o;
        o.database = record.database;
        o.schema = record.schema;
        o.kind = kind->second;
        o.name = record.name;
        o.oid = record.oid;
        o.path = record.path;
        // A table's sub-objects follow their table's record.
        if (o.kind == "table" || o.kind == "schema")
            table = o.kind == "table" ? o.name : "";
        else if (o.kind == "constraint" || o.kind == "index" || o.kind == "rule" ||
                 o.kind == "trigger")
            o.table = table;
        if (o.kind == "function" || o.kind == "trigger-function") {
            const auto arguments = details.arguments.find(o.oid);
            if (arguments != details.arguments.end())
                o.arguments = arguments->second;
        }
        if (o.kind == "type") {
            const auto name = details.typeNames.find(o.oid);
            if (name != details.typeNames.end())
                o.name = name->second;
        }
        objects.push_back(std::move(o));
    }
    return objects;
}

std::vector<BrowseObject> BrowseCommand::DumpObjects(const DumpToc& toc) {
    std::vector<BrowseObject> objects;
    for (const DumpTocEntry& entry : toc.entries) {
        const auto kind = kKindOfEntry.find(entry.kind);
        if (kind == kKindOfEntry.end())
            continue; // data, comments, privileges and what the selector cannot name
        BrowseObject o;
        o.database = toc.database;
        o.kind = kind->second;
        o.schema = o.kind == "schema" ? entry.name : entry.schema;
        o.name = entry.name;
        o.table = entry.table;
        o.arguments = entry.arguments;
        o.oid = entry.oid;
        o.dumpId = entry.dumpId;
        o.owner = entry.owner;
        objects.push_back(std::move(o));
    }
    return objects;
}

void BrowseCommand::Show(const std::vector<BrowseObject>& objects, const std::string& database,
                         bool json) {
    if (json) {
        for (const BrowseObject& o : objects)
            std::printf("%s\n", Describe(o).dump().c_str());
    } else {
        PrintTree(objects, database);
    }
    std::fflush(stdout);
}

void BrowseCommand::ShowDump(const std::string& dumpFile, const std::string& pgRestore, bool json) {
    const DumpToc toc = DumpToc::Read(pgRestore, dumpFile);
    Show(DumpObjects(toc), toc.database, json);
}

void BrowseCommand::Run(HostContext& host, const Options& options) {
    const InstanceSettings settings = InstanceRegistry().Require(options.instance);
    if (!options.backupId.empty()) {
        if (options.database.empty())
            throw CliError::Usage("browsing a dump backup needs --database DB");
        const Repository repository(host.Repository());
        const BackupRecord record = repository.Get(settings.name, options.backupId);
        if (!record.complete || record.type != "dump")
            throw CliError("backup " + record.id + " is not a complete dump backup");
        const JobDirectory work(settings.id);
        const std::string dumpFile = DumpSet::ReadableDump(record, options.database, work.Path());
        ShowDump(dumpFile,
                 ClientPrograms::For(settings, record.manifest->serverVersion).pgRestore,
                 options.json);
        return;
    }
    if (!options.dumpFile.empty()) {
        ShowDump(options.dumpFile, ClientPrograms::For(settings, settings.version).pgRestore,
                 options.json);
        return;
    }
    if (options.database.empty())
        throw CliError::Usage("browse needs --database DB (or --dump-file FILE)");
    HostContext::BeginJob();
    const AgentConnection connection = InstanceRegistry::Connection(settings);
    Show(LiveObjects(connection, options.instance, options.database), options.database,
         options.json);
}
