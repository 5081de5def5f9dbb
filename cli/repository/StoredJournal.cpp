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

// "N" kills the process with SIGKILL after N journaled files, "N:INT" sends it SIGINT (as
// Ctrl-C does): a deterministic point in the middle of a copy.
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
    return j.dump() + "\n";
}

} // namespace

StoredJournal::StoredJournal(std::string path) : path_(std::move(path)) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd_)
        throw std::runtime_error("cannot open " + path_ + ": " + FileOps::ErrnoText(errno));
    FileOps::SyncDirectory(FileOps::Parent(path_));
    ReadStrike(strikeAfter_, strikeSignal_);
}

void StoredJournal::Append(const std::vector<const ManifestEntry*>& files) {
    if (files.empty())
        return;
    std::string text;
    for (const ManifestEntry* e : files)
        text += LineOf(*e);
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
    appended_ += files.size();
    if (strikeAfter_ > 0 && appended_ >= strikeAfter_) {
        strikeAfter_ = 0;
        std::raise(strikeSignal_);
    }
}

std::map<std::string, ManifestEntry> StoredJournal::Read(const std::string& path) {
    std::map<std::string, ManifestEntry> files;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        // Only the line a kill cut short can be torn; it claims nothing.
        const json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object())
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
            files[e.path] = std::move(e);
        } catch (const std::exception&) {
            continue; // a torn line that still parsed as an object
        }
    }
    return files;
}
