#include "PhysicalRestore.h"

#include "BlockAssembler.h"
#include "BlockPlan.h"
#include "CliError.h"
#include "CopyEngine.h"
#include "FileOps.h"
#include "HumanFormat.h"
#include "InstanceLock.h"
#include "Progress.h"
#include "ServerControl.h"
#include "ServerInfo.h"
#include "SignalGuard.h"
#include "StoredFileReader.h"
#include "TimeText.h"
#include "WalChain.h"

#include "pgulo/ExecutePostgre.h"
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGVersion.h"
#include "pgulo/PostgresHelperClass.h"
#include "pgulo/host/HostHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace {

constexpr std::size_t kSegmentNameLength = 24;

// The server runs as its own user and must pass through every directory above its files:
// the ones made here are open to all (the data directory itself stays the server's, 0700).
void MakeReachableDirectory(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) == 0)
        return;
    MakeReachableDirectory(FileOps::Parent(path));
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw CliError("cannot create the directory " + path + ": " + FileOps::ErrnoText(errno));
    // Whatever the umask left of it.
    if (::chmod(path.c_str(), 0755) != 0)
        throw CliError("cannot open the directory " + path +
                       " to the server's user: " + FileOps::ErrnoText(errno));
}

// Orders segment names by position in the WAL, then by timeline.
std::string SegmentOrder(const std::string& name) {
    return name.substr(8) + name.substr(0, 8);
}

std::string PortNumber(const std::string& port) {
    const std::size_t colon = port.rfind(':');
    return colon == std::string::npos ? port : port.substr(colon + 1);
}

} // namespace

PhysicalRestore::PhysicalRestore(HostContext& host, Options options)
    : host_(host), options_(std::move(options)), repository_(host.Repository()) {}

void PhysicalRestore::SelectBackups() {
    if (hasTarget_ && targetMicros_ > TimeText::NowMicros())
        throw CliError("the target time " + TimeText::Local(targetMicros_) +
                       " is in the future; no backup holds WAL up to it");
    all_ = repository_.List(settings_.name);
    references_ = std::make_unique<ReferenceSet>(all_);
    const std::vector<BackupRecord>& all = all_;
    const BackupRecord* chosen = nullptr;
    std::string stopAt;
    if (!options_.backupId.empty()) {
        const BackupRecord record = repository_.Get(settings_.name, options_.backupId);
        if (!record.complete)
            throw CliError("backup " + record.id + " is incomplete (" + record.message +
                           ") and cannot be restored");
        if (record.type == "dump")
            throw CliError("backup " + record.id + " is a dump backup; restore objects from it "
                           "with --database DB --object KIND:SCHEMA.NAME");
        if (record.type == "log") {
            stopAt = record.id;
            // The data backup whose chain of log backups reaches this one.
            for (auto it = all.rbegin(); it != all.rend(); ++it) {
                if (it->complete && Manifest::IsDataBackup(it->type) &&
                    it->startMicros < record.startMicros) {
                    chosen = &*it;
                    break;
                }
            }
        } else {
            for (const auto& r : all)
                if (r.id == record.id)
                    chosen = &r;
        }
    } else {
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (it->complete && Manifest::IsDataBackup(it->type) &&
                (!hasTarget_ || it->manifest->endMicros <= targetMicros_)) {
                chosen = &*it;
                break;
            }
        }
    }
    // A diff or incr backup ends after the full backup it builds on: without a full backup
    // there is none either.
    if (!chosen) {
        if (hasTarget_)
            throw CliError("instance '" + settings_.name + "' has no complete full backup that " +
                           "finished before " + TimeText::Local(targetMicros_));
        throw CliError("instance '" + settings_.name + "' has no complete full backup to restore");
    }
    full_ = *chosen;
    SelectLogs(all, stopAt);
    CheckReach();
}

void PhysicalRestore::SelectLogs(const std::vector<BackupRecord>& all, const std::string& stopAt) {
    // A full backup named without a target time is restored to its own end.
    const bool followLogs = hasTarget_ || options_.backupId.empty() || !stopAt.empty();
    // Log backups past the first one whose WAL holds the target add nothing to the restore.
    auto holdsTarget = [this](const BackupRecord& r) {
        return hasTarget_ && r.manifest->WalCompleteMicros() >= targetMicros_;
    };
    bool reached = holdsTarget(full_);
    std::string end = full_.manifest->endWal;
    for (const auto& r : all) {
        if (!followLogs || reached)
            break;
        if (!r.complete || r.type != "log" || r.startMicros <= full_.startMicros)
            continue;
        if (r.manifest->baseWal != end)
            continue;
        logs_.push_back(r);
        end = r.manifest->endWal;
        if (r.id == stopAt)
            break;
        reached = holdsTarget(r);
    }
    if (!stopAt.empty() && !reached && (logs_.empty() || logs_.back().id != stopAt))
        throw CliError("log backup " + stopAt + " does not continue a complete data backup");
}

void PhysicalRestore::CheckReach() const {
    if (!hasTarget_)
        return;
    std::int64_t reach = full_.manifest->WalCompleteMicros();
    for (const auto& log : logs_)
        reach = std::max(reach, log.manifest->WalCompleteMicros());
    // Recovery would stop at the end of the WAL and the server would take that for the
    // target (before 13 without a word): the transactions after it would be missing.
    if (reach < targetMicros_)
        throw CliError("the backed-up WAL reaches " + TimeText::Local(reach) +
                       "; take a log backup first");
}

void PhysicalRestore::CheckWal() const {
    std::vector<const BackupRecord*> chain = {&full_};
    for (const auto& log : logs_)
        chain.push_back(&log);
    const std::string missing = WalChain(chain).FirstMissing();
    if (!missing.empty())
        throw CliError("the backed-up WAL is not whole: " +
                       std::string(missing.size() == kSegmentNameLength ? "segment " : "file ") +
                       missing + " is missing");
    for (const BackupRecord* record : chain) {
        for (const auto& e : record->manifest->entries) {
            if (e.role != ManifestEntry::Role::Wal || e.kind != ManifestEntry::Kind::File ||
                record->Holds(e.stored))
                continue;
            throw CliError("the backed-up WAL is not whole: " + FileOps::BaseName(e.path) +
                           " is missing (backup " + record->id +
                           " lost its stored copy; run 'pgulo verify')");
        }
    }
}

void PhysicalRestore::CheckStoredCopies(const RestorePlan& plan) const {
    const Manifest& m = *full_.manifest;
    for (const BackupRecord* reference : references_->References(full_)) {
        const std::vector<std::string> extra = Repository::UnexpectedFiles(*reference);
        if (!extra.empty())
            throw CliError("backup " + reference->id + ", which backup " + full_.id +
                           " builds on, holds what its manifest does not know (" + extra.front() +
                           "); it may have been tampered with, run 'pgulo verify'");
    }
    for (const auto& a : plan.Actions()) {
        if (a.kind != RestorePlan::Action::Kind::CopyFile)
            continue;
        if (a.entry->storedIn.empty() && !ReferenceSet::Assembled(*a.entry)) {
            if (!full_.Holds(a.entry->stored))
                throw CliError("backup " + full_.id + " lost its copy of " + a.entry->path +
                               "; run 'pgulo verify'");
            continue;
        }
        try {
            references_->RequireStored(full_, *a.entry);
        } catch (const CliError& e) {
            throw CliError(std::string(e.what()) + "; backup " + full_.id +
                           " cannot be restored, run 'pgulo verify'");
        }
    }
    for (const std::string& stored : {m.backupLabel, m.tablespaceMap}) {
        if (!stored.empty() && !full_.Holds(stored))
            throw CliError("backup " + full_.id + " lost its " + stored + "; run 'pgulo verify'");
    }
}

std::vector<RestoreTargetGuard::Protected> PhysicalRestore::ProtectedPaths() const {
    // A running server first: of all the reasons a directory is kept, it names the gravest.
    std::vector<RestoreTargetGuard::Protected> paths = RestoreTargetGuard::RunningServers();
    paths.push_back({host_.Repository(), "the backup repository", true});
    paths.push_back({HostHome::root(), "the pgulo home directory ($PGULO_HOME)", false});
    paths.push_back(
        {full_.manifest->archiveDirectory, "the WAL archive the backup was taken from", true});
    for (const auto& instance : InstanceRegistry().List()) {
        if (!instance.archiveDir.empty())
            paths.push_back(
                {instance.archiveDir, "the WAL archive of instance '" + instance.name + "'", true});
    }
    return paths;
}

void PhysicalRestore::CheckTargets(const RestorePlan& plan) const {
    if (ServerInfo::IsRunning(plan.DataDirectory()))
        throw CliError("a server is running on " + plan.DataDirectory() +
                       "; stop it before restoring into it");
    const bool sourceRunning =
        !plan.InPlace() && ServerInfo::IsRunning(full_.manifest->dataDirectory);
    for (const auto& root : plan.Roots()) {
        if (root.sharedWithSource && sourceRunning)
            throw CliError("the directory " + root.destination +
                           " belongs to the running cluster at " + full_.manifest->dataDirectory +
                           "; give it a new place with " + "--tablespace-map " + root.source +
                           "=NEW");
    }
    using Kind = RestoreTargetGuard::Kind;
    const RestoreTargetGuard guard(ProtectedPaths());
    auto check = [&](const std::string& target, Kind kind) {
        const std::string refusal = guard.Refusal(target, kind, options_.force);
        if (!refusal.empty())
            throw CliError(refusal);
    };
    for (const auto& root : plan.Roots()) {
        check(root.destination, root.isDataDirectory  ? Kind::DataDirectory
                                : root.isWalDirectory ? Kind::WalDirectory
                                                      : Kind::Tablespace);
    }
    for (const auto& file : plan.ExternalFiles())
        check(file, Kind::ExternalFile);
    check(options_.walDir, Kind::WalDirectory);
}

void PhysicalRestore::ClearTargets(const RestorePlan& plan) const {
    std::vector<std::string> dirs = {options_.walDir};
    for (const auto& root : plan.Roots())
        dirs.push_back(root.destination);
    for (const auto& dir : dirs) {
        for (const auto& name : FileOps::List(dir))
            FileOps::RemoveTree(dir + "/" + name);
    }
}

void PhysicalRestore::MakeParents(const RestorePlan& plan) const {
    for (const auto& root : plan.Roots())
        MakeReachableDirectory(FileOps::Parent(root.destination));
    for (const auto& file : plan.ExternalFiles())
        MakeReachableDirectory(FileOps::Parent(file));
    MakeReachableDirectory(FileOps::Parent(options_.walDir));
    if (options_.start)
        MakeReachableDirectory(FileOps::Parent(LogFile(plan)));
}

std::string PhysicalRestore::StoredPath(const BackupRecord& record,
                                       const ManifestEntry& entry) const {
    const std::string where = record.Describe(entry.stored);
    return entry.packed ? where + " at " + std::to_string(entry.packOffset) : where;
}

std::vector<CopyEngine::Outcome> PhysicalRestore::RunCopies(
    const std::vector<CopyEngine::Task>& tasks, Progress& progress, bool sync,
    const std::string& failed, const std::string& interrupted) const {
    CopyEngine::Options o;
    o.jobs = options_.jobs;
    o.checksum = !options_.noVerify;
    o.sync = sync;
    o.progress = &progress;
    o.quit = [] { return SignalGuard::QuitRequested(); };
    CopyEngine engine(o);
    std::vector<CopyEngine::Outcome> outcomes = engine.Run(tasks);
    progress.Finish();
    if (!engine.FirstError().empty())
        throw CliError(failed + engine.FirstError());
    if (engine.Stopped())
        throw CliError(interrupted);
    return outcomes;
}

void PhysicalRestore::AssembleFiles(const std::vector<const RestorePlan::Action*>& actions) {
    Progress progress("restore blocks", Progress::ModeFor(options_.quiet));
    std::uint64_t bytes = 0;
    for (const auto* a : actions)
        bytes += a->entry->size;
    progress.Start(actions.size(), bytes);
    for (const auto* a : actions) {
        if (SignalGuard::QuitRequested())
            throw CliError("interrupted; the restored directories are incomplete");
        const ManifestEntry& e = *a->entry;
        BlockAssembler::Result r;
        try {
            r = BlockAssembler::Assemble(references_->SourcesOf(full_, e), a->destination, 0600,
                                         e.size);
        } catch (const CliError&) {
            throw;
        } catch (const std::exception& error) {
            throw CliError(std::string("restoring failed: ") + error.what());
        }
        if (r.bytes != e.size || !BlockPlan::Matches(e, r.checksum, r.blockDigests))
            throw CliError("the file " + e.path + " rebuilt from the blocks of backup " + full_.id +
                           " and those it builds on does not match its checksum; the backups are "
                           "damaged, run 'pgulo verify'");
        outcome_.bytes += r.bytes;
        progress.AddBytes(r.bytes);
        progress.FileDone();
    }
    progress.Finish();
}

void PhysicalRestore::CopyFiles(const std::vector<const RestorePlan::Action*>& all, bool sync) {
    std::vector<const RestorePlan::Action*> actions, assembled;
    for (const auto* a : all)
        (ReferenceSet::Assembled(*a->entry) ? assembled : actions).push_back(a);
    std::vector<CopyEngine::Task> tasks;
    std::uint64_t bytes = 0;
    for (const auto* a : actions) {
        tasks.push_back(references_->ReadTask(full_, *a->entry, a->destination));
        bytes += a->entry->size;
    }
    Progress progress("restore", Progress::ModeFor(options_.quiet));
    progress.Start(tasks.size(), bytes);
    const auto outcomes = RunCopies(tasks, progress, sync, "restoring failed: ",
                                    "interrupted; the restored directories are incomplete");
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const ManifestEntry& e = *actions[i]->entry;
        const auto& r = outcomes[i].result;
        if (r.status == FileCopier::Status::Vanished)
            throw CliError("the backup lost " + e.StoredLabel() + "; run 'pgulo verify'");
        if (r.bytes != e.size || (!options_.noVerify && r.checksum != e.checksum))
            throw CliError("the stored copy " + StoredPath(references_->Owner(full_, e), e) +
                           " does not match its checksum; the backup is damaged");
        outcome_.bytes += r.bytes;
    }
    AssembleFiles(assembled);
}

void PhysicalRestore::RestoreFiles(const RestorePlan& plan) {
    std::vector<const RestorePlan::Action*> files;
    control_.clear();
    for (const auto& a : plan.Actions()) {
        switch (a.kind) {
        case RestorePlan::Action::Kind::MakeDirectory:
            FileOps::MakeDirectories(a.destination);
            break;
        case RestorePlan::Action::Kind::CopyFile:
            FileOps::MakeDirectories(FileOps::Parent(a.destination));
            (a.destination == plan.DataDirectory() + "/global/pg_control" ? control_ : files)
                .push_back(&a);
            break;
        case RestorePlan::Action::Kind::MakeSymlink:
            break;
        }
    }
    CopyFiles(files, false);
    for (const auto& a : plan.Actions()) {
        if (a.kind != RestorePlan::Action::Kind::MakeSymlink)
            continue;
        FileOps::MakeDirectories(FileOps::Parent(a.destination));
        ::unlink(a.destination.c_str());
        if (::symlink(a.linkTarget.c_str(), a.destination.c_str()) != 0)
            throw CliError("cannot create the link " + a.destination + ": " +
                           FileOps::ErrnoText(errno));
    }
    PlaceBackupLabel(plan);
}

void PhysicalRestore::PlaceControlFile(const RestorePlan& plan) {
    // Everything else, the WAL included, is on disk and checked before pg_control: a
    // directory without it is plainly not a usable cluster, one with it must be complete.
    SyncTargets(plan);
    CopyFiles(control_, true);
}

void PhysicalRestore::CheckNothingUnexpected() const {
    std::vector<const BackupRecord*> chain = {&full_};
    for (const auto& log : logs_)
        chain.push_back(&log);
    for (const BackupRecord* record : chain) {
        const std::vector<std::string> extra = Repository::UnexpectedFiles(*record);
        if (!extra.empty())
            throw CliError("backup " + record->id + " holds what its manifest does not know (" +
                           extra.front() + "); it may have been tampered with, run 'pgulo verify'");
    }
}

void PhysicalRestore::DataDirectoryOwner(uid_t& uid, gid_t& gid) const {
    const Manifest& m = *full_.manifest;
    const std::string dataDir = RestorePlan::Normalize(m.dataDirectory);
    for (const auto& e : m.entries) {
        if (e.role != ManifestEntry::Role::Data || RestorePlan::Normalize(e.path) != dataDir)
            continue;
        const long user = FileOps::UidOf(e.user);
        const long group = FileOps::GidOf(e.group);
        uid = static_cast<uid_t>(user >= 0 ? user : e.uid);
        gid = static_cast<gid_t>(group >= 0 ? group : e.gid);
        return;
    }
    throw CliError("backup " + full_.id + " does not hold its data directory");
}

void PhysicalRestore::PlaceBackupLabel(const RestorePlan& plan) {
    const Manifest& m = *full_.manifest;
    auto place = [&](const std::string& stored, const std::string& name, bool rewrite) {
        for (const auto& e : m.entries) {
            if (e.role != ManifestEntry::Role::Meta || e.stored != stored)
                continue;
            std::string text;
            try {
                text = StoredFileReader::ReadText(*full_.storage, full_.PathOf(stored),
                                                  full_.FormOf(e), {e.size, e.checksum});
            } catch (const std::runtime_error& error) {
                throw CliError("the stored " + name + " of backup " + full_.id +
                               " is damaged: " + error.what());
            }
            if (rewrite)
                text = plan.RewriteTablespaceMap(text);
            const std::string path = plan.DataDirectory() + "/" + name;
            FileOps::WriteAtomically(path, text, 0600);
            // The server reads it as the data directory's owner.
            uid_t uid = 0;
            gid_t gid = 0;
            DataDirectoryOwner(uid, gid);
            if (::chown(path.c_str(), uid, gid) != 0)
                throw CliError("cannot give " + path +
                               " to the data directory's owner: " + FileOps::ErrnoText(errno));
            return;
        }
        throw CliError("backup " + full_.id + " lost its " + name);
    };
    if (!m.backupLabel.empty())
        place(m.backupLabel, "backup_label", false);
    else if (PGVersionAtLeast(m.serverVersion, PG_VERSION_15))
        throw CliError("backup " + full_.id + " of PostgreSQL " + m.serverVersion +
                       " holds no backup_label");
    if (!m.tablespaceMap.empty())
        place(m.tablespaceMap, "tablespace_map", true);
}

void PhysicalRestore::GatherWal() {
    FileOps::MakeDirectories(options_.walDir);
    std::vector<const BackupRecord*> chain = {&full_};
    for (const auto& log : logs_)
        chain.push_back(&log);
    std::vector<CopyEngine::Task> tasks;
    std::vector<const ManifestEntry*> entries;
    std::set<std::string> names;
    for (const BackupRecord* record : chain) {
        for (const auto& e : record->manifest->entries) {
            if (e.role != ManifestEntry::Role::Wal || e.kind != ManifestEntry::Kind::File)
                continue;
            const std::string name = FileOps::BaseName(e.path);
            if (!names.insert(name).second)
                continue;
            if (name.size() == kSegmentNameLength && RestoreTargetGuard::IsWalName(name) &&
                (lastSegment_.empty() || SegmentOrder(name) > SegmentOrder(lastSegment_)))
                lastSegment_ = name;
            tasks.push_back(record->ReadTask(e, options_.walDir + "/" + name));
            entries.push_back(&e);
        }
    }
    Progress progress("WAL", Progress::ModeFor(options_.quiet));
    progress.Start(tasks.size(), 0);
    // Not synced one by one: flushed with the data directory's file system.
    const auto outcomes = RunCopies(tasks, progress, false, "gathering WAL failed: ",
                                    "interrupted while gathering WAL");
    // The agent's ownership change looks at the top of the WAL directory only: a directory
    // already the server's (a restore repeated with --force) would keep root's files.
    uid_t uid = 0;
    gid_t gid = 0;
    DataDirectoryOwner(uid, gid);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (!options_.noVerify && outcomes[i].result.checksum != entries[i]->checksum)
            throw CliError("the stored WAL file " + tasks[i].source + " is damaged");
        if (::chown(tasks[i].target.c_str(), uid, gid) != 0)
            throw CliError("cannot give " + tasks[i].target +
                           " to the server's user: " + FileOps::ErrnoText(errno));
    }
    outcome_.walFiles = tasks.size();
}

void PhysicalRestore::ApplyMetadata(const RestorePlan& plan) const {
    // Files and links first, directories deepest first: setting a directory's time before
    // its contents are written would be undone by the writes.
    const auto& actions = plan.Actions();
    for (auto it = actions.rbegin(); it != actions.rend(); ++it) {
        const ManifestEntry& e = *it->entry;
        const char* path = it->destination.c_str();
        long uid = FileOps::UidOf(e.user);
        long gid = FileOps::GidOf(e.group);
        if (uid < 0)
            uid = e.uid;
        if (gid < 0)
            gid = e.gid;
        if (::lchown(path, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0 &&
            ::geteuid() == 0)
            throw CliError(std::string("cannot set the owner of ") + path + ": " +
                           FileOps::ErrnoText(errno));
        if (it->kind == RestorePlan::Action::Kind::MakeSymlink)
            continue;
        if (::chmod(path, static_cast<mode_t>(e.mode & 07777)) != 0)
            throw CliError(std::string("cannot set the mode of ") + path + ": " +
                           FileOps::ErrnoText(errno));
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(e.mtimeSec);
        times[0].tv_nsec = static_cast<long>(e.mtimeNsec);
        times[1] = times[0];
        ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
    }
    SyncTargets(plan);
}

void PhysicalRestore::SyncTargets(const RestorePlan& plan) const {
    for (const auto& root : plan.Roots())
        FileOps::SyncFileSystem(root.destination);
    for (const auto& file : plan.ExternalFiles())
        FileOps::SyncFileSystem(FileOps::Parent(file));
    if (FileOps::IsDirectory(options_.walDir))
        FileOps::SyncFileSystem(options_.walDir);
}

std::string PhysicalRestore::OsUser() const {
    if (!full_.manifest->osUser.empty() && FileOps::UidOf(full_.manifest->osUser) >= 0)
        return full_.manifest->osUser;
    if (!settings_.unixUser.empty())
        return settings_.unixUser;
    return "postgres";
}

void PhysicalRestore::WriteRecoverySettings(const RestorePlan& plan) {
    const Manifest& m = *full_.manifest;
    GetPostgresInfo info;
    HostContext::ClearAgentError();
    if (info.Init(static_cast<long>(settings_.id)) != 0)
        throw CliError(HostContext::AgentFailure("cannot read the settings of instance '" +
                                                 settings_.name + "'"));
    // The restored files decide the layout of the settings, whatever the instance says now.
    info.postgresVersion = m.serverVersion;
    if (!options_.port.empty())
        info.Port = PortNumber(options_.port);
    configFile_ = m.configFile.empty() ? plan.DataDirectory() + "/postgresql.conf"
                                       : plan.MapPath(m.configFile);
    if (!RestorePlan::IsUnder(configFile_, plan.DataDirectory()))
        std::fprintf(stderr,
                     "pgulo: note: the server configuration file was kept outside the data "
                     "directory; it is restored as %s\n",
                     configFile_.c_str());
    std::string recoveryFile;
    const CRoError error = PostgresHelperClass::addRecoveryCommandsToServerConfig(
        configFile_, info, plan.DataDirectory(), options_.walDir, outcome_.recoveryTarget, false,
        false, recoveryFile, savedConfig_);
    if (error.IsError())
        throw CliError(HostContext::AgentFailure("the recovery settings could not be written") +
                       " (" + error.AsString() + ")");
    const int rc = PostgresHelperClass::ChangeDataWalOwnership(
        plan.DataDirectory(), options_.walDir, configFile_, OsUser());
    if (rc != 0)
        throw CliError(
            HostContext::AgentFailure("the restored files could not be given to " + OsUser()) +
            " (code " + std::to_string(rc) + ")");
}

std::string PhysicalRestore::LogFile(const RestorePlan& plan) const {
    return options_.logFile.empty() ? plan.DataDirectory() + ".restore.log" : options_.logFile;
}

void PhysicalRestore::StartServer(const RestorePlan& plan) {
    const Manifest& m = *full_.manifest;
    std::vector<std::string> serverOptions;
    if (!options_.port.empty())
        serverOptions.insert(serverOptions.end(), {"-p", PortNumber(options_.port)});
    if (!options_.socketDir.empty())
        serverOptions.insert(serverOptions.end(), {"-k", options_.socketDir});
    // A copy beside the original must not archive into the original's WAL archive.
    if (!plan.InPlace())
        serverOptions.insert(serverOptions.end(), {"-c", "archive_mode=off"});
    for (const std::string& setting : options_.serverSettings)
        serverOptions.insert(serverOptions.end(), {"-c", setting});
    // Whether recovery reached its target is read from the server's log: it must come to
    // our log file, in words we can read.
    serverOptions.insert(serverOptions.end(), {"-c", "logging_collector=off", "-c",
                                               "log_destination=stderr", "-c", "lc_messages=C"});
    const std::string logFile = LogFile(plan);
    struct stat before {};
    const std::size_t logStart =
        ::stat(logFile.c_str(), &before) == 0 ? static_cast<std::size_t>(before.st_size) : 0;
    ServerControl server(settings_.binDir, plan.DataDirectory(), OsUser());
    server.Start(logFile, serverOptions, options_.waitSeconds);
    outcome_.started = true;
    const std::string done =
        PostgresHelperClass::getRecoveryDoneFileName(plan.DataDirectory(), m.serverVersion);
    if (!server.WaitForFile(done, options_.waitSeconds))
        throw CliError("recovery did not finish (no " + done + ")\n" +
                       ServerControl::Tail(logFile));
    const CRoError cleanup = PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(
        configFile_, plan.DataDirectory(), savedConfig_);
    if (cleanup.IsError())
        std::fprintf(stderr, "pgulo: warning: %s\n", cleanup.AsString().c_str());
    CheckRecoveryReached(server, logFile, logStart);

    AgentConnection c = InstanceRegistry::Connection(settings_);
    const std::string host = !options_.socketDir.empty() ? options_.socketDir : c.hostAddr;
    const std::string port = !options_.port.empty() ? PortNumber(options_.port) : c.port;
    ExecutePostgre query;
    if (query.init(c.libDir, c.binDir, c.user, c.password, c.database, host, port) == 0 &&
        query.postgre_Query("SELECT coalesce(pg_last_xact_replay_timestamp()::text, ''), "
                            "(SELECT timeline_id FROM pg_control_checkpoint())::text") == 0) {
        std::vector<std::string> when, timeline;
        query.getCol(0, when);
        query.getCol(1, timeline);
        if (when.size() > 1)
            outcome_.replayedUpTo = when[1];
        if (timeline.size() > 1)
            outcome_.timeline = timeline[1];
    }
}

void PhysicalRestore::CheckRecoveryReached(const ServerControl& server, const std::string& logFile,
                                          std::size_t logStart) const {
    std::string log;
    try {
        log = FileOps::ReadWhole(logFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: cannot read the server log: %s\n", e.what());
    }
    log.erase(0, std::min(logStart, log.size()));
    // The server stopped at the target, or replayed everything the backups hold; before 13
    // a server whose recovery ends early (a damaged segment) promotes all the same.
    if (log.find("recovery stopping before") != std::string::npos ||
        log.find("recovery stopping after") != std::string::npos)
        return;
    if (!lastSegment_.empty() &&
        log.find("restored log file \"" + lastSegment_ + "\"") != std::string::npos)
        return;
    try {
        server.Stop("fast");
    } catch (const CliError& e) {
        std::fprintf(stderr, "pgulo: %s\n", e.what());
    }
    throw CliError(std::string("recovery ended early: the server ") +
                   (hasTarget_ ? "neither stopped at the target nor replayed" : "did not replay") +
                   " the last backed-up WAL segment " + lastSegment_ +
                   ", so transactions are missing; it was stopped (see " + logFile + ")");
}

PhysicalRestore::Outcome PhysicalRestore::Restore() {
    settings_ = InstanceRegistry().Require(options_.instance);
    if (!options_.targetTime.empty()) {
        if (!TimeText::Parse(options_.targetTime, targetMicros_))
            throw CliError::Usage("--target-time '" + options_.targetTime +
                                  "' is not a time such as '2026-12-06 10:15:00' or "
                                  "'2026-12-06 10:15:00+01'");
        hasTarget_ = true;
        outcome_.recoveryTarget = TimeText::ForServer(targetMicros_);
    }
    HostContext::BeginJob();
    SelectBackups();
    CheckWal();
    RestorePlan::Options planOptions;
    planOptions.pgdata = options_.pgdata.empty() ? "" : FileOps::Absolute(options_.pgdata);
    planOptions.externalDir =
        options_.externalDir.empty() ? "" : FileOps::Absolute(options_.externalDir);
    for (const std::string& pair : options_.linkMap) {
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == pair.size())
            throw CliError::Usage("--tablespace-map takes OLD=NEW, not '" + pair + "'");
        planOptions.linkMap.emplace_back(pair.substr(0, eq),
                                         FileOps::Absolute(pair.substr(eq + 1)));
    }
    try {
        plan_ = std::make_unique<RestorePlan>(*full_.manifest, planOptions);
    } catch (const std::invalid_argument& e) {
        throw CliError::Usage(e.what());
    }
    const RestorePlan& plan = *plan_;
    if (options_.walDir.empty())
        options_.walDir = plan.DataDirectory() + ".restore_wal";
    options_.walDir = FileOps::Absolute(options_.walDir);
    // A restore over the instance's own files keeps its backups and other jobs away until
    // the restore and the start are done.
    if (plan.InPlace())
        lock_ = std::make_unique<InstanceLock>(settings_.name, "restore");
    CheckStoredCopies(plan);
    CheckNothingUnexpected();
    CheckTargets(plan);
    if (options_.force)
        ClearTargets(plan);
    MakeParents(plan);
    RestoreFiles(plan);
    GatherWal();
    PlaceControlFile(plan);
    ApplyMetadata(plan);
    WriteRecoverySettings(plan);
    outcome_.fullId = full_.id;
    for (const auto& log : logs_)
        outcome_.logIds.push_back(log.id);
    outcome_.dataDirectory = plan.DataDirectory();
    outcome_.walDirectory = options_.walDir;
    return outcome_;
}

void PhysicalRestore::PrintRestored() const {
    std::printf("restored backup %s%s into %s (%s), %llu WAL files in %s\n", full_.id.c_str(),
                logs_.empty() ? ""
                              : (" and " + std::to_string(logs_.size()) + " log backup(s)").c_str(),
                outcome_.dataDirectory.c_str(), HumanFormat::Bytes(outcome_.bytes).c_str(),
                static_cast<unsigned long long>(outcome_.walFiles), outcome_.walDirectory.c_str());
    std::printf("recovery target: %s\n", hasTarget_ ? TimeText::Local(targetMicros_).c_str()
                                                    : "the end of the backed-up WAL");
    std::fflush(stdout);
}

PhysicalRestore::Outcome PhysicalRestore::Start() {
    if (!plan_)
        throw std::logic_error("PhysicalRestore::Start before Restore");
    StartServer(*plan_);
    return outcome_;
}

void PhysicalRestore::PrintStarted() const {
    std::printf("server started on %s; recovery done: last replayed transaction %s, "
                "timeline %s\n",
                outcome_.dataDirectory.c_str(),
                outcome_.replayedUpTo.empty() ? "(none)" : outcome_.replayedUpTo.c_str(),
                outcome_.timeline.empty() ? "?" : outcome_.timeline.c_str());
    std::fflush(stdout);
}
