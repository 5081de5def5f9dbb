#include "ResumePlan.h"

#include "FileOps.h"
#include "HumanFormat.h"
#include "RestorePlan.h"
#include "StoredFileReader.h"
#include "StoredJournal.h"
#include "StoredParts.h"

#include "pgulo/host/CollectLine.h"
#include "pgulo/host/EvDebug.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabel = "ResumePlan";
const char* const kCollectPrefix = "CollectTot";

// Why the backup cannot be taken up, empty when it can.
std::string Refusal(const ResumeState& old, const ResumePlan::Request& r) {
    if (!r.allowed)
        return "--no-resume was given";
    if (r.nowMicros - old.startMicros > r.maxAgeMicros)
        return "it began more than " +
               HumanFormat::Duration(static_cast<double>(r.maxAgeMicros) / 1e6) +
               " ago (--resume-max-age)";
    if (old.systemIdentifier.empty() || old.systemIdentifier != r.state.systemIdentifier)
        return "the server's system identifier changed";
    if (old.timeline.empty() || old.timeline != r.state.timeline)
        return "the server's timeline changed (" + old.timeline + " to " + r.state.timeline + ")";
    if (old.compression != r.state.compression || old.encrypted != r.state.encrypted)
        return "its files are stored in another form (" + old.compression +
               (old.encrypted ? ", encrypted" : "") + ")";
    return "";
}

// "-o 1|4096@2|0": collect file number to the offset of its last carried entry.
std::map<int, long long> Offsets(const std::string& restartString) {
    std::map<int, long long> offsets;
    std::string text = restartString.rfind("-o ", 0) == 0 ? restartString.substr(3) : "";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('@', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string pair = text.substr(start, end - start);
        const std::size_t bar = pair.find('|');
        if (bar != std::string::npos)
            offsets[std::atoi(pair.c_str())] = std::atoll(pair.c_str() + bar + 1);
        start = end + 1;
    }
    return offsets;
}

int NumberOf(const std::string& collectFile) {
    const std::string name = FileOps::BaseName(collectFile);
    return std::atoi(name.c_str() + std::string(kCollectPrefix).size());
}

} // namespace

std::optional<ResumePlan> ResumePlan::Choose(const Repository& repository,
                                             const std::string& instance, const Request& r) {
    const std::vector<BackupRecord> all = repository.List(instance);
    std::optional<ResumePlan> plan;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->type != "full")
            continue;
        if (it->complete)
            break; // what came before is superseded by it
        if (it->state == "running")
            continue;
        std::optional<ResumeState> old = ResumeState::Load(it->directory);
        if (!old)
            continue;
        if (plan) {
            plan->superseded_.push_back(it->id);
            continue;
        }
        const std::string why = Refusal(*old, r);
        if (!why.empty()) {
            std::printf("not resuming the unfinished backup %s: %s; taking a new full backup\n",
                        it->id.c_str(), why.c_str());
            std::fflush(stdout);
            return std::nullopt;
        }
        plan = ResumePlan();
        plan->fromId_ = it->id;
        plan->fromDir_ = it->directory;
        plan->superseded_.push_back(it->id);
        plan->state_ = *old;
        plan->form_ = r.form;
        plan->journal_ = StoredJournal::Read(ResumeState::JournalPath(it->directory));
        plan->journalParts_ = StoredJournal::ReadParts(ResumeState::JournalPath(it->directory));
    }
    return plan;
}

std::vector<int> ResumePlan::PrepareJob(const std::string& jobDir) const {
    state_.RestoreJobFiles(fromDir_, jobDir);
    std::vector<int> numbers;
    for (const std::string& name : state_.collectFiles)
        numbers.push_back(NumberOf(name));
    return numbers;
}

void ResumePlan::TakeCarried(const std::vector<std::string>& collectFiles,
                             const std::string& restartString) {
    const std::map<int, long long> offsets = Offsets(restartString);
    for (const std::string& file : collectFiles) {
        const auto offset = offsets.find(NumberOf(file));
        // An offset of 0 cannot tell one carried entry at the top from none: none is safe.
        if (offset == offsets.end() || offset->second <= 0)
            continue;
        std::ifstream in(file, std::ios::binary);
        std::string line;
        for (long long position = 0; position <= offset->second && std::getline(in, line);
             position = static_cast<long long>(in.tellg()))
            carried_.insert(RestorePlan::Normalize(CollectLine::Decode(line)));
    }
    g_log.Debug(kLabel, "the agent carried %zu entries over from backup %s", carried_.size(),
                fromId_.c_str());
}

bool ResumePlan::Unchanged(const ManifestEntry& entry, std::uint64_t size, std::int64_t mtimeSec,
                           std::int64_t mtimeNsec, const std::string& stored) const {
    // The agent compares whole seconds; the copy must also predate the old start to the
    // microsecond, so that nothing written while it was read can be in it.
    const std::int64_t oldMtimeMicros = mtimeSec * 1000000 + mtimeNsec / 1000;
    return size == entry.size && mtimeSec == entry.mtimeSec && mtimeNsec == entry.mtimeNsec &&
           stored == entry.stored && oldMtimeMicros < state_.startMicros &&
           FileOps::BaseName(entry.path) != "pg_control"; // always the last, newest copy
}

bool ResumePlan::Usable(const ManifestEntry& entry, const ManifestEntry& old) const {
    return Unchanged(entry, old.size, old.mtimeSec, old.mtimeNsec, old.stored);
}

bool ResumePlan::Keep(ManifestEntry& entry, const std::string& newBackupDir) {
    if (carried_.count(entry.path) == 0)
        return false;
    const auto old = journal_.find(entry.path);
    if (old == journal_.end() || !Usable(entry, old->second))
        return false;
    const ManifestEntry& was = old->second;
    const std::vector<std::string> parts = StoredParts::Names(was.stored, was.partSizes.size());
    for (std::size_t k = 0; k < parts.size(); ++k) {
        struct stat st {};
        const std::uint64_t size = was.partSizes.empty() ? was.storedSize : was.partSizes[k];
        if (!FileOps::LStat(fromDir_ + "/" + parts[k], st) ||
            static_cast<std::uint64_t>(st.st_size) != size)
            return false;
    }
    const std::string from = fromDir_ + "/" + was.stored;
    try {
        // Reading back costs a fraction of copying (no server I/O, no compression) and is
        // the only way to know that the copy still decodes to what the journal says.
        StoredFileReader::Check(from, form_, {was.size, was.checksum}, parts.size());
    } catch (const std::exception& e) {
        g_log.Debug(kLabel, "not keeping %s: %s", from.c_str(), e.what());
        return false;
    }
    for (const std::string& part : parts) {
        if (!Move(fromDir_ + "/" + part, newBackupDir + "/" + part))
            return false;
    }
    entry.checksum = was.checksum;
    entry.storedSize = was.storedSize;
    entry.partSizes = was.partSizes;
    entry.blockDigests = was.blockDigests;
    kept_.push_back(entry);
    keptBytes_ += entry.size;
    return true;
}

std::optional<FileCopier::Result>
ResumePlan::CheckedPart(const JournaledPart& part, std::uint64_t bytes, bool blockDigests) const {
    const std::string from = fromDir_ + "/" + StoredParts::Name(part.stored, part.index);
    struct stat st {};
    if (!FileOps::LStat(from, st) || static_cast<std::uint64_t>(st.st_size) != part.storedSize)
        return std::nullopt;
    FileCopier::Options options;
    options.sync = false;
    options.direct = false;
    FileCopier copier(options);
    copier.DigestBlocks(blockDigests);
    try {
        FileCopier::Result r = copier.ReadParts(from, 1, {}, form_, "", {}, StoredForm(), 0600);
        if (r.status != FileCopier::Status::Copied || r.bytes != bytes || r.pieces.size() != 1 ||
            r.pieces.front() != part.piece) {
            g_log.Debug(kLabel, "not keeping %s: it no longer holds its piece", from.c_str());
            return std::nullopt;
        }
        r.stored = part.storedSize;
        r.checksum.clear();
        return r;
    } catch (const std::exception& e) {
        g_log.Debug(kLabel, "not keeping %s: %s", from.c_str(), e.what());
        return std::nullopt;
    }
}

std::map<std::size_t, FileCopier::Result> ResumePlan::KeepParts(const ManifestEntry& entry,
                                                                const std::string& newBackupDir,
                                                                bool blockDigests) {
    std::map<std::size_t, FileCopier::Result> kept;
    const auto old = journalParts_.find(entry.path);
    if (carried_.count(entry.path) == 0 || old == journalParts_.end())
        return kept;
    const std::size_t count = StoredParts::Count(entry.size);
    for (const auto& [index, part] : old->second) {
        // With every part kept there would be nothing to copy: the file was kept whole or not.
        if (index >= count || kept.size() + 1 == count ||
            !Unchanged(entry, part.fileSize, part.mtimeSec, part.mtimeNsec, part.stored))
            continue;
        const std::uint64_t bytes = index + 1 == count ? entry.size - index * StoredParts::kPartSize
                                                       : StoredParts::kPartSize;
        std::optional<FileCopier::Result> r = CheckedPart(part, bytes, blockDigests);
        const std::string name = StoredParts::Name(part.stored, index);
        if (!r || !Move(fromDir_ + "/" + name, newBackupDir + "/" + name))
            continue;
        kept.emplace(index, std::move(*r));
        keptParts_.push_back(part);
        keptBytes_ += bytes;
    }
    return kept;
}

bool ResumePlan::Move(const std::string& from, const std::string& to) const {
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    g_log.Debug(kLabel, "not keeping %s: cannot move it to %s: %s", from.c_str(), to.c_str(),
                FileOps::ErrnoText(errno).c_str());
    return false;
}

void ResumePlan::Commit(const std::string& newBackupDir, StoredJournal& journal) {
    if (kept_.empty() && keptParts_.empty())
        return;
    FileOps::SyncFileSystem(newBackupDir);
    std::vector<const ManifestEntry*> files;
    for (const ManifestEntry& e : kept_)
        files.push_back(&e);
    journal.Append(files, keptParts_);
}
