#include "Manifest.h"

#include "Base64.h"
#include "JsonInteger.h"

#include <algorithm>
#include <stdexcept>

namespace {

using json = nlohmann::json;

template <typename T> T Whole(const json& object, const char* key) {
    if (const std::optional<T> value = JsonInteger<T>(object.at(key)))
        return *value;
    throw std::runtime_error(std::string("malformed manifest: '") + key +
                             "' is not a whole number in range");
}

// Whole, or fallback when the object lacks the key.
template <typename T> T WholeOr(const json& object, const char* key, T fallback) {
    return object.contains(key) ? Whole<T>(object, key) : fallback;
}

ManifestEntry::Kind KindFromName(const std::string& name) {
    if (name == "file")
        return ManifestEntry::Kind::File;
    if (name == "dir")
        return ManifestEntry::Kind::Directory;
    if (name == "symlink")
        return ManifestEntry::Kind::Symlink;
    throw std::runtime_error("unknown entry type '" + name + "' in manifest");
}

ManifestEntry::Role RoleFromName(const std::string& name) {
    if (name == "data")
        return ManifestEntry::Role::Data;
    if (name == "wal")
        return ManifestEntry::Role::Wal;
    if (name == "meta")
        return ManifestEntry::Role::Meta;
    throw std::runtime_error("unknown entry role '" + name + "' in manifest");
}

Compression::Algorithm AlgorithmOf(const std::string& name) {
    try {
        return Compression::AlgorithmNamed(name);
    } catch (const std::invalid_argument&) {
        throw std::runtime_error("unknown compression '" + name + "' in manifest");
    }
}

bool Plain(const Manifest& m) {
    if (m.encrypted || m.compression != "none")
        return false;
    for (const ManifestEntry& e : m.entries) {
        if (e.encrypted || e.compression != Compression::Algorithm::None)
            return false;
    }
    return true;
}

bool UsesReferences(const Manifest& m) {
    if (!m.reference.empty())
        return true;
    for (const ManifestEntry& e : m.entries) {
        if (!e.storedIn.empty() || !e.blockRuns.empty() || e.delta)
            return true;
    }
    return false;
}

bool UsesParts(const Manifest& m) {
    return std::any_of(m.entries.begin(), m.entries.end(),
                       [](const ManifestEntry& e) { return !e.partSizes.empty(); });
}

bool UsesPacks(const Manifest& m) {
    return std::any_of(m.entries.begin(), m.entries.end(),
                       [](const ManifestEntry& e) { return e.packed; });
}

int FormatOf(const Manifest& m) {
    if (UsesPacks(m))
        return Manifest::kPackFormat;
    if (UsesParts(m))
        return Manifest::kPartsFormat;
    if (UsesReferences(m))
        return Manifest::kReferenceFormat;
    return Plain(m) ? Manifest::kPlainFormat : Manifest::kFormat;
}

// Runs as [backup, first, count] triples: the JSON stays small for files of many blocks.
json RunsToJson(const std::vector<BlockRun>& runs) {
    json list = json::array();
    for (const BlockRun& r : runs)
        list.push_back(json::array({r.backup, r.first, r.count}));
    return list;
}

std::vector<BlockRun> RunsFromJson(const json& list) {
    std::vector<BlockRun> runs;
    for (const json& r : list) {
        if (!r.is_array() || r.size() != 3)
            throw std::runtime_error(
                "malformed manifest: a block run is not [backup, first, count]");
        const std::optional<std::uint64_t> first = JsonInteger<std::uint64_t>(r[1]);
        const std::optional<std::uint64_t> count = JsonInteger<std::uint64_t>(r[2]);
        if (!first || !count)
            throw std::runtime_error("malformed manifest: a block run's numbers are out of range");
        runs.push_back({r[0].get<std::string>(), *first, *count});
    }
    return runs;
}

std::vector<std::uint64_t> PartSizesFromJson(const json& list) {
    if (!list.is_array() || list.empty())
        throw std::runtime_error("malformed manifest: part_sizes is not a list of sizes");
    std::vector<std::uint64_t> sizes;
    for (const json& size : list) {
        const std::optional<std::uint64_t> value = JsonInteger<std::uint64_t>(size);
        if (!value)
            throw std::runtime_error("malformed manifest: a part's size is out of range");
        sizes.push_back(*value);
    }
    return sizes;
}

json EntryToJson(const ManifestEntry& e) {
    json j = {{"path", e.path},
              {"type", Manifest::KindName(e.kind)},
              {"role", Manifest::RoleName(e.role)},
              {"mode", e.mode},
              {"uid", e.uid},
              {"gid", e.gid},
              {"user", e.user},
              {"group", e.group},
              {"mtime", e.mtimeSec},
              {"mtime_nsec", e.mtimeNsec}};
    if (e.kind == ManifestEntry::Kind::File) {
        j["stored"] = e.stored;
        j["size"] = e.size;
        j["checksum"] = e.checksum;
        j["stored_size"] = e.storedSize;
        if (!e.partSizes.empty())
            j["part_sizes"] = e.partSizes;
        if (e.compression != Compression::Algorithm::None)
            j["compression"] = Compression::NameOf(e.compression);
        if (e.encrypted)
            j["encrypted"] = true;
        if (!e.storedIn.empty())
            j["stored_in"] = e.storedIn;
        if (!e.blockDigests.empty())
            j["block_digests"] = Base64::Encode(e.blockDigests);
        if (!e.blockRuns.empty())
            j["block_runs"] = RunsToJson(e.blockRuns);
        if (e.delta)
            j["delta"] = true;
        if (e.blockChecked)
            j["block_checked"] = true;
        if (e.packed)
            j["pack_offset"] = e.packOffset;
    }
    if (e.kind == ManifestEntry::Kind::Symlink)
        j["target"] = e.target;
    return j;
}

ManifestEntry EntryFromJson(const json& j) {
    ManifestEntry e;
    e.path = j.at("path").get<std::string>();
    e.kind = KindFromName(j.at("type").get<std::string>());
    e.role = RoleFromName(j.value("role", std::string("data")));
    e.mode = Whole<std::uint32_t>(j, "mode");
    e.uid = WholeOr<std::uint32_t>(j, "uid", 0);
    e.gid = WholeOr<std::uint32_t>(j, "gid", 0);
    e.user = j.value("user", std::string());
    e.group = j.value("group", std::string());
    e.mtimeSec = WholeOr<std::int64_t>(j, "mtime", 0);
    e.mtimeNsec = WholeOr<std::int64_t>(j, "mtime_nsec", 0);
    if (e.kind == ManifestEntry::Kind::File) {
        e.stored = j.at("stored").get<std::string>();
        e.size = Whole<std::uint64_t>(j, "size");
        e.checksum = j.at("checksum").get<std::string>();
        e.storedSize = WholeOr<std::uint64_t>(j, "stored_size", e.size);
        if (j.contains("part_sizes"))
            e.partSizes = PartSizesFromJson(j.at("part_sizes"));
        e.compression = AlgorithmOf(j.value("compression", std::string("none")));
        e.encrypted = j.value("encrypted", false);
        e.storedIn = j.value("stored_in", std::string());
        if (j.contains("block_digests"))
            e.blockDigests = Base64::Decode(j.at("block_digests").get<std::string>());
        if (j.contains("block_runs"))
            e.blockRuns = RunsFromJson(j.at("block_runs"));
        e.delta = j.value("delta", false);
        e.blockChecked = j.value("block_checked", false);
        e.packed = j.contains("pack_offset");
        if (e.packed)
            e.packOffset = Whole<std::uint64_t>(j, "pack_offset");
    }
    if (e.kind == ManifestEntry::Kind::Symlink)
        e.target = j.at("target").get<std::string>();
    return e;
}

} // namespace

const char* Manifest::KindName(ManifestEntry::Kind kind) {
    switch (kind) {
    case ManifestEntry::Kind::File:
        return "file";
    case ManifestEntry::Kind::Directory:
        return "dir";
    case ManifestEntry::Kind::Symlink:
        return "symlink";
    }
    return "?";
}

const char* Manifest::RoleName(ManifestEntry::Role role) {
    switch (role) {
    case ManifestEntry::Role::Data:
        return "data";
    case ManifestEntry::Role::Wal:
        return "wal";
    case ManifestEntry::Role::Meta:
        return "meta";
    }
    return "?";
}

nlohmann::json Manifest::ToJson() const {
    json tablespaceList = json::array();
    for (const auto& t : tablespaces)
        tablespaceList.push_back({{"oid", t.oid}, {"name", t.name}, {"location", t.location}});
    json entryList = json::array();
    for (const auto& e : entries)
        entryList.push_back(EntryToJson(e));
    json j{{"format", FormatOf(*this)},
                {"id", id},
                {"instance", instance},
                {"type", type},
                {"job_id", jobId},
                {"start_time_us", startMicros},
                {"end_time_us", endMicros},
                {"wal_complete_time_us", walCompleteMicros},
                {"start_wal", startWal},
                {"end_wal", endWal},
                {"base_wal", baseWal},
                {"previous_id", previousId},
                {"server_version", serverVersion},
                {"data_directory", dataDirectory},
                {"config_file", configFile},
                {"hba_file", hbaFile},
                {"ident_file", identFile},
                {"archive_directory", archiveDirectory},
                {"os_user", osUser},
                {"databases", databases},
                {"folders", folders},
                {"tablespaces", tablespaceList},
                {"backup_label", backupLabel},
                {"tablespace_map", tablespaceMap},
                {"checksum_algorithm", checksumAlgorithm},
                {"file_count", fileCount},
                {"total_bytes", totalBytes},
                {"compression", compression},
                {"encrypted", encrypted},
                {"stored_bytes", storedBytes},
                {"resumed_from", resumedFrom},
                {"kept_bytes", keptBytes},
                {"entries", entryList}};
    if (!reference.empty()) {
        j["reference"] = reference;
        j["read_bytes"] = readBytes;
    }
    return j;
}

Manifest Manifest::FromJson(const nlohmann::json& j) {
    try {
        const int format = Whole<int>(j, "format");
        if (format != kPlainFormat && format != kFormat && format != kReferenceFormat &&
            format != kPartsFormat && format != kPackFormat)
            throw std::runtime_error("manifest format " + j.at("format").dump() +
                                     " is not supported");
        Manifest m;
        m.id = j.at("id").get<std::string>();
        m.instance = j.at("instance").get<std::string>();
        m.type = j.at("type").get<std::string>();
        m.reference = j.value("reference", std::string());
        m.jobId = WholeOr<std::uint64_t>(j, "job_id", 0);
        m.startMicros = Whole<std::int64_t>(j, "start_time_us");
        m.endMicros = Whole<std::int64_t>(j, "end_time_us");
        m.walCompleteMicros = WholeOr<std::int64_t>(j, "wal_complete_time_us", 0);
        m.startWal = j.value("start_wal", std::string());
        m.endWal = j.value("end_wal", std::string());
        m.baseWal = j.value("base_wal", std::string());
        m.previousId = j.value("previous_id", std::string());
        m.serverVersion = j.value("server_version", std::string());
        m.dataDirectory = j.value("data_directory", std::string());
        m.configFile = j.value("config_file", std::string());
        m.hbaFile = j.value("hba_file", std::string());
        m.identFile = j.value("ident_file", std::string());
        m.archiveDirectory = j.value("archive_directory", std::string());
        m.osUser = j.value("os_user", std::string());
        m.databases = j.value("databases", std::vector<std::string>());
        m.folders = j.value("folders", std::vector<std::string>());
        for (const auto& t : j.value("tablespaces", json::array()))
            m.tablespaces.push_back({t.at("oid").get<std::string>(), t.value("name", std::string()),
                                     t.at("location").get<std::string>()});
        m.backupLabel = j.value("backup_label", std::string());
        m.tablespaceMap = j.value("tablespace_map", std::string());
        m.checksumAlgorithm = j.value("checksum_algorithm", std::string());
        m.fileCount = WholeOr<std::uint64_t>(j, "file_count", 0);
        m.totalBytes = WholeOr<std::uint64_t>(j, "total_bytes", 0);
        m.compression = j.value("compression", std::string("none"));
        m.encrypted = j.value("encrypted", false);
        m.storedBytes = WholeOr<std::uint64_t>(j, "stored_bytes", m.totalBytes);
        m.resumedFrom = j.value("resumed_from", std::string());
        m.keptBytes = WholeOr<std::uint64_t>(j, "kept_bytes", 0);
        m.readBytes = WholeOr<std::uint64_t>(j, "read_bytes", m.totalBytes);
        for (const auto& e : j.at("entries"))
            m.entries.push_back(EntryFromJson(e));
        return m;
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("malformed manifest: ") + e.what());
    }
}
