#include "pgulo/ExecutePostgre.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/libpqInterface.h"

#include <cstdio>
#include <cstdlib>

static EvDebug g_log(nullptr);

namespace {

const char* const kInitLabel = "ExecutePostgre::init";
const char* const kQueryLabel = "ExecutePostgre::postgre_Query";
const char* const kGetColLabel = "ExecutePostgre::getCol";
const char* const kGetRowLabel = "ExecutePostgre::getRow";
const char* const kExeLabel = "ExecutePostgre::postgre_exe";
const char* const kParseLabel = "ExecutePostgre::ParsePsqlOutput";
const char* const kGetcolLabel = "ExecutePostgre::getcol";
const char* const kGetrowLabel = "ExecutePostgre::getrow";
const char* const kDestructorLabel = "ExecutePostgre::~ExecutePostgre";

// The fields of one line that already ends with the separator: the text up to each
// separator. A line without any separator has no fields.
std::vector<std::string> SplitFields(const std::string& line, const std::string& separator) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = line.find(separator, start);
        if (end == std::string::npos)
            break;
        g_log.DebugLvl(kParseLabel, 4, "\tcol = %s(%ld)[%ld : %ld] [%ld %ld]",
                       line.substr(start, end - start).c_str(), static_cast<long>(end - start),
                       static_cast<long>(start), static_cast<long>(end),
                       static_cast<long>(separator.size()), static_cast<long>(line.size()));
        fields.push_back(line.substr(start, end - start));
        start = end + separator.size();
    }
    return fields;
}

// psql writes the server's NOTICE and WARNING messages on its standard error even when the
// statement succeeds. They are kept in the debug log, one line each, as the session's own
// notices are.
void LogPsqlMessages(const char* label, const std::string& err) {
    std::string::size_type start = 0;
    while (start < err.size()) {
        std::string::size_type end = err.find('\n', start);
        if (end == std::string::npos)
            end = err.size();
        if (end > start)
            g_log.Debug(label, "psql: %s", err.substr(start, end - start).c_str());
        start = end + 1;
    }
}

} // namespace

const char* const ExecutePostgre::kFieldSeparator = "  ?#$#?  ";

ExecutePostgre::ExecutePostgre() = default;

ExecutePostgre::ExecutePostgre(const std::string& libpath, const std::string& binpath,
                               const std::string& pguser, const std::string& password,
                               const std::string& database, const std::string& /*hostAddr*/,
                               const std::string& port)
    : libpath_(libpath), binpath_(binpath), pguser_(pguser), password_(password), port_(port),
      database_(database) {}

ExecutePostgre::~ExecutePostgre() {
    PGGuard::Quietly(g_log, kDestructorLabel, [&] { session_.reset(); });
}

int ExecutePostgre::init(const std::string& libpath, const std::string& binpath,
                         const std::string& pguser, const std::string& password,
                         const std::string& database, const std::string& hostAddr,
                         const std::string& port) {
    return PGGuard::OrReturn(g_log, kInitLabel, -1, [&] {
        libpath_ = libpath;
        binpath_ = binpath;
        pguser_ = pguser;
        password_ = password;
        database_ = database;
        port_ = port;
        g_log.DebugLvl(kInitLabel, 3,
                       "this->libpath = %s this->binpath = %s this->pguser =%s "
                       "this->database = %s this->port = %s",
                       libpath_.c_str(), binpath_.c_str(), pguser_.c_str(), database_.c_str(),
                       port_.c_str());
        if (session_) {
            g_log.DebugLvl(kInitLabel, 1, "connecting to DataBase = %s ", database_.c_str());
            session_.reset();
        }
        session_ = std::make_unique<libpqInterface>(binpath_, libpath_, database_, pguser_,
                                                    password_, port_, "", "", hostAddr, "", false);
        return 0;
    });
}

int ExecutePostgre::postgre_Query(const std::string& query) {
    g_log.DebugLvl(kQueryLabel, 4, "query = %s", query.c_str());
    if (!session_) {
        g_log.Error(kQueryLabel, "eRRoR -- no session; init must succeed first [%s]",
                    query.c_str());
        return -1;
    }
    if (!session_->ExecQuery(query)) {
        g_log.Error(kQueryLabel, "eRRoR -- failed to execute query[%s]", query.c_str());
        return -1;
    }
    Result_rows = session_->GetNumberOfTuples();
    Result_columns = session_->GetNumberOfFields();
    g_log.DebugLvl(kQueryLabel, 4, "Result_rows = %d Result_columns = %d", Result_rows,
                   Result_columns);
    if (EvDebug::currentLevel() >= 6) {
        for (int row = 0; row < Result_rows; ++row)
            for (int column = 0; column < Result_columns; ++column)
                g_log.DebugLvl(kQueryLabel, 6, "%d %d = %s", row, column,
                               session_->GetValue(row, column));
    }
    return 0;
}

int ExecutePostgre::getCol(int column, std::vector<std::string>& out) {
    out.clear();
    if (!session_) {
        g_log.Error(kGetColLabel, "eRRoR -- no session; init must succeed first");
        return -1;
    }
    if (Result_columns == 0)
        return 0;
    out.emplace_back("Dummy");
    g_log.DebugLvl(kGetColLabel, 4, "Colunm = %d", column);
    for (int row = 0; row < Result_rows; ++row) {
        const char* value = session_->GetValue(row, column);
        g_log.DebugLvl(kGetColLabel, 4, "Matrix[%d][%d][ %s ]", row, column, value);
        out.emplace_back(value);
    }
    return 0;
}

int ExecutePostgre::getRow(int row, std::vector<std::string>& out) {
    out.clear();
    if (!session_) {
        g_log.Error(kGetRowLabel, "eRRoR -- no session; init must succeed first");
        return -1;
    }
    g_log.DebugLvl(kGetRowLabel, 4, "Row = %d", row);
    if (Result_rows == 0)
        return 0;
    out.emplace_back("Dummy");
    for (int field = 0; field < Result_columns; ++field) {
        const char* value = session_->GetValue(row, field);
        g_log.DebugLvl(kGetRowLabel, 4, "Matrix[%d][%d][ %s ]", row, field, value);
        out.emplace_back(value);
    }
    return 0;
}

std::string ExecutePostgre::BuildPsqlCommand(const std::string& binpath, const std::string& pguser,
                                             const std::string& port, const std::string& database,
                                             const std::string& query) {
    // Every value is quoted, so none can be read by the shell as syntax. A database name
    // starting with "-" would be taken by psql for an option when positional; it goes after
    // -d instead, which always takes the next word as its value.
    std::string command = PGCommon::ShellQuote(binpath + "/psql");
    command += " -F ";
    command += PGCommon::ShellQuote(kFieldSeparator);
    command += " -U ";
    command += PGCommon::ShellQuote(pguser);
    command += " -p ";
    command += PGCommon::ShellQuote(port);
    command += database.compare(0, 1, "-") == 0 ? " -A -d " : " -A ";
    command += PGCommon::ShellQuote(database);
    command += " -c ";
    command += PGCommon::ShellQuote(query);
    return command;
}

std::vector<std::vector<std::string>> ExecutePostgre::ParsePsqlOutput(const std::string& output) {
    const std::string separator = kFieldSeparator;
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        // Text after the last newline is not a whole line and is dropped.
        std::string::size_type end = output.find('\n', start);
        if (end == std::string::npos)
            break;
        lines.push_back(output.substr(start, end - start) + separator);
        g_log.DebugLvl(kParseLabel, 2, "--line = [%s]", lines.back().c_str());
        start = end + 1;
    }
    // The parse needs a header and a footer; anything shorter (a command tag such as
    // "SET", or nothing) has no columns.
    if (lines.size() < 2) {
        g_log.DebugLvl(kParseLabel, 1, " Number of col = %d", 0);
        return {};
    }
    lines.pop_back(); // psql's row-count footer

    const std::vector<std::string> header = SplitFields(lines.front(), separator);
    for (size_t i = 0; i < header.size(); ++i)
        g_log.DebugLvl(kParseLabel, 4, "\tcol[%d] = [%s] ", static_cast<int>(i), header[i].c_str());
    g_log.DebugLvl(kParseLabel, 1, " Number of col = %d", static_cast<int>(header.size()));
    std::vector<std::vector<std::string>> columns(header.size());

    for (const std::string& line : lines)
        std::printf("[%s]\n", line.c_str());

    for (const std::string& line : lines) {
        std::vector<std::string> fields = SplitFields(line, separator);
        if (fields.size() > columns.size())
            g_log.DebugLvl(kParseLabel, 1,
                           "line has %d fields, more than the %d of the header; the rest is "
                           "dropped",
                           static_cast<int>(fields.size()), static_cast<int>(columns.size()));
        // Short lines are padded, so that every column keeps one value per line.
        fields.resize(columns.size());
        for (size_t i = 0; i < columns.size(); ++i) {
            g_log.DebugLvl(kParseLabel, 4, "\tcol[%d] = [%s] ", static_cast<int>(i),
                           fields[i].c_str());
            columns[i].push_back(std::move(fields[i]));
        }
    }
    for (const std::string& line : lines)
        g_log.DebugLvl(kParseLabel, 1, "Lline [ %s  ]", line.c_str());
    for (size_t i = 0; i < columns.size(); ++i) {
        std::printf("\n");
        for (size_t j = 0; j < columns[i].size(); ++j)
            g_log.DebugLvl(kParseLabel, 4, "Lcol[%d][%d]->[ %s ]", static_cast<int>(i),
                           static_cast<int>(j), columns[i][j].c_str());
    }
    std::fflush(stdout);
    return columns;
}

int ExecutePostgre::postgre_exe(const std::string& query) {
    // psql takes the login from the environment, so the password never reaches a command
    // line; the values stay set in the process afterwards.
    ::setenv("PGUSER", pguser_.c_str(), 1);
    ::setenv("PGPASSWORD", password_.c_str(), 1);

    const std::string command = BuildPsqlCommand(binpath_, pguser_, port_, database_, query);
    g_log.DebugLvl(kExeLabel, 4, "command = %s", command.c_str());

    std::string out;
    std::string err;
    int status = KxProcess::system(command, &out, &err, 0, false);
    if (status != 0) {
        g_log.DebugLvl(kExeLabel, 1, "[%s] failed command %s", out.c_str(), err.c_str());
        return -1;
    }
    LogPsqlMessages(kExeLabel, err);
    g_log.DebugLvl(kExeLabel, 4, "command %s %s", command.c_str(), out.c_str());

    psqlColumns_ = ParsePsqlOutput(out);
    Result_rows = static_cast<int>(psqlColumns_.size());
    Result_columns = psqlColumns_.empty() ? 0 : static_cast<int>(psqlColumns_.back().size());
    g_log.DebugLvl(kExeLabel, 1, "Result_rows = %d Result_columns = %d", Result_rows,
                   Result_columns);
    return 0;
}

int ExecutePostgre::getcol(int line, std::vector<std::string>& out) {
    // The bounds come from the kept output itself: a later postgre_Query changes the
    // dimensions but not the output.
    const int lines = psqlColumns_.empty() ? 0 : static_cast<int>(psqlColumns_.front().size());
    if (line < 0 || line >= lines) {
        g_log.DebugLvl(kGetcolLabel, 1, "line %d is outside the output (%d lines)", line, lines);
        return -1;
    }
    for (size_t column = 0; column < psqlColumns_.size(); ++column) {
        const std::string& value = psqlColumns_[column][static_cast<size_t>(line)];
        g_log.DebugLvl(kGetcolLabel, 4, "Col = %d, %s", static_cast<int>(column), value.c_str());
        out.push_back(value);
    }
    return 0;
}

int ExecutePostgre::getrow(int column, std::vector<std::string>& out) {
    g_log.DebugLvl(kGetrowLabel, 1, "row = %d", column);
    if (column < 0 || static_cast<size_t>(column) >= psqlColumns_.size()) {
        g_log.DebugLvl(kGetrowLabel, 1, "column %d is outside the output (%d columns)", column,
                       static_cast<int>(psqlColumns_.size()));
        return -1;
    }
    for (const std::string& value : psqlColumns_[static_cast<size_t>(column)]) {
        g_log.DebugLvl(kGetrowLabel, 2, "[ %s ]", value.c_str());
        out.push_back(value);
    }
    return 0;
}
