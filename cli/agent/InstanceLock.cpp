#include "InstanceLock.h"

#include "CliError.h"
#include "FileOps.h"

#include "pgulo/host/HostHome.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string Holder(int fd) {
    std::string text(256, '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size() - 1, 0);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

} // namespace

std::string InstanceLock::LockFile(const std::string& instance) {
    return HostHome::root() + "/locks/" + instance + ".lock";
}

InstanceLock::InstanceLock(const std::string& instance, const std::string& verb) {
    const std::string path = LockFile(instance);
    if (!HostHome::ensureDirectory(FileOps::Parent(path)))
        throw CliError("cannot create the lock directory " + FileOps::Parent(path));
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_)
        throw CliError("cannot open the lock file " + path + ": " + FileOps::ErrnoText(errno));
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const std::string holder = Holder(fd_.get());
        if (error != EWOULDBLOCK)
            throw CliError("cannot lock " + path + ": " + FileOps::ErrnoText(error));
        throw CliError("instance '" + instance + "' is busy: " +
                       (holder.empty() ? std::string("another pgulo job") : holder) +
                       " is running; try again when it has finished");
    }
    const std::string text = "pgulo " + verb + " (process " + std::to_string(::getpid()) + ")\n";
    if (::ftruncate(fd_.get(), 0) != 0 ||
        ::pwrite(fd_.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        const int error = errno;
        throw CliError("cannot write the lock file " + path + ": " + FileOps::ErrnoText(error));
    }
}
