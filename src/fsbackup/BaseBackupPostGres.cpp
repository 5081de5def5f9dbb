#include "pgulo/BaseBackupPostGres.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/EvEvent.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

static EvDebug g_log(nullptr);

namespace {

const char* const kInitLabel = "BaseBackupPostGres::init";
const char* const kStartLabel = "BaseBackupPostGres::startBackup";
const char* const kStopLabel = "BaseBackupPostGres::stopBackup";
const char* const kCollectLabel = "BaseBackupPostGres::CreatePostGresCollectFile";
const char* const kContentLabel = "BaseBackupPostGres::getDirContent";
const char* const kWalkLabel = "BaseBackupPostGres::dirwalk";

} // namespace

BaseBackupPostGres::BaseBackupPostGres() = default;
BaseBackupPostGres::~BaseBackupPostGres() = default;

int BaseBackupPostGres::init(const std::string& programDir, const std::string& user,
                             const std::string& port, const std::string& unused,
                             const std::string& dataDir, const std::string& collectFile) {
    programDir_m = programDir;
    user_m = user;
    port_m = port;
    unused_m = unused;
    dataDir_m = dataDir;
    if (dataDir_m.size() > 1 && dataDir_m.back() == '/')
        dataDir_m.pop_back();
    collectFile_m = collectFile;
    g_log.DebugLvl(kInitLabel, 2, "programDir = %s user = %s port = %s dataDir = %s file = %s",
                   programDir_m.c_str(), user_m.c_str(), port_m.c_str(), dataDir_m.c_str(),
                   collectFile_m.c_str());
    return 0;
}

int BaseBackupPostGres::RunPsql(const char* label, const std::string& sql) {
    return PGGuard::OrReturn(g_log, label, -1, [&] {
        const std::string command =
            PGCommon::ShellQuote(programDir_m + "/psql") + " -U " + PGCommon::ShellQuote(user_m) +
            " -p " + PGCommon::ShellQuote(port_m) + " -A postgres -c \"" + sql + "\"";
        std::string out, err;
        if (KxProcess::system(command, &out, &err) != 0) {
            g_log.DebugLvl(label, 1, "[%s] failed command %s", err.c_str(), command.c_str());
            return -1;
        }
        g_log.DebugLvl(label, 1, "command [%s] [%s]", command.c_str(), out.c_str());
        // The server's notices (pg_stop_backup's word on the archive) come on stderr.
        if (!err.empty())
            g_log.Debug(label, "psql: %s", err.c_str());
        return 0;
    });
}

int BaseBackupPostGres::startBackup() {
    char jobId[32];
    std::snprintf(jobId, sizeof jobId, "%ld", static_cast<long>(EvEvent().getJobId()));
    return RunPsql(kStartLabel, std::string("SELECT pg_start_backup('label") + jobId + "')");
}

int BaseBackupPostGres::stopBackup() {
    return RunPsql(kStopLabel, "SELECT pg_stop_backup()");
}

int BaseBackupPostGres::CreatePostGresCollectFile() {
    return PGGuard::OrReturn(g_log, kCollectLabel, -1, [&] {
        UniqueFile file = UniqueFile::Open(collectFile_m, "wb+");
        if (!file) {
            g_log.DebugLvl(kCollectLabel, 1, " Error opening collect file %s: %s",
                           collectFile_m.c_str(), std::strerror(errno));
            return -1;
        }
        const int started = startBackup();
        if (started != 0) {
            g_log.DebugLvl(kCollectLabel, 1, "startBackup failed");
            return started;
        }
        for (std::string::size_type i = 0; i + 1 < dataDir_m.size(); ++i)
            if (dataDir_m[i] == '/')
                std::fprintf(file.get(), "%s\n", dataDir_m.substr(0, i + 1).c_str());

        int result = getDirContent(dataDir_m.c_str(), file.get());
        if (result != 0)
            g_log.DebugLvl(kCollectLabel, 1, "getDirContent failed with errno = %d", errno);

        // A collect file cut short by a full disk would leave files out of the backup
        // while reporting success.
        const bool writeFailed = std::ferror(file.get()) != 0;
        if (file.close() != 0 || writeFailed) {
            g_log.Error(kCollectLabel, "eRRoR -- writing collect file %s failed: %s",
                        collectFile_m.c_str(), std::strerror(errno));
            result = -1;
        }
        return result;
    });
}

int BaseBackupPostGres::getDirContent(const char* path, FILE* file) {
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        g_log.DebugLvl(kContentLabel, 1, "lstat[%s] with errno %d", path, errno);
        return -1;
    }
    g_log.DebugLvl(kContentLabel, 1, "[%s]", path);
    if (S_ISDIR(st.st_mode)) {
        std::fprintf(file, "%s\n", path);
        dirwalk(path, file);
    } else if (S_ISREG(st.st_mode)) {
        std::fprintf(file, "%s\n", path);
    }
    return 0;
}

int BaseBackupPostGres::dirwalk(const char* dir, FILE* file) {
    UniqueDir directory(::opendir(dir));
    if (!directory) {
        g_log.DebugLvl(kWalkLabel, 1, "opendir[%s] with errno %d", dir, errno);
        return 0;
    }
    while (const struct dirent* entry = ::readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        // One line per path: a name holding a newline would read as two paths, the second
        // of the name's choosing.
        if (std::strchr(entry->d_name, '\n') != nullptr) {
            g_log.Error(kWalkLabel, "eRRoR -- [%s/...] holds a name with a newline; left out", dir);
            continue;
        }
        // Built to any length: a cut path would name another file. One too long for the
        // system fails lstat and is logged and left out.
        const std::string path = std::string(dir) + "/" + entry->d_name;
        getDirContent(path.c_str(), file);
    }
    return 1;
}
