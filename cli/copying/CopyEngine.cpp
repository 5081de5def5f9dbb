#include "CopyEngine.h"

#include "PieceChecksum.h"
#include "Progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

// The ranges of one file cut into pieces, and what each returned.
struct CopyEngine::Split {
    explicit Split(std::size_t count) : results(count), remaining(count) {}
    std::vector<FileCopier::Result> results;
    std::atomic<std::size_t> remaining;
};

CopyEngine::CopyEngine(Options options) : options_(std::move(options)) {
    if (options_.jobs == 0)
        options_.jobs = 1;
}

CopyEngine::~CopyEngine() = default;

bool CopyEngine::StopNow() {
    if (failed_.load())
        return true;
    if (options_.quit && options_.quit()) {
        stopped_.store(true);
        return true;
    }
    return false;
}

void CopyEngine::Failed(Outcome& outcome, const std::string& error) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    outcome.error = error;
    if (firstError_.empty())
        firstError_ = error;
    if (!options_.continueOnError)
        failed_.store(true);
}

void CopyEngine::Plan(const std::vector<Task>& tasks) {
    const std::uint64_t piece = PieceChecksum::kPieceSize;
    splits_.clear();
    splits_.resize(tasks.size());
    work_.clear();
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const Task& t = tasks[i];
        // Only with a checksum and more than one worker does cutting a file up pay. A stored
        // form is one stream from the start of the file to its end: it cannot be cut.
        if (!options_.checksum || options_.jobs < 2 || t.sizeHint <= piece || !t.from.Plain() ||
            !t.to.Plain() || t.openSource || t.createTarget) {
            work_.push_back({i, 0, 0, 0, t.sizeHint});
            continue;
        }
        const std::size_t count = static_cast<std::size_t>((t.sizeHint + piece - 1) / piece);
        if (!t.target.empty()) {
            // Every range writes into the same file: it exists, empty, before any of them.
            const int fd =
                ::open(t.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, t.mode);
            if (fd < 0)
                throw std::runtime_error("cannot create " + t.target + ": " + std::strerror(errno));
            ::close(fd);
        }
        splits_[i] = std::make_unique<Split>(count);
        for (std::size_t k = 0; k < count; ++k) {
            // The last range reads to the end, however far the file has grown meanwhile.
            const std::uint64_t length = k + 1 == count ? 0 : piece;
            work_.push_back(
                {i, k * piece, length, k, k + 1 == count ? t.sizeHint - k * piece : piece});
        }
    }
    std::stable_sort(work_.begin(), work_.end(),
                     [](const Work& a, const Work& b) { return a.weight > b.weight; });
}

std::vector<CopyEngine::Outcome> CopyEngine::Run(const std::vector<Task>& tasks) {
    std::vector<Outcome> outcomes(tasks.size());
    Plan(tasks);
    next_.store(0);
    const unsigned threads = static_cast<unsigned>(
        std::min<std::size_t>(options_.jobs, std::max<std::size_t>(1, work_.size())));
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < threads; ++i)
        workers.emplace_back([&] { Worker(tasks, outcomes); });
    Worker(tasks, outcomes);
    for (auto& worker : workers)
        worker.join();
    return outcomes;
}

void CopyEngine::Worker(const std::vector<Task>& tasks, std::vector<Outcome>& outcomes) {
    FileCopier::Options copierOptions;
    copierOptions.checksum = options_.checksum;
    copierOptions.sync = options_.sync;
    copierOptions.direct = options_.direct;
    copierOptions.limiter = options_.limiter;
    copierOptions.stop = [this] { return StopNow(); };
    Progress* progress = options_.progress;
    if (progress)
        copierOptions.onBytes = [progress](std::uint64_t n) { progress->AddBytes(n); };
    FileCopier copier(copierOptions);
    while (!StopNow()) {
        const std::size_t slot = next_.fetch_add(1);
        if (slot >= work_.size())
            return;
        RunWork(copier, work_[slot], tasks, outcomes);
    }
}

void CopyEngine::RunWork(FileCopier& copier, const Work& work, const std::vector<Task>& tasks,
                         std::vector<Outcome>& outcomes) {
    const Task& task = tasks[work.task];
    Outcome& outcome = outcomes[work.task];
    Split* split = splits_[work.task].get();
    copier.DigestBlocks(task.blockDigests);
    try {
        if (!split && (task.openSource || task.createTarget)) {
            outcome.result = Stream(copier, task);
            outcome.done = outcome.result.status != FileCopier::Status::Stopped;
            Finished(work.task, outcome);
            return;
        }
        if (!split) {
            outcome.result =
                task.from.Plain() && task.to.Plain()
                    ? copier.Copy(task.source, task.target, task.mode)
                    : copier.Transcode(task.source, task.from, task.target, task.to, task.mode);
            outcome.done = outcome.result.status != FileCopier::Status::Stopped;
            Finished(work.task, outcome);
            return;
        }
        split->results[work.piece] =
            copier.CopyRange(task.source, task.target, work.offset, work.length);
    } catch (const std::exception& e) {
        Failed(outcome, e.what());
        if (!split)
            return;
    }
    if (split->remaining.fetch_sub(1) == 1) {
        try {
            FinishSplit(copier, work.task, tasks, outcome);
            Finished(work.task, outcome);
        } catch (const std::exception& e) {
            Failed(outcome, e.what());
            if (options_.progress)
                options_.progress->FileDone();
        }
    }
}

void CopyEngine::Finished(std::size_t task, const Outcome& outcome) {
    if (options_.progress)
        options_.progress->FileDone();
    if (options_.onDone && outcome.done && outcome.error.empty() &&
        outcome.result.status == FileCopier::Status::Copied)
        options_.onDone(task, outcome.result);
}

FileCopier::Result CopyEngine::Stream(FileCopier& copier, const Task& task) {
    std::unique_ptr<StorageReader> reader;
    if (task.openSource) {
        reader = task.openSource();
        if (!reader) {
            FileCopier::Result vanished;
            vanished.status = FileCopier::Status::Vanished;
            return vanished;
        }
    }
    // A writer left uncommitted (the source vanished, a stop) leaves nothing behind.
    std::unique_ptr<StorageWriter> writer;
    if (task.createTarget)
        writer = task.createTarget();
    return copier.TranscodeStorage(task.source, reader.get(), task.from, task.target,
                                   writer.get(), task.to, task.mode);
}

void CopyEngine::FinishSplit(FileCopier& copier, std::size_t index, const std::vector<Task>& tasks,
                             Outcome& outcome) {
    if (!outcome.error.empty())
        return;
    const Task& task = tasks[index];
    auto& results = splits_[index]->results;
    FileCopier::Result whole;
    whole.source = results.front().source;
    bool consistent = true;
    for (std::size_t k = 0; k < results.size(); ++k) {
        const FileCopier::Result& r = results[k];
        if (r.status == FileCopier::Status::Stopped)
            return;
        if (r.status == FileCopier::Status::Vanished) {
            whole.status = FileCopier::Status::Vanished;
            break;
        }
        // A range short of its piece means the file shrank while it was copied.
        if (k + 1 < results.size() && r.bytes != PieceChecksum::kPieceSize)
            consistent = false;
        whole.bytes += r.bytes;
        whole.pieces.insert(whole.pieces.end(), r.pieces.begin(), r.pieces.end());
        // Pieces are whole numbers of blocks: their digests follow one another.
        whole.blockDigests += r.blockDigests;
    }
    if (whole.status == FileCopier::Status::Vanished) {
        if (!task.target.empty())
            ::unlink(task.target.c_str());
        outcome.result = whole;
        outcome.done = true;
        return;
    }
    if (!consistent) {
        // Copy it again in one go: the pieces no longer describe one file.
        copier.DigestBlocks(task.blockDigests);
        outcome.result = copier.Copy(task.source, task.target, task.mode);
        outcome.done = outcome.result.status != FileCopier::Status::Stopped;
        return;
    }
    if (whole.pieces.empty())
        whole.pieces.push_back(PieceChecksum().finishPieces(true).front());
    whole.checksum = PieceChecksum::Combine(whole.pieces);
    whole.stored = whole.bytes;
    if (!task.target.empty() && options_.sync) {
        const int fd = ::open(task.target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            throw std::runtime_error("cannot flush " + task.target + ": " + std::strerror(error));
        }
        ::close(fd);
    }
    outcome.result = whole;
    outcome.done = true;
}
