// Restart of an interrupted full backup: entries the host already copied are carried over
// from the old collect files, everything else is listed again.
#include "fsbackup/PGFsBackup.h"

#include "common/PGGuard.h"
#include "pgulo/PGException.h"
#include "pgulo/host/EvDebug.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelBackupFiles = "PGFsBackup::BackupFiles";
const char* const kLabelRenameFiles = "PGFsBackup::RenameFiles";
const char* const kLabelGenerateNew = "PGFsBackup :: GenerateNewCollectFile";
const char* const kLabelPrepare = "PGFsBackup :: prepareForRestart";
const char* const kLabelFrame = "PGFsBackup :: FrameRestartString";
const char* const kLabelIsBackedUp = "PGFsBackup :: isBackedUp";

// One line of a collect file, however long, without its line feed. False at the end of the
// file and for an empty line, as fgets_p reads it.
bool ReadCollectLine(FILE* file, std::string& line) {
    line.clear();
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&buffer, &capacity, file);
    if (length > 0)
        line.assign(buffer, static_cast<std::size_t>(length));
    std::free(buffer);
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return !line.empty();
}

} // namespace

std::string PGFsBackup::OldCollectFileName(int number) const {
    return PGUlo::CollectFileManager::CollectFileName(JobResultsDir_m, PG_BACKUP_TYPE_FULL, number,
                                                      false);
}

void PGFsBackup::BackupFiles() {
    const std::string backupTime = JobResultsDir_m + "/" + "BackupTime" + ".kxf";
    if (createBackupCopy(backupTime, backupTime + ".backup") != 0)
        g_log.Debug(kLabelBackupFiles, " failed to create backup copy of file: %s ",
                    backupTime.c_str());
    for (const RestartInfo_p& entry : RestartInfo_m) {
        const std::string old = OldCollectFileName(entry.collectFileNum);
        if (createBackupCopy(old, old + ".backup") != 0)
            g_log.Debug(kLabelBackupFiles, " failed to create backup copy of file: %s ",
                        old.c_str());
    }
}

void PGFsBackup::RenameFiles() {
    for (const RestartInfo_p& entry : RestartInfo_m) {
        const std::string old = OldCollectFileName(entry.collectFileNum);
        const std::string fresh = old + "New";
        const std::string copy = fresh + ".backup";
        if (createBackupCopy(fresh, copy) != 0)
            g_log.Debug(kLabelRenameFiles, "failed to backup copy of files:%s ", copy.c_str());
        if (std::rename(fresh.c_str(), old.c_str()) != 0)
            g_log.Debug(kLabelRenameFiles, " failed to rename file: %s ", fresh.c_str());
    }
}

void PGFsBackup::GenerateNewCollectFile(unsigned long long* collectFileCount,
                                        unsigned long long* fileCount) {
    PGGuard::Rethrow(g_log, kLabelGenerateNew, [&] {
        g_log.Debug(kLabelGenerateNew, "JobResultsDir_m[%s]", JobResultsDir_m.c_str());
        CollectSession session(*this, true);

        bool restartMode = false;
        for (const RestartInfo_p& entry : RestartInfo_m) {
            const std::string old = OldCollectFileName(entry.collectFileNum);
            PGUlo::CollectFileManager::CheckCollectFileSize(old);
            if (entry.offset != 0) {
                restartMode = true;
                prepareForRestart(old, entry.collectFileNum, static_cast<long>(entry.offset));
            }
        }

        CollectServerFiles(restartMode ? WalkMode::Restart : WalkMode::Normal);

        CollectFileManager_m->FlushCollectFiles();
        CollectFileManager_m->setcurCollectFileToNULL();
        if (collectFileCount != nullptr)
            *collectFileCount =
                static_cast<unsigned long long>(CollectFileManager_m->GetCollectFileCount());
        if (fileCount != nullptr)
            *fileCount = CollectFileManager_m->GetNoOfFilesToBackup();
        CollectFileManager_m.reset();
        DirChangeFile_m.close();
        RestartString_m = FrameRestartString();
    });
}

void PGFsBackup::prepareForRestart(const std::string& oldCollectFile, int number, long offset) {
    PGGuard::Rethrow(g_log, kLabelPrepare, [&] {
        g_log.Debug(kLabelPrepare, "DBG curCollectFile %s, Offset is %ld ", oldCollectFile.c_str(),
                    offset);
        g_log.Debug(kLabelPrepare, "DBG Last_Backup_Start_Time is %ld",
                    static_cast<long>(Last_BackupTime));
        UniqueFile old = UniqueFile::Open(oldCollectFile, "r");
        long long newOffset = 0;
        long long carried = 0;
        if (!old) {
            // Nothing is carried over: the walk lists everything again.
            g_log.Debug(kLabelPrepare, "Collectfile doesn't exists");
        } else {
            const bool wholeFile = offset == -1;
            const std::string deletedPath = JobResultsDir_m + "/" + "DeletedFiles" + ".kxf";
            UniqueFile deleted;
            bool deletedFailed = false;
            long long position = 0;
            std::string line;
            while (wholeFile || position < offset) {
                if (!ReadCollectLine(old.get(), line))
                    break;
                struct stat st {};
                if (::lstat(line.c_str(), &st) == 0) {
                    // Modified in or after the second the interrupted backup began: its
                    // copy may be older than its content, so the walk lists it again.
                    const bool unchanged = Last_BackupTime > 0 &&
                                           static_cast<long long>(st.st_mtime) < Last_BackupTime;
                    if (unchanged) {
                        addToBackedupList(line.c_str());
                        newOffset = CollectFileManager_m->GetCurrentOffset();
                        CollectFileManager_m->WriteToCollect(line.c_str(), &st);
                        ++carried;
                    }
                } else {
                    g_log.DebugLvl(kLabelPrepare, 2, "path doesn't exist %s", line.c_str());
                    if (!deleted && !deletedFailed) {
                        // Created by the first vanished entry of the job; later restart
                        // entries add to it rather than wiping what the earlier ones wrote.
                        const bool first = !DeletedFilesStarted_m;
                        deleted = UniqueFile::Open(deletedPath, first ? "wb" : "ab");
                        if (!deleted || (first && std::fputs("Version2\n", deleted.get()) == EOF)) {
                            g_log.Debug(kLabelPrepare, "Failed to create file: %s",
                                        deletedPath.c_str());
                            deleted.close();
                            deletedFailed = true;
                        } else {
                            DeletedFilesStarted_m = true;
                        }
                    }
                    if (deleted) {
                        std::fputs(line.c_str(), deleted.get());
                        std::fputc('\n', deleted.get());
                    }
                }
                position = static_cast<long long>(std::ftell(old.get()));
            }
        }
        if (carried == 0)
            newOffset = 0;
        g_log.Debug(kLabelPrepare, "DBG  CollectNum %d, new Offset %ld", number,
                    static_cast<long>(newOffset));
        if (offset != -1 && offset < newOffset) {
            g_log.Debug(kLabelPrepare,
                        "Current collect file offset cannot be more than old offset. Collect file "
                        "num [%d], Current offset [%ld], old offset [%ld]",
                        number, static_cast<long>(newOffset), offset);
            throw PGException(kLabelPrepare, PG_EXCEPTION_POSTGRE,
                              "Failure while processing restart string");
        }
        NewRestartList_m.emplace_back(number, newOffset);
    });
}

std::string PGFsBackup::FrameRestartString() {
    std::string text = "-o ";
    bool first = true;
    for (const auto& pair : NewRestartList_m) {
        char item[64];
        std::snprintf(item, sizeof item, "%d|%ld", pair.first, static_cast<long>(pair.second));
        if (!first)
            text += '@';
        text += item;
        first = false;
    }
    g_log.Debug(kLabelFrame, "New Restart String is %s", text.c_str());
    return text;
}

std::uint64_t PGFsBackup::hash_function(const char* text) {
    std::uint64_t hash = 5381;
    if (text == nullptr)
        return hash;
    for (const char* p = text; *p != '\0'; ++p) {
        // Each byte counts as a signed char, sign-extended, as the stored hashes expect.
        const std::int64_t byte = static_cast<signed char>(*p);
        hash = hash * 33 + static_cast<std::uint64_t>(byte);
    }
    return hash;
}

void PGFsBackup::addToBackedupList(const char* path) {
    BackedUpList_m.emplace(hash_function(path), path);
}

bool PGFsBackup::isBackedUp(const char* path) {
    if (BackedUpList_m.empty())
        return false;
    const std::uint64_t hash = hash_function(path);
    const auto range = BackedUpList_m.equal_range(hash);
    g_log.DebugLvl(kLabelIsBackedUp, 10, "hash entries: %ld, path: %s",
                   static_cast<long>(std::distance(range.first, range.second)), path);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == path)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------

int createBackupCopy(const std::string& source, const std::string& target) {
    UniqueFile in = UniqueFile::Open(source, "rb");
    if (!in)
        return -1;
    UniqueFile out = UniqueFile::Open(target, "wb");
    if (!out)
        return -1;
    char buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, in.get());
        if (got > 0 && std::fwrite(buffer, 1, got, out.get()) != got)
            return -1;
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(in.get()) != 0 || std::ferror(out.get()) != 0)
        return -1;
    if (out.close() != 0 || in.close() != 0)
        return -1;
    return 0;
}

char* fgets_p(char* buffer, int size, FILE* stream) {
    if (buffer == nullptr || stream == nullptr || size < 1)
        return nullptr;
    int stored = 0;
    int c;
    while (stored < size - 1 && (c = std::fgetc(stream)) != EOF && c != '\n')
        buffer[stored++] = static_cast<char>(c);
    buffer[stored] = '\0';
    return stored == 0 ? nullptr : buffer;
}
