#include "ExpireCommand.h"

#include "CliError.h"
#include "HumanFormat.h"
#include "InstanceLock.h"
#include "InstanceRegistry.h"
#include "TimeText.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

// Tests cut a removal short after a chosen number of its durable steps, with a real kill.
std::function<void()> KillAfterSteps() {
    const char* text = std::getenv("PGULO_TEST_KILL_AFTER_STEP");
    if (text == nullptr || std::atol(text) <= 0)
        return {};
    const long limit = std::atol(text);
    auto steps = std::make_shared<long>(0);
    return [limit, steps] {
        if (++*steps >= limit)
            std::raise(SIGKILL);
    };
}

// An upload begun this long ago belongs to no running backup: no file takes that long.
// Tests shorten it to end the uploads of a backup they have just killed.
std::chrono::seconds AbandonedUploadAge() {
    const char* text = std::getenv("PGULO_TEST_ABANDONED_UPLOAD_SECONDS");
    if (text != nullptr && std::atol(text) >= 0)
        return std::chrono::seconds(std::atol(text));
    return std::chrono::hours(1);
}

} // namespace

void ExpireCommand::Run(HostContext& host, const Options& options) {
    const InstanceSettings settings = InstanceRegistry().Require(options.instance);
    const RetentionPolicy policy = options.policy.Empty() ? settings.retention : options.policy;
    if (policy.Empty())
        throw CliError::Usage("no retention policy; give --retain-full or --retain-days, or set "
                              "one with 'pgulo instance set'");
    InstanceLock lock(settings.name, "expire");
    Repository repository(host.Repository());
    if (!options.dryRun)
        repository.MarkAbandoned(settings.name);
    Apply(repository, settings.name, policy, options.dryRun);
    if (options.dryRun)
        return;
    const std::size_t aborted = repository.Store()->AbortAbandonedWrites(AbandonedUploadAge());
    if (aborted > 0) {
        std::printf("aborted %zu unfinished upload(s) in %s\n", aborted,
                    repository.Store()->Describe("").c_str());
        std::fflush(stdout);
    }
}

void ExpireCommand::Apply(Repository& repository, const std::string& instance,
                          const RetentionPolicy& policy, bool dryRun) {
    if (!dryRun)
        repository.RemoveLeftovers(instance);
    const std::vector<BackupRecord> all = repository.List(instance);
    const RetentionPlan plan(all, policy, TimeText::NowMicros());
    const std::function<void()> afterStep = KillAfterSteps();
    std::uint64_t freed = 0;
    const std::vector<const RetentionPlan::Decision*> removals = plan.Removals();
    for (const RetentionPlan::Decision* d : removals) {
        const BackupRecord& backup = *d->backup;
        const std::uint64_t bytes = Repository::StoredBytes(backup);
        if (!dryRun)
            repository.Remove(instance, backup.id, afterStep);
        freed += bytes;
        std::printf("%s backup %s (%s, %s): %s\n", dryRun ? "would remove" : "removed",
                    backup.id.c_str(), backup.type.c_str(), HumanFormat::Bytes(bytes).c_str(),
                    d->reason.c_str());
        std::fflush(stdout);
    }
    const std::size_t kept = all.size() - removals.size();
    if (removals.empty())
        std::printf("nothing to expire in instance '%s' (%s): %zu backup(s) kept\n",
                    instance.c_str(), policy.Describe().c_str(), kept);
    else
        std::printf("%s %zu backup(s) of instance '%s' (%s), %s %s; %zu kept\n",
                    dryRun ? "dry run: would remove" : "expired", removals.size(),
                    instance.c_str(), policy.Describe().c_str(), dryRun ? "would free" : "freed",
                    HumanFormat::Bytes(freed).c_str(), kept);
    std::fflush(stdout);
}
