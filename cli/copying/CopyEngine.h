#pragma once

#include "FileCopier.h"
#include "Storage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Progress;
class RateLimiter;

// Copies many files on several threads. Plain files larger than a checksum piece are cut into
// pieces that different threads copy at the same time; files to be stored in parts
// (StoredParts) are cut the same way, each piece going to a part of its own, and a copy stored
// in parts is decoded part by part, each into its place. The largest work starts first so
// that the threads end together. The first failure stops the others.
class CopyEngine {
public:
    struct Task {
        Task() = default;
        Task(std::string source, std::string target, mode_t mode = 0600,
             std::uint64_t sizeHint = 0, StoredForm from = StoredForm(),
             StoredForm to = StoredForm())
            : source(std::move(source)), target(std::move(target)), mode(mode),
              sizeHint(sizeHint), from(std::move(from)), to(std::move(to)) {}

        std::string source;
        std::string target; // empty: read and checksum only
        mode_t mode = 0600;
        std::uint64_t sizeHint = 0;
        // The forms of the source and the target: a backup writes stored forms, a restore or
        // a check reads them. A stored source is read whole by one worker.
        StoredForm from;
        StoredForm to;
        // How many parts the stored source is in (StoredParts).
        std::size_t parts = 1;
        // A plain source larger than a piece may be stored in parts: when the target's form is
        // not plain or the target is in a storage, every piece goes to a part of its own.
        bool inParts = false;
        // Parts stored earlier that stay as they are (by index, never the last): what copying
        // them gave. The others are copied and combined with them.
        std::map<std::size_t, FileCopier::Result> keptParts;
        // A side in a storage that is not a local directory: the source's part k is read from
        // what openSource(k) gives (null: the file vanished), the target's part k written into
        // what createTarget(k) gives; source and target then only name the files.
        std::function<std::unique_ptr<StorageReader>(std::size_t part)> openSource;
        std::function<std::unique_ptr<StorageWriter>(std::size_t part)> createTarget;
        // Record the digests of the original's blocks (BlockDigest) as well.
        bool blockDigests = false;
    };
    struct Outcome {
        bool done = false; // false when the run stopped before this task
        FileCopier::Result result;
        std::string error;
    };
    struct Options {
        unsigned jobs = 1;
        bool checksum = true;
        bool sync = true;
        bool direct = true;
        RateLimiter* limiter = nullptr;
        // Asked between chunks: true stops every worker (a quit request).
        std::function<bool()> quit;
        Progress* progress = nullptr;
        // Keep going after a failed task (verification wants every error).
        bool continueOnError = false;
        // Called on the worker's thread with each task copied in full, as soon as it is.
        std::function<void(std::size_t task, const FileCopier::Result&)> onDone;
        // Called on the worker's thread with each part of a task stored in parts, as soon as
        // it is written (before the task is done).
        std::function<void(std::size_t task, std::size_t part, const FileCopier::Result&)> onPart;
    };

    explicit CopyEngine(Options options);
    ~CopyEngine();
    // Outcomes in the order of the tasks.
    std::vector<Outcome> Run(const std::vector<Task>& tasks);
    // The first error met, empty when none.
    const std::string& FirstError() const { return firstError_; }
    // Whether the run ended early on a quit request.
    bool Stopped() const { return stopped_.load(); }

private:
    struct Work {
        std::size_t task;
        std::uint64_t offset;
        std::uint64_t length; // 0: to the end of the file
        std::size_t piece;    // index among the task's ranges; whole files have one
        std::uint64_t weight;
    };
    struct Split;

    void Plan(const std::vector<Task>& tasks);
    void Worker(const std::vector<Task>& tasks, std::vector<Outcome>& outcomes);
    void RunWork(FileCopier& copier, const Work& work, const std::vector<Task>& tasks,
                 std::vector<Outcome>& outcomes);
    FileCopier::Result Stream(FileCopier& copier, const Task& task);
    // One range of a split task: into the same place of a plain target, or into a part.
    FileCopier::Result CopyPiece(FileCopier& copier, const Task& task, const Split& split,
                                 std::size_t piece, std::uint64_t offset, std::uint64_t length);
    void FinishSplit(FileCopier& copier, std::size_t task, const std::vector<Task>& tasks,
                     Outcome& outcome);
    // Stores the file in parts again, one after the other, up to the first short one.
    FileCopier::Result CopyPartsInOrder(FileCopier& copier, const Task& task, const Split& split);
    void Failed(Outcome& outcome, const std::string& error);
    // A task's outcome is final.
    void Finished(std::size_t task, const Outcome& outcome);
    bool StopNow();

    Options options_;
    std::vector<Work> work_;
    std::vector<std::unique_ptr<Split>> splits_;
    std::atomic<std::size_t> next_{0};
    std::mutex errorMutex_;
    std::string firstError_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopped_{false};
};
