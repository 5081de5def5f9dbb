#pragma once

#include "Repository.h"
#include "StoredFileReader.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The WAL a restore replays: that of a full backup and of the log backups that continue it.
// A chain is whole when every segment from the full backup's start segment up to the last
// segment any of its backups holds or claims to end at is present, on the timeline recovery
// reads it from (timeline switches are followed through the .history files of the chain).
class WalChain {
public:
    // chain: the full backup first, then its log backups in order; complete backups only.
    explicit WalChain(const std::vector<const BackupRecord*>& chain);

    // Empty when the chain is whole; otherwise the name of the first missing file (a segment,
    // or the .history file of a timeline the chain switches to).
    std::string FirstMissing() const;

    // Segment names "TTTTTTTTXXXXXXXXYYYYYYYY": true and the parts when the name is one.
    static bool ParseSegment(const std::string& name, std::uint32_t& timeline,
                             std::uint64_t& segment, std::uint64_t segmentSize);
    static std::string SegmentName(std::uint32_t timeline, std::uint64_t segment,
                                   std::uint64_t segmentSize);
    // The switch points of a timeline history file: parent timeline (in decimal, as the
    // server writes it) and the LSN at which the next timeline begins, oldest first. False
    // for text that is not a history file.
    struct Switch {
        std::uint32_t parent = 0;
        std::uint64_t lsn = 0;
    };
    static bool ParseHistory(const std::string& text, std::vector<Switch>& switches);

private:
    std::uint32_t TimelineOf(std::uint64_t segment, std::uint32_t target,
                             const std::vector<Switch>& switches) const;

    std::uint64_t segmentSize_ = 16ull << 20;
    std::string start_;
    std::vector<std::string> ends_;
    // A stored segment or history file, as a history is read back.
    struct Stored {
        const BackupRecord* record;
        std::string stored;
        StoredForm form;
        StoredFileReader::Expected expected;
    };
    std::map<std::string, Stored> present_; // by name
};
