#include "ExpireCommand.h"

#include "CliError.h"
#include "HumanFormat.h"
#include "InstanceLock.h"
#include "InstanceRegistry.h"
#include "TimeText.h"

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
