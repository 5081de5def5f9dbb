#include "pgulo/PGCommon.h"

#include "common/PGGuard.h"
#include "pgulo/PGException.h"
#include "pgulo/host/CRoFile.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/FXString.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPI_CommClient.h"
#include "pgulo/host/KXPI_Focus.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/host/RONET.h"
#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelReadUserConfiguration = "PGCommon :: ReadUserConfiguration";
const char* const kLabelReadConfigFromFile = "PGCommon :: ReadConfigFromFile";
const char* const kLabelReadTokenFromFile = "PGCommon :: ReadTokenFromFile";
const char* const kLabelGenerateLogBackupFile = "PGCommon :: GenerateLogBackupFile";
const char* const kLabelGenerateConfigFile = "PGCommon :: GenerateConfigFile";
const char* const kLabelSetEnv = "PGCommon :: SetEnv";
const char* const kLabelGetEnv = "PGCommon :: GETENVIRONMENTVARIABLE";
const char* const kLabelSetEnvVar = "PGCommon :: SETENVIRONMENTVARIABLE";
const char* const kLabelRunCommand = "PGCommon :: RunUnixCommandErrorOutputInFile";
const char* const kLabelCopyFile = "PGCommon :: CopyFile";
const char* const kLabelConvertHostToIP = "PGCommon :: ConvertHostToIP";

// Environment values of password variables never reach the log.
std::string LoggableValue(const std::string& name, const std::string& value) {
    std::string upper;
    for (char c : name)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return upper.find("PASSWORD") == std::string::npos ? value : std::string("********");
}

} // namespace

void PGCommon::ReadUserConfiguration(const std::string& directory, const std::string& port,
                                     std::map<std::string, std::string>* options) {
    PGGuard::Rethrow(g_log, kLabelReadUserConfiguration, [&] {
        const std::string path = directory + "/postgres_" + port;
        // The file is optional: without it every switch stays off.
        if (::access(path.c_str(), R_OK) != 0) {
            g_log.DebugLvl(kLabelReadUserConfiguration, 2, "No agent configuration file [%s]",
                           path.c_str());
            return;
        }
        UniqueFile file = UniqueFile::Open(path, "r");
        if (!file) {
            g_log.Error(kLabelReadUserConfiguration, "fopen failed on [%s]. errno:%d", path.c_str(),
                        errno);
            throw PGException(kLabelReadUserConfiguration, PG_EXCEPTION_SYSTEM, "fopen failed");
        }
        ReadConfigFromFile(file.get(), options);
    });
}

void PGCommon::ReadConfigFromFile(FILE* file, std::map<std::string, std::string>* options) {
    PGGuard::Rethrow(g_log, kLabelReadConfigFromFile, [&] {
        if (file == nullptr || options == nullptr) {
            g_log.Error(kLabelReadConfigFromFile, "eRRoR -- No configuration file or map given");
            return;
        }
        std::string line;
        while (UniqueFile::ReadLine(file, line)) {
            const std::string::size_type colon = line.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == line.size())
                continue;
            std::string token = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            if (options->emplace(token, value).second)
                g_log.DebugLvl(kLabelReadConfigFromFile, 2, "Token[%s] Value[%s]", token.c_str(),
                               value.c_str());
        }
    });
}

int PGCommon::ReadTokenFromFile(FILE* file, const std::string& token, std::string* value) {
    return PGGuard::Rethrow(g_log, kLabelReadTokenFromFile, [&]() -> int {
        if (file == nullptr || value == nullptr)
            return 0;
        std::rewind(file);
        std::string line;
        while (UniqueFile::ReadLine(file, line)) {
            if (line.size() <= token.size())
                continue;
            if (line.compare(0, token.size(), token) == 0) {
                // The character after the token is its separator, whatever it is.
                *value = line.substr(token.size() + 1);
                return 1;
            }
        }
        return 0;
    });
}

void PGCommon::GenerateLogBackupFile(const std::string& directory, std::uint64_t /*jobId*/,
                                     std::string& name) {
    PGGuard::Rethrow(g_log, kLabelGenerateLogBackupFile,
                     [&] { name = directory + "/" + "PGLogNumberStore" + ".txt"; });
}

void PGCommon::GenerateConfigFile(const std::string& directory, std::uint64_t jobId,
                                  const std::string& baseName, std::string& name) {
    PGGuard::Rethrow(g_log, kLabelGenerateConfigFile, [&] {
        name = directory + "/" + baseName + "_" + std::to_string(jobId) + ".txt";
    });
}

std::string PGCommon::GetArchDelFileName(const std::string& directory) {
    return directory + "/" + "PGArchDelList.kxf";
}

std::string PGCommon::GetPGJobResultsDir(unsigned long number, long long jobId) {
    const std::string resultsDirectory =
        KXPI_CommClient::getJobResultsDirectory(KXPI_Focus::getFocusClientName(true));
    return FXString::Format("%s%sKX_JobResults%s%lu%s0%s%lld", resultsDirectory.c_str(), "/", "/",
                            number, "/", "/", jobId);
}

void PGCommon::SetEnv(const std::string& name, const std::string& value) {
    g_log.DebugLvl(kLabelSetEnv, 2, "name [%s] -> value [%s]", name.c_str(),
                   LoggableValue(name, value).c_str());
    std::string current;
    GETENVIRONMENTVARIABLE(name, current);
    std::string updated;
    if (current.empty()) {
        updated = value;
    } else if (current.find(value + ":") != std::string::npos) {
        g_log.Debug(kLabelSetEnv, " Skipping, current value [%s] already contains [%s]",
                    LoggableValue(name, current).c_str(), LoggableValue(name, value).c_str());
        return;
    } else {
        updated = current + ":" + value;
    }
    g_log.Debug(kLabelSetEnv, " setenv [%s] = [%s] ", name.c_str(),
                LoggableValue(name, updated).c_str());
    // SETENVIRONMENTVARIABLE logs its own failure.
    SETENVIRONMENTVARIABLE(name, updated);
}

void PGCommon::GETENVIRONMENTVARIABLE(const std::string& name, std::string& value) {
    const char* current = std::getenv(name.c_str());
    if (current == nullptr) {
        g_log.DebugLvl(kLabelGetEnv, 2, "GetEnvironmentVariable returned NULL. [%s] is not set",
                       name.c_str());
        return;
    }
    value = current;
    g_log.DebugLvl(kLabelGetEnv, 2, "Environment variable %s = [%s]", name.c_str(),
                   LoggableValue(name, value).c_str());
}

bool PGCommon::SETENVIRONMENTVARIABLE(const std::string& name, const std::string& value) {
    // setenv keeps its own copy for the life of the process, as putenv of a heap copy would,
    // without losing the previous copy each time a variable is set again.
    if (::setenv(name.c_str(), value.c_str(), 1) != 0) {
        g_log.Error(kLabelSetEnvVar, "SETENVIRONMENTVARIABLE [%s]=[%s]  failed. Error code [%d]",
                    name.c_str(), LoggableValue(name, value).c_str(), errno);
        return false;
    }
    return true;
}

int PGCommon::RunUnixCommandErrorOutputInFile(const std::string& command,
                                              const std::string& /*unused*/, const std::string& tag,
                                              std::string& errorText) {
    g_log.Debug(kLabelRunCommand, "Command = %s", command.c_str());
    const long processId = static_cast<long>(::getpid());
    const long jobId = static_cast<long>(EvDebug::getJobId());

    const std::string directory =
        KXPI_CommClient::getJobResultsDirectory(KXPI_Focus::getFocusClientName(true)) +
        "/KX_JobResults/2/0/" + std::to_string(jobId);
    const std::string errorFile =
        directory + FXString::Format("/%s_%ld_%ld", tag.c_str(), jobId, processId);
    // Without the directory the shell could not open the error file and would not run the
    // command at all.
    if (!HostHome::ensureDirectory(directory))
        g_log.Error(kLabelRunCommand, "eRRoR -- Unable to create directory [%s]. errno:%d",
                    directory.c_str(), errno);

    const std::string commandLine = command + " 2>> " + ShellQuote(errorFile);
    g_log.Debug(kLabelRunCommand, "Output in file [%s]", errorFile.c_str());

    std::string output;
    std::string errors;
    const int status = KxProcess::system(commandLine, &output, &errors, 0, false);
    g_log.Debug(kLabelRunCommand, "%s %d ", commandLine.c_str(), status);
    if (status == 0)
        return 0;

    std::string contents;
    CRoError readError = CRoFile::ReadWholeFile(errorFile, contents);
    if (readError.IsError()) {
        g_log.Error(kLabelRunCommand, "Unable to read from file [%s].Error [%s]", errorFile.c_str(),
                    readError.AsString().c_str());
        return -1;
    }
    if (!contents.empty())
        errorText = contents;
    g_log.Error(kLabelRunCommand,
                "System command [%s] failed, ret = %d err = [%s]. Check [%s] for detail error",
                command.c_str(), status, errorText.c_str(), errorFile.c_str());
    return status;
}

int PGCommon::CopyFile(const std::string& source, const std::string& destination) {
    const std::string command = "cp -f " + ShellQuote(source) + " " + ShellQuote(destination);
    g_log.Debug(kLabelCopyFile, "Command [%s]", command.c_str());
    const int status = std::system(command.c_str());
    if (status != 0) {
        g_log.Error(kLabelCopyFile, "System command [%s] failed. Retcode [%d]", command.c_str(),
                    status);
        return -1;
    }
    return 0;
}

void PGCommon::ParseHostAndPort(const std::string& text, std::string& host, std::string& port) {
    const std::string::size_type colon = text.find(':');
    if (colon == std::string::npos)
        return;
    host = text.substr(0, colon);
    if (colon + 1 < text.size())
        port = text.substr(colon + 1);
}

std::string PGCommon::ConvertHostToIP(const std::string& host) {
    RONET_ip address;
    if (RONET_str2ip(host.c_str(), &address) != 0) {
        RONET_hostent resolved;
        if (RONET_name2ip(host.c_str(), &resolved) != 0 || resolved.addresses.empty()) {
            g_log.DebugLvl(kLabelConvertHostToIP, 2, "Unable to resolve [%s]", host.c_str());
            RONET_freehostent(&resolved);
            return host;
        }
        address = resolved.addresses.front();
        RONET_freehostent(&resolved);
    }
    char buffer[256] = {0};
    if (RONET_ip2str(&address, buffer, static_cast<int>(sizeof buffer)) != 0) {
        g_log.DebugLvl(kLabelConvertHostToIP, 2, "Unable to print the address of [%s]",
                       host.c_str());
        return host;
    }
    return buffer;
}

void PGCommon::FixDirPath(std::string& /*path*/) {}
