#pragma once

#include <string>
#include <vector>

// One object a user names for an object restore: KIND:SCHEMA.NAME, a function with its
// argument types (KIND:SCHEMA.NAME(TYPE, ...)), a schema as schema:NAME. Names follow SQL:
// unquoted ones are folded to lower case, "quoted" ones are taken as written ("" for a quote).
struct ObjectSelector {
    std::string kind;   // schema, table, view, sequence, function, type, domain
    std::string schema; // for a schema: its own name
    std::string name;
    std::vector<std::string> argTypes; // functions only, as pg_dump writes them

    // Throws CliError (usage) with a sentence naming what is wrong.
    static ObjectSelector Parse(const std::string& text);

    // The entry kind of a dump's table of contents ("TABLE", "FUNCTION", ...).
    std::string Keyword() const;
    // The name as a dump's table of contents lists it: a function's with its argument types,
    // "add(integer, integer)".
    std::string ListedName() const;
    // For messages: the selector as a user would write it.
    std::string Text() const;
};
