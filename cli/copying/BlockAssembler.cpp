#include "BlockAssembler.h"

#include "BlockDigest.h"
#include "FileCopier.h"
#include "FileOps.h"
#include "Storage.h"
#include "StoredParts.h"

#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

// Copies the parts of a decoded stream that fall into the wanted blocks.
void Place(const BlockAssembler::Source& source, int fd, const std::string& target) {
    FileCopier copier(FileCopier::Options{});
    std::uint64_t at = 0; // stream position of the bytes handed in
    std::size_t next = 0; // the first block not yet written whole
    const ByteSink sink = [&](const char* data, std::size_t size) {
        const std::uint64_t end = at + size;
        for (std::size_t k = next; k < source.blocks.size(); ++k) {
            const BlockAssembler::Block& b = source.blocks[k];
            if (b.position >= end)
                break;
            const std::uint64_t from = std::max(b.position, at);
            const std::uint64_t to = std::min(b.position + BlockDigest::kBlockSize, end);
            if (from < to)
                FileOps::WriteAt(fd, data + (from - at), static_cast<std::size_t>(to - from),
                        b.offset + (from - b.position), target);
            if (b.position + BlockDigest::kBlockSize <= end)
                next = k + 1;
        }
        at = end;
    };
    const std::string name = source.storage->Describe(source.path);
    const FileCopier::PartOpener open = [&source](std::size_t part) {
        return source.open ? source.open(part)
                           : source.storage->Open(StoredParts::Name(source.path, part), 0, 0);
    };
    const FileCopier::Result r =
        copier.ReadParts(name, source.parts, open, source.form, "", {}, StoredForm(), 0600, &sink);
    if (r.status == FileCopier::Status::Vanished)
        throw std::runtime_error("the stored copy " + name + " is missing");
    if (!source.blocks.empty() && source.blocks.back().position >= at)
        throw std::runtime_error(
            "the stored copy " + name + " ends before block " +
            std::to_string(source.blocks.back().offset / BlockDigest::kBlockSize));
}

} // namespace

BlockAssembler::Result BlockAssembler::Assemble(const std::vector<Source>& sources,
                                                const std::string& target, mode_t mode,
                                                std::uint64_t size) {
    {
        UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
        if (!out)
            throw std::runtime_error("cannot create " + target + ": " + FileOps::ErrnoText(errno));
        if (::fchmod(out.get(), mode) != 0)
            throw std::runtime_error("cannot set the mode of " + target + ": " +
                                     FileOps::ErrnoText(errno));
        for (const Source& source : sources)
            Place(source, out.get(), target);
        if (::ftruncate(out.get(), static_cast<off_t>(size)) != 0)
            throw std::runtime_error("cannot cut " + target +
                                     " to its size: " + FileOps::ErrnoText(errno));
        if (!out.close())
            throw std::runtime_error("cannot close " + target + ": " + FileOps::ErrnoText(errno));
    }
    // Read back: the whole file's checksum proves that every block came from where it should.
    FileCopier reader(FileCopier::Options{});
    reader.DigestBlocks(true);
    const FileCopier::Result check = reader.Copy(target, "", mode);
    return {check.bytes, check.checksum, check.blockDigests};
}
