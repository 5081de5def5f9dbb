#include "VerifyCommand.h"

#include "CliError.h"
#include "CopyEngine.h"
#include "HumanFormat.h"
#include "InstanceRegistry.h"
#include "Progress.h"
#include "SignalGuard.h"

#include <cstdio>

std::vector<std::string> VerifyCommand::Check(const BackupRecord& record, unsigned jobs,
                                              bool quiet) {
    std::vector<std::string> problems;
    if (!record.complete) {
        problems.push_back("backup " + record.id + " is incomplete (" + record.message + ")");
        return problems;
    }
    const Manifest& m = *record.manifest;
    std::vector<CopyEngine::Task> tasks;
    std::vector<const ManifestEntry*> files;
    std::uint64_t bytes = 0;
    for (const auto& entry : m.entries) {
        if (entry.kind != ManifestEntry::Kind::File)
            continue;
        tasks.push_back({record.directory + "/" + entry.stored, "", 0600, entry.size});
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
            problems.push_back(e.stored + ": " + o.error);
        else if (o.result.status == FileCopier::Status::Vanished)
            problems.push_back(e.stored + ": missing");
        else if (o.result.bytes != e.size)
            problems.push_back(e.stored + ": size " + std::to_string(o.result.bytes) +
                               ", the manifest says " + std::to_string(e.size));
        else if (o.result.checksum != e.checksum)
            problems.push_back(e.stored + ": checksum mismatch (the stored copy is damaged)");
    }
    return problems;
}

int VerifyCommand::Run(HostContext& host, const Options& options) {
    InstanceRegistry().Require(options.instance);
    Repository repository(host.Repository());
    std::vector<BackupRecord> records;
    if (!options.id.empty()) {
        records.push_back(repository.Get(options.instance, options.id));
    } else {
        for (const auto& record : repository.List(options.instance)) {
            if (record.complete)
                records.push_back(record);
        }
        if (records.empty())
            throw CliError("instance '" + options.instance + "' has no complete backup to verify");
        if (!options.all)
            records.erase(records.begin(), records.end() - 1);
    }
    int exitCode = 0;
    for (const BackupRecord& record : records) {
        const std::vector<std::string> problems = Check(record, options.jobs, options.quiet);
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
