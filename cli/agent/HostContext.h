#pragma once

#include <string>

// The host's side of a job: its home directory (the property store, registry, logs and job
// results of libpgulo_host), the backup repository, the configuration directory the agent
// reads its per-instance switches from, and the job's identity in the debug log.
class HostContext {
public:
    // An empty repository means <host home>/repo.
    explicit HostContext(std::string repository = "");

    const std::string& Repository() const { return repository_; }
    // <host home>/config: holds the agent configuration files "postgres_<port>".
    static std::string ConfigDirectory();
    // The client record of this machine, created on first use.
    static unsigned long long ClientId();
    static std::string ClientName();

    // A job number no earlier job of this host used; lines of the debug log carry it.
    static unsigned long long BeginJob();
    // The job results directory of a job, created empty.
    static std::string JobResultsDirectory(unsigned long long instanceId, unsigned long long jobId);

    // Host registry values this host relies on, set when the administrator has not.
    static void ApplyRegistryDefaults();

    // The agent's last-error text, cleared before each call into the agent so that an old
    // text is never shown for a new failure.
    static void ClearAgentError();
    static std::string AgentError();
    // "<what>: <agent's text>" or, without a text, a pointer to the job's debug log.
    static std::string AgentFailure(const std::string& what);

private:
    std::string repository_;
};
