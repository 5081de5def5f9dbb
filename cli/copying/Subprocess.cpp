#include "Subprocess.h"

#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

extern char** environ;

namespace {

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Everything the child needs, prepared before fork: the child only calls functions that
// are safe after fork in a threaded program.
struct ChildPlan {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::vector<char*> argv;
    std::vector<char*> envp;
};

ChildPlan PlanChild(const std::vector<std::string>& argv, const Subprocess::Options& o) {
    ChildPlan plan;
    if (!o.asUser.empty()) {
        // runuser sets HOME, USER and LOGNAME for the user and keeps the rest of the
        // environment, so the variables below reach the program.
        plan.args = {"/usr/sbin/runuser", "-u", o.asUser, "--"};
    }
    plan.args.insert(plan.args.end(), argv.begin(), argv.end());
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        // The agent puts the instance's password into our environment; no program we start
        // (a server among them) is to inherit it.
        bool replaced = name == "PGPASSWORD" ||
                        (o.dropInheritedPg && name.size() > 2 && name.compare(0, 2, "PG") == 0);
        for (const auto& [key, value] : o.env)
            replaced = replaced || key == name;
        if (!replaced)
            plan.env.push_back(entry);
    }
    for (const auto& [key, value] : o.env)
        plan.env.push_back(key + "=" + value);
    for (auto& arg : plan.args)
        plan.argv.push_back(arg.data());
    plan.argv.push_back(nullptr);
    for (auto& entry : plan.env)
        plan.envp.push_back(entry.data());
    plan.envp.push_back(nullptr);
    return plan;
}

[[noreturn]] void ExecChild(ChildPlan& plan, const Subprocess::Options& o, int in, int out,
                            int err) {
    ::setpgid(0, 0);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0)
        ::_exit(126);
    ::execvpe(plan.argv[0], plan.argv.data(), plan.envp.data());
    static const char message[] = "cannot run the program\n";
    (void)!::write(2, message, sizeof message - 1);
    ::_exit(127);
}

} // namespace

std::string Subprocess::Result::Message() const {
    std::string text = Trim(err);
    if (text.empty())
        text = Trim(out);
    if (timedOut)
        text = "timed out" + (text.empty() ? std::string() : ": " + text);
    return text;
}

Subprocess::Result Subprocess::Run(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty())
        throw std::invalid_argument("Subprocess::Run without a program");
    UniquePipe in;
    UniquePipe out;
    UniquePipe err;
    if (!in.open() || !out.open() || !err.open())
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    ChildPlan plan = PlanChild(argv, options);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0)
        ExecChild(plan, options, in.read.get(), out.write.get(), err.write.get());
    ::setpgid(pid, pid);
    in.read.reset();
    out.write.reset();
    err.write.reset();

    Result result;
    std::exception_ptr failure;
    std::size_t written = 0;
    if (options.input.empty())
        in.write.reset();
    else
        ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    char buffer[65536];
    while (out.read || err.read) {
        struct pollfd fds[3];
        int n = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (out.read) {
            fds[n] = {out.read.get(), POLLIN, 0};
            outIndex = n++;
        }
        if (err.read) {
            fds[n] = {err.read.get(), POLLIN, 0};
            errIndex = n++;
        }
        if (in.write) {
            fds[n] = {in.write.get(), POLLOUT, 0};
            inIndex = n++;
        }
        int wait = 200;
        if (::poll(fds, static_cast<nfds_t>(n), wait) < 0 && errno != EINTR)
            break;
        if (options.timeout.count() > 0 && std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        auto drain = [&](int index, UniqueFd& fd, std::string& sink, const ByteSink* to) {
            if (index < 0 || !(fds[index].revents & (POLLIN | POLLHUP | POLLERR)))
                return;
            ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got > 0 && to)
                (*to)(buffer, static_cast<std::size_t>(got));
            else if (got > 0)
                sink.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                fd.reset();
        };
        try {
            drain(outIndex, out.read, result.out, options.output ? &options.output : nullptr);
        } catch (...) {
            failure = std::current_exception();
            ::kill(-pid, SIGKILL);
            break;
        }
        drain(errIndex, err.read, result.err, nullptr);
        if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = ::write(in.write.get(), options.input.data() + written,
                                  options.input.size() - written);
            if (put > 0)
                written += static_cast<std::size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == options.input.size())
                in.write.reset();
        }
    }
    // Closed before the wait: a child still reading its input must see its end.
    in.write.reset();
    out.read.reset();
    err.read.reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitCode = 128 + WTERMSIG(status);
    if (failure)
        std::rethrow_exception(failure);
    return result;
}
