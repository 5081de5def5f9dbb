#include "restore/PostgresCatalogQueries.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGVersion.h"

#include <algorithm>

namespace {

// 8.0 and 8.1 know neither E'' literals nor reloptions.
bool IsOld(const std::string& version) {
    return PGCommon::IsOldPGVersion(version);
}

const char* const kFillFactorColumn =
    ", substring(array_to_string(reloptions, ',') from 'fillfactor=([0-9]*)') AS fillfactor";
const char* const kIndexFillFactorColumn =
    ", substring(array_to_string(cls.reloptions, ',') from 'fillfactor=([0-9]*)') AS fillfactor";

// The FROM clause that the key-constraint and index queries share: an index, its table, and
// the constraint the index belongs to, if any.
const char* const kIndexFrom =
    " FROM pg_index idx"
    " JOIN pg_class cls ON cls.oid=indexrelid"
    " JOIN pg_class tab ON tab.oid=indrelid"
    " LEFT OUTER JOIN pg_tablespace ta on ta.oid=cls.reltablespace"
    " JOIN pg_namespace n ON n.oid=tab.relnamespace"
    " JOIN pg_am am ON am.oid=cls.relam"
    " LEFT JOIN pg_depend dep ON (dep.classid = cls.tableoid AND dep.objid = cls.oid AND "
    "dep.refobjsubid = '0')"
    " LEFT OUTER JOIN pg_constraint con ON (con.tableoid = dep.refclassid AND con.oid = "
    "dep.refobjid)"
    " LEFT OUTER JOIN pg_description des ON des.objoid=cls.oid"
    " LEFT OUTER JOIN pg_description desp ON (desp.objoid=con.oid AND desp.objsubid = 0)";

// Shared by trigger functions and functions, after their own first columns.
const char* const kFunctionBody =
    "format_type(TYP.oid, NULL) AS typname, typns.nspname AS typnsp, lanname, proargnames, "
    "pg_get_userbyid(proowner) as funcowner, description"
    " FROM pg_proc pr"
    " JOIN pg_type typ ON typ.oid=prorettype"
    " JOIN pg_namespace typns ON typns.oid=typ.typnamespace"
    " JOIN pg_language lng ON lng.oid=prolang"
    " LEFT OUTER JOIN pg_description des ON des.objoid=pr.oid"
    " WHERE ";

std::string FunctionQuery(const char* head, const std::string& schemaOid,
                          const std::string& version, const char* tail) {
    // Aggregates are left out; release 11 replaced proisagg by prokind.
    const char* aggregateFilter =
        PGVersionAtLeast(version, PG_VERSION_11) ? "prokind != 'a'" : "proisagg = FALSE";
    return std::string(head) + kFunctionBody + aggregateFilter +
           " AND pronamespace = " + schemaOid + "::oid " + tail;
}

} // namespace

bool PostgresCatalogQueries::IsOidText(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string PostgresCatalogQueries::Schemas(const std::string& version) {
    const char* temp = IsOld(version) ? "'pg\\_temp\\_%'" : "E'pg\\_temp\\_%'";
    const char* system = IsOld(version) ? "'pg\\_%'" : "E'pg\\_%'";
    return std::string("SELECT CASE WHEN nspname LIKE ") + temp + " THEN 1 WHEN (nspname LIKE " +
           system +
           ") THEN 0 ELSE 3 END AS nsptyp, nsp.nspname, nsp.oid, "
           "pg_get_userbyid(nspowner) AS namespaceowner, nspacl, description, "
           "has_schema_privilege(nsp.oid, 'CREATE') as cancreate"
           " FROM pg_namespace nsp"
           " LEFT OUTER JOIN pg_description des ON des.objoid=nsp.oid"
           " WHERE NOT ((nspname = 'pg_catalog' and (SELECT count(*) FROM pg_class WHERE "
           "relname = 'pg_class' AND relnamespace = nsp.oid) > 0) OR"
           " (nspname = 'pgagent' and (SELECT count(*) FROM pg_class WHERE relname = 'pga_job' "
           "AND relnamespace = nsp.oid) > 0) OR"
           " (nspname = 'information_schema' and (SELECT count(*) FROM pg_class WHERE relname = "
           "'tables' AND relnamespace = nsp.oid) > 0) OR"
           " (nspname = 'dbo' and (SELECT count(*) FROM pg_class WHERE relname = 'systables' AND "
           "relnamespace = nsp.oid) > 0) OR"
           " (nspname = 'sys' and (SELECT count(*) FROM pg_class WHERE relname = 'all_tables' AND "
           "relnamespace = nsp.oid) > 0))"
           " and nspname not LIKE 'pg_%'"
           " ORDER BY 1, nspname;";
}

std::string PostgresCatalogQueries::Domains(const std::string& schemaOid) {
    return "SELECT d.oid, d.typname as domname, d.typbasetype, format_type(b.oid,NULL) as "
           "basetype, pg_get_userbyid(d.typowner) as domainowner, d.typlen, d.typtypmod, "
           "d.typnotnull, d.typdefault, d.typndims, d.typdelim, bn.nspname as basensp, "
           "description, (SELECT COUNT(1) FROM pg_type t2 WHERE t2.typname=d.typname) > 1 AS "
           "domisdup, (SELECT COUNT(1) FROM pg_type t3 WHERE t3.typname=b.typname) > 1 AS "
           "baseisdup"
           " FROM pg_type d"
           " JOIN pg_type b ON b.oid = CASE WHEN d.typndims>0 then d.typelem ELSE d.typbasetype "
           "END"
           " JOIN pg_namespace bn ON bn.oid=b.typnamespace"
           " LEFT OUTER JOIN pg_description des ON des.objoid=d.oid"
           " WHERE d.typtype = 'd' AND d.typnamespace = " +
           schemaOid + "::oid ORDER BY d.typname;";
}

std::string PostgresCatalogQueries::Tables(const std::string& schemaOid,
                                           const std::string& version) {
    return std::string("SELECT rel.oid, relname, rel.reltablespace AS spcoid, spcname, "
                       "pg_get_userbyid(relowner) AS relowner, relacl, relhassubclass, "
                       "reltuples, description, conname, conkey, "
                       "EXISTS(select 1 FROM pg_trigger JOIN pg_proc pt ON pt.oid=tgfoid AND "
                       "pt.proname='logtrigger' JOIN pg_proc pc ON "
                       "pc.pronamespace=pt.pronamespace AND pc.proname='slonyversion' WHERE "
                       "tgrelid=rel.oid) AS isrepl") +
           (IsOld(version) ? "" : kFillFactorColumn) +
           " FROM pg_class rel"
           " LEFT OUTER JOIN pg_tablespace ta on ta.oid=rel.reltablespace"
           " LEFT OUTER JOIN pg_description des ON (des.objoid=rel.oid AND des.objsubid=0)"
           " LEFT OUTER JOIN pg_constraint c ON c.conrelid=rel.oid AND c.contype='p'"
           " WHERE relkind IN ('r','s','t') AND relnamespace = " +
           schemaOid + "::oid ORDER BY relname";
}

std::string PostgresCatalogQueries::KeyConstraints(const std::string& tableOid) {
    return std::string("SELECT DISTINCT ON(cls.relname) cls.oid, cls.relname as idxname") +
           kIndexFrom + " WHERE indrelid = " + tableOid + "::oid AND (contype='p' OR contype='u') ";
}

std::string PostgresCatalogQueries::ForeignKeys(const std::string& tableOid) {
    return "SELECT ct.oid, conname"
           " FROM pg_constraint ct"
           " JOIN pg_class cl ON cl.oid=conrelid"
           " JOIN pg_namespace nl ON nl.oid=cl.relnamespace"
           " JOIN pg_class cr ON cr.oid=confrelid"
           " JOIN pg_namespace nr ON nr.oid=cr.relnamespace"
           " LEFT OUTER JOIN pg_description des ON des.objoid=ct.oid"
           " WHERE contype='f' AND conrelid = " +
           tableOid + "::oid ORDER BY conname";
}

std::string PostgresCatalogQueries::Indexes(const std::string& tableOid,
                                            const std::string& version) {
    return std::string(
               "SELECT DISTINCT ON(cls.relname) cls.oid, cls.relname as idxname, indrelid, "
               "indkey, indisclustered, indisunique, indisprimary, n.nspname, indnatts, "
               "cls.reltablespace AS spcoid, spcname, tab.relname as tabname, indclass, "
               "con.oid AS conoid, CASE contype WHEN 'p' THEN desp.description WHEN 'u' THEN "
               "desp.description ELSE des.description END AS description, "
               "pg_get_expr(indpred, indrelid, true) as indconstraint, contype, condeferrable, "
               "condeferred, amname") +
           (IsOld(version) ? "" : kIndexFillFactorColumn) + kIndexFrom +
           " WHERE indrelid = " + tableOid + "::oid AND conname IS NULL ORDER BY cls.relname";
}

std::string PostgresCatalogQueries::Rules(const std::string& tableOid) {
    return "SELECT rw.oid, rulename, relname, nspname"
           " FROM pg_rewrite rw"
           " JOIN pg_class cl ON cl.oid=rw.ev_class"
           " JOIN pg_namespace nsp ON nsp.oid=cl.relnamespace"
           " LEFT OUTER JOIN pg_description des ON des.objoid=rw.oid"
           " WHERE ev_class = " +
           tableOid + " ORDER BY rw.rulename;";
}

std::string PostgresCatalogQueries::Triggers(const std::string& tableOid,
                                             const std::string& version) {
    // Before 9.0 the internal (constraint) triggers were marked by tgisconstraint.
    const char* notInternal =
        PGVersionAtLeast(version, PG_VERSION_9_0) ? "NOT tgisinternal" : "NOT tgisconstraint";
    return std::string("SELECT t.oid, tgname, t.xmin, relname, nspname, des.description, "
                       "l.lanname"
                       " FROM pg_trigger t"
                       " JOIN pg_class cl ON cl.oid=tgrelid"
                       " JOIN pg_namespace na ON na.oid=relnamespace"
                       " LEFT OUTER JOIN pg_description des ON des.objoid=t.oid"
                       " LEFT OUTER JOIN pg_proc p ON p.oid=t.tgfoid"
                       " LEFT OUTER JOIN pg_language l ON l.oid=p.prolang"
                       " WHERE ") +
           notInternal + " AND tgrelid = " + tableOid + "::oid ORDER BY tgname";
}

std::string PostgresCatalogQueries::TriggerFunctions(const std::string& schemaOid,
                                                     const std::string& version) {
    return FunctionQuery("SELECT pr.oid, pr.xmin, pr.proname, ", schemaOid, version,
                         "AND typname = 'trigger' AND lanname != 'edbspl' ORDER BY proname");
}

std::string PostgresCatalogQueries::Functions(const std::string& schemaOid,
                                              const std::string& version) {
    return FunctionQuery("SELECT pr.oid, proname, pr.xmin, ", schemaOid, version,
                         "AND typname <> 'trigger' ORDER BY proname;");
}

std::string PostgresCatalogQueries::Views(const std::string& schemaOid) {
    return "SELECT c.oid, c.xmin, c.relname, pg_get_userbyid(c.relowner) AS viewowner, c.relacl"
           " FROM pg_class c"
           " LEFT OUTER JOIN pg_description des ON (des.objoid=c.oid and des.objsubid=0)"
           " WHERE ((c.relhasrules AND (EXISTS ( SELECT r.rulename FROM pg_rewrite r WHERE "
           "((r.ev_class = c.oid) AND (bpchar(r.ev_type) = '1'::bpchar)) ))) OR (c.relkind = "
           "'v'::char)) AND relnamespace = " +
           schemaOid + "::oid ORDER BY relname";
}

std::string PostgresCatalogQueries::Sequences(const std::string& schemaOid) {
    return "SELECT cl.oid, relname, pg_get_userbyid(relowner) AS seqowner"
           " FROM pg_class cl"
           " LEFT OUTER JOIN pg_description des ON des.objoid=cl.oid"
           " WHERE relkind = 'S' AND relnamespace = " +
           schemaOid + "::oid ORDER BY relname";
}

std::string PostgresCatalogQueries::Types(const std::string& schemaOid,
                                          const std::string& version) {
    // The pattern holds two backslashes: the E'' literal turns them into the one that makes
    // "_" literal, so array types (named "_" + element type) stay out.
    const char* arrayPattern = IsOld(version) ? "'\\\\_%'" : "E'\\\\_%'";
    return std::string("SELECT t.oid, format_type(t.oid, null)"
                       " FROM pg_type t"
                       " LEFT OUTER JOIN pg_type e ON e.oid=t.typelem"
                       " LEFT OUTER JOIN pg_class ct ON ct.oid=t.typrelid AND ct.relkind <> 'c'"
                       " WHERE t.typtype != 'd' AND t.typname NOT LIKE ") +
           arrayPattern + " AND t.typnamespace = " + schemaOid +
           "::oid AND ct.oid IS NULL ORDER BY t.typname";
}
