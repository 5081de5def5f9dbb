#include "WalChain.h"

#include "FileOps.h"
#include "WalPosition.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace {

constexpr std::size_t kSegmentNameLength = 24;
constexpr std::uint64_t kBytesPerLogId = 0x100000000ull;
// The sizes initdb --wal-segsize accepts.
constexpr std::uint64_t kMinSegmentSize = 1ull << 20;
constexpr std::uint64_t kMaxSegmentSize = 1ull << 30;

bool ParseHex(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 16)
        return false;
    value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

// A timeline id as history files write it: decimal, at most 32 bits.
bool ParseTimeline(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return value <= 0xFFFFFFFFull;
}

bool IsHistoryName(const std::string& name) {
    std::uint64_t timeline = 0;
    return name.size() == 16 && name.compare(8, 8, ".history") == 0 &&
           ParseHex(name.substr(0, 8), timeline);
}

std::string HistoryName(std::uint32_t timeline) {
    char name[32];
    std::snprintf(name, sizeof name, "%08X.history", timeline);
    return name;
}

} // namespace

bool WalChain::ParseSegment(const std::string& name, std::uint32_t& timeline,
                            std::uint64_t& segment, std::uint64_t segmentSize) {
    if (name.size() != kSegmentNameLength || segmentSize == 0)
        return false;
    std::uint64_t tli = 0, log = 0, seg = 0;
    if (!ParseHex(name.substr(0, 8), tli) || !ParseHex(name.substr(8, 8), log) ||
        !ParseHex(name.substr(16, 8), seg))
        return false;
    const std::uint64_t perLogId = kBytesPerLogId / segmentSize;
    if (tli == 0 || seg >= perLogId)
        return false;
    timeline = static_cast<std::uint32_t>(tli);
    segment = log * perLogId + seg;
    return true;
}

std::string WalChain::SegmentName(std::uint32_t timeline, std::uint64_t segment,
                                  std::uint64_t segmentSize) {
    const std::uint64_t perLogId = kBytesPerLogId / segmentSize;
    char name[32];
    std::snprintf(name, sizeof name, "%08X%08" PRIX64 "%08" PRIX64, timeline, segment / perLogId,
                  segment % perLogId);
    return name;
}

bool WalChain::ParseHistory(const std::string& text, std::vector<Switch>& switches) {
    switches.clear();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string parent, lsn;
        if (!(fields >> parent) || parent[0] == '#')
            continue;
        if (!(fields >> lsn))
            return false;
        std::uint64_t tli = 0, position = 0;
        if (!ParseTimeline(parent, tli) || tli == 0 || !WalPosition::ParseLsn(lsn, position))
            return false;
        switches.push_back({static_cast<std::uint32_t>(tli), position});
    }
    return true;
}

WalChain::WalChain(const std::vector<const BackupRecord*>& chain) {
    bool sizeKnown = false;
    for (const BackupRecord* record : chain) {
        const Manifest& m = *record->manifest;
        if (record == chain.front())
            start_ = m.startWal;
        if (!m.endWal.empty())
            ends_.push_back(m.endWal);
        for (const ManifestEntry& e : m.entries) {
            if (e.role != ManifestEntry::Role::Wal || e.kind != ManifestEntry::Kind::File)
                continue;
            const std::string name = FileOps::BaseName(e.path);
            std::uint32_t tli = 0;
            std::uint64_t seg = 0;
            const bool segment = ParseSegment(name, tli, seg, segmentSize_);
            if (!segment && !IsHistoryName(name))
                continue;
            // Every segment file has the cluster's segment size.
            if (segment && !sizeKnown && e.size >= kMinSegmentSize && e.size <= kMaxSegmentSize &&
                (e.size & (e.size - 1)) == 0) {
                segmentSize_ = e.size;
                sizeKnown = true;
            }
            present_.emplace(name, Stored{record->directory + "/" + e.stored, record->FormOf(e),
                                          {e.size, e.checksum}});
        }
    }
}

std::uint32_t WalChain::TimelineOf(std::uint64_t segment, std::uint32_t target,
                                   const std::vector<Switch>& switches) const {
    // Recovery reads a segment from the newest timeline that had begun by then: the one
    // after a switch holds the segment the switch happened in.
    for (const Switch& s : switches) {
        if (segment < s.lsn / segmentSize_)
            return s.parent;
    }
    return target;
}

std::string WalChain::FirstMissing() const {
    std::uint32_t startTli = 0;
    std::uint64_t first = 0;
    if (!ParseSegment(start_, startTli, first, segmentSize_))
        return start_.empty() ? std::string() : start_;
    std::uint32_t target = startTli;
    std::uint64_t last = first;
    auto reach = [&](const std::string& name) {
        std::uint32_t tli = 0;
        std::uint64_t seg = 0;
        if (!ParseSegment(name, tli, seg, segmentSize_) || seg < first)
            return;
        if (tli > target)
            target = tli;
        if (seg > last)
            last = seg;
    };
    for (const auto& [name, stored] : present_)
        reach(name);
    for (const std::string& end : ends_)
        reach(end);

    std::vector<Switch> switches;
    if (target != startTli) {
        const auto history = present_.find(HistoryName(target));
        if (history == present_.end())
            return HistoryName(target);
        std::string text;
        try {
            const Stored& stored = history->second;
            text = StoredFileReader::ReadText(stored.path, stored.form, stored.expected);
        } catch (const std::exception&) {
            return HistoryName(target);
        }
        if (!ParseHistory(text, switches))
            return HistoryName(target);
    }
    for (std::uint64_t seg = first; seg <= last; ++seg) {
        const std::string name = SegmentName(TimelineOf(seg, target, switches), seg, segmentSize_);
        if (present_.count(name) == 0)
            return name;
    }
    return "";
}
