#include "VerifyCommand.h"

#include "BlockAssembler.h"
#include "BlockPlan.h"
#include "CliError.h"
#include "CopyEngine.h"
#include "HumanFormat.h"
#include "InstanceRegistry.h"
#include "Progress.h"
#include "SignalGuard.h"
#include "WalChain.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

VerifyCommand::VerifyCommand(const Options& options, std::vector<BackupRecord> all)
    : options_(options), all_(std::move(all)) {}

const std::vector<std::string>& VerifyCommand::StoredProblems(const BackupRecord& record) {
    auto known = stored_.find(record.id);
    if (known != stored_.end())
        return known->second;
    std::vector<std::string> problems = ReadStoredFiles(record);
    for (std::string& extra : Repository::UnexpectedFiles(record))
        problems.push_back(std::move(extra));
    return stored_.emplace(record.id, std::move(problems)).first->second;
}

std::vector<std::string> VerifyCommand::ChainProblems(const BackupRecord& record) {
    std::vector<const BackupRecord*> chain = {&record};
    if (record.type == "log") {
        chain = Repository::ChainTo(all_, record);
        if (chain.empty())
            return {"log backup " + record.id + " does not continue a complete data backup"};
        const BackupRecord& base = *chain.front();
        const std::vector<std::string>& baseProblems = StoredProblems(base);
        if (!baseProblems.empty())
            return {"its " + base.type + " backup " + base.id + " is unusable (" +
                    baseProblems.front() + ")"};
    }
    const std::string missing = WalChain(chain).FirstMissing();
    if (!missing.empty())
        return {"the backed-up WAL is not whole: " + missing + " is missing"};
    return {};
}

std::vector<std::string> VerifyCommand::Check(const BackupRecord& record) {
    if (!record.complete)
        return {"backup " + record.id + " is " + record.state + " (" + record.message + ")"};
    std::vector<std::string> problems = StoredProblems(record);
    for (std::string& problem : ChainProblems(record))
        problems.push_back(std::move(problem));
    return problems;
}

std::vector<std::string> VerifyCommand::ReadStoredFiles(const BackupRecord& record) const {
    const unsigned jobs = options_.jobs;
    const bool quiet = options_.quiet;
    std::vector<std::string> problems;
    const Manifest& m = *record.manifest;
    std::vector<CopyEngine::Task> tasks;
    std::vector<const ManifestEntry*> files;
    std::uint64_t bytes = 0;
    try {
        references_.References(record);
    } catch (const CliError& e) {
        return {e.what()};
    }
    for (const auto& entry : m.entries) {
        if (entry.kind != ManifestEntry::Kind::File || ReferenceSet::Assembled(entry))
            continue;
        tasks.push_back(references_.ReadTask(record, entry, ""));
        files.push_back(&entry);
        bytes += entry.size;
    }
    Progress progress("verify " + record.id, Progress::ModeFor(quiet));
    progress.Start(tasks.size(), bytes);
    CopyEngine::Options options;
    options.jobs = jobs;
    options.progress = &progress;
    options.continueOnError = true;
    options.quit = [] { return SignalGuard::QuitRequested(); };
    CopyEngine engine(options);
    const std::vector<CopyEngine::Outcome> outcomes = engine.Run(tasks);
    progress.Finish();
    if (engine.Stopped())
        throw CliError("verification interrupted");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const ManifestEntry& e = *files[i];
        const CopyEngine::Outcome& o = outcomes[i];
        if (!o.error.empty())
            problems.push_back(e.StoredLabel() + ": " + o.error);
        else if (o.result.status == FileCopier::Status::Vanished)
            problems.push_back(e.StoredLabel() + ": missing");
        else if (o.result.bytes != e.size)
            problems.push_back(e.StoredLabel() + ": size " + std::to_string(o.result.bytes) +
                               ", the manifest says " + std::to_string(e.size));
        else if (o.result.checksum != e.checksum)
            problems.push_back(e.StoredLabel() +
                               ": checksum mismatch (the stored copy is damaged)");
        else if (o.result.stored != e.storedSize)
            problems.push_back(e.StoredLabel() + ": stored size " +
                               std::to_string(o.result.stored) +
                               ", the manifest says " + std::to_string(e.storedSize));
    }
    for (std::string& problem : AssembledProblems(record))
        problems.push_back(std::move(problem));
    return problems;
}

std::vector<std::string> VerifyCommand::AssembledProblems(const BackupRecord& record) const {
    std::vector<std::string> problems;
    // Blocks come from several stored files in no one order: the file is rebuilt aside and
    // read back whole.
    const std::string scratch = (std::filesystem::temp_directory_path() /
                                 ("pgulo-verify-" + std::to_string(::getpid())))
                                    .string();
    for (const ManifestEntry& e : record.manifest->entries) {
        if (e.kind != ManifestEntry::Kind::File || !ReferenceSet::Assembled(e))
            continue;
        if (SignalGuard::QuitRequested())
            throw CliError("verification interrupted");
        try {
            references_.RequireStored(record, e);
            const BlockAssembler::Result r =
                BlockAssembler::Assemble(references_.SourcesOf(record, e), scratch, 0600, e.size);
            if (!BlockPlan::Matches(e, r.checksum, r.blockDigests))
                problems.push_back(e.path + ": rebuilt from its blocks, its checksum does not "
                                            "match (a stored copy is damaged)");
        } catch (const std::exception& error) {
            problems.push_back(e.path + ": " + error.what());
        }
    }
    ::unlink(scratch.c_str());
    return problems;
}

int VerifyCommand::Run(HostContext& host, const Options& options) {
    InstanceRegistry().Require(options.instance);
    Repository repository(host.Repository());
    std::vector<BackupRecord> records;
    if (!options.id.empty()) {
        records.push_back(repository.Get(options.instance, options.id));
    } else {
        // A backup whose status says complete but whose manifest is gone was complete once:
        // it is checked (and reported) rather than passed over.
        for (const auto& record : repository.List(options.instance)) {
            if (record.complete || record.recordedState == "complete")
                records.push_back(record);
        }
        if (records.empty())
            throw CliError("instance '" + options.instance + "' has no complete backup to verify");
        if (!options.all)
            records.erase(records.begin(), records.end() - 1);
    }
    VerifyCommand verify(options, repository.List(options.instance));
    int exitCode = 0;
    for (const BackupRecord& record : records) {
        const std::vector<std::string> problems = verify.Check(record);
        if (problems.empty()) {
            std::printf("backup %s: %llu files, %s verified, no problems\n", record.id.c_str(),
                        static_cast<unsigned long long>(record.manifest->fileCount),
                        HumanFormat::Bytes(record.manifest->totalBytes).c_str());
            continue;
        }
        exitCode = CliError::kFailure;
        std::printf("backup %s: %zu problem%s\n", record.id.c_str(), problems.size(),
                    problems.size() == 1 ? "" : "s");
        for (const auto& problem : problems)
            std::printf("  %s\n", problem.c_str());
    }
    std::fflush(stdout);
    return exitCode;
}
