#include "ObjectRestore.h"

#include "CliError.h"
#include "FileOps.h"
#include "HostContext.h"

#include "pgulo/Parse_selectedItems.h"
#include "pgulo/postgresRestoreObjects.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace {

// Entry kinds of a pg_restore list, each before the shorter ones it starts with.
const char* const kKinds[] = {
    "MATERIALIZED VIEW DATA", "MATERIALIZED VIEW", "TABLE DATA", "TABLE ATTACH", "TABLE",
    "FK CONSTRAINT", "CHECK CONSTRAINT", "CONSTRAINT", "SEQUENCE OWNED BY", "SEQUENCE SET",
    "SEQUENCE", "INDEX ATTACH", "INDEX", "VIEW", "DEFAULT ACL", "DEFAULT", "ACL", "COMMENT",
    "SECURITY LABEL", "EVENT TRIGGER", "TRIGGER", "RULE", "POLICY", "ROW SECURITY",
    "STATISTICS", "SCHEMA", "FUNCTION", "PROCEDURE", "AGGREGATE", "SHELL TYPE", "TYPE",
    "DOMAIN", "BLOBS", "BLOB", "LARGE OBJECT"};

// What hangs on a table (or view) and is restored with it: each depends on its table.
const std::set<std::string> kOwnedByRelation = {
    "INDEX", "CONSTRAINT", "CHECK CONSTRAINT", "DEFAULT", "TRIGGER", "RULE", "POLICY",
    "ROW SECURITY", "STATISTICS", "INDEX ATTACH", "SEQUENCE"};
// What follows any restored entry: its comments and privileges, a sequence's value and owner.
const std::set<std::string> kFollowsAny = {"COMMENT", "ACL", "SECURITY LABEL", "SEQUENCE SET",
                                           "SEQUENCE OWNED BY"};
const std::set<std::string> kRelations = {"TABLE", "VIEW", "MATERIALIZED VIEW"};
// Rows are not part of the rendering that shows the dependencies.
const std::set<std::string> kDataKinds = {"TABLE DATA", "MATERIALIZED VIEW DATA", "BLOBS", "BLOB",
                                          "LARGE OBJECT"};

struct TocEntry {
    int id = 0;
    std::string kind;
    std::string rest; // after the kind: "schema name owner", names as they are
    std::string line;
};

struct Toc {
    std::vector<std::string> header; // the ';' lines
    std::vector<TocEntry> entries;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// "215; 1259 16386 TABLE public t1 postgres"
bool ParseEntry(const std::string& line, TocEntry& entry) {
    std::istringstream in(line);
    std::string id, tableOid, oid;
    if (!(in >> id >> tableOid >> oid) || id.size() < 2 || id.back() != ';')
        return false;
    entry.id = std::atoi(id.c_str());
    std::string tail;
    std::getline(in, tail);
    if (!tail.empty() && tail.front() == ' ')
        tail.erase(0, 1);
    entry.line = line;
    for (const char* kind : kKinds) {
        if (StartsWith(tail, std::string(kind) + " ")) {
            entry.kind = kind;
            entry.rest = tail.substr(entry.kind.size() + 1);
            return true;
        }
    }
    entry.rest = tail;
    return true;
}

Toc ParseToc(const std::string& text) {
    Toc toc;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        TocEntry entry;
        if (StartsWith(line, ";"))
            toc.header.push_back(line);
        else if (ParseEntry(line, entry))
            toc.entries.push_back(entry);
    }
    return toc;
}

// Lists print names as they are, so an entry is the object's when its text after the kind
// starts with the schema ("-" for a schema's own entry) and the listed name, each followed
// by a blank.
bool IsObject(const TocEntry& entry, const ObjectSelector& object) {
    if (entry.kind != object.Keyword())
        return false;
    if (object.kind == "schema")
        return StartsWith(entry.rest, "- " + object.name + " ");
    return StartsWith(entry.rest, object.schema + " " + object.ListedName() + " ");
}

std::vector<std::string> Connected(const std::string& program,
                                   const AgentConnection& connection) {
    std::vector<std::string> args = {program};
    for (const std::string& arg : ClientPrograms::ConnectionArgs(connection))
        args.push_back(arg);
    return args;
}

Subprocess::Result RunProgram(const std::vector<std::string>& args,
                              const AgentConnection& connection) {
    return Subprocess::Run(args, ClientPrograms::RunOptions(connection));
}

std::string SqlLiteral(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

std::string SqlIdentifier(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

class Restorer {
public:
    explicit Restorer(const ObjectRestore::Request& request)
        : r_(request), programs_(ClientPrograms::For(request.connection, request.serverVersion)),
          listFile_(request.workDir + "/toc.list") {}

    ObjectRestore::Outcome Run() {
        if (r_.targetDatabase.empty() || r_.targetDatabase.find('/') != std::string::npos)
            throw CliError::Usage("database '" + r_.targetDatabase +
                                  "' cannot be restored into by object (empty, or holds '/')");
        toc_ = ListToc();
        CheckObjectsPresent();
        ObjectRestore::Outcome outcome;
        outcome.createdDatabase = CreateDatabaseWhenMissing();
        const std::vector<object_type> objects = AgentObjects();
        const std::string edited = AgentEditedList(objects);
        const std::set<int> chosen = WithBelongings(Narrowed(IdsIn(edited)));
        outcome.entries = chosen.size();
        PgRestore(WriteFinalList(chosen));
        return outcome;
    }

private:
    Toc ListToc() {
        const Subprocess::Result result =
            RunProgram({programs_.pgRestore, "--list", "--", r_.dumpFile}, r_.connection);
        if (!result.ok())
            throw CliError("cannot read the table of contents of " + r_.dumpName + ": " +
                           result.Message());
        FileOps::WriteAtomically(listFile_, result.out);
        return ParseToc(result.out);
    }

    void CheckObjectsPresent() const {
        std::vector<std::string> missing;
        for (const ObjectSelector& object : r_.objects) {
            const bool found = std::any_of(toc_.entries.begin(), toc_.entries.end(),
                                           [&](const TocEntry& e) { return IsObject(e, object); });
            if (!found)
                missing.push_back(object.Text());
        }
        if (missing.empty())
            return;
        std::string names;
        for (const std::string& name : missing)
            names += (names.empty() ? "" : ", ") + name;
        throw CliError(r_.dumpName + " holds no " + names + "; nothing was restored");
    }

    std::string Psql(const std::string& database, const std::string& sql) const {
        std::vector<std::string> args = Connected(programs_.psql, r_.connection);
        args.insert(args.end(), {ClientPrograms::DbnameArg(database), "-X", "-A", "-t", "-v",
                                 "ON_ERROR_STOP=1", "-c", sql});
        const Subprocess::Result result = RunProgram(args, r_.connection);
        if (!result.ok())
            throw CliError("psql failed on database '" + database + "': " + result.Message());
        return result.out;
    }

    bool CreateDatabaseWhenMissing() const {
        const std::string maintenance =
            r_.connection.database.empty() ? "postgres" : r_.connection.database;
        const std::string found =
            Psql(maintenance, "SELECT 1 FROM pg_catalog.pg_database WHERE datname = " +
                                  SqlLiteral(r_.targetDatabase));
        if (found.find('1') != std::string::npos)
            return false;
        Psql(maintenance, "CREATE DATABASE " + SqlIdentifier(r_.targetDatabase));
        return true;
    }

    static std::string BrowsePath(const std::string& database, const ObjectSelector& object) {
        static const std::map<std::string, std::string> kTags = {
            {"table", "tabl"}, {"view", "view"}, {"sequence", "seqc"}, {"function", "func"},
            {"type", "type"},  {"domain", "domn"}};
        const std::string base = "/TblView/" + database + "/" + object.schema + "/";
        if (object.kind == "schema")
            return base + "#?#?#schm";
        return base + object.name + "/#?#?#" + kTags.at(object.kind);
    }

    std::vector<object_type> AgentObjects() const {
        HostContext::ClearAgentError();
        Parse_selectedItems selection;
        const AgentConnection& c = r_.connection;
        selection.setDb(c.libDir, FileOps::Parent(programs_.psql), c.user, c.password,
                        r_.targetDatabase, c.hostAddr, c.port, r_.serverVersion);
        for (const ObjectSelector& object : r_.objects)
            selection.addGUIitems(BrowsePath(r_.targetDatabase, object));
        selection.parse();
        if (selection.ParsedItems().size() != r_.objects.size())
            throw CliError("the agent did not understand every chosen object; nothing was "
                           "restored");
        std::vector<object_type> objects;
        // The drops happen inside pg_restore's transaction (--clean), so that a restore that
        // fails leaves every object as it was.
        if (selection.getobjects(r_.targetDatabase, objects, true) != 0)
            throw CliError(HostContext::AgentFailure("the chosen objects could not be prepared"));
        return objects;
    }

    std::string AgentEditedList(const std::vector<object_type>& objects) const {
        HostContext::ClearAgentError();
        postgresRestoreObjects restore;
        const AgentConnection& c = r_.connection;
        restore.init(c.libDir, c.password, FileOps::Parent(programs_.pgRestore), c.user,
                     c.hostAddr, c.port, r_.targetDatabase, r_.dumpFile, r_.workDir,
                     r_.serverVersion);
        if (restore.setObjectsListfile(listFile_) != 0)
            throw CliError("the agent cannot read the list " + listFile_);
        for (const object_type& object : objects)
            restore.addObjects(object);
        if (restore.setObjectsList() != 0)
            throw CliError(HostContext::AgentFailure("the agent could not edit the list"));
        std::string edited;
        restore.getEditObjectListfile(edited);
        return FileOps::ReadWhole(edited);
    }

    std::set<int> IdsIn(const std::string& list) const {
        std::set<int> ids;
        for (const TocEntry& entry : ParseToc(list).entries)
            ids.insert(entry.id);
        for (const TocEntry& entry : toc_.entries)
            for (const ObjectSelector& object : r_.objects)
                if (IsObject(entry, object))
                    ids.insert(entry.id);
        return ids;
    }

    // The agent keeps every function of a chosen name; only the overloads named stay.
    std::set<int> Narrowed(std::set<int> ids) const {
        for (const TocEntry& entry : toc_.entries) {
            if (entry.kind != "FUNCTION" || ids.count(entry.id) == 0)
                continue;
            const bool named = std::any_of(r_.objects.begin(), r_.objects.end(),
                                           [&](const ObjectSelector& o) { return IsObject(entry, o); });
            if (!named)
                ids.erase(entry.id);
        }
        return ids;
    }

    // Each entry's dependencies, as pg_restore prints them in a verbose rendering of
    // everything but the rows.
    std::map<int, std::vector<int>> Dependencies() const {
        std::string list;
        for (const std::string& line : toc_.header)
            list += line + "\n";
        for (const TocEntry& entry : toc_.entries)
            if (kDataKinds.count(entry.kind) == 0)
                list += entry.line + "\n";
        const std::string file = r_.workDir + "/schema.list";
        FileOps::WriteAtomically(file, list);
        const Subprocess::Result result = RunProgram(
            {programs_.pgRestore, "-v", "-f", "-", "-L", file, "--", r_.dumpFile}, r_.connection);
        if (!result.ok())
            throw CliError("cannot read the dependencies in " + r_.dumpName + ": " +
                           result.Message());
        std::map<int, std::vector<int>> deps;
        std::istringstream in(result.out);
        std::string line;
        int current = 0;
        while (std::getline(in, line)) {
            if (StartsWith(line, "-- TOC entry ")) {
                current = std::atoi(line.c_str() + 13);
            } else if (StartsWith(line, "-- Dependencies:") && current != 0) {
                std::istringstream ids(line.substr(16));
                int id = 0;
                while (ids >> id)
                    deps[current].push_back(id);
            }
        }
        return deps;
    }

    std::set<int> WithBelongings(std::set<int> ids) const {
        const std::map<int, std::vector<int>> deps = Dependencies();
        std::map<int, const TocEntry*> byId;
        for (const TocEntry& entry : toc_.entries)
            byId[entry.id] = &entry;
        auto isChosenRelation = [&](int id) {
            return ids.count(id) && byId.count(id) && kRelations.count(byId[id]->kind);
        };
        for (bool grew = true; grew;) {
            grew = false;
            for (const TocEntry& entry : toc_.entries) {
                if (ids.count(entry.id))
                    continue;
                bool belongs = false;
                // Rows go with their table; the rendering above leaves them out.
                if (entry.kind == "TABLE DATA" || entry.kind == "MATERIALIZED VIEW DATA")
                    for (int id : ids)
                        belongs = belongs || (byId.count(id) && kRelations.count(byId[id]->kind) &&
                                              byId[id]->rest == entry.rest);
                const auto found = deps.find(entry.id);
                if (found != deps.end()) {
                    for (int dep : found->second) {
                        if (kOwnedByRelation.count(entry.kind) && isChosenRelation(dep))
                            belongs = true;
                        if (kFollowsAny.count(entry.kind) && ids.count(dep))
                            belongs = true;
                    }
                }
                if (belongs) {
                    ids.insert(entry.id);
                    grew = true;
                }
            }
        }
        return ids;
    }

    std::string WriteFinalList(const std::set<int>& ids) const {
        std::string list;
        for (const std::string& line : toc_.header)
            list += line + "\n";
        // pg_restore follows the list's order: the dump's own, which respects dependencies.
        for (const TocEntry& entry : toc_.entries)
            if (ids.count(entry.id))
                list += entry.line + "\n";
        const std::string file = r_.workDir + "/restore.list";
        FileOps::WriteAtomically(file, list);
        return file;
    }

    void PgRestore(const std::string& list) const {
        std::vector<std::string> args = Connected(programs_.pgRestore, r_.connection);
        args.insert(args.end(), {"--single-transaction", "--clean", "--if-exists", "-L", list,
                                 ClientPrograms::DbnameArg(r_.targetDatabase), "--",
                                 r_.dumpFile});
        const Subprocess::Result result = RunProgram(args, r_.connection);
        if (!result.ok())
            throw CliError("pg_restore into database '" + r_.targetDatabase +
                           "' failed, nothing of it was restored: " + result.Message());
    }

    const ObjectRestore::Request& r_;
    ClientPrograms programs_;
    std::string listFile_;
    Toc toc_;
};

} // namespace

ObjectRestore::Outcome ObjectRestore::FromDump(const Request& request) {
    return Restorer(request).Run();
}
