#include "pgulo/host/KxProcess.h"

#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// In the child, after the standard streams are in place: nothing else of the parent's
// may leak into the command (sockets, database connections, lock files).
void closeOtherDescriptors() {
    if (::close_range(3, ~0U, 0) == 0)
        return;
    long limit = ::sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = 3; fd < limit; ++fd)
        ::close(fd);
}

int waitForChild(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, 0);
        if (done == pid)
            break;
        if (done < 0 && errno == EINTR)
            continue;
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

int KxProcess::system(const std::string& command, std::string* stdoutText, std::string* stderrText,
                      int /*flags*/, bool /*background*/) {
    if (stdoutText != nullptr)
        stdoutText->clear();
    if (stderrText != nullptr)
        stderrText->clear();

    UniquePipe out;
    UniquePipe err;
    if (!out.open() || !err.open())
        return -1;
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        if (devNull)
            ::dup2(devNull.get(), STDIN_FILENO);
        ::dup2(out.write.get(), STDOUT_FILENO);
        ::dup2(err.write.get(), STDERR_FILENO);
        closeOtherDescriptors();
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    out.write.reset();
    err.write.reset();
    devNull.reset();

    // Both streams are drained together: a child that fills one pipe while we block on
    // the other would otherwise never finish.
    struct Stream {
        UniqueFd* fd;
        std::string* sink;
    } streams[2] = {{&out.read, stdoutText}, {&err.read, stderrText}};
    char buffer[65536];
    for (;;) {
        pollfd fds[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (*streams[i].fd) {
                fds[count].fd = streams[i].fd->get();
                fds[count].events = POLLIN;
                fds[count].revents = 0;
                which[count] = i;
                ++count;
            }
        }
        if (count == 0)
            break;
        int ready = ::poll(fds, static_cast<nfds_t>(count), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (fds[k].revents == 0)
                continue;
            Stream& stream = streams[which[k]];
            ssize_t got = ::read(fds[k].fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                stream.fd->reset();
                continue;
            }
            if (stream.sink != nullptr)
                stream.sink->append(buffer, static_cast<size_t>(got));
        }
    }
    out.read.reset();
    err.read.reset();
    return waitForChild(pid);
}
