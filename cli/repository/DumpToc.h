#pragma once

#include <string>
#include <vector>

// One entry of a custom-format dump's table of contents, as `pg_restore --list` prints it:
// "<dump id>; <catalogue table oid> <oid> <KIND> <schema> <tag> <owner>".
struct DumpTocEntry {
    unsigned long long dumpId = 0;
    std::string oid;
    // The list's entry kind ("TABLE", "FK CONSTRAINT", ...); empty for a kind this reader does
    // not know, whose whole text after the oids is then the name.
    std::string kind;
    std::string schema; // empty for entries outside any schema (the list prints "-")
    // The object; for a constraint, trigger, rule or policy the sub-object, for a function
    // its name without the argument list.
    std::string name;
    std::string table;                  // the table of a constraint, trigger, rule or policy
    std::vector<std::string> arguments; // a function's argument types
    std::string owner;
    // The entry's text between the kind and the owner, "<schema> <tag>" as listed: what
    // tells two entries of one object apart from others whatever blanks the names hold.
    std::string body;
    std::string line; // the whole line, for a list handed back to pg_restore
};

// The table of contents of a dump file. The list prints names as they are, blanks included,
// so a schema (or table) name is told from the rest of an entry by the schemas (and tables)
// the same list defines.
struct DumpToc {
    std::string database; // the dumped database, from the list's header
    std::vector<std::string> header; // the list's comment lines (";"), in order
    std::vector<DumpTocEntry> entries;

    // A list for pg_restore --use-list: the header and the given entries' lines.
    std::string ListText(const std::vector<const DumpTocEntry*>& chosen) const;
    std::string ListText() const;

    // Runs pg_restore --list on the dump; throws CliError with pg_restore's message when it
    // fails.
    static DumpToc Read(const std::string& pgRestore, const std::string& dumpFile);
    // The list text as pg_restore prints it.
    static DumpToc Parse(const std::string& listText);
};
