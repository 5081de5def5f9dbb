#include "fsbackup/CollectFileManager.h"

#include "common/PGGuard.h"
#include "pgulo/PGException.h"
#include "pgulo/host/CRoUTFOSAPI.h"
#include "pgulo/host/CollectLine.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/FXFile.h"
#include "pgulo/host/KxMntTab.h"
#include "pgulo/host/UtfFileApi.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <vector>

namespace PGUlo {

namespace {

EvDebug g_log(nullptr);

// mbeToUtf converts from the local encoding, which the process takes from its environment.
// The locale is process-wide state, so it is set once and left alone afterwards.
void TakeCharacterTypeFromEnvironmentOnce() {
    static const bool done = [] {
        std::setlocale(LC_CTYPE, "");
        return true;
    }();
    (void)done;
}

} // namespace

CollectFileManager::CollectFileManager(std::string jobResultsFolder, PG_BACKUP_TYPE type,
                                       unsigned long long /*jobId*/, int /*first*/, int second,
                                       bool newSuffix)
    : type_(type), second_(second), JobResultsFolder_m(std::move(jobResultsFolder)),
      newSuffix_(newSuffix) {
    static const char* const kLabel = "CollectFileManager::CollectFileManager";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        TakeCharacterTypeFromEnvironmentOnce();
        g_log.Debug(kLabel, "JobResultsFolder_m[%s]", JobResultsFolder_m.c_str());
        // A missing file is no error.
        std::remove((JobResultsFolder_m + "/Failures.kxf").c_str());

        std::vector<KxMntEntry> mounts;
        KxMntTab::getAll(mounts);
        for (const KxMntEntry& entry : mounts) {
            struct stat st {};
            if (CRoUTFOSAPI::lstat(entry.mountPoint, &st) != 0) {
                g_log.DebugLvl(kLabel, 2, "lstat failed on [%s]. errno:%d",
                               entry.mountPoint.c_str(), errno);
                continue;
            }
            const std::uint64_t device = static_cast<std::uint64_t>(st.st_dev);
            auto found = CollectFileMap_m.find(device);
            if (found == CollectFileMap_m.end()) {
                CollectFileMap_m.emplace(
                    device, std::make_unique<CollectFilePG>(device, entry.mountPoint, second_));
            } else {
                g_log.DebugLvl(kLabel, 2,
                               "Another mount point [%s] exists with the same DevId[%llu] as [%s]",
                               found->second->MountPoint().c_str(),
                               static_cast<unsigned long long>(device), entry.mountPoint.c_str());
            }
        }
        g_log.Debug(kLabel, "CollectFileMap_m size [%ld]",
                    static_cast<long>(CollectFileMap_m.size()));
    });
}

CollectFileManager::~CollectFileManager() {
    static const char* const kLabel = "CollectFileManager :: ~CollectFileManager";
    PGGuard::Quietly(g_log, kLabel, [&] {
        for (auto& record : CollectFileMap_m) {
            if (record.second->IsOpen() && !record.second->CloseStream()) {
                g_log.Error(kLabel, "eRRoR -- closing collect file [%s] failed",
                            record.second->CollectFilePath().c_str());
            }
        }
        current_ = nullptr;
        CollectFileMap_m.clear();
    });
}

std::string CollectFileManager::CollectFileName(const std::string& folder, PG_BACKUP_TYPE type,
                                                int number, bool newSuffix) {
    std::string name = folder;
    name += type == PG_BACKUP_TYPE_FULL ? "/CollectTot" : "/Collect_logfile";
    name += std::to_string(number);
    name += ".kxf";
    if (newSuffix)
        name += "New";
    return name;
}

void CollectFileManager::ResetCurrentCollectFile(const struct stat* st) {
    static const char* const kLabel = "CollectFileManager :: ResetCurrentCollectFile";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        if (current_ == nullptr) {
            auto found = st == nullptr
                             ? CollectFileMap_m.end()
                             : CollectFileMap_m.find(static_cast<std::uint64_t>(st->st_dev));
            if (found == CollectFileMap_m.end()) {
                g_log.Error(kLabel, " ");
                throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Mount point info unavilable");
            }
            current_ = found->second.get();
        }
        if (!current_->IsOpen()) {
            std::string name = CollectFileName(JobResultsFolder_m, type_, counter_, newSuffix_);
            ++counter_;
            current_->SetCollectFilePath(name);
            g_log.Debug(kLabel, "fopen [%s]", name.c_str());
            UniqueFile stream = UniqueFile::Open(name, "w");
            const int openErrno = errno;
            collectFileNames_.push_back(name);
            if (!stream) {
                g_log.Error(kLabel, "fopen failed on [%s] . errno:%d", name.c_str(), openErrno);
                throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "Collect File open failed");
            }
            current_->SetStream(std::move(stream));
        }
    });
}

void CollectFileManager::WriteLine(const std::string& line) {
    static const char* const kLabel = "CollectFileManager :: WriteToCollect";
    if (std::fwrite(line.data(), 1, line.size(), current_->Stream()) != line.size()) {
        g_log.Error(kLabel, "eRRoR -- write to collect file [%s] failed. errno:%d",
                    current_->CollectFilePath().c_str(), errno);
        throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "Collect File write failed");
    }
    // The stream was truncated when opened, so the bytes written are its position.
    current_->AddToOffset(static_cast<long long>(line.size()));
    currentOffset_ = current_->Offset();
}

void CollectFileManager::WriteToCollect(const char* path, const struct stat* st) {
    static const char* const kLabel = "CollectFileManager :: WriteToCollect";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        ResetCurrentCollectFile(st);
        g_log.DebugLvl(kLabel, 4, "CollectFile:%s . Data:%s", current_->CollectFilePath().c_str(),
                       path);
        // One buffer per thread keeps a long walk from allocating for every line.
        thread_local std::string line;
        line.clear();
        CollectLine::Append(line, mbeToUtf(path));
        line += '\n';
        WriteLine(line);
        ++filesWritten_;
    });
}

void CollectFileManager::WriteToCurrentCollect(const char* path, const struct stat* st) {
    static const char* const kLabel = "CollectFileManager :: WriteToCurrentCollect";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        if (current_ != nullptr && current_->IsOpen()) {
            g_log.DebugLvl(kLabel, 4, "CollectFile:%s . Data:%s",
                           current_->CollectFilePath().c_str(), path);
            std::string line(path);
            line += '\n';
            WriteLine(line);
            ++filesWritten_;
            return;
        }
        if (st == nullptr) {
            g_log.Error(kLabel,
                        "eRRoR -- Error generating collect file. Possible reasons\n"
                        "                         1. WAL Segment Size might be incorrect. Please "
                        "set the registry key sWalSegmentSize to provide the required WAL SEGMENT "
                        "SIZE. \n"
                        "                         2. Failure to open Collect file.");
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Error generating Collect file");
        }
        WriteToCollect(path, st);
    });
}

void CollectFileManager::FlushCollectFiles() {
    static const char* const kLabel = "CollectFileManager :: FlushCollectFiles";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        for (auto& record : CollectFileMap_m) {
            if (!record.second->Flush()) {
                g_log.Error(kLabel, "eRRoR -- writing collect file [%s] failed. errno:%d",
                            record.second->CollectFilePath().c_str(), errno);
                throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "Collect File write failed");
            }
        }
    });
}

void CollectFileManager::GetCollectFileList(std::list<std::string>* names) const {
    if (names == nullptr)
        return;
    names->insert(names->end(), collectFileNames_.begin(), collectFileNames_.end());
}

std::string CollectFileManager::GetCurrentCollectFilePath() const {
    if (current_ == nullptr || !current_->IsOpen())
        return {};
    return current_->CollectFilePath();
}

void CollectFileManager::CheckCollectFileSize(const std::string& path) {
    static const char* const kLabel = "CollectFileManager :: CheckCollectFileSize";
    PGGuard::Rethrow(g_log, kLabel, [&] {
        std::uint64_t size = 0;
        CRoError error = FXFile::KXGetFileSize(path, size);
        if (error.IsError()) {
            g_log.Error(kLabel, "Error reading file size for File [%s].[%s]", path.c_str(),
                        error.AsString().c_str());
            throw PGException(kLabel, PG_EXCEPTION_SYSTEM,
                              "Error reading file size for Collect File");
        }
        if (size <= static_cast<std::uint64_t>(kMaxCollectFileSize)) {
            g_log.Debug(kLabel, "Collect file [%s] size [%lld].", path.c_str(),
                        static_cast<long long>(size));
            return;
        }
        g_log.Error(kLabel, "Collect file [%s] size [%lld] is more than 2GB.", path.c_str(),
                    static_cast<long long>(size));
        throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Collect file size is more than 2GB.");
    });
}

void CollectFileManager::removeUnixSlash(char* text) {
    if (text == nullptr)
        return;
    for (; *text != '\0'; ++text) {
        if (*text == '/')
            *text = '\\';
    }
}

} // namespace PGUlo
