#include "ObjectRestoreCommand.h"

#include "ClientPrograms.h"
#include "CliError.h"
#include "DumpSet.h"
#include "FileOps.h"
#include "InstanceRegistry.h"
#include "JobDirectory.h"
#include "ObjectRestore.h"
#include "Repository.h"
#include "ScratchServer.h"
#include "ServerInfo.h"
#include "TimeText.h"

#include "pgulo/PGCommon.h"

#include <cstdio>

namespace {

// pg_dump's --table takes a pattern; quoted parts match their text exactly.
std::string ExactPattern(const ObjectSelector& object) {
    return PGCommon::QuoteIdent(object.schema) + "." + PGCommon::QuoteIdent(object.name);
}

// Tables, views and sequences can be dumped on their own (with their indexes, constraints,
// triggers and owned sequences), which spares dumping the whole database from the scratch copy;
// any other kind needs the whole database's dump.
std::vector<std::string> ScratchDumpFilter(const std::vector<ObjectSelector>& objects) {
    std::vector<std::string> args;
    for (const ObjectSelector& object : objects) {
        if (object.kind != "table" && object.kind != "view" && object.kind != "sequence")
            return {};
        args.push_back("--table=" + ExactPattern(object));
    }
    return args;
}

} // namespace

ObjectRestoreCommand::ObjectRestoreCommand(HostContext& host, Options options)
    : host_(host), options_(std::move(options)) {}

void ObjectRestoreCommand::CheckOptions() const {
    if (options_.objects.empty())
        throw CliError::Usage("--database and --into-database go with --object");
    if (options_.database.empty())
        throw CliError::Usage("--object needs --database DB, the database the objects come from");
    if (!options_.backupId.empty() && !options_.targetTime.empty())
        throw CliError::Usage("--object takes either --backup (a dump backup) or --target-time, "
                              "not both");
    std::int64_t micros = 0;
    if (!options_.targetTime.empty() && !TimeText::Parse(options_.targetTime, micros))
        throw CliError::Usage("--target-time '" + options_.targetTime +
                              "' is not a time like '2026-03-01 12:00:00+00'");
}

void ObjectRestoreCommand::Run() {
    CheckOptions();
    std::vector<ObjectSelector> objects;
    for (const std::string& text : options_.objects)
        objects.push_back(ObjectSelector::Parse(text));
    if (options_.targetTime.empty())
        FromDumpBackup(objects);
    else
        AsOfTime(objects);
}

void ObjectRestoreCommand::FromDumpBackup(const std::vector<ObjectSelector>& objects) {
    const InstanceSettings settings = InstanceRegistry().Require(options_.instance);
    const Repository repository(host_.Repository());
    BackupRecord record;
    if (options_.backupId.empty()) {
        record = DumpSet::NewestHolding(repository, settings.name, options_.database);
    } else {
        record = repository.Get(settings.name, options_.backupId);
        if (!record.complete)
            throw CliError("backup " + record.id + " is incomplete (" + record.message +
                           ") and cannot be restored");
        if (record.type != "dump")
            throw CliError("backup " + record.id + " is a " + record.type +
                           " backup; objects are restored from dump backups (--type dump) or "
                           "as of a time (--target-time)");
    }
    const JobDirectory work(settings.id);
    const std::string dumpFile = DumpSet::ReadableDump(record, options_.database, work.Path());
    Restore(objects, dumpFile, "backup " + record.id + " (database '" + options_.database + "')",
            work.Path());
}

void ObjectRestoreCommand::AsOfTime(const std::vector<ObjectSelector>& objects) {
    const InstanceSettings settings = InstanceRegistry().Require(options_.instance);
    const JobDirectory work(settings.id);
    const std::string& workDir = work.Path();
    const std::string dumpFile = workDir + "/scratch.dump";
    {
        ScratchServer::Options scratch;
        scratch.instance = options_.instance;
        scratch.targetTime = options_.targetTime;
        scratch.scratchParent = options_.scratchParent;
        scratch.jobs = options_.jobs;
        scratch.quiet = options_.quiet;
        ScratchServer server(host_, scratch);
        const ClientPrograms programs =
            ClientPrograms::For(server.Connection(), server.Connection().version);
        server.DumpDatabase(options_.database, programs.pgDump, dumpFile,
                            ScratchDumpFilter(objects));
    }
    Restore(objects, dumpFile,
            "the cluster as of " + options_.targetTime + " (database '" + options_.database + "')",
            workDir);
}

void ObjectRestoreCommand::Restore(const std::vector<ObjectSelector>& objects,
                                   const std::string& dumpFile, const std::string& dumpName,
                                   const std::string& workDir) {
    const InstanceSettings settings = InstanceRegistry().Require(options_.instance);
    ObjectRestore::Request request;
    request.connection = InstanceRegistry::Connection(settings);
    request.serverVersion = ServerInfo::Query(request.connection).version;
    request.connection.version = request.serverVersion;
    request.dumpFile = dumpFile;
    request.dumpName = dumpName;
    request.targetDatabase =
        options_.intoDatabase.empty() ? options_.database : options_.intoDatabase;
    request.objects = objects;
    request.workDir = workDir + "/lists";
    FileOps::MakeDirectories(request.workDir);
    const ObjectRestore::Outcome done = ObjectRestore::FromDump(request);
    std::printf("restored %zu object(s) (%zu entries) from %s into database '%s'%s\n",
                objects.size(), done.entries, dumpName.c_str(), request.targetDatabase.c_str(),
                done.createdDatabase ? ", created for it" : "");
    std::fflush(stdout);
}
