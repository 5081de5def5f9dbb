#pragma once

#include "Manifest.h"

#include "pgulo/host/UniqueFd.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The files an unfinished full backup has already stored, one line each, so that the next
// full backup can keep them. Lines are appended only once their stored copies are on disk,
// and each append is flushed: a kill at any moment leaves a journal that claims no file
// whose copy is not complete. A torn last line is passed over when read.
class StoredJournal {
public:
    // Opens (creating) the journal for appending.
    explicit StoredJournal(std::string path);
    StoredJournal(const StoredJournal&) = delete;
    StoredJournal& operator=(const StoredJournal&) = delete;

    // Appends one line per file and flushes them to disk. Throws std::runtime_error.
    void Append(const std::vector<const ManifestEntry*>& files);

    // The journal's files by original path; a later line of a path wins. A missing journal
    // is an empty one.
    static std::map<std::string, ManifestEntry> Read(const std::string& path);

private:
    std::string path_;
    UniqueFd fd_;
    std::uint64_t appended_ = 0;
    // Tests strike a backup after this many journaled files (0: never).
    std::uint64_t strikeAfter_ = 0;
    int strikeSignal_ = 0;
};
