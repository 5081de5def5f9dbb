#include "pgulo/PGCommon.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

bool IsShellSafe(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("_./:=@%+,-", c) != nullptr && c != '\0';
}

// Keywords that quote_ident quotes: the reserved ones and those that may not be used as
// column or type/function names. Quoting a word that would not have needed it is harmless,
// so the list is the union over the releases the agent supports. Kept sorted.
const char* const kQuotedKeywords[] = {
    "all",
    "analyse",
    "analyze",
    "and",
    "any",
    "array",
    "as",
    "asc",
    "asymmetric",
    "authorization",
    "between",
    "bigint",
    "binary",
    "bit",
    "boolean",
    "both",
    "case",
    "cast",
    "char",
    "character",
    "check",
    "coalesce",
    "collate",
    "collation",
    "column",
    "concurrently",
    "constraint",
    "create",
    "cross",
    "current_catalog",
    "current_date",
    "current_role",
    "current_schema",
    "current_time",
    "current_timestamp",
    "current_user",
    "dec",
    "decimal",
    "default",
    "deferrable",
    "desc",
    "distinct",
    "do",
    "else",
    "end",
    "except",
    "exists",
    "extract",
    "false",
    "fetch",
    "float",
    "for",
    "foreign",
    "freeze",
    "from",
    "full",
    "grant",
    "greatest",
    "group",
    "grouping",
    "having",
    "ilike",
    "in",
    "initially",
    "inner",
    "inout",
    "int",
    "integer",
    "intersect",
    "interval",
    "into",
    "is",
    "isnull",
    "join",
    "json",
    "json_array",
    "json_arrayagg",
    "json_exists",
    "json_object",
    "json_objectagg",
    "json_query",
    "json_scalar",
    "json_serialize",
    "json_table",
    "json_value",
    "lateral",
    "leading",
    "least",
    "left",
    "like",
    "limit",
    "localtime",
    "localtimestamp",
    "merge_action",
    "national",
    "natural",
    "nchar",
    "none",
    "normalize",
    "not",
    "notnull",
    "null",
    "nullif",
    "numeric",
    "offset",
    "on",
    "only",
    "or",
    "order",
    "out",
    "outer",
    "overlaps",
    "overlay",
    "placing",
    "position",
    "precision",
    "primary",
    "real",
    "references",
    "returning",
    "right",
    "row",
    "select",
    "session_user",
    "setof",
    "similar",
    "smallint",
    "some",
    "substring",
    "symmetric",
    "system_user",
    "table",
    "tablesample",
    "then",
    "time",
    "timestamp",
    "to",
    "trailing",
    "treat",
    "trim",
    "true",
    "union",
    "unique",
    "user",
    "using",
    "values",
    "varchar",
    "variadic",
    "verbose",
    "when",
    "where",
    "window",
    "with",
    "xmlattributes",
    "xmlconcat",
    "xmlelement",
    "xmlexists",
    "xmlforest",
    "xmlnamespaces",
    "xmlparse",
    "xmlpi",
    "xmlroot",
    "xmlserialize",
    "xmltable",
};

bool IsQuotedKeyword(const std::string& word) {
    return std::binary_search(std::begin(kQuotedKeywords), std::end(kQuotedKeywords), word.c_str(),
                              [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
}

} // namespace

std::string PGCommon::ShellQuote(const std::string& value) {
    if (!value.empty() && std::all_of(value.begin(), value.end(), IsShellSafe))
        return value;
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string PGCommon::QuoteIdent(const std::string& identifier) {
    bool plain = !identifier.empty() && !(identifier[0] >= '0' && identifier[0] <= '9');
    for (char c : identifier) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
            plain = false;
            break;
        }
    }
    if (plain && !IsQuotedKeyword(identifier))
        return identifier;
    std::string quoted = "\"";
    for (char c : identifier) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string PGCommon::QuoteLiteral(const std::string& text) {
    // In a plain literal a backslash is an escape or not as standard_conforming_strings says,
    // so a text holding one could end the literal early. In E'' it is always an escape, and
    // doubled it stands for itself whatever the setting; texts without one keep the plain
    // form, which every release reads the same.
    const bool hasBackslash = text.find('\\') != std::string::npos;
    std::string quoted = hasBackslash ? "E'" : "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            quoted += c;
        quoted += c;
    }
    quoted += '\'';
    return quoted;
}
