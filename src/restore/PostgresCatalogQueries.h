#pragma once

#include <string>

// The catalogue queries of object browse, shared by the catalogue itself, the selection's
// schema check and the list editing of object restore. The oid texts are concatenated in as
// given: callers pass only oids read from the catalogue (IsOidText).
class PostgresCatalogQueries {
public:
    PostgresCatalogQueries() = delete;

    // True for a non-empty run of decimal digits, the only text that may stand where a query
    // takes an oid.
    static bool IsOidText(const std::string& text);

    // The user schemas: class in column 0, name in column 1, oid in column 2.
    static std::string Schemas(const std::string& version);
    static std::string Domains(const std::string& schemaOid);
    static std::string Tables(const std::string& schemaOid, const std::string& version);
    // Primary-key and unique constraints, through their indexes.
    static std::string KeyConstraints(const std::string& tableOid);
    static std::string ForeignKeys(const std::string& tableOid);
    // Indexes that back no constraint.
    static std::string Indexes(const std::string& tableOid, const std::string& version);
    static std::string Rules(const std::string& tableOid);
    static std::string Triggers(const std::string& tableOid, const std::string& version);
    // The name is in column 2 for trigger functions, in column 1 for other functions.
    static std::string TriggerFunctions(const std::string& schemaOid, const std::string& version);
    static std::string Functions(const std::string& schemaOid, const std::string& version);
    // The name is in column 2.
    static std::string Views(const std::string& schemaOid);
    static std::string Sequences(const std::string& schemaOid);
    static std::string Types(const std::string& schemaOid, const std::string& version);
};
