#include "ResumePlan.h"

#include "FileOps.h"
#include "HumanFormat.h"
#include "RestorePlan.h"
#include "StoredFileReader.h"
#include "StoredJournal.h"

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

bool ResumePlan::Usable(const ManifestEntry& entry, const ManifestEntry& old) const {
    // The agent compares whole seconds; the copy must also predate the old start to the
    // microsecond, so that nothing written while it was read can be in it.
    const std::int64_t oldMtimeMicros = old.mtimeSec * 1000000 + old.mtimeNsec / 1000;
    return old.size == entry.size && old.mtimeSec == entry.mtimeSec &&
           old.mtimeNsec == entry.mtimeNsec && old.stored == entry.stored &&
           oldMtimeMicros < state_.startMicros &&
           FileOps::BaseName(entry.path) != "pg_control"; // always the last, newest copy
}

bool ResumePlan::Keep(ManifestEntry& entry, const std::string& newBackupDir) {
    if (carried_.count(entry.path) == 0)
        return false;
    const auto old = journal_.find(entry.path);
    if (old == journal_.end() || !Usable(entry, old->second))
        return false;
    const std::string from = fromDir_ + "/" + old->second.stored;
    struct stat st {};
    if (!FileOps::LStat(from, st) || static_cast<std::uint64_t>(st.st_size) != old->second.storedSize)
        return false;
    try {
        // Reading back costs a fraction of copying (no server I/O, no compression) and is
        // the only way to know that the copy still decodes to what the journal says.
        StoredFileReader::Check(from, form_, {old->second.size, old->second.checksum});
    } catch (const std::exception& e) {
        g_log.Debug(kLabel, "not keeping %s: %s", from.c_str(), e.what());
        return false;
    }
    const std::string to = newBackupDir + "/" + entry.stored;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        g_log.Debug(kLabel, "not keeping %s: cannot move it to %s: %s", from.c_str(), to.c_str(),
                    FileOps::ErrnoText(errno).c_str());
        return false;
    }
    entry.checksum = old->second.checksum;
    entry.storedSize = old->second.storedSize;
    entry.blockDigests = old->second.blockDigests;
    kept_.push_back(entry);
    keptBytes_ += entry.size;
    return true;
}

void ResumePlan::Commit(const std::string& newBackupDir, StoredJournal& journal) {
    if (kept_.empty())
        return;
    FileOps::SyncFileSystem(newBackupDir);
    std::vector<const ManifestEntry*> files;
    for (const ManifestEntry& e : kept_)
        files.push_back(&e);
    journal.Append(files);
}
