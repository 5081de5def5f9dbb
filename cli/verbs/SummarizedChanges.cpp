#include "SummarizedChanges.h"

#include "Manifest.h"
#include "ReferenceSet.h"
#include "ServerQuery.h"
#include "StoredFileReader.h"
#include "WalSummaries.h"

#include "pgulo/PGVersion.h"

#include <charconv>
#include <cstdio>
#include <exception>

std::optional<ChangedBlocks> SummarizedChanges::Since(const AgentConnection& connection,
                                                      const ReferenceSet& references,
                                                      const BackupRecord& reference) {
    std::string reason;
    WalPosition from, to;
    if (!PGVersionAtLeast(connection.version, WalSummaries::kFirstVersion))
        reason = "PostgreSQL " + connection.version + " keeps none";
    if (reason.empty())
        reason = ReferenceStart(references, reference, from);
    if (reason.empty())
        reason = CurrentStart(connection, to);
    WalSummaries::Answer answer;
    if (reason.empty()) {
        answer = WalSummaries::Since(connection, from, to);
        reason = answer.reason;
    }
    if (!answer.available) {
        std::printf("WAL summaries do not cover the changes since backup %s (%s); comparing "
                    "blocks\n",
                    reference.id.c_str(), reason.c_str());
        std::fflush(stdout);
        return std::nullopt;
    }
    std::printf("using the WAL summaries from %s to %s: reading only the blocks changed since "
                "backup %s\n",
                WalPosition::FormatLsn(from.lsn).c_str(), WalPosition::FormatLsn(to.lsn).c_str(),
                reference.id.c_str());
    std::fflush(stdout);
    return std::move(answer.blocks);
}

std::string SummarizedChanges::ReferenceStart(const ReferenceSet& references,
                                              const BackupRecord& reference,
                                              WalPosition& position) {
    const Manifest& m = *reference.manifest;
    for (const ManifestEntry& e : m.entries) {
        if (m.backupLabel.empty() || e.kind != ManifestEntry::Kind::File ||
            e.stored != m.backupLabel)
            continue;
        try {
            const BackupRecord& owner = references.Owner(reference, e);
            const std::string text = StoredFileReader::ReadText(
                *owner.storage, owner.PathOf(e.stored), owner.FormOf(e), {e.size, e.checksum});
            if (WalPosition::FromBackupLabel(text, position))
                return "";
            return "the backup_label of backup " + reference.id + " names no start";
        } catch (const std::exception& error) {
            return "the backup_label of backup " + reference.id +
                   " cannot be read: " + error.what();
        }
    }
    return "backup " + reference.id + " keeps no backup_label of its own";
}

std::string SummarizedChanges::CurrentStart(const AgentConnection& connection,
                                            WalPosition& position) {
    // The backup's own start is in the label the agent hands back only at its end. The redo
    // point of the latest checkpoint is at or after it (backup mode began with a checkpoint):
    // blocks changed in between are named too and read for nothing, and those changed later
    // are replayed from the backup's WAL, so the answer stays safe.
    ServerQuery query(connection);
    std::vector<std::vector<std::string>> columns;
    std::string failure;
    if (!query.TryColumns("SELECT timeline_id, redo_lsn FROM pg_control_checkpoint()", 2,
                          columns, failure))
        return "the server did not tell its latest checkpoint: " + failure;
    if (columns[0].empty())
        return "the server did not tell its latest checkpoint";
    const std::string& timeline = columns[0].front();
    const auto parsed =
        std::from_chars(timeline.data(), timeline.data() + timeline.size(), position.timeline);
    if (parsed.ec != std::errc() || !WalPosition::ParseLsn(columns[1].front(), position.lsn))
        return "the server told its latest checkpoint in an unknown form";
    return "";
}
