#include "DeltaEngine.h"

#include "PieceChecksum.h"
#include "Progress.h"
#include "Storage.h"
#include "StoredParts.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

DeltaEngine::DeltaEngine(Storage& storage, StoredForm form, Options options)
    : storage_(storage), form_(std::move(form)), options_(std::move(options)) {
    if (options_.jobs == 0)
        options_.jobs = 1;
}

bool DeltaEngine::StopNow() const {
    return failed_.load() || (options_.quit && options_.quit());
}

void DeltaEngine::Plan(const std::vector<Task>& tasks) {
    const std::uint64_t piece = StoredParts::kPartSize;
    work_.clear();
    results_.assign(tasks.size(), {});
    remaining_ = std::vector<std::atomic<std::size_t>>(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const Task& t = tasks[i];
        const std::size_t count = t.inParts ? StoredParts::Count(t.sizeHint) : 1;
        results_[i].resize(count);
        for (DeltaCopier::Result& r : results_[i])
            r.status = DeltaCopier::Status::Stopped; // until it is run
        remaining_[i].store(count);
        if (count == 1) {
            work_.push_back({i, 0, {}, t.sizeHint});
            continue;
        }
        for (std::size_t k = 0; k < count; ++k) {
            // The last range reads to the end, however far the file has grown meanwhile.
            const bool last = k + 1 == count;
            work_.push_back(
                {i, k, {k * piece, last ? 0 : piece}, last ? t.sizeHint - k * piece : piece});
        }
    }
    std::stable_sort(work_.begin(), work_.end(),
                     [](const Work& a, const Work& b) { return a.weight > b.weight; });
}

std::vector<DeltaCopier::Result> DeltaEngine::Run(const std::vector<Task>& tasks) {
    Plan(tasks);
    next_.store(0);
    const std::size_t threads =
        std::min<std::size_t>(options_.jobs, std::max<std::size_t>(1, work_.size()));
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < threads; ++t)
        workers.emplace_back([&] { Worker(tasks); });
    Worker(tasks);
    for (std::thread& worker : workers)
        worker.join();
    if (!firstError_.empty())
        throw std::runtime_error(firstError_);
    std::vector<DeltaCopier::Result> results;
    for (auto& parts : results_)
        results.push_back(parts.size() == 1 ? parts.front() : DeltaCopier::Result{});
    // Combined after the workers: a file copied again in order does not hold them up.
    DeltaCopier::Options o;
    o.limiter = options_.limiter;
    o.stop = [this] { return StopNow(); };
    DeltaCopier copier(o);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (results_[i].size() > 1)
            results[i] = Combine(copier, tasks[i], results_[i]);
    }
    return results;
}

void DeltaEngine::Worker(const std::vector<Task>& tasks) {
    DeltaCopier::Options o;
    o.limiter = options_.limiter;
    o.stop = [this] { return StopNow(); };
    Progress* progress = options_.progress;
    if (progress)
        o.onBytes = [progress](std::uint64_t n) { progress->AddBytes(n); };
    DeltaCopier copier(o);
    while (!StopNow()) {
        const std::size_t slot = next_.fetch_add(1);
        if (slot >= work_.size())
            return;
        const Work& w = work_[slot];
        try {
            results_[w.task][w.part] = CopyPart(copier, tasks[w.task], w.part, w.range);
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(errorMutex_);
            if (firstError_.empty())
                firstError_ = e.what();
            failed_.store(true);
        }
        if (remaining_[w.task].fetch_sub(1) == 1 && progress)
            progress->FileDone();
    }
}

DeltaCopier::Result DeltaEngine::CopyPart(DeltaCopier& copier, const Task& task, std::size_t part,
                                          DeltaCopier::Range range) const {
    const std::string target = StoredParts::Name(task.target, part);
    return task.referenceDigests
               ? copier.CopyBlocks(task.source, storage_, target, form_, *task.referenceDigests,
                                   task.mustRead, task.choose, range)
               : copier.Copy(task.source, storage_, target, form_, task.choose, range);
}

DeltaCopier::Result DeltaEngine::Combine(DeltaCopier& copier, const Task& task,
                                         std::vector<DeltaCopier::Result>& parts) const {
    const std::uint64_t piece = StoredParts::kPartSize;
    const std::size_t planned = parts.size();
    DeltaCopier::Result whole;
    bool consistent = true;
    bool everyBlock = true;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const DeltaCopier::Result& r = parts[k];
        if (r.status != DeltaCopier::Status::Copied) {
            if (r.status == DeltaCopier::Status::Vanished)
                RemoveParts(task, 0, planned);
            whole.status = r.status;
            return whole;
        }
        // A range short of its piece means the file shrank while it was read.
        if (k + 1 < parts.size() && r.bytes != piece)
            consistent = false;
    }
    if (!consistent) {
        // Part after part up to the first short one: the file as it is now.
        parts.clear();
        for (std::size_t k = 0;; ++k) {
            parts.push_back(CopyPart(copier, task, k, {k * piece, piece}));
            if (parts.back().status != DeltaCopier::Status::Copied) {
                RemoveParts(task, 0, planned);
                whole.status = parts.back().status;
                return whole;
            }
            if (parts.back().bytes < piece)
                break;
        }
        RemoveParts(task, parts.size(), planned);
    }
    whole.source = parts.back().source;
    for (const DeltaCopier::Result& r : parts) {
        whole.bytes += r.bytes;
        whole.stored += r.stored;
        whole.read += r.read;
        whole.partSizes.push_back(r.stored);
        everyBlock = everyBlock && r.read == r.bytes;
        whole.pieces.insert(whole.pieces.end(), r.pieces.begin(), r.pieces.end());
        // Pieces are whole numbers of blocks: their digests and choices follow one another.
        whole.blockDigests += r.blockDigests;
        whole.storedBlocks.insert(whole.storedBlocks.end(), r.storedBlocks.begin(),
                                  r.storedBlocks.end());
    }
    if (everyBlock)
        whole.checksum = PieceChecksum::Combine(whole.pieces);
    return whole;
}

void DeltaEngine::RemoveParts(const Task& task, std::size_t from, std::size_t to) const {
    std::vector<std::string> paths;
    for (std::size_t k = from; k < to; ++k)
        paths.push_back(StoredParts::Name(task.target, k));
    if (!paths.empty())
        storage_.Remove(paths);
}
