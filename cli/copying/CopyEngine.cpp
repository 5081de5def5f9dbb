#include "CopyEngine.h"

#include "PieceChecksum.h"
#include "Progress.h"
#include "StoredParts.h"

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
    // Ranges of a plain copy into the same places of the target, ranges stored each into a
    // part of its own, or parts decoded each into its range of the target.
    enum class Mode { Ranges, StoreParts, ReadParts } mode = Mode::Ranges;
};

namespace {

bool StoredInParts(const CopyEngine::Task& t) {
    return t.inParts && t.sizeHint > PieceChecksum::kPieceSize && t.from.Plain() && !t.openSource &&
           (!t.to.Plain() || t.createTarget);
}

bool ReadFromParts(const CopyEngine::Task& t) {
    return t.parts > 1 && !t.from.Plain() && t.to.Plain() && !t.createTarget;
}

} // namespace

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
        const bool parts = StoredInParts(t);
        const bool reading = options_.checksum && options_.jobs >= 2 && ReadFromParts(t);
        // Only with a checksum and more than one worker does cutting a plain file up pay. A
        // stored form is one stream from the start of the file to its end: it is cut only
        // into parts.
        if (!parts && !reading &&
            (!options_.checksum || options_.jobs < 2 || t.sizeHint <= piece || !t.from.Plain() ||
             !t.to.Plain() || t.openSource || t.createTarget || t.parts > 1)) {
            work_.push_back({i, 0, 0, 0, t.sizeHint});
            continue;
        }
        const std::size_t count =
            reading ? t.parts : static_cast<std::size_t>((t.sizeHint + piece - 1) / piece);
        if (!parts && !t.target.empty()) {
            // Every range writes into the same file: it exists, empty, before any of them.
            const int fd =
                ::open(t.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, t.mode);
            if (fd < 0)
                throw std::runtime_error("cannot create " + t.target + ": " + std::strerror(errno));
            ::close(fd);
        }
        splits_[i] = std::make_unique<Split>(count);
        splits_[i]->mode = parts     ? Split::Mode::StoreParts
                           : reading ? Split::Mode::ReadParts
                                     : Split::Mode::Ranges;
        for (std::size_t k = 0; k < count; ++k) {
            const auto kept = t.keptParts.find(k);
            if (parts && k + 1 < count && kept != t.keptParts.end()) {
                splits_[i]->results[k] = kept->second;
                --splits_[i]->remaining;
                continue;
            }
            // The last range reads to the end, however far the file has grown meanwhile.
            const std::uint64_t length = k + 1 == count ? 0 : piece;
            const std::uint64_t rest = t.sizeHint > k * piece ? t.sizeHint - k * piece : 0;
            work_.push_back({i, k * piece, length, k, k + 1 == count ? rest : piece});
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
        if (!split && (task.openSource || task.createTarget || task.parts > 1)) {
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
        FileCopier::Result& r = split->results[work.piece];
        r = CopyPiece(copier, task, *split, work.piece, work.offset, work.length);
        if (split->mode == Split::Mode::StoreParts && options_.onPart &&
            r.status == FileCopier::Status::Copied)
            options_.onPart(work.task, work.piece, r);
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
    FileCopier::PartOpener open;
    if (task.openSource)
        open = [&task](std::size_t part) { return task.openSource(part); };
    // A writer left uncommitted (the source vanished, a stop) leaves nothing behind.
    FileCopier::WriterMaker create;
    if (task.createTarget)
        create = [&task] { return task.createTarget(0); };
    return copier.ReadParts(task.source, task.parts, open, task.from, task.target, create, task.to,
                            task.mode);
}

FileCopier::Result CopyEngine::CopyPiece(FileCopier& copier, const Task& task, const Split& split,
                                         std::size_t piece, std::uint64_t offset,
                                         std::uint64_t length) {
    if (split.mode == Split::Mode::Ranges)
        return copier.CopyRange(task.source, task.target, offset, length);
    if (split.mode == Split::Mode::ReadParts) {
        FileCopier::PartOpener open;
        if (task.openSource)
            open = [&task](std::size_t part) { return task.openSource(part); };
        return copier.DecodePart(task.source, piece, open, task.from, task.target, offset);
    }
    std::unique_ptr<StorageWriter> writer;
    if (task.createTarget)
        writer = task.createTarget(piece);
    const std::string target =
        task.target.empty() || writer ? task.target : StoredParts::Name(task.target, piece);
    return copier.TranscodeRange(task.source, offset, length, target, writer.get(), task.to,
                                 task.mode);
}

void CopyEngine::FinishSplit(FileCopier& copier, std::size_t index, const std::vector<Task>& tasks,
                             Outcome& outcome) {
    if (!outcome.error.empty())
        return;
    const Task& task = tasks[index];
    const Split& split = *splits_[index];
    const auto& results = split.results;
    FileCopier::Result whole;
    // A kept part was not read now; the last one is never kept.
    whole.source = results.back().source;
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
        whole.stored += r.stored;
        if (split.mode == Split::Mode::StoreParts)
            whole.partSizes.push_back(r.stored);
        whole.pieces.insert(whole.pieces.end(), r.pieces.begin(), r.pieces.end());
        // Pieces are whole numbers of blocks: their digests follow one another.
        whole.blockDigests += r.blockDigests;
    }
    if (whole.status == FileCopier::Status::Vanished) {
        // The parts written are the caller's to remove: it knows where they are.
        if (!task.target.empty() && split.mode != Split::Mode::StoreParts)
            ::unlink(task.target.c_str());
        outcome.result = whole;
        outcome.done = true;
        return;
    }
    // Parts that do not decode to whole pieces are damaged: the checksum tells the caller.
    if (!consistent && split.mode != Split::Mode::ReadParts) {
        // Copy it again in one go: the pieces no longer describe one file.
        copier.DigestBlocks(task.blockDigests);
        outcome.result = split.mode == Split::Mode::StoreParts
                             ? CopyPartsInOrder(copier, task, split)
                             : copier.Copy(task.source, task.target, task.mode);
        outcome.done = outcome.result.status != FileCopier::Status::Stopped;
        return;
    }
    if (whole.pieces.empty())
        whole.pieces.push_back(PieceChecksum().finishPieces(true).front());
    whole.checksum = PieceChecksum::Combine(whole.pieces);
    if (split.mode == Split::Mode::Ranges)
        whole.stored = whole.bytes;
    if (split.mode != Split::Mode::StoreParts && !task.target.empty() && options_.sync) {
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

FileCopier::Result CopyEngine::CopyPartsInOrder(FileCopier& copier, const Task& task,
                                                const Split& split) {
    const std::uint64_t piece = PieceChecksum::kPieceSize;
    FileCopier::Result whole;
    for (std::size_t k = 0;; ++k) {
        FileCopier::Result r = CopyPiece(copier, task, split, k, k * piece, piece);
        if (r.status != FileCopier::Status::Copied)
            return r;
        if (k == 0)
            whole.source = r.source;
        whole.bytes += r.bytes;
        whole.stored += r.stored;
        whole.partSizes.push_back(r.stored);
        whole.pieces.insert(whole.pieces.end(), r.pieces.begin(), r.pieces.end());
        whole.blockDigests += r.blockDigests;
        // Read in order, a short part is the end of the file as it is now.
        if (r.bytes < piece)
            break;
    }
    if (whole.pieces.empty())
        whole.pieces.push_back(PieceChecksum().finishPieces(true).front());
    whole.checksum = PieceChecksum::Combine(whole.pieces);
    return whole;
}
