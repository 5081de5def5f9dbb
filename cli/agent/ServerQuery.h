#pragma once

#include "InstanceRegistry.h"

#include "pgulo/ExecutePostgre.h"

#include <string>
#include <vector>

// One session with an instance's server through the agent's query object, answering
// statements column by column.
class ServerQuery {
public:
    // Throws CliError carrying the agent's last-error text when the server cannot be reached.
    explicit ServerQuery(const AgentConnection& connection);

    // The first count columns of the statement's result, each holding its values row by row.
    // False, with the agent's reason in failure, when the statement failed.
    bool TryColumns(const std::string& sql, int count,
                    std::vector<std::vector<std::string>>& columns, std::string& failure);
    // As TryColumns; a failed statement is a CliError.
    std::vector<std::vector<std::string>> Columns(const std::string& sql, int count);

private:
    ExecutePostgre query_;
};
