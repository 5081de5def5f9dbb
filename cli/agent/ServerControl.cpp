#include "ServerControl.h"

#include "CliError.h"
#include "FileOps.h"
#include "ServerInfo.h"
#include "Subprocess.h"

#include "pgulo/PGCommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

ServerControl::ServerControl(std::string binDir, std::string dataDirectory, std::string osUser)
    : binDir_(std::move(binDir)), dataDirectory_(std::move(dataDirectory)),
      osUser_(std::move(osUser)) {}

void ServerControl::Start(const std::string& logFile, const std::vector<std::string>& serverOptions,
                          int waitSeconds) const {
    // The log belongs to the server's user, who appends to it.
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        throw CliError("cannot create the server log " + logFile + ": " +
                       FileOps::ErrnoText(errno));
    ::close(fd);
    const long uid = FileOps::UidOf(osUser_);
    if (uid >= 0 && ::chown(logFile.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(-1)) != 0)
        throw CliError("cannot give " + logFile + " to " + osUser_ + ": " +
                       FileOps::ErrnoText(errno));
    std::string options;
    // pg_ctl hands -o to a shell: every word goes through the agent's one quoting helper.
    for (const std::string& word : serverOptions)
        options += (options.empty() ? "" : " ") + PGCommon::ShellQuote(word);
    std::vector<std::string> argv = {
        binDir_ + "/pg_ctl",        "-D", dataDirectory_, "-l", logFile, "-w", "-t",
        std::to_string(waitSeconds)};
    if (!options.empty()) {
        argv.push_back("-o");
        argv.push_back(options);
    }
    argv.push_back("start");
    Subprocess::Options o;
    o.asUser = ::geteuid() == 0 ? osUser_ : "";
    o.cwd = "/";
    o.timeout = std::chrono::seconds(waitSeconds + 30);
    const Subprocess::Result r = Subprocess::Run(argv, o);
    if (!r.ok())
        throw CliError("the server did not start (" + r.Message() + ")\n" + Tail(logFile));
}

void ServerControl::Stop(const std::string& mode) const {
    Subprocess::Options o;
    o.asUser = ::geteuid() == 0 ? osUser_ : "";
    o.cwd = "/";
    o.timeout = std::chrono::seconds(180);
    const Subprocess::Result r = Subprocess::Run(
        {binDir_ + "/pg_ctl", "-D", dataDirectory_, "-m", mode, "-w", "-t", "120", "stop"}, o);
    if (!r.ok())
        throw CliError("the server at " + dataDirectory_ + " did not stop: " + r.Message());
}

bool ServerControl::Running() const {
    return ServerInfo::IsRunning(dataDirectory_);
}

bool ServerControl::WaitForFile(const std::string& path, int seconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (FileOps::Exists(path))
            return true;
        if (!Running())
            return FileOps::Exists(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

std::string ServerControl::Tail(const std::string& logFile, std::size_t bytes) {
    std::string text;
    try {
        text = FileOps::ReadWhole(logFile);
    } catch (const std::exception&) {
        return "";
    }
    if (text.size() > bytes)
        text = "...\n" + text.substr(text.size() - bytes);
    return "server log " + logFile + ":\n" + text;
}
