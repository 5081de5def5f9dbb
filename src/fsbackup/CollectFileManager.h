#pragma once

#include "fsbackup/CollectFilePG.h"

#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

// Chooses the collect file names: 1 gives the full backup's, any other value the log backup's.
using PG_BACKUP_TYPE = int;
constexpr PG_BACKUP_TYPE PG_BACKUP_TYPE_FULL = 1;
constexpr PG_BACKUP_TYPE PG_BACKUP_TYPE_LOG = 2;

namespace PGUlo {

// Creates and fills the collect files of one run: plain text lists, one escaped path per
// line, that tell the backup host what to copy. One record per mounted file system is
// prepared; the collect file of the first entry's file system receives every entry until
// setcurCollectFileToNULL.
//
// Name: <JobResultsFolder_m>/CollectTot<N>.kxf (full backup) or Collect_logfile<N>.kxf
// (other types), N counting from 1, with "New" appended for a restarted full backup.
// A line is the path in UTF-8, encoded by CollectLine.
class CollectFileManager {
public:
    CollectFileManager(std::string jobResultsFolder, PG_BACKUP_TYPE type, unsigned long long jobId,
                       int first, int second, bool newSuffix);
    ~CollectFileManager();
    CollectFileManager(const CollectFileManager&) = delete;
    CollectFileManager& operator=(const CollectFileManager&) = delete;

    // The normal write: converted to UTF-8, escaped, one line.
    void WriteToCollect(const char* path, const struct stat* st);
    // The log backup's write: the text as given, into the current collect file.
    void WriteToCurrentCollect(const char* path, const struct stat* st);
    // Makes the record of st's device current unless one is, and opens its collect file.
    void ResetCurrentCollectFile(const struct stat* st);
    void setcurCollectFileToNULL() { current_ = nullptr; }
    void ReOrganizeCollectFiles() {}

    // Pushes every open collect file's buffered lines to the file; throws when any line
    // written so far did not reach it (a short list would silently leave files out).
    void FlushCollectFiles();

    int GetCollectFileCount() const { return counter_ - 1; }
    unsigned long long GetNoOfFilesToBackup() const { return filesWritten_; }
    void GetCollectFileList(std::list<std::string>* names) const;
    // Position of the current collect file after the last WriteToCollect.
    long long GetCurrentOffset() const { return currentOffset_; }
    // The path of the current collect file, empty when none is open.
    std::string GetCurrentCollectFilePath() const;
    std::size_t RecordCount() const { return CollectFileMap_m.size(); }

    // Throws unless the file's size can be read and is at most kMaxCollectFileSize.
    static void CheckCollectFileSize(const std::string& path);
    static void removeUnixSlash(char* text);

    static constexpr long long kMaxCollectFileSize = 2147483646LL;
    static std::string CollectFileName(const std::string& folder, PG_BACKUP_TYPE type, int number,
                                       bool newSuffix);

private:
    void WriteLine(const std::string& line);

    std::map<std::uint64_t, std::unique_ptr<CollectFilePG>> CollectFileMap_m;
    int counter_ = 1;
    unsigned long long filesWritten_ = 0;
    PG_BACKUP_TYPE type_;
    int second_;
    std::string JobResultsFolder_m;
    bool newSuffix_;
    std::list<std::string> collectFileNames_;
    long long currentOffset_ = 0;
    CollectFilePG* current_ = nullptr;
};

} // namespace PGUlo
