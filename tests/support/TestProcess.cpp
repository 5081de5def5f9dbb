#include "TestProcess.h"

#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

extern char** environ;

namespace pgulo::test {

namespace {

UniquePipe makePipe() {
    UniquePipe ends;
    if (!ends.open()) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    return ends;
}

std::string currentUserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : std::string();
}

// Resolved before fork: the child may only make async-signal-safe calls, and execvp is not one.
std::string resolveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    throw std::runtime_error("program not found in PATH: " + name);
}

std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = entry.substr(0, eq);
        if (options.scrubPgEnv && key.size() > 2 && key.compare(0, 2, "PG") == 0) {
            continue;
        }
        vars[key] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : options.env) {
        vars[key] = value;
    }
    std::vector<std::string> result;
    result.reserve(vars.size());
    for (const auto& [key, value] : vars) {
        result.push_back(key + "=" + value);
    }
    return result;
}

std::vector<char*> toCharPointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Only async-signal-safe calls from here on: the parent may have other threads.
[[noreturn]] void childExec(const char* program, char* const* argv, char* const* envp,
                            const char* cwd, int stdinFd, int stdoutFd, int stderrFd, int errorFd) {
    ::setpgid(0, 0);
    if (::dup2(stdinFd, STDIN_FILENO) < 0 || ::dup2(stdoutFd, STDOUT_FILENO) < 0 ||
        ::dup2(stderrFd, STDERR_FILENO) < 0) {
        int err = errno;
        (void)!::write(errorFd, &err, sizeof err);
        ::_exit(127);
    }
    if (cwd != nullptr && ::chdir(cwd) != 0) {
        int err = errno;
        (void)!::write(errorFd, &err, sizeof err);
        ::_exit(127);
    }
    // Reset signal state the test runner may have changed; pg_ctl relies on default SIGCHLD.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program, argv, envp);
    int err = errno;
    (void)!::write(errorFd, &err, sizeof err);
    ::_exit(127);
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

} // namespace

std::string shellQuote(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "@%+=:,./_-") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

std::string describeCommand(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& word : argv) {
        if (!line.empty()) {
            line += ' ';
        }
        line += shellQuote(word);
    }
    return line;
}

bool isProcessAlive(long pid) {
    if (pid <= 0) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The state follows the parenthesised command name, which may itself contain ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return true;
    }
    char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

std::string trim(const std::string& text) {
    const char* ws = " \t\r\n";
    size_t first = text.find_first_not_of(ws);
    if (first == std::string::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(ws);
    return text.substr(first, last - first + 1);
}

ProcessResult runAsPostgres(const std::vector<std::string>& argv, const std::string& cwd) {
    ProcessOptions options;
    options.asUser = "postgres";
    options.cwd = cwd;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = std::chrono::minutes(3);
    return runCommand(argv, options);
}

ProcessResult runCommand(const std::vector<std::string>& argvIn, const ProcessOptions& options) {
    if (argvIn.empty()) {
        throw std::invalid_argument("runCommand: empty argv");
    }

    std::vector<std::string> argv;
    if (!options.asUser.empty() && options.asUser != currentUserName()) {
        if (::geteuid() != 0) {
            throw std::runtime_error("runCommand: need root to run as " + options.asUser + ": " +
                                     describeCommand(argvIn));
        }
        argv = {"runuser", "-u", options.asUser, "--"};
    }
    argv.insert(argv.end(), argvIn.begin(), argvIn.end());

    std::string program = resolveProgram(argv.front());
    std::vector<std::string> envStrings = buildEnvironment(options);
    std::vector<char*> argvPtrs = toCharPointers(argv);
    std::vector<char*> envPtrs = toCharPointers(envStrings);
    const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

    UniquePipe in =
        options.input.empty()
            ? UniquePipe{UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), UniqueFd()}
            : makePipe();
    if (!in.read) {
        throw std::runtime_error(std::string("open /dev/null: ") + std::strerror(errno));
    }
    UniquePipe out = makePipe();
    UniquePipe err = makePipe();
    UniquePipe execError = makePipe();

    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        childExec(program.c_str(), argvPtrs.data(), envPtrs.data(), cwd, in.read.get(),
                  out.write.get(), err.write.get(), execError.write.get());
    }
    // Also done in the parent so a kill(-pid) on timeout cannot race the child's own setpgid.
    ::setpgid(pid, pid);

    in.read.reset();
    out.write.reset();
    err.write.reset();
    execError.write.reset();

    ProcessResult result;
    if (in.write) {
        setNonBlocking(in.write.get());
    }
    size_t inputOffset = 0;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    std::array<char, 65536> buffer{};

    while (out.read || err.read || in.write) {
        std::array<pollfd, 3> fds{};
        std::array<int, 3> which{};
        nfds_t n = 0;
        if (out.read) {
            fds[n] = {out.read.get(), POLLIN, 0};
            which[n++] = 1;
        }
        if (err.read) {
            fds[n] = {err.read.get(), POLLIN, 0};
            which[n++] = 2;
        }
        if (in.write) {
            fds[n] = {in.write.get(), POLLOUT, 0};
            which[n++] = 0;
        }

        int waitMs = -1;
        if (options.timeout.count() > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                ::kill(-pid, SIGKILL);
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left.count(), 1000));
        }

        int ready = ::poll(fds.data(), n, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::kill(-pid, SIGKILL);
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (which[i] == 0) {
                ssize_t w = ::write(in.write.get(), options.input.data() + inputOffset,
                                    options.input.size() - inputOffset);
                if (w > 0) {
                    inputOffset += static_cast<size_t>(w);
                }
                if ((w < 0 && errno != EAGAIN && errno != EINTR) ||
                    inputOffset >= options.input.size()) {
                    in.write.reset();
                }
                continue;
            }
            UniqueFd& fd = which[i] == 1 ? out.read : err.read;
            std::string& sink = which[i] == 1 ? result.out : result.err;
            ssize_t r = ::read(fd.get(), buffer.data(), buffer.size());
            if (r > 0) {
                sink.append(buffer.data(), static_cast<size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                fd.reset();
            }
        }
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        }
    }
    result.exitCode = decodeStatus(status);

    int childErrno = 0;
    if (::read(execError.read.get(), &childErrno, sizeof childErrno) ==
        static_cast<ssize_t>(sizeof childErrno)) {
        throw std::runtime_error("cannot start " + describeCommand(argv) + ": " +
                                 std::strerror(childErrno));
    }
    return result;
}

} // namespace pgulo::test
