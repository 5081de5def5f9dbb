#pragma once

#include "FileCopier.h"
#include "Manifest.h"
#include "Repository.h"
#include "ResumeState.h"
#include "StoredForm.h"
#include "StoredJournal.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Taking up an unfinished full backup: the agent is started again on the old job's collect
// files, carries over the entries unchanged since the old start, and every carried file whose
// stored copy is still whole moves into the new backup instead of being copied again.
//
// A file stored in parts may keep the parts stored so far: the others are copied and the
// pieces of both make its checksum. A kept copy or part is renamed into the new backup before
// the new journal claims it, and the old
// backup is removed only after the new manifest is in place: a crash at any point leaves an
// unfinished backup that can be resumed (each journal claims only copies it holds), never a
// manifest over missing files.
class ResumePlan {
public:
    // What the new backup is about to be.
    struct Request {
        bool allowed = true; // false: --no-resume
        std::int64_t maxAgeMicros = 0;
        std::int64_t nowMicros = 0;
        ResumeState state; // the new backup's server identity and stored form
        StoredForm form;
    };

    // The newest unfinished full backup of the instance that came after its last complete
    // one, when it may be taken up. Prints one line saying why one is not.
    static std::optional<ResumePlan> Choose(const Repository& repository,
                                            const std::string& instance, const Request& request);

    const std::string& FromId() const { return fromId_; }
    // The backup taken up, and the unfinished full backups before it since the last complete
    // one: all go once the new backup is complete.
    const std::vector<std::string>& Superseded() const { return superseded_; }
    // Puts the old job's files into the new job results directory; returns the numbers of
    // the collect files the agent is to carry entries over from.
    std::vector<int> PrepareJob(const std::string& jobDir) const;
    // Reads which entries of the new collect files the agent carried over (the restart
    // string gives, per collect file, where its last carried entry begins).
    void TakeCarried(const std::vector<std::string>& collectFiles,
                     const std::string& restartString);
    // For a regular file about to be copied into newBackupDir: moves the old stored copy
    // there instead and fills in its checksum and stored size when it may be kept.
    bool Keep(ManifestEntry& entry, const std::string& newBackupDir);
    // For a file to be stored in parts that Keep did not keep whole: moves the old parts that
    // may be kept into newBackupDir (never every part: the file is then copied, not kept) and
    // gives what copying each would have given, block digests when asked for.
    std::map<std::size_t, FileCopier::Result>
    KeepParts(const ManifestEntry& entry, const std::string& newBackupDir, bool blockDigests);
    // Makes the moves durable, then has the new journal claim the kept copies and parts.
    void Commit(const std::string& newBackupDir, StoredJournal& journal);

    std::uint64_t KeptBytes() const { return keptBytes_; }
    std::uint64_t KeptFiles() const { return kept_.size(); }
    std::uint64_t KeptParts() const { return keptParts_.size(); }

private:
    // Whether a file read with that size and time, into that stored name, is the file the new
    // backup lists.
    bool Unchanged(const ManifestEntry& entry, std::uint64_t size, std::int64_t mtimeSec,
                   std::int64_t mtimeNsec, const std::string& stored) const;
    bool Usable(const ManifestEntry& entry, const ManifestEntry& old) const;
    // Renames a kept copy or part into the new backup; false (and a log line) when it cannot.
    bool Move(const std::string& from, const std::string& to) const;
    // The old part, decoded, when it still holds its journaled piece; null otherwise.
    std::optional<FileCopier::Result> CheckedPart(const JournaledPart& part, std::uint64_t bytes,
                                                  bool blockDigests) const;

    std::string fromId_;
    std::string fromDir_;
    std::vector<std::string> superseded_;
    ResumeState state_;
    StoredForm form_;
    std::set<std::string> carried_;
    std::map<std::string, ManifestEntry> journal_;
    std::map<std::string, std::map<std::size_t, JournaledPart>> journalParts_;
    std::vector<ManifestEntry> kept_;
    std::vector<JournaledPart> keptParts_;
    std::uint64_t keptBytes_ = 0;
};
