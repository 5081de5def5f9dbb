#pragma once

#include "ChangedBlocks.h"
#include "InstanceRegistry.h"
#include "WalPosition.h"

#include "pgulo/PGVersion.h"

#include <chrono>
#include <string>

class ServerQuery;

// Which blocks of the relation files may have changed since a reference backup, as the
// server's WAL summaries (summarize_wal, from PostgreSQL 17 on) record them. The answer covers
// the WAL from the reference backup's start up to the new backup's start, both taken from
// their backup labels: changes after the new start are replayed from the new backup's WAL.
class WalSummaries {
public:
    static constexpr int kFirstVersion = PG_VERSION_17;
    static constexpr std::chrono::milliseconds kPollInterval{100};
    // How long the summarizer may take to reach the new backup's start.
    static constexpr std::chrono::milliseconds kDefaultWait{10000};

    struct Answer {
        bool available = false;
        std::string reason; // one line saying why not, when not available
        ChangedBlocks blocks;
    };

    // Throws CliError only when the server cannot be reached or does not tell its version or
    // settings; anything that only rules the summaries out (a refused function included) is
    // an Answer that is not available.
    static Answer Since(const AgentConnection& connection, const WalPosition& reference,
                        const WalPosition& current, std::chrono::milliseconds wait = kDefaultWait);

private:
    struct Summary {
        std::uint32_t timeline = 0;
        std::uint64_t start = 0;
        std::uint64_t end = 0;
    };

    // Empty when the blocks are all in; otherwise why they cannot be.
    static std::string Collect(ServerQuery& query, const WalPosition& reference,
                               const WalPosition& current, std::chrono::milliseconds wait,
                               ChangedBlocks& blocks);
    static std::string Refusal(ServerQuery& query, int& major);
    static std::string WaitForSummarizer(ServerQuery& query, const WalPosition& current,
                                         std::chrono::milliseconds wait);
    static std::string Cover(ServerQuery& query, const WalPosition& reference,
                             const WalPosition& current, std::vector<Summary>& cover);
    static std::string Read(ServerQuery& query, const Summary& summary, ChangedBlocks& blocks,
                            bool& otherTablespaces);
    static std::string VersionDirectory(ServerQuery& query, int major);
};
