#include "ObjectRestore.h"

#include "CliError.h"
#include "DumpToc.h"
#include "FileOps.h"
#include "HostContext.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGText.h"
#include "pgulo/Parse_selectedItems.h"
#include "pgulo/postgresRestoreObjects.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace {

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

// The entry of the object itself: lists print names as they are, so its text between the
// kind and the owner is the schema ("-" for a schema's own entry) and the listed name.
bool IsObject(const DumpTocEntry& entry, const ObjectSelector& object) {
    if (entry.kind != object.Keyword())
        return false;
    if (object.kind == "schema")
        return entry.body == "- " + object.name;
    return entry.body == object.schema + " " + object.ListedName();
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
        const std::set<unsigned long long> chosen = WithBelongings(Narrowed(IdsIn(edited)));
        outcome.entries = chosen.size();
        PgRestore(WriteFinalList(chosen));
        return outcome;
    }

private:
    DumpToc ListToc() {
        DumpToc toc = DumpToc::Read(programs_.pgRestore, r_.dumpFile);
        FileOps::WriteAtomically(listFile_, toc.ListText());
        return toc;
    }

    void CheckObjectsPresent() const {
        std::vector<std::string> missing;
        for (const ObjectSelector& object : r_.objects) {
            const bool found = std::any_of(toc_.entries.begin(), toc_.entries.end(),
                                           [&](const DumpTocEntry& e) { return IsObject(e, object); });
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
        const Subprocess::Result result =
            ClientPrograms::Run(programs_.psql, r_.connection,
                                {ClientPrograms::DbnameArg(database), "-X", "-A", "-t", "-v",
                                 "ON_ERROR_STOP=1", "-c", sql});
        if (!result.ok())
            throw CliError("psql failed on database '" + database + "': " + result.Message());
        return result.out;
    }

    bool CreateDatabaseWhenMissing() const {
        const std::string maintenance =
            r_.connection.database.empty() ? "postgres" : r_.connection.database;
        const std::string found =
            Psql(maintenance, "SELECT 1 FROM pg_catalog.pg_database WHERE datname = " +
                                  PGCommon::QuoteLiteral(r_.targetDatabase));
        if (found.find('1') != std::string::npos)
            return false;
        Psql(maintenance, "CREATE DATABASE " + PGCommon::QuoteIdent(r_.targetDatabase));
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

    std::set<unsigned long long> IdsIn(const std::string& list) const {
        std::set<unsigned long long> ids;
        for (const DumpTocEntry& entry : DumpToc::Parse(list).entries)
            ids.insert(entry.dumpId);
        for (const DumpTocEntry& entry : toc_.entries)
            for (const ObjectSelector& object : r_.objects)
                if (IsObject(entry, object))
                    ids.insert(entry.dumpId);
        return ids;
    }

    // The agent keeps every function of a chosen name; only the overloads named stay.
    std::set<unsigned long long> Narrowed(std::set<unsigned long long> ids) const {
        for (const DumpTocEntry& entry : toc_.entries) {
            if (entry.kind != "FUNCTION" || ids.count(entry.dumpId) == 0)
                continue;
            const bool named = std::any_of(r_.objects.begin(), r_.objects.end(),
                                           [&](const ObjectSelector& o) { return IsObject(entry, o); });
            if (!named)
                ids.erase(entry.dumpId);
        }
        return ids;
    }

    // Each entry's dependencies, as pg_restore prints them in a verbose rendering of
    // everything but the rows.
    std::map<unsigned long long, std::vector<unsigned long long>> Dependencies() const {
        std::vector<const DumpTocEntry*> schema;
        for (const DumpTocEntry& entry : toc_.entries)
            if (kDataKinds.count(entry.kind) == 0)
                schema.push_back(&entry);
        const std::string file = r_.workDir + "/schema.list";
        FileOps::WriteAtomically(file, toc_.ListText(schema));
        const Subprocess::Result result =
            Subprocess::Run({programs_.pgRestore, "-v", "-f", "-", "-L", file, "--", r_.dumpFile},
                            ClientPrograms::RunOptions(r_.connection));
        if (!result.ok())
            throw CliError("cannot read the dependencies in " + r_.dumpName + ": " +
                           result.Message());
        std::map<unsigned long long, std::vector<unsigned long long>> deps;
        std::istringstream in(result.out);
        std::string line;
        unsigned long long current = 0;
        while (std::getline(in, line)) {
            if (PGText::StartsWith(line, "-- TOC entry ")) {
                current = std::strtoull(line.c_str() + 13, nullptr, 10);
            } else if (PGText::StartsWith(line, "-- Dependencies:") && current != 0) {
                std::istringstream ids(line.substr(16));
                unsigned long long id = 0;
                while (ids >> id)
                    deps[current].push_back(id);
            }
        }
        return deps;
    }

    std::set<unsigned long long> WithBelongings(std::set<unsigned long long> ids) const {
        const std::map<unsigned long long, std::vector<unsigned long long>> deps = Dependencies();
        std::map<unsigned long long, const DumpTocEntry*> byId;
        for (const DumpTocEntry& entry : toc_.entries)
            byId[entry.dumpId] = &entry;
        auto isChosenRelation = [&](unsigned long long id) {
            return ids.count(id) && byId.count(id) && kRelations.count(byId[id]->kind);
        };
        for (bool grew = true; grew;) {
            grew = false;
            for (const DumpTocEntry& entry : toc_.entries) {
                if (ids.count(entry.dumpId))
                    continue;
                bool belongs = false;
                // Rows go with their table; the rendering above leaves them out.
                if (entry.kind == "TABLE DATA" || entry.kind == "MATERIALIZED VIEW DATA")
                    for (unsigned long long id : ids)
                        belongs = belongs || (byId.count(id) && kRelations.count(byId[id]->kind) &&
                                              byId[id]->body == entry.body);
                const auto found = deps.find(entry.dumpId);
                if (found != deps.end()) {
                    for (unsigned long long dep : found->second) {
                        if (kOwnedByRelation.count(entry.kind) && isChosenRelation(dep))
                            belongs = true;
                        if (kFollowsAny.count(entry.kind) && ids.count(dep))
                            belongs = true;
                    }
                }
                if (belongs) {
                    ids.insert(entry.dumpId);
                    grew = true;
                }
            }
        }
        return ids;
    }

    std::string WriteFinalList(const std::set<unsigned long long>& ids) const {
        // pg_restore follows the list's order: the dump's own, which respects dependencies.
        std::vector<const DumpTocEntry*> chosen;
        for (const DumpTocEntry& entry : toc_.entries)
            if (ids.count(entry.dumpId))
                chosen.push_back(&entry);
        const std::string file = r_.workDir + "/restore.list";
        FileOps::WriteAtomically(file, toc_.ListText(chosen));
        return file;
    }

    void PgRestore(const std::string& list) const {
        const Subprocess::Result result = ClientPrograms::Run(
            programs_.pgRestore, r_.connection,
            {"--single-transaction", "--clean", "--if-exists", "-L", list,
             ClientPrograms::DbnameArg(r_.targetDatabase), "--", r_.dumpFile});
        if (!result.ok())
            throw CliError("pg_restore into database '" + r_.targetDatabase +
                           "' failed, nothing of it was restored: " + result.Message());
    }

    const ObjectRestore::Request& r_;
    ClientPrograms programs_;
    std::string listFile_;
    DumpToc toc_;
};

} // namespace

ObjectRestore::Outcome ObjectRestore::FromDump(const Request& request) {
    return Restorer(request).Run();
}
