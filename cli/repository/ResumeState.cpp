#include "ResumeState.h"

#include "FileOps.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

using json = nlohmann::json;

void CopyFile(const std::string& from, const std::string& to) {
    FileOps::WriteAtomically(to, FileOps::ReadWhole(from));
}

} // namespace

std::string ResumeState::Directory(const std::string& backupDir) {
    return backupDir + "/" + kDirectory;
}

std::string ResumeState::JournalPath(const std::string& backupDir) {
    return Directory(backupDir) + "/" + kJournalFile;
}

void ResumeState::Save(const std::string& backupDir, const std::string& jobDir) {
    const std::string dir = Directory(backupDir);
    FileOps::MakeDirectories(dir);
    for (const std::string& name : collectFiles)
        CopyFile(jobDir + "/" + name, dir + "/" + name);
    if (FileOps::Exists(jobDir + "/" + kBackupTimeFile))
        CopyFile(jobDir + "/" + kBackupTimeFile, dir + "/" + kBackupTimeFile);
    const json j = {{"start_time_us", startMicros}, {"system_identifier", systemIdentifier},
                    {"timeline", timeline},         {"compression", compression},
                    {"encrypted", encrypted},       {"collect_files", collectFiles}};
    FileOps::WriteAtomically(dir + "/" + kStateFile, j.dump(2) + "\n");
}

std::optional<ResumeState> ResumeState::Load(const std::string& backupDir) {
    const std::string path = Directory(backupDir) + "/" + kStateFile;
    if (!FileOps::Exists(path))
        return std::nullopt;
    try {
        const json j = json::parse(FileOps::ReadWhole(path));
        ResumeState s;
        s.startMicros = j.at("start_time_us").get<std::int64_t>();
        s.systemIdentifier = j.at("system_identifier").get<std::string>();
        s.timeline = j.at("timeline").get<std::string>();
        s.compression = j.at("compression").get<std::string>();
        s.encrypted = j.at("encrypted").get<bool>();
        s.collectFiles = j.at("collect_files").get<std::vector<std::string>>();
        return s;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: warning: %s is unreadable (%s); that backup cannot be "
                             "resumed\n",
                     path.c_str(), e.what());
        return std::nullopt;
    }
}

void ResumeState::RestoreJobFiles(const std::string& backupDir, const std::string& jobDir) const {
    const std::string dir = Directory(backupDir);
    for (const std::string& name : collectFiles)
        CopyFile(dir + "/" + name, jobDir + "/" + name);
    if (FileOps::Exists(dir + "/" + kBackupTimeFile))
        CopyFile(dir + "/" + kBackupTimeFile, jobDir + "/" + kBackupTimeFile);
}
