#include "WalSummaries.h"

#include "FileOps.h"
#include "ServerQuery.h"

#include <charconv>
#include <thread>

namespace {

template <class Number> bool ToNumber(const std::string& text, Number& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

std::string Lsn(std::uint64_t lsn) {
    return WalPosition::FormatLsn(lsn);
}

// Every LSN put into a statement is spelled from a number here, never copied from a text.
std::string LsnLiteral(std::uint64_t lsn) {
    return "'" + Lsn(lsn) + "'::pg_lsn";
}

std::string Single(ServerQuery& query, const std::string& sql) {
    const auto columns = query.Columns(sql, 1);
    return columns.front().empty() ? std::string() : columns.front().front();
}

// Adds the comma-separated block numbers of one relation. False for text of another form.
bool AddBlocks(const std::string& list, const ChangedBlocks::Relation& relation,
               ChangedBlocks& blocks) {
    std::size_t begin = 0;
    while (begin < list.size()) {
        std::size_t end = list.find(',', begin);
        if (end == std::string::npos)
            end = list.size();
        std::uint64_t block = 0;
        if (!ToNumber(list.substr(begin, end - begin), block))
            return false;
        blocks.AddBlock(relation, block);
        begin = end + 1;
    }
    return true;
}

} // namespace

WalSummaries::Answer WalSummaries::Since(const AgentConnection& connection,
                                         const WalPosition& reference, const WalPosition& current,
                                         std::chrono::milliseconds wait) {
    Answer answer;
    ServerQuery query(connection);
    answer.reason = Collect(query, reference, current, wait, answer.blocks);
    answer.available = answer.reason.empty();
    if (!answer.available)
        answer.blocks = ChangedBlocks(); // never half an answer
    return answer;
}

std::string WalSummaries::Collect(ServerQuery& query, const WalPosition& reference,
                                  const WalPosition& current, std::chrono::milliseconds wait,
                                  ChangedBlocks& blocks) {
    int major = 0;
    std::string reason = Refusal(query, major);
    if (!reason.empty())
        return reason;
    if (reference.timeline != current.timeline)
        return "a timeline switch lies between the reference backup (timeline " +
               std::to_string(reference.timeline) + ") and this one (timeline " +
               std::to_string(current.timeline) + ")";
    if (current.lsn < reference.lsn)
        return "the reference backup starts at " + Lsn(reference.lsn) +
               ", after this backup's start " + Lsn(current.lsn);
    reason = WaitForSummarizer(query, current, wait);
    std::vector<Summary> cover;
    if (reason.empty())
        reason = Cover(query, reference, current, cover);
    bool otherTablespaces = false;
    for (std::size_t i = 0; i < cover.size() && reason.empty(); ++i)
        reason = Read(query, cover[i], blocks, otherTablespaces);
    if (reason.empty() && otherTablespaces)
        blocks.SetTablespaceVersionDirectory(VersionDirectory(query, major));
    return reason;
}

std::string WalSummaries::Refusal(ServerQuery& query, int& major) {
    int version = 0;
    if (!ToNumber(Single(query, "SHOW server_version_num"), version))
        return "the server gave no version number";
    major = version / 10000;
    if (version < kFirstVersion)
        return "the server is PostgreSQL " + std::to_string(major) +
               ", which keeps no WAL summaries (they begin with " +
               std::to_string(kFirstVersion / 10000) + ")";
    if (Single(query, "SHOW summarize_wal") != "on")
        return "summarize_wal is off on the server";
    return "";
}

std::string WalSummaries::WaitForSummarizer(ServerQuery& query, const WalPosition& current,
                                            std::chrono::milliseconds wait) {
    const std::string sql =
        "SELECT summarized_tli, summarized_lsn FROM pg_get_wal_summarizer_state()";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::vector<std::vector<std::string>> columns;
        std::string failure;
        // Without the right to ask (the functions are the superuser's unless granted), the
        // summaries are out of reach, which is no reason to fail the backup.
        if (!query.TryColumns(sql, 2, columns, failure))
            return failure;
        std::uint32_t timeline = 0;
        std::uint64_t lsn = 0;
        if (columns[0].empty() || !ToNumber(columns[0].front(), timeline) ||
            !WalPosition::ParseLsn(columns[1].front(), lsn))
            return "the server did not tell how far its WAL summarizer is";
        // A later timeline means the summaries of this one are finished.
        if (timeline > current.timeline || (timeline == current.timeline && lsn >= current.lsn))
            return "";
        if (std::chrono::steady_clock::now() >= deadline)
            return "the WAL summarizer did not reach " + Lsn(current.lsn) + " within " +
                   std::to_string(wait.count()) + " ms (it is at " + Lsn(lsn) + " on timeline " +
                   std::to_string(timeline) + ")";
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::string WalSummaries::Cover(ServerQuery& query, const WalPosition& reference,
                                const WalPosition& current, std::vector<Summary>& cover) {
    const std::string sql =
        "SELECT tli, start_lsn, end_lsn FROM pg_available_wal_summaries() WHERE tli = " +
        std::to_string(current.timeline) + " AND end_lsn > " + LsnLiteral(reference.lsn) +
        " AND start_lsn < " + LsnLiteral(current.lsn) + " ORDER BY start_lsn, end_lsn DESC";
    std::vector<std::vector<std::string>> columns;
    std::string failure;
    if (!query.TryColumns(sql, 3, columns, failure))
        return failure;
    std::uint64_t reached = reference.lsn;
    for (std::size_t i = 0; i < columns[0].size() && reached < current.lsn; ++i) {
        Summary s;
        if (!ToNumber(columns[0][i], s.timeline) ||
            !WalPosition::ParseLsn(columns[1][i], s.start) ||
            !WalPosition::ParseLsn(columns[2][i], s.end))
            return "the server listed a WAL summary in an unknown form";
        if (s.start > reached)
            break;
        if (s.end > reached) {
            cover.push_back(s);
            reached = s.end;
        }
    }
    if (reached < current.lsn)
        return "the WAL summaries on timeline " + std::to_string(current.timeline) +
               " do not cover " + Lsn(reference.lsn) + " to " + Lsn(current.lsn) + " (none from " +
               Lsn(reached) + "; removed after wal_summary_keep_time, or summarize_wal was off)";
    return "";
}

std::string WalSummaries::Read(ServerQuery& query, const Summary& summary, ChangedBlocks& blocks,
                               bool& otherTablespaces) {
    // One row per relation fork: its blocks as one list and its smallest limit, which keeps
    // the answer small however many blocks changed.
    const std::string sql =
        "SELECT relfilenode, reltablespace, reldatabase, relforknumber, "
        "string_agg(relblocknumber::text, ',') FILTER (WHERE NOT is_limit_block), "
        "min(relblocknumber) FILTER (WHERE is_limit_block) "
        "FROM pg_wal_summary_contents(" +
        std::to_string(summary.timeline) + ", " + LsnLiteral(summary.start) + ", " +
        LsnLiteral(summary.end) + ") GROUP BY 1, 2, 3, 4";
    std::vector<std::vector<std::string>> columns;
    std::string failure;
    if (!query.TryColumns(sql, 6, columns, failure))
        return "the WAL summary of " + Lsn(summary.start) + " to " + Lsn(summary.end) +
               " could not be read: " + failure;
    for (std::size_t row = 0; row < columns[0].size(); ++row) {
        ChangedBlocks::Relation relation;
        std::uint64_t limit = 0;
        const std::string& limitText = columns[5][row];
        if (!ToNumber(columns[0][row], relation.relfilenode) ||
            !ToNumber(columns[1][row], relation.tablespace) ||
            !ToNumber(columns[2][row], relation.database) ||
            !ToNumber(columns[3][row], relation.fork) ||
            !AddBlocks(columns[4][row], relation, blocks) ||
            (!limitText.empty() && !ToNumber(limitText, limit)))
            return "the server gave a WAL summary row in an unknown form";
        if (!limitText.empty())
            blocks.AddLimit(relation, limit);
        if (relation.tablespace != ChangedBlocks::kDefaultTablespace &&
            relation.tablespace != ChangedBlocks::kGlobalTablespace)
            otherTablespaces = true;
    }
    return "";
}

std::string WalSummaries::VersionDirectory(ServerQuery& query, int major) {
    // The server names it after its major and catalog version; take it from a tablespace
    // rather than rebuild it.
    const std::string links = FileOps::Join(Single(query, "SHOW data_directory"), "pg_tblspc");
    const std::string prefix = "PG_" + std::to_string(major) + "_";
    for (const std::string& tablespace : FileOps::List(links)) {
        for (const std::string& name : FileOps::List(FileOps::Join(links, tablespace))) {
            if (name.compare(0, prefix.size(), prefix) == 0)
                return name;
        }
    }
    return "";
}
