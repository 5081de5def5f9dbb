#include "BackupCommand.h"

#include "BackupLabel.h"
#include "BackupWriter.h"
#include "CliError.h"
#include "CollectFile.h"
#include "DumpSet.h"
#include "ExpireCommand.h"
#include "FileOps.h"
#include "FsBackupJob.h"
#include "HumanFormat.h"
#include "InstanceLock.h"
#include "LogBackupJob.h"
#include "PieceChecksum.h"
#include "RestorePlan.h"
#include "ResumeState.h"
#include "ServerInfo.h"
#include "SignalGuard.h"
#include "StoredFileReader.h"
#include "StoredFileWriter.h"
#include "StoredJournal.h"
#include "SummarizedChanges.h"
#include "TimeText.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGVersion.h"
#include "pgulo/host/EvDebug.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabel = "BackupCommand";
constexpr const char* kLogTmpPrefix = "pgulo_logtmp_";

CliError Interrupted(const std::string& id) {
    return CliError("interrupted by signal " + std::to_string(SignalGuard::Signal()) + "; backup " +
                    id + " is incomplete and will not be offered for restore");
}

// Administration databases of cloud services, never dumped by default.
const char* const kCloudAdminDatabases[] = {"rdsadmin", "azure_maintenance", "azure_sys",
                                            "cloudsqladmin"};

// psql's output with a NUL after each row, split.
std::vector<std::string> NulSeparated(const std::string& text) {
    std::vector<std::string> items;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const std::string::size_type end = text.find('\0', start);
        items.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return items;
}

// "15.4" and "15.8" are one major release; before 10 the first two numbers make it.
int MajorOf(const std::string& version) {
    const int num = PGVersionNumFromText(version);
    return num >= 100000 ? num / 10000 : num / 100;
}

} // namespace

BackupCommand::BackupCommand(HostContext& host, Options options)
    : host_(host), options_(std::move(options)), repository_(host.Repository()) {}

Manifest BackupCommand::Run() {
    if (!Manifest::IsDataBackup(options_.type) && options_.type != "log" &&
        options_.type != "dump")
        throw CliError::Usage("--type must be full, diff, incr, log or dump");
    if (options_.compareChecksums && options_.type != "diff" && options_.type != "incr")
        throw CliError::Usage("--delta is for diff and incr backups only");
    if (options_.type != "dump" && !options_.databases.empty())
        throw CliError::Usage("--database is for dump backups only (--type dump)");
    settings_ = InstanceRegistry().Require(options_.instance);
    // Two jobs of one instance at once would each take the other's backup mode for a stale
    // one; the second waits for nothing and says who runs.
    InstanceLock lock(settings_.name, "backup");
    repository_.MarkAbandoned(settings_.name);
    // A wrong passphrase is refused before the backup directory exists.
    form_ = ChooseForm();
    HostContext::ApplyRegistryDefaults();
    Manifest manifest;
    try {
        manifest = Manifest::IsDataBackup(options_.type) ? RunFull()
                   : options_.type == "log"              ? RunLog()
                                                         : RunDump();
        for (const std::string& dir : jobDirs_)
            FileOps::RemoveTree(dir);
        Announce(manifest);
    } catch (const std::exception& e) {
        Fail(e.what());
        if (!logTmpFile_.empty())
            ::unlink(logTmpFile_.c_str());
        throw;
    }
    ApplyRetention();
    return manifest;
}

void BackupCommand::ApplyRetention() {
    if (settings_.retention.Empty())
        return;
    // The backup is complete whatever happens here: a failure is told, not made the backup's.
    try {
        ExpireCommand::Apply(repository_, settings_.name, settings_.retention, false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: warning: the retention policy of instance '%s' was not "
                             "applied: %s\n",
                     settings_.name.c_str(), e.what());
    }
}

void BackupCommand::Begin(const char* type) {
    jobId_ = HostContext::BeginJob();
    connection_ = InstanceRegistry::Connection(settings_);
    const ServerFacts facts = ServerInfo::Query(connection_);
    if (facts.version != settings_.version)
        InstanceRegistry().SetVersion(settings_.id, facts.version);
    connection_.version = facts.version;
    facts_ = facts;
    startMicros_ = TimeText::NowMicros();
    backupId_ = repository_.CreateBackup(settings_.name, type, startMicros_);
    backupPrefix_ = Repository::BackupPrefix(settings_.name, backupId_);
    backupDir_ = repository_.Store()->LocalPath(backupPrefix_);
}

void BackupCommand::Fail(const std::string& reason) {
    if (backupId_.empty())
        return;
    try {
        repository_.MarkFailed(settings_.name, backupId_, options_.type, startMicros_, reason);
    } catch (const std::exception& e) {
        // The missing manifest still keeps the backup from being offered for restore.
        std::fprintf(stderr, "pgulo: warning: the failure of backup %s could not be recorded: %s\n",
                     backupId_.c_str(), e.what());
    }
}

StoredForm BackupCommand::ChooseForm() {
    StoredForm form;
    if (!options_.compression.empty()) {
        try {
            form.compression = Compression::Parse(options_.compression);
        } catch (const std::invalid_argument& e) {
            throw CliError::Usage(std::string("--compress: ") + e.what());
        }
    } else {
        const std::string text =
            settings_.compression.empty() ? kDefaultCompression : settings_.compression;
        try {
            form.compression = Compression::Parse(text);
        } catch (const std::invalid_argument& e) {
            throw CliError("the compression set for instance '" + settings_.name +
                           "' is unusable (" + e.what() + "); set another with 'pgulo instance "
                           "set " + settings_.name + " --compress ...'");
        }
    }
    if (options_.encrypt.value_or(settings_.encrypt))
        form.key = repository_.Key(true);
    return form;
}

BackupWriter::Options BackupCommand::WriterOptions() const {
    BackupWriter::Options o;
    o.jobs = options_.jobs;
    o.maxRate = options_.maxRate;
    o.progress = Progress::ModeFor(options_.quiet);
    o.quit = [] { return SignalGuard::QuitRequested(); };
    o.form = form_;
    o.tablespaces = facts_.tablespaces;
    o.reference = reference_;
    o.references = references_.get();
    o.self = backupId_;
    o.compareChecksums = options_.compareChecksums;
    return o;
}

bool BackupCommand::CopyCollectFiles(BackupWriter& writer,
                                     const std::vector<std::string>& collectFiles,
                                     const std::string& dataDirectory,
                                     const std::string& logTmpFile, const std::string& label,
                                     const std::function<void()>& listed) {
    BackupWriter::Sources sources{dataDirectory, connection_.archiveDir, logTmpFile};
    for (const std::string& collectFile : collectFiles)
        writer.AddPaths(CollectFile::Read(collectFile), sources);
    if (listed)
        listed();
    return writer.CopyPending(label);
}

std::unique_ptr<LogBackupJob> BackupCommand::CopyWal(BackupWriter& writer, PG_LOG_BACKUP_TYPE type,
                                                     const std::string& lastLog,
                                                     const std::string& dataDirectory,
                                                     std::string& endWal) {
    const unsigned long long jobId = HostContext::BeginJob();
    const std::string jobDir = HostContext::JobResultsDirectory(settings_.id, jobId);
    jobDirs_.push_back(jobDir);
    RemoveLeftLogTmpFiles();
    const std::string logTmpName = std::string(kLogTmpPrefix) + std::to_string(jobId) + ".kxf";
    logTmpFile_ = connection_.archiveDir + "/" + logTmpName;
    // The agent switches to a new segment right after this: every commit up to now is in the
    // WAL the job takes. The server runs on this machine, so its clock is ours.
    walCompleteMicros_ = TimeText::NowMicros();
    auto log = std::make_unique<LogBackupJob>();
    log->Start(jobId, jobDir, HostContext::ConfigDirectory(), options_.prune, connection_, type,
               lastLog, logTmpName);
    if (!CopyCollectFiles(writer, log->CollectFiles(), dataDirectory, logTmpFile_, "WAL"))
        throw Interrupted(backupId_);
    endWal = log->LastLog();
    writer.SyncDirectories();
    return log;
}

void BackupCommand::RemoveLeftLogTmpFiles() const {
    // A killed log backup leaves its own file in the archive directory; the instance lock
    // ensures no job of ours still uses one.
    for (const std::string& name : FileOps::List(connection_.archiveDir)) {
        if (name.rfind(kLogTmpPrefix, 0) != 0)
            continue;
        const std::string path = connection_.archiveDir + "/" + name;
        if (::unlink(path.c_str()) != 0)
            std::fprintf(stderr, "pgulo: warning: cannot remove the leftover %s: %s\n",
                         path.c_str(), FileOps::ErrnoText(errno).c_str());
    }
}

void BackupCommand::FinishWal(LogBackupJob& log) {
    // The manifest is in place: pruning the archive can no longer lose a segment.
    if (!log.Finish(true))
        std::fprintf(stderr, "pgulo: warning: %s\n",
                     HostContext::AgentFailure("the archive could not be pruned").c_str());
    ::unlink(logTmpFile_.c_str());
    logTmpFile_.clear();
}

Manifest BackupCommand::NewManifest(const BackupWriter& writer, const std::string& type) const {
    Manifest m;
    m.id = backupId_;
    m.instance = settings_.name;
    m.type = type;
    m.jobId = jobId_;
    m.startMicros = startMicros_;
    m.endMicros = TimeText::NowMicros();
    m.walCompleteMicros = walCompleteMicros_;
    m.serverVersion = connection_.version;
    m.dataDirectory = facts_.dataDirectory;
    m.configFile = facts_.configFile;
    m.hbaFile = facts_.hbaFile;
    m.identFile = facts_.identFile;
    m.archiveDirectory = connection_.archiveDir;
    m.tablespaces = facts_.tablespaces;
    struct stat st {};
    if (FileOps::LStat(facts_.dataDirectory, st))
        m.osUser = FileOps::UserName(st.st_uid);
    if (m.osUser.empty())
        m.osUser = connection_.unixUser;
    m.checksumAlgorithm = PieceChecksum::kAlgorithm;
    m.fileCount = writer.FileCount();
    m.totalBytes = writer.TotalBytes();
    m.compression = form_.compression.Text();
    m.encrypted = form_.Encrypted();
    m.storedBytes = writer.StoredBytes();
    m.readBytes = writer.ReadBytes();
    m.entries = writer.Entries();
    if (reference_)
        m.reference = reference_->id;
    return m;
}

std::optional<ResumePlan> BackupCommand::ChooseResume() const {
    ResumePlan::Request request;
    request.allowed = options_.resume;
    request.maxAgeMicros = static_cast<std::int64_t>(options_.resumeMaxAgeSeconds) * 1000000;
    request.nowMicros = startMicros_;
    request.state.systemIdentifier = facts_.systemIdentifier;
    request.state.timeline = facts_.timeline;
    request.state.compression = form_.compression.Text();
    request.state.encrypted = form_.Encrypted();
    request.form = form_;
    return ResumePlan::Choose(repository_, settings_.name, request);
}

BackupWriter::Options BackupCommand::FullWriterOptions(StoredJournal* journal,
                                                      std::optional<ResumePlan>& resume) const {
    BackupWriter::Options o = WriterOptions();
    if (journal)
        o.stored = [journal](const std::vector<const ManifestEntry*>& files,
                             const std::vector<JournaledPart>& parts) {
            journal->Append(files, parts);
        };
    if (resume) {
        o.keep = [&resume, this](ManifestEntry& e) { return resume->Keep(e, backupDir_); };
        o.keepParts = [&resume, this](const ManifestEntry& e, bool blockDigests) {
            return resume->KeepParts(e, backupDir_, blockDigests);
        };
    }
    return o;
}

void BackupCommand::EndResume(const std::optional<ResumePlan>& resume) {
    if (backupDir_.empty())
        return;
    // The backup is complete: a failure here is told, not made the backup's.
    try {
        // A complete backup holds only what its manifest lists.
        FileOps::RemoveTree(ResumeState::Directory(backupDir_));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: warning: %s\n", e.what());
    }
    if (!resume)
        return;
    for (const std::string& id : resume->Superseded()) {
        try {
            repository_.Remove(settings_.name, id);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "pgulo: warning: the unfinished backup %s that this one "
                                 "supersedes was not removed: %s\n",
                         id.c_str(), e.what());
        }
    }
}

void BackupCommand::ChooseReference() {
    if (options_.type == "full")
        return;
    all_ = repository_.List(settings_.name);
    for (const BackupRecord& r : all_) {
        const bool fits =
            options_.type == "diff" ? r.type == "full" : Manifest::IsDataBackup(r.type);
        if (r.complete && fits)
            reference_ = &r;
    }
    if (reference_ == nullptr)
        throw CliError("instance '" + settings_.name + "' has no complete " +
                       (options_.type == "diff" ? "full backup" : "full, diff or incr backup") +
                       " for a " + options_.type + " backup to build on; take a full backup");
    references_ = std::make_unique<ReferenceSet>(all_);
    // Every backup it builds on must still be there before anything is copied.
    references_->References(*reference_);
}

void BackupCommand::CheckReference() const {
    if (reference_ == nullptr)
        return;
    const Manifest& m = *reference_->manifest;
    if (RestorePlan::Normalize(m.dataDirectory) != RestorePlan::Normalize(facts_.dataDirectory) ||
        MajorOf(m.serverVersion) != MajorOf(connection_.version))
        throw CliError("the reference backup " + reference_->id + " is of another cluster (" +
                       m.dataDirectory + ", PostgreSQL " + m.serverVersion +
                       "); take a full backup");
}

Manifest BackupCommand::RunFull() {
    ChooseReference();
    Begin(options_.type.c_str());
    CheckReference();
    const std::string jobDir = HostContext::JobResultsDirectory(settings_.id, jobId_);
    jobDirs_.push_back(jobDir);
    // A resume renames the kept copies and appends to its journal: it needs a repository on
    // a local file system. Only a full backup journals and resumes: a diff or incr one copies
    // little, and a kept copy would have to match the reference's blocks as well.
    const bool resumable = options_.type == "full" && !backupDir_.empty();
    std::optional<ResumePlan> resume;
    if (resumable)
        resume = ChooseResume();
    std::vector<int> restartFrom;
    if (resume) {
        restartFrom = resume->PrepareJob(jobDir);
        std::printf("resuming the unfinished backup %s\n", resume->FromId().c_str());
        std::fflush(stdout);
    }
    // Until the manifest is in place, the backup keeps what a later one needs to take it up.
    std::optional<StoredJournal> journal;
    if (resumable) {
        FileOps::MakeDirectories(ResumeState::Directory(backupDir_));
        journal.emplace(ResumeState::JournalPath(backupDir_));
    }
    BackupWriter writer(repository_.Store(), backupPrefix_,
                        FullWriterOptions(journal ? &*journal : nullptr, resume));
    FsBackupJob fs;
    fs.Start(jobId_, jobDir, HostContext::ConfigDirectory(), connection_, "", options_.prune,
             restartFrom);
    if (resumable)
        SaveResumeState(jobDir, fs.CollectFiles());
    if (resume)
        resume->TakeCarried(fs.CollectFiles(), fs.RestartString());
    std::vector<std::string> databases, folders;
    fs.GetMetaData(databases, folders);
    auto listed = [&] {
        if (resume)
            resume->Commit(backupDir_, *journal);
    };
    // --delta asks for every file to be read, which no summary can spare.
    if (reference_ && !options_.compareChecksums) {
        changed_ = SummarizedChanges::Since(connection_, *references_, *reference_);
        writer.UseChangedBlocks(changed_ ? &*changed_ : nullptr);
    }
    if (!CopyCollectFiles(writer, fs.CollectFiles(), facts_.dataDirectory, "",
                          options_.type + " backup", listed)) {
        fs.Abandon();
        throw Interrupted(backupId_);
    }
    if (resume) {
        std::printf("kept %llu files and %llu parts of files (%s) stored by the unfinished "
                    "backup %s\n",
                    static_cast<unsigned long long>(resume->KeptFiles()),
                    static_cast<unsigned long long>(resume->KeptParts()),
                    HumanFormat::Bytes(resume->KeptBytes()).c_str(), resume->FromId().c_str());
        std::fflush(stdout);
    }
    // From here on the job only waits for the server and copies the WAL: the log shows how
    // long that takes.
    g_log.Debug(kLabel, "The data files are copied; ending backup mode");
    const std::string startWal = fs.Shutdown();
    std::string label, map;
    // PostgreSQL 15 dropped the exclusive backup mode: the agent hands the label back instead.
    if (PGVersionAtLeast(connection_.version, PG_VERSION_15)) {
        if (!FileOps::Exists(jobDir + "/backup_label"))
            throw CliError("the agent left no backup_label in " + jobDir +
                           "; the backup cannot be restored without it");
        const std::string labelFile = jobDir + "/backup_label";
        const std::string mapFile = jobDir + "/tablespace_map";
        label = writer.StoreText(labelFile, FileOps::ReadWhole(labelFile));
        if (FileOps::Exists(mapFile))
            map = writer.StoreText(mapFile, FileOps::ReadWhole(mapFile));
    }
    CheckOwnLabel(writer, label);
    std::string endWal;
    auto log = CopyWal(writer, PG_LOG_FULL_BACKUP, startWal, facts_.dataDirectory, endWal);
    Manifest manifest = NewManifest(writer, options_.type);
    manifest.startWal = startWal;
    manifest.endWal = endWal;
    manifest.databases = databases;
    manifest.folders = folders;
    manifest.backupLabel = label;
    manifest.tablespaceMap = map;
    if (resume) {
        manifest.resumedFrom = resume->FromId();
        manifest.keptBytes = resume->KeptBytes();
    }
    repository_.WriteManifest(settings_.name, manifest);
    EndResume(resume);
    InstanceRegistry().SetLastLog(settings_.id, endWal);
    FinishWal(*log);
    return manifest;
}

void BackupCommand::SaveResumeState(const std::string& jobDir,
                                    const std::vector<std::string>& collectFiles) const {
    ResumeState state;
    state.startMicros = startMicros_;
    state.systemIdentifier = facts_.systemIdentifier;
    state.timeline = facts_.timeline;
    state.compression = form_.compression.Text();
    state.encrypted = form_.Encrypted();
    for (const std::string& file : collectFiles)
        state.collectFiles.push_back(FileOps::BaseName(file));
    state.Save(backupDir_, jobDir);
}

void BackupCommand::CheckOwnLabel(const BackupWriter& writer,
                                  const std::string& storedLabel) const {
    // Before 15 the label is a file of the data directory, copied with it; from 15 on the
    // agent hands it back. Either way it must be the one this job's backup mode wrote:
    // another job's label would make the copy recover from the wrong checkpoint.
    const std::string path = RestorePlan::Normalize(facts_.dataDirectory) + "/backup_label";
    const ManifestEntry* label = nullptr;
    for (const ManifestEntry& e : writer.Entries()) {
        if (e.kind == ManifestEntry::Kind::File &&
            (storedLabel.empty() ? e.path == path : e.stored == storedLabel))
            label = &e;
    }
    if (label == nullptr)
        throw CliError("the backup holds no backup_label; it cannot be restored");
    const std::string text =
        StoredFileReader::ReadText(*repository_.Store(), Storage::Join(backupPrefix_, label->stored),
                                   form_, {label->size, label->checksum});
    if (!BackupLabel::IsOfJob(text, jobId_))
        throw CliError("the stored backup_label is not this job's (another backup of the "
                       "cluster ran at the same time); the backup cannot be used");
}

std::string BackupCommand::PreviousBackupEndingAt(const std::string& wal) const {
    std::string previous;
    for (const BackupRecord& record : repository_.List(settings_.name)) {
        if (record.complete && record.manifest->endWal == wal)
            previous = record.id;
    }
    return previous;
}

Manifest BackupCommand::RunLog() {
    Begin("log");
    const std::string lastLog = settings_.lastLog;
    const std::string previous = PreviousBackupEndingAt(lastLog);
    BackupWriter writer(repository_.Store(), backupPrefix_, WriterOptions());
    std::string endWal;
    auto log = CopyWal(writer, PG_LOG_INCR_BACKUP, lastLog, facts_.dataDirectory, endWal);
    Manifest manifest = NewManifest(writer, "log");
    manifest.baseWal = lastLog;
    manifest.previousId = previous;
    manifest.endWal = endWal;
    for (const ManifestEntry& entry : manifest.entries) {
        if (entry.role == ManifestEntry::Role::Wal && entry.path.size() >= 24 &&
            (manifest.startWal.empty() || FileOps::BaseName(entry.path) < manifest.startWal) &&
            FileOps::BaseName(entry.path).size() == 24)
            manifest.startWal = FileOps::BaseName(entry.path);
    }
    repository_.WriteManifest(settings_.name, manifest);
    InstanceRegistry().SetLastLog(settings_.id, endWal);
    FinishWal(*log);
    return manifest;
}

void BackupCommand::Announce(const Manifest& m) const {
    const double seconds = static_cast<double>(m.endMicros - m.startMicros) / 1e6;
    g_log.Debug(kLabel, "backup %s complete", m.id.c_str());
    std::string size = HumanFormat::Bytes(m.totalBytes);
    if (!m.reference.empty())
        size += " (stored " + HumanFormat::Bytes(m.storedBytes) + " since " + m.reference + ", " +
                m.compression + (m.encrypted ? ", encrypted)" : ")");
    else if (m.compression != "none" || m.encrypted)
        size += " (stored " + HumanFormat::Bytes(m.storedBytes) + ", " + m.compression +
                (m.encrypted ? ", encrypted)" : ")");
    std::printf("backup %s complete: %s, %llu files, %s, WAL %s..%s, %s\n", m.id.c_str(),
                m.type.c_str(), static_cast<unsigned long long>(m.fileCount), size.c_str(),
                m.startWal.empty() ? "-" : m.startWal.c_str(),
                m.endWal.empty() ? "-" : m.endWal.c_str(), HumanFormat::Duration(seconds).c_str());
    std::fflush(stdout);
}

std::vector<std::string> BackupCommand::DatabasesToDump(const ClientPrograms& programs) const {
    const Subprocess::Result result = ClientPrograms::Run(
        programs.psql, connection_,
        {ClientPrograms::DbnameArg(connection_.database), "-X", "-A", "-t",
         "--record-separator-zero", "-v", "ON_ERROR_STOP=1", "-c",
         "SELECT datname FROM pg_catalog.pg_database WHERE datallowconn ORDER BY datname"});
    if (!result.ok())
        throw CliError("cannot list the databases of instance '" + settings_.name +
                       "': " + result.Message());
    std::set<std::string> skip = {"template0", "template1"};
    for (const char* name : kCloudAdminDatabases)
        skip.insert(name);
    std::set<std::string> agentSkips;
    PGCommon::GetDatabasesToSkip(HostContext::ClientId(), agentSkips);
    skip.insert(agentSkips.begin(), agentSkips.end());
    std::vector<std::string> databases;
    for (const std::string& name : NulSeparated(result.out))
        if (!name.empty() && skip.count(name) == 0)
            databases.push_back(name);
    return databases;
}

ManifestEntry BackupCommand::DumpOne(const ClientPrograms& programs, const std::string& database,
                                     std::size_t index) const {
    ManifestEntry entry;
    entry.path = DumpSet::EntryPath(database);
    entry.stored = DumpSet::StoredName(index) + form_.compression.Suffix();
    entry.role = ManifestEntry::Role::Meta;
    const std::string file = Storage::Join(backupPrefix_, entry.stored);
    // The dump comes through us, so that it reaches the disk in the stored form only.
    StoredFileWriter writer(*repository_.Store(), file, form_);
    std::vector<std::string> args = {"-Fc"};
    if (!form_.compression.None())
        args.push_back("-Z0"); // compressed once, by the faster of the two
    args.push_back(ClientPrograms::DbnameArg(database));
    const Subprocess::Result result =
        ClientPrograms::Run(programs.pgDump, connection_, args,
                            [&writer](const char* data, std::size_t size) {
                                writer.Put(data, size);
                            });
    if (!result.ok())
        throw CliError("pg_dump of database '" + database + "' failed: " + result.Message());
    const StoredFileWriter::Written written = writer.Finish();
    struct stat st {};
    if (!BackupWriter::DescribeStored(*repository_.Store(), file, st))
        throw CliError("the dump of database '" + database + "' vanished from " +
                       repository_.Store()->Describe(file));
    entry.size = written.size;
    entry.storedSize = written.stored;
    entry.compression = form_.compression.algorithm();
    entry.encrypted = form_.Encrypted();
    entry.checksum = written.checksum;
    entry.mode = st.st_mode;
    entry.uid = st.st_uid;
    entry.gid = st.st_gid;
    entry.user = FileOps::UserName(st.st_uid);
    entry.group = FileOps::GroupName(st.st_gid);
    entry.mtimeSec = st.st_mtim.tv_sec;
    entry.mtimeNsec = st.st_mtim.tv_nsec;
    return entry;
}

std::vector<ManifestEntry> BackupCommand::DumpDatabases(const ClientPrograms& programs,
                                                        const std::vector<std::string>& databases) {
    std::vector<ManifestEntry> entries(databases.size());
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::string firstError;
    Progress progress("dump", Progress::ModeFor(options_.quiet));
    progress.Start(databases.size(), 0);
    auto worker = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= databases.size() || SignalGuard::QuitRequested())
                return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!firstError.empty())
                    return;
            }
            try {
                entries[i] = DumpOne(programs, databases[i], i);
                progress.AddBytes(entries[i].size);
                progress.FileDone();
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(mutex);
                if (firstError.empty())
                    firstError = e.what();
            }
        }
    };
    const std::size_t workers =
        std::min<std::size_t>(std::max(1u, options_.jobs), databases.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < workers; ++i)
        threads.emplace_back(worker);
    for (std::thread& thread : threads)
        thread.join();
    progress.Finish();
    if (!firstError.empty())
        throw CliError(firstError);
    if (SignalGuard::QuitRequested())
        throw Interrupted(backupId_);
    repository_.Store()->Sync(backupPrefix_);
    return entries;
}

Manifest BackupCommand::RunDump() {
    Begin("dump");
    const ClientPrograms programs = ClientPrograms::For(connection_, facts_.version);
    std::vector<std::string> databases = options_.databases;
    if (databases.empty())
        databases = DatabasesToDump(programs);
    if (databases.empty())
        throw CliError("instance '" + settings_.name + "' has no database to dump");
    BackupWriter writer(repository_.Store(), backupPrefix_, WriterOptions());
    Manifest manifest = NewManifest(writer, "dump");
    manifest.entries = DumpDatabases(programs, databases);
    manifest.endMicros = TimeText::NowMicros();
    manifest.walCompleteMicros = 0;
    manifest.databases = databases;
    manifest.fileCount = manifest.entries.size();
    for (const ManifestEntry& entry : manifest.entries) {
        manifest.totalBytes += entry.size;
        manifest.storedBytes += entry.storedSize;
    }
    repository_.WriteManifest(settings_.name, manifest);
    return manifest;
}
