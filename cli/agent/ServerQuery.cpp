#include "ServerQuery.h"

#include "CliError.h"
#include "HostContext.h"

ServerQuery::ServerQuery(const AgentConnection& c) {
    HostContext::ClearAgentError();
    if (query_.init(c.libDir, c.binDir, c.user, c.password, c.database, c.hostAddr, c.port) != 0)
        throw CliError(HostContext::AgentFailure("cannot connect to the server"));
}

bool ServerQuery::TryColumns(const std::string& sql, int count,
                             std::vector<std::vector<std::string>>& columns, std::string& failure) {
    HostContext::ClearAgentError();
    if (query_.postgre_Query(sql) != 0) {
        failure = HostContext::AgentFailure("the server did not answer \"" + sql + "\"");
        return false;
    }
    columns.assign(static_cast<std::size_t>(count), {});
    if (query_.GetResultRows() == 0)
        return true;
    for (int i = 0; i < count; ++i) {
        std::vector<std::string>& column = columns[static_cast<std::size_t>(i)];
        query_.getCol(i, column);
        // The query object puts a placeholder before the values.
        if (!column.empty())
            column.erase(column.begin());
    }
    return true;
}

std::vector<std::vector<std::string>> ServerQuery::Columns(const std::string& sql, int count) {
    std::vector<std::vector<std::string>> columns;
    std::string failure;
    if (!TryColumns(sql, count, columns, failure))
        throw CliError(failure);
    return columns;
}
