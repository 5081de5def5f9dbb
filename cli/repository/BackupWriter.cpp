#include "BackupWriter.h"

#include "BlockPlan.h"
#include "CliError.h"
#include "CopyEngine.h"
#include "DeltaEngine.h"
#include "FileOps.h"
#include "FlushedBatches.h"
#include "LocalStorage.h"
#include "PackWriter.h"
#include "PieceChecksum.h"
#include "RateLimiter.h"
#include "ReferenceSet.h"
#include "RestorePlan.h"
#include "StoredEncoder.h"
#include "StoredParts.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// A group of copies told to the stored hook: small enough that a kill loses little, large
// enough that the threads stay busy and the flushes are few.

// A data file dropped while the backup runs is rebuilt by WAL replay; a WAL file that goes
// missing is a hole in the chain that nothing can fill.
CliError LostWal(const std::string& path) {
    return CliError("the WAL file " + path +
                    " was removed from the archive before it could be stored (did another job "
                    "prune the archive?); the backup is not usable");
}

} // namespace

BackupWriter::BackupWriter(std::string backupDirectory, Options options)
    : BackupWriter(std::make_shared<LocalStorage>(std::move(backupDirectory)), "",
                   std::move(options)) {}

BackupWriter::BackupWriter(std::shared_ptr<Storage> storage, std::string prefix, Options options)
    : storage_(std::move(storage)), prefix_(std::move(prefix)),
      dir_(storage_->LocalPath(prefix_)), options_(std::move(options)) {
    if (dir_.empty())
        packs_ = std::make_unique<PackWriter>(storage_, prefix_);
}

ManifestEntry::Role BackupWriter::RoleOf(const std::string& path, const Sources& sources) const {
    if (!sources.logTmpFile.empty() && path == sources.logTmpFile)
        return ManifestEntry::Role::Meta;
    if (!sources.archiveDirectory.empty() &&
        FileOps::Parent(path) == RestorePlan::Normalize(sources.archiveDirectory))
        return ManifestEntry::Role::Wal;
    return ManifestEntry::Role::Data;
}

std::string BackupWriter::StoredName(const std::string& path, ManifestEntry::Role role) const {
    const char* suffix = options_.form.compression.Suffix();
    switch (role) {
    case ManifestEntry::Role::Wal:
        return "wal/" + FileOps::BaseName(path) + suffix;
    case ManifestEntry::Role::Meta:
        return "meta/" + FileOps::BaseName(path) + suffix;
    case ManifestEntry::Role::Data:
        break;
    }
    return "files" + path + suffix;
}

void BackupWriter::Stored(ManifestEntry& entry, std::uint64_t storedSize) {
    entry.storedSize = storedSize;
    entry.compression = options_.form.compression.algorithm();
    entry.encrypted = options_.form.Encrypted();
    storedBytes_ += storedSize;
}

void BackupWriter::Describe(ManifestEntry& entry, const struct stat& st) {
    entry.mode = static_cast<std::uint32_t>(st.st_mode);
    entry.uid = static_cast<std::uint32_t>(st.st_uid);
    entry.gid = static_cast<std::uint32_t>(st.st_gid);
    auto user = users_.find(st.st_uid);
    if (user == users_.end())
        user = users_.emplace(st.st_uid, FileOps::UserName(st.st_uid)).first;
    auto group = groups_.find(st.st_gid);
    if (group == groups_.end())
        group = groups_.emplace(st.st_gid, FileOps::GroupName(st.st_gid)).first;
    entry.user = user->second;
    entry.group = group->second;
    entry.mtimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    entry.mtimeNsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
}

std::string BackupWriter::MakeParent(const std::string& relative) {
    if (dir_.empty())
        return ""; // a storage has no directories to make
    const std::string parent = FileOps::Parent(dir_ + "/" + relative);
    if (createdDirs_.insert(parent).second)
        FileOps::MakeDirectories(parent);
    return parent;
}

void BackupWriter::AddPaths(const std::vector<std::string>& paths, const Sources& sources) {
    const std::string archive = RestorePlan::Normalize(sources.archiveDirectory);
    const std::string control =
        RestorePlan::Normalize(sources.dataDirectory) + "/global/pg_control";
    for (const std::string& raw : paths) {
        if (raw.empty() || raw[0] != '/')
            continue; // the agent lists absolute paths only; anything else is not a file of ours
        const std::string path = RestorePlan::Normalize(raw);
        if (path == archive || !seen_.insert(path).second)
            continue;
        const ManifestEntry::Role role = RoleOf(path, sources);
        struct stat st {};
        if (!FileOps::LStat(path, st)) {
            if (role == ManifestEntry::Role::Wal)
                throw LostWal(path);
            continue; // dropped while the backup ran: WAL replay recreates the state
        }
        ManifestEntry entry;
        entry.path = path;
        entry.role = role;
        Describe(entry, st);
        if (S_ISDIR(st.st_mode)) {
            entry.kind = ManifestEntry::Kind::Directory;
        } else if (S_ISLNK(st.st_mode)) {
            entry.kind = ManifestEntry::Kind::Symlink;
            std::string target(4096, '\0');
            const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            if (n < 0)
                continue;
            target.resize(static_cast<std::size_t>(n));
            entry.target = target;
        } else if (S_ISREG(st.st_mode)) {
            entry.kind = ManifestEntry::Kind::File;
            entry.stored = StoredName(path, entry.role);
            entry.size = static_cast<std::uint64_t>(st.st_size);
            Pending pending{entries_.size(),
                            dir_.empty() ? storage_->Describe(Storage::Join(prefix_, entry.stored))
                                         : dir_ + "/" + entry.stored};
            if (role == ManifestEntry::Role::Data) {
                pending.relation =
                    BlockPlan::IsRelationFile(path, sources.dataDirectory, options_.tablespaces);
                if (options_.reference)
                    pending.reference = options_.references->Entry(options_.reference->id, path);
            }
            const ManifestEntry* ref = pending.reference;
            if (ref && !options_.compareChecksums && ref->size == entry.size &&
                ref->mtimeSec == entry.mtimeSec && ref->mtimeNsec == entry.mtimeNsec) {
                RequireReference(*ref);
                Reference(entry, *ref);
                Counted(entry);
                entries_.push_back(std::move(entry));
                continue;
            }
            if (ref && pending.relation && !ref->blockDigests.empty()) {
                RequireReference(*ref);
                pending.delta = true;
                if (UnchangedBySummaries(entry, sources.dataDirectory, pending)) {
                    Reference(entry, *ref);
                    Counted(entry);
                    entries_.push_back(std::move(entry));
                    continue;
                }
            }
            MakeParent(entry.stored);
            if (options_.keep && options_.keep(entry)) {
                Stored(entry, entry.storedSize);
                Counted(entry);
                entries_.push_back(std::move(entry));
                continue;
            }
            if (options_.keepParts && StoresInParts(entry))
                pending.keptParts = options_.keepParts(entry, pending.relation);
            pending_.push_back(pending);
            if (path == control)
                controlFile_ = path;
        } else {
            continue; // sockets, pipes and devices are not part of a cluster's files
        }
        entries_.push_back(std::move(entry));
    }
}

ManifestEntry BackupWriter::AsStored(const ManifestEntry& listed,
                                    const FileCopier::Result& r) const {
    ManifestEntry e = listed;
    e.size = r.bytes;
    e.checksum = r.checksum;
    e.mtimeSec = static_cast<std::int64_t>(r.source.st_mtim.tv_sec);
    e.mtimeNsec = static_cast<std::int64_t>(r.source.st_mtim.tv_nsec);
    e.storedSize = r.stored;
    e.partSizes = r.partSizes;
    e.blockDigests = r.blockDigests;
    e.compression = options_.form.compression.algorithm();
    e.encrypted = options_.form.Encrypted();
    return e;
}

bool BackupWriter::UnchangedBySummaries(const ManifestEntry& entry,
                                        const std::string& dataDirectory, Pending& pending) const {
    if (changed_ == nullptr)
        return false;
    const std::string clusterPath =
        BlockPlan::ClusterPath(entry.path, dataDirectory, options_.tablespaces);
    if (clusterPath.empty() || !changed_->ForFile(clusterPath, pending.changes))
        return false;
    // Only the size can show a change the summaries do not: a new time alone comes from
    // hint bits and the like, which WAL replay does not need.
    if (pending.changes.Unchanged() && entry.size == pending.reference->size)
        return true;
    pending.summarized = true;
    return false;
}

void BackupWriter::Reference(ManifestEntry& entry, const ManifestEntry& reference) {
    ManifestEntry referenced = reference;
    referenced.storedIn = reference.storedIn.empty() ? options_.reference->id : reference.storedIn;
    // The file's own description (owner, mode, times) is today's.
    referenced.mode = entry.mode;
    referenced.uid = entry.uid;
    referenced.gid = entry.gid;
    referenced.user = entry.user;
    referenced.group = entry.group;
    referenced.mtimeSec = entry.mtimeSec;
    referenced.mtimeNsec = entry.mtimeNsec;
    entry = std::move(referenced);
}

void BackupWriter::RequireReference(const ManifestEntry& reference) const {
    try {
        options_.references->RequireStored(*options_.reference, reference);
    } catch (const CliError& e) {
        throw CliError("reference " + std::string(e.what()) + "; take a full backup");
    }
}

void BackupWriter::Found(ManifestEntry& entry, const struct stat& st, std::uint64_t size,
                         const std::string& checksum, const std::string& blockDigests) {
    Describe(entry, st);
    entry.size = size;
    entry.checksum = checksum;
    entry.blockDigests = blockDigests;
}

void BackupWriter::Counted(const ManifestEntry& entry) {
    ++fileCount_;
    totalBytes_ += entry.size;
}

void BackupWriter::DropCopy(const ManifestEntry& entry) {
    // A pack keeps the bytes of a member no longer needed: the others still are.
    if (!entry.packed)
        RemoveParts(entry.stored, 0, std::max<std::size_t>(1, entry.partSizes.size()));
}

bool BackupWriter::StoresInParts(const ManifestEntry& listed) const {
    return listed.role == ManifestEntry::Role::Data && listed.size > StoredParts::kPartSize &&
           (!options_.form.Plain() || dir_.empty());
}

void BackupWriter::RemoveParts(const std::string& stored, std::size_t from, std::size_t to) {
    std::vector<std::string> paths;
    for (std::size_t k = from; k < to; ++k)
        paths.push_back(Storage::Join(prefix_, StoredParts::Name(stored, k)));
    if (!paths.empty())
        storage_->Remove(paths);
}

BackupWriter::~BackupWriter() = default;

bool BackupWriter::Packed(const ManifestEntry& entry) const {
    // Only the cluster's files: WAL, history and backup label files are read by name.
    return packs_ && entry.role == ManifestEntry::Role::Data &&
           entry.size < PackWriter::kPackedFileMost;
}

void BackupWriter::Placed(ManifestEntry& entry, std::size_t member) const {
    const std::optional<PackWriter::Place> place = packs_->PlaceOf(member);
    if (!place)
        throw CliError("copying failed: no pack holds " + entry.path);
    entry.stored = place->stored;
    entry.packed = true;
    entry.packOffset = place->offset;
}

bool BackupWriter::SameAsReference(const ManifestEntry& entry, const Pending& pending) const {
    if (!pending.reference || entry.size != pending.reference->size)
        return false;
    // A file read only in part has no checksum to compare: its block digests tell.
    if (entry.checksum.empty() || pending.reference->checksum.empty())
        return entry.blockDigests == pending.reference->blockDigests;
    return entry.checksum == pending.reference->checksum;
}

bool BackupWriter::RunCopies(const std::vector<Pending>& batch, Progress& progress) {
    if (!options_.stored)
        return RunGroup(batch, progress, nullptr);
    // Told in batches, each once the file system is flushed: a kill loses a batch at most.
    FlushedBatches told(dir_, options_.stored);
    if (!RunGroup(batch, progress, &told))
        return false;
    told.Finish();
    return true;
}

bool BackupWriter::RunGroup(const std::vector<Pending>& batch, Progress& progress,
                            FlushedBatches* told) {
    std::unique_ptr<RateLimiter> limiter;
    if (options_.maxRate > 0)
        limiter = std::make_unique<RateLimiter>(options_.maxRate);
    std::vector<Pending> whole, deltas;
    for (const Pending& p : batch)
        (p.delta ? deltas : whole).push_back(p);
    // The largest first, so that the workers end together.
    std::stable_sort(deltas.begin(), deltas.end(), [this](const Pending& x, const Pending& y) {
        return entries_[x.entry].size > entries_[y.entry].size;
    });
    return RunWholeCopies(whole, progress, limiter.get(), told) &&
           RunDeltaCopies(deltas, progress, limiter.get());
}

bool BackupWriter::RunWholeCopies(const std::vector<Pending>& batch, Progress& progress,
                                  RateLimiter* limiter, FlushedBatches* told) {
    CopyEngine::Options engineOptions;
    engineOptions.jobs = options_.jobs;
    engineOptions.checksum = true;
    engineOptions.sync = false; // SyncDirectories flushes the file system once
    engineOptions.limiter = limiter;
    engineOptions.quit = options_.quit;
    engineOptions.progress = &progress;
    if (told)
        engineOptions.onDone = [this, &batch, told](std::size_t task,
                                                    const FileCopier::Result& r) {
            told->Add(AsStored(entries_[batch[task].entry], r));
        };
    if (told)
        engineOptions.onPart = [this, &batch, told](std::size_t task, std::size_t part,
                                                    const FileCopier::Result& r) {
            // A last part that read on past its piece (the file grew) cannot be kept.
            if (r.pieces.size() != 1)
                return;
            const ManifestEntry& e = entries_[batch[task].entry];
            told->AddPart({e.path, e.stored, part, static_cast<std::uint64_t>(r.source.st_size),
                           static_cast<std::int64_t>(r.source.st_mtim.tv_sec),
                           static_cast<std::int64_t>(r.source.st_mtim.tv_nsec), r.stored,
                           r.pieces.front()},
                          r.bytes);
        };
    CopyEngine engine(engineOptions);
    std::vector<CopyEngine::Task> tasks;
    for (const Pending& p : batch) {
        tasks.push_back({entries_[p.entry].path, p.target, 0600, entries_[p.entry].size,
                         StoredForm(), options_.form});
        if (Packed(entries_[p.entry]))
            tasks.back().createTarget = [packs = packs_.get(), member = p.entry](std::size_t) {
                return packs->Create(member);
            };
        else if (dir_.empty())
            tasks.back().createTarget =
                [storage = storage_, path = Storage::Join(prefix_, entries_[p.entry].stored)](
                    std::size_t part) { return storage->Create(StoredParts::Name(path, part)); };
        tasks.back().inParts = entries_[p.entry].role == ManifestEntry::Role::Data;
        tasks.back().keptParts = p.keptParts;
        tasks.back().blockDigests = p.relation;
    }
    const std::vector<CopyEngine::Outcome> outcomes = engine.Run(tasks);
    if (!engine.FirstError().empty())
        throw CliError("copying failed: " + engine.FirstError());
    if (engine.Stopped())
        return false;
    if (packs_)
        packs_->Finish();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        ManifestEntry& entry = entries_[batch[i].entry];
        const FileCopier::Result& r = outcomes[i].result;
        // Parts written for a file that vanished or shrank meanwhile are no part of it.
        if (StoresInParts(entry))
            RemoveParts(entry.stored,
                        r.status == FileCopier::Status::Vanished ? 0 : r.partSizes.size(),
                        StoredParts::Count(entry.size));
        if (r.status == FileCopier::Status::Vanished) {
            if (entry.role == ManifestEntry::Role::Wal)
                throw LostWal(entry.path);
            vanished_.insert(batch[i].entry);
            continue;
        }
        if (Packed(entry))
            Placed(entry, batch[i].entry);
        Found(entry, r.source, r.bytes, r.checksum, r.blockDigests);
        entry.partSizes = r.partSizes;
        readBytes_ += r.bytes;
        if (SameAsReference(entry, batch[i])) {
            DropCopy(entry);
            RequireReference(*batch[i].reference);
            Reference(entry, *batch[i].reference);
        } else {
            Stored(entry, r.stored);
        }
        Counted(entry);
    }
    return true;
}

bool BackupWriter::RunDeltaCopies(const std::vector<Pending>& batch, Progress& progress,
                                  RateLimiter* limiter) {
    std::vector<DeltaEngine::Task> tasks;
    for (const Pending& p : batch) {
        const ManifestEntry& entry = entries_[p.entry];
        const std::string& digests = p.reference->blockDigests;
        DeltaEngine::Task task;
        task.source = entry.path;
        task.target = Storage::Join(prefix_, entry.stored);
        task.sizeHint = entry.size;
        task.inParts = StoresInParts(entry);
        task.choose = [&digests](std::uint64_t block, const std::string& d) {
            return BlockPlan::StoreBlock(digests, block, d);
        };
        if (p.summarized) {
            const ChangedBlocks::FileChanges& changes = p.changes;
            task.referenceDigests = &digests;
            task.mustRead = [&changes](std::uint64_t block) {
                return block >= ChangedBlocks::kBlocksPerSegment ||
                       changes.Changed(static_cast<std::uint32_t>(block));
            };
        }
        tasks.push_back(std::move(task));
    }
    DeltaEngine::Options o;
    o.jobs = options_.jobs;
    o.limiter = limiter;
    o.quit = options_.quit;
    o.progress = &progress;
    std::vector<DeltaCopier::Result> results;
    try {
        results = DeltaEngine(*storage_, options_.form, o).Run(tasks);
    } catch (const std::exception& e) {
        throw CliError("copying failed: " + std::string(e.what()));
    }
    // The files after a quit request were never read.
    if (options_.quit && options_.quit())
        return false;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        ManifestEntry& entry = entries_[batch[i].entry];
        const DeltaCopier::Result& r = results[i];
        if (r.status == DeltaCopier::Status::Vanished) {
            vanished_.insert(batch[i].entry);
            continue;
        }
        Found(entry, r.source, r.bytes, r.checksum, r.blockDigests);
        entry.partSizes = r.partSizes;
        readBytes_ += r.read;
        if (SameAsReference(entry, batch[i])) {
            DropCopy(entry);
            Reference(entry, *batch[i].reference);
        } else {
            entry.blockChecked = entry.checksum.empty();
            entry.blockRuns = BlockPlan::Merge(
                BlockPlan::OwnersOf(*batch[i].reference, options_.reference->id), r.storedBlocks,
                options_.self);
            entry.delta = true;
            Stored(entry, r.stored);
        }
        Counted(entry);
    }
    return true;
}

bool BackupWriter::CopyPending(const std::string& label) {
    std::vector<Pending> batch, last;
    std::uint64_t bytes = 0;
    for (const Pending& p : pending_) {
        bytes += entries_[p.entry].size;
        (entries_[p.entry].path == controlFile_ ? last : batch).push_back(p);
    }
    pending_.clear();
    Progress progress(label, options_.progress);
    progress.Start(batch.size() + last.size(), bytes);
    // pg_control goes last so that the copy holds the checkpoint of its latest state.
    const bool done = RunCopies(batch, progress) && RunCopies(last, progress);
    progress.Finish();
    // Files dropped between the listing and the copy are not part of the backup.
    std::vector<ManifestEntry> kept;
    kept.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (vanished_.count(i) == 0)
            kept.push_back(std::move(entries_[i]));
    }
    entries_ = std::move(kept);
    vanished_.clear();
    return done;
}

std::string BackupWriter::StoreText(const std::string& sourcePath, const std::string& text) {
    const std::string stored = StoredName(sourcePath, ManifestEntry::Role::Meta);
    MakeParent(stored);
    const std::string storedText = StoredEncoder::EncodeText(options_.form, text);
    storage_->WriteLast(Storage::Join(prefix_, stored), storedText);
    ManifestEntry entry;
    entry.path = sourcePath;
    entry.stored = stored;
    entry.kind = ManifestEntry::Kind::File;
    entry.role = ManifestEntry::Role::Meta;
    struct stat st {};
    if (DescribeStored(*storage_, Storage::Join(prefix_, stored), st))
        Describe(entry, st);
    entry.size = text.size();
    entry.checksum = PieceChecksum::OfText(text);
    Stored(entry, storedText.size());
    entries_.push_back(std::move(entry));
    ++fileCount_;
    totalBytes_ += text.size();
    readBytes_ += text.size();
    return stored;
}

bool BackupWriter::DescribeStored(const Storage& storage, const std::string& path,
                                  struct stat& st) {
    const std::string local = storage.LocalPath(path);
    if (!local.empty())
        return FileOps::LStat(local, st);
    st = {};
    st.st_mode = S_IFREG | 0600;
    st.st_uid = ::geteuid();
    st.st_gid = ::getegid();
    ::clock_gettime(CLOCK_REALTIME, &st.st_mtim);
    return true;
}

void BackupWriter::SyncDirectories() {
    // One flush of the repository's file system covers every copied file and directory.
    storage_->Sync(prefix_);
}
