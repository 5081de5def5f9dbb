#include "FlushedBatches.h"

#include "FileOps.h"

FlushedBatches::FlushedBatches(std::string directory, Handler handler)
    : directory_(std::move(directory)), handler_(std::move(handler)) {}

void FlushedBatches::Add(ManifestEntry entry) {
    std::vector<ManifestEntry> full;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingBytes_ += entry.size;
        pending_.push_back(std::move(entry));
        if (pendingBytes_ < kBatchBytes && pending_.size() < kBatchFiles)
            return;
        full.swap(pending_);
        pendingBytes_ = 0;
    }
    Hand(std::move(full));
}

void FlushedBatches::Finish() {
    std::vector<ManifestEntry> rest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rest.swap(pending_);
        pendingBytes_ = 0;
    }
    Hand(std::move(rest));
}

void FlushedBatches::Hand(std::vector<ManifestEntry> batch) {
    if (batch.empty())
        return;
    std::lock_guard<std::mutex> lock(handMutex_);
    FileOps::SyncFileSystem(directory_);
    std::vector<const ManifestEntry*> files;
    files.reserve(batch.size());
    for (const ManifestEntry& e : batch)
        files.push_back(&e);
    handler_(files);
}
