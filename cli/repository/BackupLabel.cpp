#include "BackupLabel.h"

std::string BackupLabel::LabelOf(const std::string& labelFile) {
    const std::string key = "LABEL: ";
    std::size_t begin = 0;
    while (begin < labelFile.size()) {
        std::size_t end = labelFile.find('\n', begin);
        if (end == std::string::npos)
            end = labelFile.size();
        if (labelFile.compare(begin, key.size(), key) == 0)
            return labelFile.substr(begin + key.size(), end - begin - key.size());
        begin = end + 1;
    }
    return "";
}

bool BackupLabel::IsOfJob(const std::string& labelFile, unsigned long long jobId) {
    const std::string label = LabelOf(labelFile);
    const std::string job = "_" + std::to_string(jobId) + "_";
    const std::size_t pos = label.rfind(job);
    if (pos == std::string::npos)
        return false;
    const std::string seconds = label.substr(pos + job.size());
    return !seconds.empty() && seconds.find_first_not_of("0123456789") == std::string::npos;
}
