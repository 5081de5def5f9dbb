#include "HostContext.h"

#include "FileOps.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/PropertyStore.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

unsigned long long g_job = 0;

// How often the agent looks for a WAL segment on its way into the archive.
constexpr long kArchivePollMs = 50;

std::string MachineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

} // namespace

HostContext::HostContext(std::string repository) : repository_(std::move(repository)) {
    if (repository_.empty())
        repository_ = HostHome::root() + "/repo";
    // An object store's address (s3://...) is no path.
    if (repository_.find("://") == std::string::npos)
        repository_ = FileOps::Absolute(repository_);
}

std::string HostContext::ConfigDirectory() {
    const std::string dir = HostHome::root() + "/config";
    if (!HostHome::ensureDirectory(dir))
        throw std::runtime_error("cannot create " + dir);
    return dir;
}

std::string HostContext::ClientName() {
    return MachineName();
}

unsigned long long HostContext::ClientId() {
    PropertyStore store;
    PropertyStore::ClientRecord client;
    if (store.findClientByName(ClientName(), client) == 0)
        return client.id;
    client = PropertyStore::ClientRecord();
    client.name = ClientName();
    const int rc = store.addClient(client);
    if (rc != 0)
        throw std::runtime_error("cannot record this machine in the property store under " +
                                 store.directory() + ": " + FileOps::ErrnoText(rc));
    return client.id;
}

unsigned long long HostContext::BeginJob() {
    // Milliseconds since the epoch: unique across the runs of one host, and readable.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    unsigned long long id = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    if (id <= g_job)
        id = g_job + 1;
    g_job = id;
    EvDebug::setJobContext(ClientName(), static_cast<long long>(id));
    return id;
}

std::string HostContext::JobResultsDirectory(unsigned long long instanceId,
                                             unsigned long long jobId) {
    const std::string dir = PGCommon::GetPGJobResultsDir(static_cast<unsigned long>(instanceId),
                                                         static_cast<long long>(jobId));
    FileOps::RemoveTree(dir);
    if (!HostHome::ensureDirectory(dir))
        throw std::runtime_error("cannot create the job results directory " + dir);
    return dir;
}

void HostContext::ApplyRegistryDefaults() {
    KXPlatformInfo registry;
    long value = 0;
    // A full backup keeps the WAL of its own range; without this the agent would take the
    // whole archive with every full backup.
    if (!registry.getNumber("PostGres", "nDoNotBackupAllLogs", value))
        registry.setNumber("PostGres", "nDoNotBackupAllLogs", 1);
    // The agent looks for the last WAL segment of a log backup once a minute by default; the
    // segment is normally archived within a second of the switch, so a command-line backup
    // looks every second instead of idling.
    if (!registry.getNumber("PostGres", "nWaitForEndLogPollSecs", value))
        registry.setNumber("PostGres", "nWaitForEndLogPollSecs", 1);
    // Even a second is most of a small backup's time: the agent looks every 50 ms within it,
    // and waits for the archive itself rather than in the server's whole seconds.
    if (!registry.getNumber("PostGres", "nWaitForEndLogPollMs", value))
        registry.setNumber("PostGres", "nWaitForEndLogPollMs", kArchivePollMs);
}

void HostContext::ClearAgentError() {
    PGLastError("");
    SetPGLastErrCode(0);
}

std::string HostContext::AgentError() {
    const char* text = PGLastError(nullptr);
    return text ? std::string(text) : std::string();
}

std::string HostContext::AgentFailure(const std::string& what) {
    std::string text = AgentError();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (!text.empty())
        return what + ": " + text;
    return what + " (details in " + EvDebug::logFilePath() + ")";
}
