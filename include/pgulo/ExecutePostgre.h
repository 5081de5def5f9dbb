#pragma once

#include "pgulo/Export.h"

#include <memory>
#include <string>
#include <vector>

class libpqInterface;

// The query object of the restore and browse side: one instance's connection settings, and
// two ways to answer a query. postgre_Query runs it through a libpq session (read back with
// getCol / getRow); postgre_exe runs it through the cluster's psql and splits its unaligned
// output into columns (read back with getcol / getrow). Both hand back vectors whose element
// 0 is a placeholder (or the column name), so data values start at index 1.
class PGULO_API ExecutePostgre {
public:
    // Put between the fields of psql's unaligned output.
    static const char* const kFieldSeparator;

    ExecutePostgre();
    // Stores the settings (hostAddr is not kept); no session is opened.
    ExecutePostgre(const std::string& libpath, const std::string& binpath,
                   const std::string& pguser, const std::string& password,
                   const std::string& database, const std::string& hostAddr,
                   const std::string& port);
    ~ExecutePostgre();

    ExecutePostgre(const ExecutePostgre&) = delete;
    ExecutePostgre& operator=(const ExecutePostgre&) = delete;

    // Stores the settings and opens a new session (replacing any earlier one). hostAddr is the
    // only network target; one beginning with "/" is a socket directory. 0, or -1 on failure.
    int init(const std::string& libpath, const std::string& binpath, const std::string& pguser,
             const std::string& password, const std::string& database, const std::string& hostAddr,
             const std::string& port);

    // One statement through the session; 0, or -1 when the statement failed or there is no
    // session. Session exceptions (a lost connection) pass to the caller.
    int postgre_Query(const std::string& query);
    // The session's current result: "Dummy" then the column's values row by row / the row's
    // values field by field. A position outside the result throws the session's access
    // exception. 0, or -1 without a session.
    int getCol(int column, std::vector<std::string>& out);
    int getRow(int row, std::vector<std::string>& out);

    // One statement through <binpath>/psql; PGUSER and PGPASSWORD are set in the process
    // environment for it. 0 (the parsed output kept), or -1 when psql failed (the previous
    // output kept).
    int postgre_exe(const std::string& query);
    // Appends the value of every column at index line (0: the column names, 1: the first data
    // line). Appends every value of one column, its name first. Neither clears out first.
    // 0, or -1 (out unchanged) for a position outside the output.
    int getcol(int line, std::vector<std::string>& out);
    int getrow(int column, std::vector<std::string>& out);

    // After postgre_Query: rows and fields of the result. After postgre_exe: columns, and
    // values per column (header line included).
    int GetResultRows() const { return Result_rows; }
    int GetResultColumns() const { return Result_columns; }

    // The session opened by init, or null.
    libpqInterface* GetSession() const { return session_.get(); }

    // Splits psql's unaligned output (header, data lines, footer) into columns, each holding
    // its name first and then one value per data line. Fewer than two lines give no columns;
    // fields beyond the header's count are dropped and missing ones are empty.
    static std::vector<std::vector<std::string>> ParsePsqlOutput(const std::string& output);
    // The command line postgre_exe runs, with every value quoted for the shell.
    static std::string BuildPsqlCommand(const std::string& binpath, const std::string& pguser,
                                        const std::string& port, const std::string& database,
                                        const std::string& query);

private:
    std::unique_ptr<libpqInterface> session_;
    std::vector<std::vector<std::string>> psqlColumns_;
    std::string libpath_;
    std::string binpath_;
    std::string pguser_;
    std::string password_;
    std::string port_;
    std::string database_;
    int Result_rows = 0;
    int Result_columns = 0;
};
