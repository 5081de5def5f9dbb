#include "StoredJournal.h"

#include "Base64.h"
#include "FileOps.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

using json = nlohmann::json;

// "N" kills the process with SIGKILL after N journaled lines (files or parts), "N:INT" sends
// it SIGINT (as Ctrl-C does): a deterministic point in the middle of a copy.
void ReadStrike(std::uint64_t& after, int& signal) {
    const char* text = std::getenv("PGULO_TEST_STRIKE_AFTER_FILES");
    if (text == nullptr || std::atol(text) <= 0)
        return;
    after = static_cast<std::uint64_t>(std::atol(text));
    signal = std::strstr(text, ":INT") != nullptr ? SIGINT : SIGKILL;
}

std::string LineOf(const ManifestEntry& e) {
    json j{{"path", e.path},       {"size", e.size},
           {"mtime_s", e.mtimeSec}, {"mtime_ns", e.mtimeNsec},
           {"stored", e.stored},   {"stored_size", e.storedSize},
           {"checksum", e.checksum}};
    // A kept relation file needs them as much as a copied one: a later incr compares blocks.
    if (!e.blockDigests.empty())
        j["block_digests"] = Base64::Encode(e.blockDigests);
    if (!e.partSizes.empty())
        j["part_sizes"] = e.partSizes;
    return j.dump() + "\n";
}

// A part's line has no checksum: a reader that knows only whole files passes it over.
std::string LineOf(const JournaledPart& p) {
    const json j{{"path", p.path},
                 {"part", p.index},
                 {"size", p.fileSize},
                 {"mtime_s", p.mtimeSec},
                 {"mtime_ns", p.mtimeNsec},
                 {"stored", p.stored},
                 {"stored_size", p.storedSize},
                 {"piece", Base64::Encode(p.piece)}};
    return j.dump() + "\n";
}

// The journal's lines that parse as objects: only the line a kill cut short can be torn, and
// it claims nothing.
std::vector<json> Lines(const std::string& path) {
    std::vector<json> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.is_object())
            lines.push_back(std::move(j));
    }
    return lines;
}

} // namespace

StoredJournal::StoredJournal(std::string path) : path_(std::move(path)) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd_)
        throw std::runtime_error("cannot open " + path_ + ": " + FileOps::ErrnoText(errno));
    FileOps::SyncDirectory(FileOps::Parent(path_));
    ReadStrike(strikeAfter_, strikeSignal_);
}

void StoredJournal::Append(const std::vector<const ManifestEntry*>& files,
                           const std::vector<JournaledPart>& parts) {
    if (files.empty() && parts.empty())
        return;
    std::string text;
    for (const ManifestEntry* e : files)
        text += LineOf(*e);
    for (const JournaledPart& p : parts)
        text += LineOf(p);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("cannot write " + path_ + ": " + FileOps::ErrnoText(errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fdatasync(fd_.get()) != 0)
        throw std::runtime_error("cannot flush " + path_ + ": " + FileOps::ErrnoText(errno));
    appended_ += files.size() + parts.size();
    if (strikeAfter_ > 0 && appended_ >= strikeAfter_) {
        strikeAfter_ = 0;
        std::raise(strikeSignal_);
    }
}

std::map<std::string, ManifestEntry> StoredJournal::Read(const std::string& path) {
    std::map<std::string, ManifestEntry> files;
    for (const json& j : Lines(path)) {
        if (j.contains("part"))
            continue;
        try {
            ManifestEntry e;
            e.path = j.at("path").get<std::string>();
            e.size = j.at("size").get<std::uint64_t>();
            e.mtimeSec = j.at("mtime_s").get<std::int64_t>();
            e.mtimeNsec = j.at("mtime_ns").get<std::int64_t>();
            e.stored = j.at("stored").get<std::string>();
            e.storedSize = j.at("stored_size").get<std::uint64_t>();
            e.checksum = j.at("checksum").get<std::string>();
            if (j.contains("block_digests"))
                e.blockDigests = Base64::Decode(j.at("block_digests").get<std::string>());
            if (j.contains("part_sizes"))
                e.partSizes = j.at("part_sizes").get<std::vector<std::uint64_t>>();
            files[e.path] = std::move(e);
        } catch (const std::exception&) {
            continue; // a torn line that still parsed as an object
        }
    }
    return files;
}

std::map<std::string, std::map<std::size_t, JournaledPart>>
StoredJournal::ReadParts(const std::string& path) {
    std::map<std::string, std::map<std::size_t, JournaledPart>> parts;
    for (const json& j : Lines(path)) {
        if (!j.contains("part"))
            continue;
        try {
            JournaledPart p;
            p.path = j.at("path").get<std::string>();
            p.index = j.at("part").get<std::size_t>();
            p.fileSize = j.at("size").get<std::uint64_t>();
            p.mtimeSec = j.at("mtime_s").get<std::int64_t>();
            p.mtimeNsec = j.at("mtime_ns").get<std::int64_t>();
            p.stored = j.at("stored").get<std::string>();
            p.storedSize = j.at("stored_size").get<std::uint64_t>();
            p.piece = Base64::Decode(j.at("piece").get<std::string>());
            parts[p.path][p.index] = std::move(p);
        } catch (const std::exception&) {
            continue; // a torn line that still parsed as an object
        }
    }
    return parts;
}
