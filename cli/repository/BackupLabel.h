#pragma once

#include <string>

// The backup_label file the server writes for a backup in backup mode, as far as the host
// needs to read it.
class BackupLabel {
public:
    // The text of its "LABEL: " line; empty when it has none.
    static std::string LabelOf(const std::string& labelFile);
    // Whether the label is the one the agent gives a backup of this job: it names it
    // <prefix><port>_<job id>_<seconds>.
    static bool IsOfJob(const std::string& labelFile, unsigned long long jobId);
};
