#include "DumpToc.h"

#include "CliError.h"
#include "Subprocess.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <sstream>

namespace {

// Entry kinds as the agent's list editing matches them, longer ones before the shorter ones
// they begin with, and the kinds it leaves alone after them.
const char* const kEntryKinds[] = {
    "ACL",
    "COMMENT",
    "TABLE DATA",
    "TABLE ATTACH",
    "TABLE",
    "FK CONSTRAINT",
    "CONSTRAINT",
    "DOMAIN",
    "TYPE",
    "SCHEMA",
    "PROCEDURAL LANGUAGE",
    "FUNCTION",
    "SEQUENCE OWNED BY",
    "SEQUENCE SET",
    "SEQUENCE",
    "VIEW",
    "DEFAULT ACL",
    "DEFAULT",
    "INDEX ATTACH",
    "INDEX",
    "RULE",
    "TRIGGER",
    "AGGREGATE",
    "PROCEDURE",
    "MATERIALIZED VIEW DATA",
    "MATERIALIZED VIEW",
    "FOREIGN TABLE",
    "EXTENSION",
    "POLICY",
    "EVENT TRIGGER",
    "CHECK CONSTRAINT",
    "SHELL TYPE",
    "COLLATION",
    "CONVERSION",
    "CAST",
    "OPERATOR CLASS",
    "OPERATOR FAMILY",
    "OPERATOR",
    "STATISTICS",
    "PUBLICATION TABLE",
    "PUBLICATION",
    "SUBSCRIPTION",
    "DATABASE PROPERTIES",
    "DATABASE",
    "ENCODING",
    "STDSTRINGS",
    "SEARCHPATH",
    "LARGE OBJECT",
    "BLOBS",
    "BLOB",
};

// Kinds whose tag is "<table> <name>".
const std::set<std::string> kTableSubObjects = {"CONSTRAINT", "FK CONSTRAINT", "CHECK CONSTRAINT",
                                                "TRIGGER",    "RULE",          "POLICY"};
// Kinds whose tag is "<name>(<argument types>)".
const std::set<std::string> kRoutines = {"FUNCTION", "PROCEDURE", "AGGREGATE"};

const char* const kDatabaseMarker = "dbname: ";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Reads the digits at pos and the separator after them; false when either is missing.
bool Number(const std::string& line, std::size_t& pos, const std::string& separator,
            std::string& value) {
    const std::size_t end = line.find_first_not_of("0123456789", pos);
    if (end == pos || end == std::string::npos || line.compare(end, separator.size(), separator))
        return false;
    value = line.substr(pos, end - pos);
    pos = end + separator.size();
    return true;
}

std::string KindAt(const std::string& text) {
    for (const char* kind : kEntryKinds) {
        if (StartsWith(text, std::string(kind) + " "))
            return kind;
    }
    return "";
}

// The longest of the known names that the text begins with, followed by a blank; else the
// text's first word. A name without a blank after it is the whole text.
std::string LeadingName(const std::string& text, const std::set<std::string>& known) {
    std::string best;
    for (const std::string& name : known) {
        if (name.size() > best.size() && StartsWith(text, name + " "))
            best = name;
    }
    if (!best.empty())
        return best;
    return text.substr(0, text.find(' '));
}

std::string After(const std::string& text, const std::string& head) {
    return head.size() < text.size() ? text.substr(head.size() + 1) : "";
}

std::vector<std::string> SplitArguments(const std::string& list) {
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(", ", start);
        if (comma == std::string::npos)
            comma = list.size();
        arguments.push_back(list.substr(start, comma - start));
        start = comma + 2;
    }
    return arguments;
}

// "name(type, type)": the argument list is the parenthesised group that ends the tag.
void SplitRoutine(DumpTocEntry& entry) {
    const std::string tag = entry.name;
    if (tag.empty() || tag.back() != ')')
        return;
    int depth = 0;
    for (std::size_t i = tag.size(); i-- > 0;) {
        depth += tag[i] == ')' ? 1 : tag[i] == '(' ? -1 : 0;
        if (depth == 0) {
            entry.name = tag.substr(0, i);
            entry.arguments = SplitArguments(tag.substr(i + 1, tag.size() - i - 2));
            return;
        }
    }
}

struct RawEntry {
    DumpTocEntry entry;
    std::string body; // "<schema> <tag>", the owner taken off
};

bool ReadEntryLine(const std::string& line, RawEntry& raw) {
    std::size_t pos = 0;
    std::string dumpId, tableOid;
    if (!Number(line, pos, "; ", dumpId) || !Number(line, pos, " ", tableOid) ||
        !Number(line, pos, " ", raw.entry.oid))
        return false;
    raw.entry.dumpId = std::stoull(dumpId);
    std::string rest = line.substr(pos);
    raw.entry.kind = KindAt(rest);
    if (raw.entry.kind.empty()) {
        raw.entry.name = rest;
        return true;
    }
    rest = rest.substr(raw.entry.kind.size() + 1);
    // The owner is the last word; an entry without one ends in a blank.
    const std::size_t lastBlank = rest.rfind(' ');
    raw.entry.owner = lastBlank == std::string::npos ? "" : rest.substr(lastBlank + 1);
    raw.body = lastBlank == std::string::npos ? rest : rest.substr(0, lastBlank);
    return true;
}

} // namespace

DumpToc DumpToc::Parse(const std::string& listText) {
    DumpToc toc;
    std::vector<RawEntry> raws;
    std::istringstream lines(listText);
    std::string line;
    while (std::getline(lines, line)) {
        if (StartsWith(line, ";")) {
            const std::size_t marker = line.find(kDatabaseMarker);
            if (marker != std::string::npos && toc.database.empty())
                toc.database =
                    line.substr(marker + std::char_traits<char>::length(kDatabaseMarker));
            continue;
        }
        RawEntry raw;
        if (ReadEntryLine(line, raw))
            raws.push_back(std::move(raw));
    }

    std::set<std::string> schemas = {"public", "pg_catalog"};
    for (const RawEntry& raw : raws) {
        if (raw.entry.kind == "SCHEMA" && StartsWith(raw.body, "- "))
            schemas.insert(raw.body.substr(2));
    }
    for (RawEntry& raw : raws) {
        DumpTocEntry& e = raw.entry;
        if (e.kind.empty())
            continue;
        e.schema = StartsWith(raw.body, "- ") ? "-" : LeadingName(raw.body, schemas);
        e.name = After(raw.body, e.schema);
        if (e.schema == "-")
            e.schema.clear();
    }
    std::map<std::string, std::set<std::string>> tables;
    for (const RawEntry& raw : raws) {
        const std::string& kind = raw.entry.kind;
        if (kind == "TABLE" || kind == "VIEW" || kind == "MATERIALIZED VIEW" ||
            kind == "FOREIGN TABLE")
            tables[raw.entry.schema].insert(raw.entry.name);
    }
    for (RawEntry& raw : raws) {
        DumpTocEntry& e = raw.entry;
        if (kTableSubObjects.count(e.kind)) {
            e.table = LeadingName(e.name, tables[e.schema]);
            e.name = After(e.name, e.table);
        } else if (kRoutines.count(e.kind)) {
            SplitRoutine(e);
        }
        toc.entries.push_back(std::move(e));
    }
    return toc;
}

DumpToc DumpToc::Read(const std::string& pgRestore, const std::string& dumpFile) {
    Subprocess::Options options;
    options.dropInheritedPg = true;
    options.timeout = std::chrono::minutes(10);
    const Subprocess::Result result =
        Subprocess::Run({pgRestore, "--list", "--", dumpFile}, options);
    if (!result.ok())
        throw CliError("cannot list the dump " + dumpFile + ": " + result.Message());
    return Parse(result.out);
}
