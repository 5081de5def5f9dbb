#include "FlushedBatches.h"

#include "FileOps.h"

FlushedBatches::FlushedBatches(std::string directory, Handler handler)
    : directory_(std::move(directory)), handler_(std::move(handler)) {}

bool FlushedBatches::TakeFull(std::vector<ManifestEntry>& files, std::vector<JournaledPart>& parts,
                              bool all) {
    if (!all && pendingBytes_ < kBatchBytes && pending_.size() + pendingParts_.size() < kBatchFiles)
        return false;
    files.swap(pending_);
    parts.swap(pendingParts_);
    pendingBytes_ = 0;
    return true;
}

void FlushedBatches::Add(ManifestEntry entry) {
    std::vector<ManifestEntry> files;
    std::vector<JournaledPart> parts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingBytes_ += entry.size;
        pending_.push_back(std::move(entry));
        if (!TakeFull(files, parts, false))
            return;
    }
    Hand(std::move(files), std::move(parts));
}

void FlushedBatches::AddPart(JournaledPart part, std::uint64_t bytes) {
    std::vector<ManifestEntry> files;
    std::vector<JournaledPart> parts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingBytes_ += bytes;
        pendingParts_.push_back(std::move(part));
        if (!TakeFull(files, parts, false))
            return;
    }
    Hand(std::move(files), std::move(parts));
}

void FlushedBatches::Finish() {
    std::vector<ManifestEntry> files;
    std::vector<JournaledPart> parts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TakeFull(files, parts, true);
    }
    Hand(std::move(files), std::move(parts));
}

void FlushedBatches::Hand(std::vector<ManifestEntry> batch, std::vector<JournaledPart> parts) {
    if (batch.empty() && parts.empty())
        return;
    std::lock_guard<std::mutex> lock(handMutex_);
    FileOps::SyncFileSystem(directory_);
    std::vector<const ManifestEntry*> files;
    files.reserve(batch.size());
    for (const ManifestEntry& e : batch)
        files.push_back(&e);
    handler_(files, parts);
}
