#pragma once

#include "ChangedBlocks.h"
#include "InstanceRegistry.h"
#include "WalPosition.h"

#include <optional>
#include <string>

struct BackupRecord;
class ReferenceSet;

// What a diff or incr backup may learn from the server's WAL summaries: the blocks changed
// since its reference backup started. Says on stdout, in one line, whether it uses them or
// falls back to comparing blocks, and why.
class SummarizedChanges {
public:
    // Asked once backup mode has begun. Throws CliError only when the server cannot be
    // reached; every other obstacle is a fallback.
    static std::optional<ChangedBlocks> Since(const AgentConnection& connection,
                                              const ReferenceSet& references,
                                              const BackupRecord& reference);

private:
    // Empty when found; otherwise why not.
    static std::string ReferenceStart(const ReferenceSet& references,
                                      const BackupRecord& reference, WalPosition& position);
    static std::string CurrentStart(const AgentConnection& connection, WalPosition& position);
};
