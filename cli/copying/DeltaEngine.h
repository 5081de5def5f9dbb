#pragma once

#include "DeltaCopier.h"
#include "StoredForm.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class Progress;
class RateLimiter;
class Storage;

// Runs the block-by-block copies of changed files (DeltaCopier) on several threads. A file
// stored in parts (StoredParts) is cut into its checksum pieces, each one unit of work for any
// worker, its kept blocks going to a part of its own: decoded one after the other the parts
// still hold the kept blocks in ascending order. The largest work starts first.
class DeltaEngine {
public:
    struct Task {
        std::string source;
        std::string target; // the storage's path of the stored copy (its first part)
        std::uint64_t sizeHint = 0;
        bool inParts = false;
        // With reference digests, only the blocks mustRead names are read (CopyBlocks);
        // without, every block is.
        const std::string* referenceDigests = nullptr;
        DeltaCopier::BlockRead mustRead;
        DeltaCopier::BlockChoice choose;
    };
    struct Options {
        unsigned jobs = 1;
        RateLimiter* limiter = nullptr;
        // Asked between chunks: true stops every worker.
        std::function<bool()> quit;
        Progress* progress = nullptr;
    };

    DeltaEngine(Storage& storage, StoredForm form, Options options);
    // Results in the order of the tasks; those of tasks not reached after a quit request are
    // left Stopped. Throws std::runtime_error with the first failure.
    std::vector<DeltaCopier::Result> Run(const std::vector<Task>& tasks);

private:
    struct Work {
        std::size_t task;
        std::size_t part;
        DeltaCopier::Range range;
        std::uint64_t weight;
    };

    void Plan(const std::vector<Task>& tasks);
    void Worker(const std::vector<Task>& tasks);
    DeltaCopier::Result CopyPart(DeltaCopier& copier, const Task& task, std::size_t part,
                                 DeltaCopier::Range range) const;
    // The ranges' results as the file's; copies it again part after part when they no longer
    // describe one file (it shrank meanwhile).
    DeltaCopier::Result Combine(DeltaCopier& copier, const Task& task,
                                std::vector<DeltaCopier::Result>& parts) const;
    // Removes the parts from..to-1 of the task's copy.
    void RemoveParts(const Task& task, std::size_t from, std::size_t to) const;
    bool StopNow() const;

    Storage& storage_;
    StoredForm form_;
    Options options_;
    std::vector<Work> work_;
    std::vector<std::vector<DeltaCopier::Result>> results_; // per task, per part
    std::vector<std::atomic<std::size_t>> remaining_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::mutex errorMutex_;
    std::string firstError_;
};
