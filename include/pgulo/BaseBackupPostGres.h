#pragma once

#include "pgulo/Export.h"

#include <cstdio>
#include <string>

// A stand-alone base backup for hosts that do not run the full backup job: backup mode is
// started and ended by running psql, and the collect file is a plain list of the data
// directory's parent directories, the data directory and every directory and regular file
// below it. Links are neither listed nor followed.
//
// Status codes: 0 success, -1 failure; nothing is thrown.
class PGULO_API BaseBackupPostGres {
public:
    BaseBackupPostGres();
    ~BaseBackupPostGres();

    BaseBackupPostGres(const BaseBackupPostGres&) = delete;
    BaseBackupPostGres& operator=(const BaseBackupPostGres&) = delete;

    // programDir holds psql; unused is kept but not used; one trailing "/" of dataDir is
    // dropped. 0.
    int init(const std::string& programDir, const std::string& user, const std::string& port,
             const std::string& unused, const std::string& dataDir, const std::string& collectFile);
    // pg_start_backup under the label "label" + job id, through psql.
    int startBackup();
    // pg_stop_backup, through psql.
    int stopBackup();
    // Starts backup mode and writes the collect file.
    int CreatePostGresCollectFile();
    // Lists every entry of dir into file: 1 when the directory was listed, 0 when it could
    // not be opened.
    int dirwalk(const char* dir, FILE* file);
    // Writes the path when it is a directory (then walks it) or a regular file: 0, or -1
    // when lstat fails.
    int getDirContent(const char* path, FILE* file);

private:
    int RunPsql(const char* label, const std::string& sql);

    std::string programDir_m;
    std::string user_m;
    std::string unused_m;
    std::string port_m;
    std::string collectFile_m;
    std::string dataDir_m;
};
