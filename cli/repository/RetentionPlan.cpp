#include "RetentionPlan.h"

#include <optional>

namespace {

constexpr std::int64_t kMicrosPerDay = 86400LL * 1000000;

std::string Days(unsigned n) {
    return n == 1 ? "day" : std::to_string(n) + " days";
}

// "the newest full backup", "one of the 3 newest full backups".
std::string Newest(unsigned n, const std::string& type) {
    return n == 1 ? "the newest " + type + " backup"
                  : "one of the " + std::to_string(n) + " newest " + type + " backups";
}

} // namespace

std::string RetentionPolicy::Describe() const {
    std::string text;
    auto add = [&text](const char* name, const std::optional<unsigned>& value) {
        if (value)
            text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(*value);
    };
    add("retain-full", retainFull);
    add("retain-days", retainDays);
    add("retain-dump", retainDump);
    return text.empty() ? "none" : text;
}

RetentionPlan::RetentionPlan(const std::vector<BackupRecord>& all, const RetentionPolicy& policy,
                             std::int64_t nowMicros)
    : all_(all), decisions_(all.size()), decided_(all.size(), false) {
    for (std::size_t i = 0; i < all.size(); ++i) {
        Decision& d = decisions_[i];
        d.backup = &all[i];
        if (all[i].state == "running") {
            d.reason = "its job is still running";
            decided_[i] = true;
        } else if (all[i].recordedState == "deleting") {
            d.keep = false;
            d.reason = "an earlier removal of it was cut short";
            decided_[i] = true;
        }
    }
    DecideFulls(policy, nowMicros);
    DecideDumps(policy);
    DecideRest();
    KeepWhatKeptBackupsNeed();
}

RetentionPlan::Decision& RetentionPlan::Of(const BackupRecord* backup) {
    return decisions_[static_cast<std::size_t>(backup - all_.data())];
}

void RetentionPlan::DecideFulls(const RetentionPolicy& policy, std::int64_t nowMicros) {
    std::vector<std::size_t> fulls;
    for (std::size_t i = 0; i < all_.size(); ++i) {
        if (!decided_[i] && all_[i].complete && all_[i].type == "full")
            fulls.push_back(i);
    }
    const unsigned days = policy.retainDays.value_or(0);
    const std::int64_t cutoff = nowMicros - static_cast<std::int64_t>(days) * kMicrosPerDay;
    // A restore to the start of the window begins from the newest full backup that had
    // ended by then.
    std::optional<std::size_t> newestBefore;
    for (const std::size_t i : fulls) {
        if (all_[i].manifest->endMicros <= cutoff)
            newestBefore = i;
    }
    for (std::size_t k = 0; k < fulls.size(); ++k) {
        const std::size_t i = fulls[k];
        const std::size_t rank = fulls.size() - 1 - k; // 0: the newest
        Decision& d = decisions_[i];
        decided_[i] = true;
        if (!policy.retainFull && !policy.retainDays) {
            d.reason = "no rule for full backups";
        } else if (policy.retainFull && rank < *policy.retainFull) {
            d.reason = Newest(*policy.retainFull, "full");
        } else if (policy.retainDays && all_[i].manifest->endMicros > cutoff) {
            d.reason = "ended within the last " + Days(days);
        } else if (policy.retainDays && newestBefore == i) {
            d.reason = "a restore to the start of the last " + Days(days) + " needs it";
        } else {
            d.keep = false;
            d.reason = policy.retainFull ? "not " + Newest(*policy.retainFull, "full") : "";
            if (policy.retainDays)
                d.reason += std::string(d.reason.empty() ? "" : ", and ") +
                            "no restore to the last " + Days(days) + " needs it";
        }
    }
}

void RetentionPlan::DecideDumps(const RetentionPolicy& policy) {
    std::size_t newer = 0;
    for (std::size_t i = all_.size(); i-- > 0;) {
        if (decided_[i] || !all_[i].complete || all_[i].type != "dump")
            continue;
        Decision& d = decisions_[i];
        decided_[i] = true;
        if (!policy.retainDump) {
            d.reason = "no rule for dump backups";
        } else if (newer++ < *policy.retainDump) {
            d.reason = Newest(*policy.retainDump, "dump");
        } else {
            d.keep = false;
            d.reason = "not " + Newest(*policy.retainDump, "dump");
        }
    }
}

void RetentionPlan::DecideRest() {
    const BackupRecord* newestComplete = nullptr;
    for (const BackupRecord& r : all_)
        newestComplete = r.complete ? &r : newestComplete;
    const BackupRecord* base = nullptr; // the newest complete data backup so far
    for (std::size_t i = 0; i < all_.size(); ++i) {
        const BackupRecord& r = all_[i];
        if (!decided_[i]) {
            decided_[i] = true;
            Decision& d = decisions_[i];
            if (!r.complete) {
                d.keep = newestComplete == nullptr || r.startMicros >= newestComplete->startMicros;
                d.reason = d.keep ? r.state + ", and no complete backup is newer: kept to show why"
                                  : r.state + ", and older than the newest complete backup " +
                                        newestComplete->id;
            } else if (r.type == "log") {
                // A log backup goes with the data backup it follows, up to the next one.
                d.keep = base != nullptr && Of(base).keep;
                d.reason = base == nullptr ? "it continues no complete full, diff or incr backup"
                                           : "it continues " + base->type + " backup " +
                                                 base->id + ", which is " +
                                                 (d.keep ? "kept" : "removed");
            } else if (r.type == "diff" || r.type == "incr") {
                // Goes with the backup it builds on, and so with that one's full backup.
                const BackupRecord* reference = Reference(all_, r);
                d.keep = reference != nullptr && Of(reference).keep;
                d.reason = reference == nullptr
                               ? "the backup it builds on is gone"
                               : "it builds on " + reference->type + " backup " + reference->id +
                                     ", which is " + (d.keep ? "kept" : "removed");
            } else {
                d.reason = "no rule for " + r.type + " backups";
            }
        }
        if (r.complete && Manifest::IsDataBackup(r.type))
            base = &r;
    }
}

void RetentionPlan::KeepWhatKeptBackupsNeed() {
    // Newest first: what a backup needs is older, so it is reached after the backup is kept.
    for (std::size_t i = all_.size(); i-- > 0;) {
        if (!decisions_[i].keep)
            continue;
        for (const BackupRecord* needed : Needs(all_, all_[i])) {
            Decision& d = Of(needed);
            if (!d.keep) {
                d.keep = true;
                d.reason = "kept backup " + all_[i].id + " needs it";
            }
        }
    }
}

std::vector<const RetentionPlan::Decision*> RetentionPlan::Removals() const {
    std::vector<const Decision*> removals;
    for (auto it = decisions_.rbegin(); it != decisions_.rend(); ++it) {
        if (!it->keep)
            removals.push_back(&*it);
    }
    return removals;
}

const BackupRecord* RetentionPlan::Reference(const std::vector<BackupRecord>& all,
                                             const BackupRecord& backup) {
    if (!backup.complete || backup.manifest->reference.empty())
        return nullptr;
    for (const BackupRecord& r : all) {
        if (r.complete && r.id == backup.manifest->reference)
            return &r;
    }
    return nullptr;
}

std::vector<const BackupRecord*> RetentionPlan::Needs(const std::vector<BackupRecord>& all,
                                                      const BackupRecord& backup) {
    if (!backup.complete)
        return {};
    std::vector<const BackupRecord*> needs;
    const BackupRecord* base = &backup;
    if (backup.type == "log") {
        needs = Repository::ChainTo(all, backup);
        if (needs.empty())
            return {};
        needs.pop_back();
        base = needs.front();
    }
    // A diff or incr backup's files live partly in the backups it builds on.
    for (const BackupRecord* r = Reference(all, *base); r != nullptr; r = Reference(all, *r))
        needs.insert(needs.begin(), r);
    return needs;
}

std::vector<const BackupRecord*> RetentionPlan::NeededBy(const std::vector<BackupRecord>& all,
                                                         const BackupRecord& backup) {
    std::vector<const BackupRecord*> dependents;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        for (const BackupRecord* needed : Needs(all, *it)) {
            if (needed->id == backup.id) {
                dependents.push_back(&*it);
                break;
            }
        }
    }
    return dependents;
}
