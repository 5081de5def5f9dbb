#include "pgulo/PGCommon.h"

#include "common/PGGuard.h"
#include "pgulo/host/CRoDirectory.h"
#include "pgulo/host/CRoUTFOSAPI.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelCleanUpLogFile = "PGCommon :: CleanUpLogFileForPG8";
const char* const kLabelCleanWalDir = "PGCommon :: CleanWalDirAftRestorePG8";
const char* const kLabelRename = "PGCommon :: RenameCopiedLogFile";
const char* const kLabelRemove = "PGCommon :: RemoveFilesFromFolder";

const std::string kCopyMark = "_PGuLOLogCopy.kxf";

std::string BaseName(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

void PGCommon::CleanUpLogFileForPG8(const std::string& jobResultsDirectory, std::uint64_t jobId) {
    PGGuard::Quietly(g_log, kLabelCleanUpLogFile, [&] {
        std::string cleanupFile;
        GenerateConfigFile(jobResultsDirectory, jobId, "PGCleanupLog", cleanupFile);
        if (cleanupFile.empty()) {
            g_log.Error(kLabelCleanUpLogFile, "Failed to obtain Wal Log Config file %s, error %d",
                        cleanupFile.c_str(), errno);
            return;
        }
        UniqueFile file = UniqueFile::Open(cleanupFile, "r");
        if (!file) {
            g_log.Debug(kLabelCleanUpLogFile, "Failed to open file [%s]. Errno [%d]",
                        cleanupFile.c_str(), errno);
            return;
        }
        std::string copy;
        if (ReadTokenFromFile(file.get(), "PG_WAL_LOG", &copy) != 1)
            return;
        g_log.Debug(kLabelCleanUpLogFile, "Log file [%s]", copy.c_str());
        // The clean-up file only ever names a marked copy; anything else in it is not ours to
        // delete.
        if (!IsCopiedFile(BaseName(copy))) {
            g_log.Error(kLabelCleanUpLogFile,
                        "eRRoR -- [%s] is not a marked WAL copy, it is left in place",
                        copy.c_str());
            return;
        }
        if (::access(copy.c_str(), F_OK) != 0)
            return;
        if (::unlink(copy.c_str()) != 0) {
            g_log.Error(kLabelCleanUpLogFile, "unlink failed file [%s] errno = %d", copy.c_str(),
                        errno);
            return;
        }
        g_log.Debug(kLabelCleanUpLogFile, "Unlink success. File [%s]", copy.c_str());
        file.close();
        if (::unlink(cleanupFile.c_str()) != 0)
            g_log.Error(kLabelCleanUpLogFile, "unlink failed file [%s] errno = %d",
                        cleanupFile.c_str(), errno);
    });
}

int PGCommon::CleanWalDirAftRestorePG8(const std::string& walDirectory) {
    g_log.Debug(kLabelCleanWalDir, "Enter");
    CRoDirectory directory;
    if (directory.Open(walDirectory, "*", true).IsError()) {
        g_log.Error(kLabelCleanWalDir, "Failed to open dir - [%s]", walDirectory.c_str());
        return -1;
    }
    std::vector<std::string> entries;
    for (;;) {
        std::string entry;
        bool done = false;
        CRoError error = directory.GetEntry(entry, done);
        if (error.IsError()) {
            g_log.Error(kLabelCleanWalDir, "eRRoR -- Failed to read dir - [%s]. %s",
                        walDirectory.c_str(), error.AsString().c_str());
            return -1;
        }
        if (done)
            break;
        g_log.DebugLvl(kLabelCleanWalDir, 2, "Dir entry [%s]", entry.c_str());
        entries.push_back(entry);
    }
    // std::sort needs a strict order; CompareStringIncr answers "not greater", which is not
    // one, so its negation with swapped arguments ("less") is used.
    std::sort(entries.begin(), entries.end(),
              [](const std::string& a, const std::string& b) { return !CompareStringIncr(b, a); });

    std::string lastCopy;
    std::vector<std::string> copies;
    for (const std::string& entry : entries) {
        g_log.DebugLvl(kLabelCleanWalDir, 2, "Files Entry %s", entry.c_str());
        if (IsCopiedFile(entry)) {
            lastCopy = entry;
            copies.push_back(entry);
            g_log.DebugLvl(kLabelCleanWalDir, 2, "IsCopiedFile true. prevCopiedFileEntry [%s]",
                           lastCopy.c_str());
        } else {
            lastCopy.clear();
            g_log.DebugLvl(kLabelCleanWalDir, 2, "IsCopiedFile flase, File [%s]", entry.c_str());
        }
    }

    if (!lastCopy.empty()) {
        g_log.Debug(kLabelCleanWalDir, "Remove copied file suffix for file [%s]", lastCopy.c_str());
        if (RenameCopiedLogFile(walDirectory, lastCopy) != 0) {
            g_log.Error(kLabelCleanWalDir, "RenameCopiedLogFile failed");
            return -1;
        }
    }
    if (!copies.empty()) {
        g_log.Debug(kLabelCleanWalDir, "Remove copied files from WAL dir [%s]",
                    walDirectory.c_str());
        RemoveFilesFromFolder(walDirectory, copies);
    }
    return 0;
}

bool PGCommon::IsCopiedFile(const std::string& name) {
    return name.find(kCopyMark) != std::string::npos;
}

int PGCommon::RenameCopiedLogFile(const std::string& walDirectory, const std::string& fileName) {
    const std::string::size_type found = fileName.find(kCopyMark);
    g_log.DebugLvl(kLabelRename, 2, "walDir %s , logFile %s , found %ld", walDirectory.c_str(),
                   fileName.c_str(), found == std::string::npos ? -1L : static_cast<long>(found));
    if (found == std::string::npos) {
        g_log.Error(kLabelRename, "Couldn't find SUFFIX %s, in the log file name",
                    kCopyMark.c_str());
        return -1;
    }
    if (found == 0) {
        // The target would be the directory itself.
        g_log.Error(kLabelRename, "eRRoR -- [%s] carries no segment name before the mark",
                    fileName.c_str());
        return -1;
    }
    const std::string source = walDirectory + "/" + fileName;
    const std::string target = walDirectory + "/" + fileName.substr(0, found);
    g_log.Debug(kLabelRename, "Stripped File [%s]", target.c_str());

    if (::access(target.c_str(), R_OK) == 0) {
        g_log.DebugLvl(kLabelRename, 2, "file [%s] exists, no need to rename, exiting",
                       target.c_str());
    } else if (CRoUTFOSAPI::rename(source, target) != 0) {
        g_log.Error(kLabelRename, "CRoUTFOSAPI::rename From %s , To %s failed. ErrorCode %d",
                    source.c_str(), target.c_str(), errno);
        g_log.Error(kLabelRename, " rename failed");
        return -1;
    }
    // Recovery runs as the server's user, which need not own the restored file.
    if (::chmod(target.c_str(), 0777) != 0)
        g_log.Error(kLabelRename, "failed to change permission of file [%s]", target.c_str());
    return 0;
}

void PGCommon::RemoveFilesFromFolder(const std::string& directory,
                                     const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        if (::access(path.c_str(), R_OK) != 0) {
            g_log.DebugLvl(kLabelRemove, 2, "access failed for file [%s], ErrorCode [%d]",
                           path.c_str(), errno);
            continue;
        }
        if (::unlink(path.c_str()) == 0)
            g_log.Debug(kLabelRemove, "Unlink success for file [%s]", path.c_str());
        else
            g_log.Error(kLabelRemove, "Unlink failed for file [%s], ErrorCode [%d]", path.c_str(),
                        errno);
    }
}

bool PGCommon::CompareStringIncr(const std::string& a, const std::string& b) {
    return a.compare(b) <= 0;
}

bool PGCommon::CompareStringDecr(const std::string& a, const std::string& b) {
    return b.compare(a) <= 0;
}
