#include "DumpToc.h"

#include "CliError.h"
#include "Subprocess.h"

#include "pgulo/PGText.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <sstream>

namespace {

using PGText::StartsWith;

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

bool ReadEntryLine(const std::string& line, DumpTocEntry& entry) {
    std::size_t pos = 0;
    std::string dumpId, tableOid;
    if (!Number(line, pos, "; ", dumpId) || !Number(line, pos, " ", tableOid) ||
        !Number(line, pos, " ", entry.oid))
        return false;
    entry.dumpId = std::stoull(dumpId);
    entry.line = line;
    std::string rest = line.substr(pos);
    entry.kind = KindAt(rest);
    if (entry.kind.empty()) {
        entry.name = rest;
        return true;
    }
    rest = rest.substr(entry.kind.size() + 1);
    // The owner is the last word; an entry without one ends in a blank.
    const std::size_t lastBlank = rest.rfind(' ');
    entry.owner = lastBlank == std::string::npos ? "" : rest.substr(lastBlank + 1);
    entry.body = lastBlank == std::string::npos ? rest : rest.substr(0, lastBlank);
    return true;
}

} // namespace

DumpToc DumpToc::Parse(const std::string& listText) {
    DumpToc toc;
    std::vector<DumpTocEntry> entries;
    std::istringstream lines(listText);
    std::string line;
    while (std::getline(lines, line)) {
        if (StartsWith(line, ";")) {
            const std::size_t marker = line.find(kDatabaseMarker);
            if (marker != std::string::npos && toc.database.empty())
                toc.database =
                    line.substr(marker + std::char_traits<char>::length(kDatabaseMarker));
            toc.header.push_back(line);
            continue;
        }
        DumpTocEntry entry;
        if (ReadEntryLine(line, entry))
            entries.push_back(std::move(entry));
    }

    std::set<std::string> schemas = {"public", "pg_catalog"};
    for (const DumpTocEntry& raw : entries) {
        if (raw.kind == "SCHEMA" && StartsWith(raw.body, "- "))
            schemas.insert(raw.body.substr(2));
    }
    for (DumpTocEntry& e : entries) {
        if (e.kind.empty())
            continue;
        e.schema = StartsWith(e.body, "- ") ? "-" : LeadingName(e.body, schemas);
        e.name = After(e.body, e.schema);
        if (e.schema == "-")
            e.schema.clear();
    }
    std::map<std::string, std::set<std::string>> tables;
    for (const DumpTocEntry& raw : entries) {
        const std::string& kind = raw.kind;
        if (kind == "TABLE" || kind == "VIEW" || kind == "MATERIALIZED VIEW" ||
            kind == "FOREIGN TABLE")
            tables[raw.schema].insert(raw.name);
    }
    for (DumpTocEntry& e : entries) {
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

std::string DumpToc::ListText(const std::vector<const DumpTocEntry*>& chosen) const {
    std::string list;
    for (const std::string& line : header)
        list += line + "\n";
    for (const DumpTocEntry* entry : chosen)
        list += entry->line + "\n";
    return list;
}

std::string DumpToc::ListText() const {
    std::vector<const DumpTocEntry*> all;
    for (const DumpTocEntry& entry : entries)
        all.push_back(&entry);
    return ListText(all);
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
