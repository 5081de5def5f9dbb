#include "pgulo/PostgresChildProcess.h"

#include "pgulo/host/EvEvent.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* const kInitialize = "PostgresChildProcess::Initialize";
const char* const kCreate = "PostgresChildProcess::PGCreateProcess";
const char* const kWrite = "PostgresChildProcess::WriteBuf";
const char* const kRead = "PostgresChildProcess::ReadBuf";
const char* const kCloseInput = "PostgresChildProcess::CloseInput";
const char* const kWait = "PostgresChildProcess::Wait";

// Makes fd the standard descriptor target. dup2 clears close-on-exec on the copy; a pipe end
// that already is the target keeps its own flag, which has to be cleared by hand.
bool MoveTo(int fd, int target) {
    if (fd == target) {
        int flags = ::fcntl(fd, F_GETFD);
        return flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
    }
    while (::dup2(fd, target) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// "NAME=value" with a non-empty name.
bool IsEnvironmentEntry(const std::string& entry) {
    std::string::size_type equals = entry.find('=');
    return equals != std::string::npos && equals > 0;
}

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

} // namespace

PostgresChildProcess::PostgresChildProcess() = default;

PostgresChildProcess::~PostgresChildProcess() {
    m_filedesPW.write.reset();
    m_filedesCW.read.reset();
    // A child that has ended is reaped; one still running is not waited for, so that a
    // destructor can never hang on a child that ignores its closed input.
    if (childPid_ > 0 && !waited_) {
        int status = 0;
        ::waitpid(childPid_, &status, WNOHANG);
    }
}

const EvEvent& PostgresChildProcess::Log() const {
    static const EvEvent fallback;
    return log_ ? *log_ : fallback;
}

int PostgresChildProcess::Initialize(const std::string& path,
                                     const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment) {
    path_ = path;
    arguments_ = arguments;
    environment_ = environment;
    log_ = std::make_unique<EvEvent>();
    for (size_t i = 0; i < arguments_.size(); ++i)
        log_->Debug(kInitialize, "arg[%d] = %s", static_cast<int>(i), arguments_[i].c_str());
    return 0;
}

int PostgresChildProcess::PGCreateProcess() {
    if (childPid_ > 0 && !waited_) {
        lastError_ = EBUSY;
        Log().Debug(kCreate, "a child (pid %d) is still running", static_cast<int>(childPid_));
        return -1;
    }
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        lastError_ = errno;
        Log().Debug(kCreate, "signal failed: errno=%d", lastError_);
        return -1;
    }
    if (!m_filedesCW.open()) {
        lastError_ = errno;
        Log().Debug(kCreate, "pipe(m_filedesCW) call failed when creating m_phpipecw : errno=%d",
                    lastError_);
        return -1;
    }
    if (!m_filedesPW.open()) {
        lastError_ = errno;
        Log().Debug(kCreate, "pipe(m_filedesPW) call failed when creating m_phpipecw : errno=%d",
                    lastError_);
        m_filedesCW.read.reset();
        m_filedesCW.write.reset();
        return -1;
    }

    // Everything the child needs is built here: between fork and exec the child may only make
    // async-signal-safe calls, as another thread of the host can hold the allocator's or the
    // logger's lock at the moment of the fork. So the child neither allocates nor logs.
    std::vector<std::string> argumentCopies = arguments_;
    if (argumentCopies.empty())
        argumentCopies.push_back(path_);
    std::vector<char*> argv;
    for (size_t i = 0; i < argumentCopies.size(); ++i) {
        if (!arguments_.empty())
            Log().Debug(kCreate, "arg[%d] = %s", static_cast<int>(i), argumentCopies[i].c_str());
        argv.push_back(argumentCopies[i].data());
    }
    argv.push_back(nullptr);
    if (!arguments_.empty())
        Log().Debug(kCreate, "size of args: %d", static_cast<int>(arguments_.size()));

    // The child's environment: ours, with the given entries added or replacing ours.
    bool environmentValid = true;
    std::vector<std::string> names;
    for (const std::string& entry : environment_) {
        if (!IsEnvironmentEntry(entry)) {
            environmentValid = false;
            Log().Debug(kCreate, "putenv failed with error: %d", EINVAL);
            continue;
        }
        names.push_back(NameOf(entry) + "=");
    }
    std::vector<std::string> environmentCopies;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        bool replaced = false;
        for (const std::string& prefix : names)
            replaced = replaced || std::strncmp(*variable, prefix.c_str(), prefix.size()) == 0;
        if (!replaced)
            environmentCopies.emplace_back(*variable);
    }
    for (const std::string& entry : environment_) {
        if (IsEnvironmentEntry(entry))
            environmentCopies.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environmentCopies)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    Log().Debug(kCreate, "Before fork ");
    Log().Debug(kCreate, "Child exec %s", path_.c_str());
    pid_t pid = ::fork();
    if (pid < 0) {
        lastError_ = errno;
        Log().Debug(kCreate, "fork failed: errno=%d", lastError_);
        m_filedesCW.read.reset();
        m_filedesCW.write.reset();
        m_filedesPW.read.reset();
        m_filedesPW.write.reset();
        return -1;
    }
    if (pid == 0) {
        if (!MoveTo(m_filedesPW.read.get(), STDIN_FILENO) ||
            !MoveTo(m_filedesCW.write.get(), STDOUT_FILENO) ||
            !MoveTo(m_filedesCW.write.get(), STDERR_FILENO))
            ::_exit(kExitDupFailed);
        if (!environmentValid)
            ::_exit(kExitEnvFailed);
        ::closefrom(3);
        ::execve(path_.c_str(), argv.data(), envp.data());
        ::_exit(kExitExecFailed);
    }

    childPid_ = pid;
    waited_ = false;
    Log().Debug(kCreate, "Parent: child pid= %d", static_cast<int>(pid));
    m_filedesPW.read.reset();
    m_filedesCW.write.reset();
    return 0;
}

int PostgresChildProcess::WriteBuf(char* buffer, long length) {
    if (m_filedesPW.write.get() < 0 || buffer == nullptr || length < 0) {
        lastError_ = m_filedesPW.write.get() < 0 ? EBADF : EINVAL;
        Log().Debug(kWrite, "write failed: errno=%d", lastError_);
        return -1;
    }
    ssize_t written;
    do {
        written = ::write(m_filedesPW.write.get(), buffer, static_cast<size_t>(length));
    } while (written < 0 && errno == EINTR);
    if (written != length) {
        lastError_ = written < 0 ? errno : EIO;
        Log().Debug(kWrite, "write failed: errno=%d", lastError_);
        return -1;
    }
    Log().Debug(kWrite, "wrote %ld bytes", length);
    return 0;
}

int PostgresChildProcess::ReadBuf(char* buffer, long* length) {
    if (m_filedesCW.read.get() < 0 || buffer == nullptr || length == nullptr || *length <= 0) {
        lastError_ = m_filedesCW.read.get() < 0 ? EBADF : EINVAL;
        Log().Debug(kRead, "read failed: errno=%d", lastError_);
        return -1;
    }
    std::memset(buffer, 0, static_cast<size_t>(*length));
    ssize_t count;
    do {
        count = ::read(m_filedesCW.read.get(), buffer, static_cast<size_t>(*length));
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        *length = static_cast<long>(count);
        return 0;
    }
    if (count == 0) {
        // The child closed its output: reported as a broken pipe, the end of the exchange.
        lastError_ = EPIPE;
        return -1;
    }
    lastError_ = errno;
    Log().Debug(kRead, "read failed: errno=%d", lastError_);
    return -1;
}

int PostgresChildProcess::CloseInput() {
    if (m_filedesPW.write.get() < 0) {
        lastError_ = EBADF;
        return -1;
    }
    m_filedesPW.write.reset();
    Log().Debug(kCloseInput, "closed the child's input");
    return 0;
}

int PostgresChildProcess::Wait(unsigned int /*unused*/) {
    lastError_ = 0;
    if (childPid_ <= 0 || waited_) {
        lastError_ = ECHILD;
        Log().Debug(kWait, "waitpid failed: errno=%d", lastError_);
        return -1;
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(childPid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        lastError_ = errno;
        Log().Debug(kWait, "waitpid failed: errno=%d", lastError_);
        return -1;
    }
    waited_ = true;

    const int signalField = status & 0x7f;
    if (signalField == 0x7f) {
        if ((status & 0xff) == 0x7f)
            Log().Debug(kWait, "Child stopped with signal %d", (status >> 8) & 0xff);
        else
            Log().Debug(kWait, "Child unknown error");
        return -1;
    }
    if (signalField != 0) {
        Log().Debug(kWait, "Child died after receiving signal %d%s", signalField,
                    (status & 0x80) != 0 ? " (core file generated)" : "");
        return -1;
    }
    const int code = (status >> 8) & 0xff;
    if (code == 0) {
        Log().Debug(kWait, "Child OK");
        return 0;
    }
    Log().Debug(kWait, "Exit status 0x%X (return %d 0x%X)", static_cast<unsigned>(status), code,
                static_cast<unsigned>(code));
    if (code == kExitEnvFailed) {
        Log().Debug(kWait, "Env failed");
        lastError_ = -1;
    } else if (code > kExitEnvFailed) {
        lastError_ = code;
        Log().Debug(kWait, "Child exited with error: %d", code);
    } else if (code == kExitDupFailed) {
        Log().Debug(kWait, "Dup failed");
        lastError_ = -1;
    } else if (code == kExitExecFailed) {
        Log().Debug(kWait, "Exec failed");
        lastError_ = -1;
    } else {
        lastError_ = code;
        Log().Debug(kWait, "Child exited with error: %d", code);
    }
    return -1;
}

int PostgresChildProcess::GetLastErr() {
    lastError_ = errno;
    return lastError_;
}

int PostgresChildProcess::GetLastErrNo() {
    return lastError_;
}
