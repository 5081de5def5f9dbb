#pragma once

#include "Manifest.h"

#include "pgulo/host/UniqueFd.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One stored part of a file stored in parts (StoredParts), as it was read: the file's size
// and modification time when the part was read, and the digest of the part's piece.
struct JournaledPart {
    std::string path;   // the file's
    std::string stored; // the copy's stored name (its first part)
    std::size_t index = 0;
    std::uint64_t fileSize = 0;
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;
    std::uint64_t storedSize = 0; // of the part
    std::string piece;            // raw digest (PieceChecksum)
};

// The files an unfinished full backup has already stored, one line each, and the parts of
// files it has stored so far, so that the next full backup can keep them. Lines are appended only
// once their stored copies are on disk, and each append is flushed: a kill at any moment leaves a
// journal that claims no file whose copy is not complete. A torn last line is passed over when
// read.
class StoredJournal {
public:
    // Opens (creating) the journal for appending.
    explicit StoredJournal(std::string path);
    StoredJournal(const StoredJournal&) = delete;
    StoredJournal& operator=(const StoredJournal&) = delete;

    // Appends one line per file and per part and flushes them to disk. Throws
    // std::runtime_error.
    void Append(const std::vector<const ManifestEntry*>& files,
                const std::vector<JournaledPart>& parts = {});

    // The journal's files by original path; a later line of a path wins. A missing journal
    // is an empty one.
    static std::map<std::string, ManifestEntry> Read(const std::string& path);
    // The journal's parts by original path and index; a later line of a part wins.
    static std::map<std::string, std::map<std::size_t, JournaledPart>>
    ReadParts(const std::string& path);

private:
    std::string path_;
    UniqueFd fd_;
    std::uint64_t appended_ = 0;
    // Tests strike a backup after this many journaled lines (0: never).
    std::uint64_t strikeAfter_ = 0;
    int strikeSignal_ = 0;
};
