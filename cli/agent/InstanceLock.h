#pragma once

#include "pgulo/host/UniqueFd.h"

#include <string>

// Keeps other pgulo jobs away from one instance while a job reads or changes its backups or
// its server: an exclusive flock on <host home>/locks/<instance>.lock, which the kernel
// releases when the holder ends in any way (a killed job never leaves the lock behind). The
// file names the holder's verb and process id for the message a refused job gives.
class InstanceLock {
public:
    // Throws CliError (exit code 1) naming the running job when another one holds the lock.
    InstanceLock(const std::string& instance, const std::string& verb);
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    static std::string LockFile(const std::string& instance);

private:
    UniqueFd fd_;
};
