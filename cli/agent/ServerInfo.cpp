#include "ServerInfo.h"

#include "CliError.h"
#include "FileOps.h"
#include "HostContext.h"
#include "RestoreTargetGuard.h"

#include "ServerQuery.h"

namespace {

std::string Single(ServerQuery& query, const std::string& sql) {
    std::vector<std::string> values = query.Columns(sql, 1).front();
    if (values.empty())
        throw CliError("the server gave no answer to \"" + sql + "\"");
    return values.front();
}

} // namespace

ServerFacts ServerInfo::Query(const AgentConnection& c) {
    ServerQuery query(c);
    ServerFacts facts;
    facts.version = Single(query, "SHOW server_version");
    facts.dataDirectory = Single(query, "SHOW data_directory");
    facts.configFile = Single(query, "SHOW config_file");
    facts.hbaFile = Single(query, "SHOW hba_file");
    facts.identFile = Single(query, "SHOW ident_file");
    const std::string sql =
        "SELECT oid::text, spcname, pg_tablespace_location(oid) FROM pg_tablespace "
        "WHERE pg_tablespace_location(oid) <> '' ORDER BY oid";
    const auto columns = query.Columns(sql, 3);
    const std::vector<std::string>& oids = columns[0];
    const std::vector<std::string>& names = columns[1];
    const std::vector<std::string>& locations = columns[2];
    for (std::size_t i = 0; i < oids.size() && i < names.size() && i < locations.size(); ++i)
        facts.tablespaces.push_back({oids[i], names[i], locations[i]});
    return facts;
}

bool ServerInfo::IsRunning(const std::string& dataDirectory) {
    return RestoreTargetGuard::HasLivePostmaster(dataDirectory);
}
