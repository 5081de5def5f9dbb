#pragma once

#include "Manifest.h"
#include "StoredJournal.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Hands stored files (and parts of files) on in batches, each only after the file system holding
// their copies was flushed: a journal fed by it never claims a copy a crash could still lose. The
// copy workers add files as they finish and never wait for one another; the worker that completes a
// batch flushes and hands it on while the others go on copying.
class FlushedBatches {
public:
    using Handler = std::function<void(const std::vector<const ManifestEntry*>&,
                                       const std::vector<JournaledPart>&)>;

    // directory: on the file system to flush.
    FlushedBatches(std::string directory, Handler handler);

    // Thread-safe.
    void Add(ManifestEntry entry);
    // A part of a file, of bytes original bytes. Thread-safe.
    void AddPart(JournaledPart part, std::uint64_t bytes);
    // Flushes and hands on what is left.
    void Finish();

private:
    // Takes what is pending when it makes a batch full (or when all is true).
    bool TakeFull(std::vector<ManifestEntry>& files, std::vector<JournaledPart>& parts, bool all);
    void Hand(std::vector<ManifestEntry> batch, std::vector<JournaledPart> parts);

    static constexpr std::uint64_t kBatchBytes = 64ull << 20;
    static constexpr std::size_t kBatchFiles = 256;

    std::string directory_;
    Handler handler_;
    std::mutex mutex_;
    std::vector<ManifestEntry> pending_;
    std::vector<JournaledPart> pendingParts_;
    std::uint64_t pendingBytes_ = 0;
    // One batch at a time, in order.
    std::mutex handMutex_;
};
