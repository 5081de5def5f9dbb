#pragma once

#include <functional>

// How long and how often a job looks for a WAL segment in the archive log directory, as the
// host registry (section "PostGres") sets it: nWaitForEndLogMins looks (default 30), with a
// wait of nWaitForEndLogPollSecs seconds (default 60) between two of them. A host that wants
// its backups without idle seconds sets nWaitForEndLogPollMs as well: the job then also looks
// every that many milliseconds during each wait, for the same total, and waits for the
// archive itself instead of letting the server wait in whole seconds when backup mode ends.
class ArchiveWait {
public:
    // Reads the registry and logs what it found under label.
    static ArchiveWait FromRegistry(const char* label);
    // nWaitForEndLogPollMs alone, 0 when it is not set or not positive; logs nothing.
    static long PollMsFromRegistry();

    ArchiveWait(long trials, long pollSeconds, long pollMs);

    // Looks with found() until it holds (true) or the looks run out (false). Before each wait
    // between two looks announce() runs. checkQuit() runs every second of a wait, and at
    // every look within it, and ends the wait by throwing.
    bool Until(const std::function<bool()>& found, const std::function<void()>& announce,
               const std::function<void()>& checkQuit) const;

private:
    // One wait between two looks; true when a look within it found the file.
    bool Between(const std::function<bool()>& found, const std::function<void()>& checkQuit) const;

    long trials_;
    long pollSeconds_;
    long pollMs_;
};
