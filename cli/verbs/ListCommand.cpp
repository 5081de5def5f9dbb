#include "ListCommand.h"

#include "HumanFormat.h"
#include "InstanceRegistry.h"
#include "TimeText.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ",") + item;
    return text;
}

std::string Dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// "zstd:1", "lz4+enc", "none+enc", "none".
std::string Codec(const Manifest& m) {
    return m.compression + (m.encrypted ? "+enc" : "");
}

// The last column: the databases, and how much of an unfinished backup a resumed one kept.
std::string Remarks(const Manifest& m) {
    std::string text = Dash(Join(m.databases));
    if (!m.resumedFrom.empty())
        text += " (resumed " + m.resumedFrom + ", kept " + HumanFormat::Bytes(m.keptBytes) + ")";
    return text;
}

} // namespace

nlohmann::json ListCommand::Describe(const BackupRecord& r) {
    nlohmann::json j = {{"id", r.id},
                        {"type", r.type},
                        {"state", r.state},
                        {"restorable", r.complete},
                        {"start_time", r.startMicros ? TimeText::Local(r.startMicros) : ""}};
    if (r.manifest) {
        const Manifest& m = *r.manifest;
        j["end_time"] = TimeText::Local(m.endMicros);
        // A restore can reach any time up to this one.
        j["wal_complete_time"] = TimeText::Local(m.WalCompleteMicros());
        j["start_wal"] = m.startWal;
        j["end_wal"] = m.endWal;
        j["size"] = m.totalBytes;
        j["stored_size"] = m.storedBytes;
        j["compression"] = m.compression;
        j["encrypted"] = m.encrypted;
        j["files"] = m.fileCount;
        j["databases"] = m.databases;
        j["server_version"] = m.serverVersion;
        if (!m.previousId.empty())
            j["previous"] = m.previousId;
        if (!m.resumedFrom.empty()) {
            j["resumed_from"] = m.resumedFrom;
            j["kept_bytes"] = m.keptBytes;
        }
        if (!m.reference.empty()) {
            j["reference"] = m.reference;
            j["read_size"] = m.readBytes;
        }
        nlohmann::json tablespaces = nlohmann::json::array();
        for (const auto& t : m.tablespaces)
            tablespaces.push_back({{"oid", t.oid}, {"name", t.name}, {"location", t.location}});
        j["tablespaces"] = tablespaces;
    } else {
        j["message"] = r.message;
    }
    return j;
}

void ListCommand::Run(HostContext& host, const std::string& instance, bool json) {
    InstanceRegistry().Require(instance);
    const std::vector<BackupRecord> records = Repository(host.Repository()).List(instance);
    if (json) {
        nlohmann::json all = nlohmann::json::array();
        for (const auto& r : records)
            all.push_back(Describe(r));
        std::printf("%s\n", all.dump(2).c_str());
        return;
    }
    if (records.empty()) {
        std::printf("instance '%s' has no backups yet\n", instance.c_str());
        return;
    }
    std::printf("%-19s %-4s %-10s %-19s %-25s %-25s %-24s %-24s %10s %10s %-12s %6s %s\n", "ID",
                "TYPE", "STATE", "REFERENCE", "START", "END", "START WAL", "END WAL", "SIZE",
                "STORED", "CODEC", "FILES", "DATABASES");
    for (const auto& r : records) {
        const Manifest* m = r.manifest.get();
        std::printf(
            "%-19s %-4s %-10s %-19s %-25s %-25s %-24s %-24s %10s %10s %-12s %6s %s\n",
            r.id.c_str(), r.type.c_str(), r.state.c_str(), m ? Dash(m->reference).c_str() : "-",
            r.startMicros ? TimeText::Local(r.startMicros).c_str() : "-",
            m ? TimeText::Local(m->endMicros).c_str() : "-", m ? Dash(m->startWal).c_str() : "-",
            m ? Dash(m->endWal).c_str() : "-", m ? HumanFormat::Bytes(m->totalBytes).c_str() : "-",
            m ? HumanFormat::Bytes(m->storedBytes).c_str() : "-", m ? Codec(*m).c_str() : "-",
            m ? std::to_string(m->fileCount).c_str() : "-",
            m ? Remarks(*m).c_str() : Dash(r.message).c_str());
    }
}
