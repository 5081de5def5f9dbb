#include "pgulo/PGCommon.h"

#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/FXFile.h"
#include "pgulo/host/FXPath.h"

#include <regex>

// Clusters installed from packages often ship only the versioned file (libpq.so.5) and leave
// the unversioned link to the development package, so the directory is searched for one.
std::string PGCommon::GetPGLibraryPath(const std::string& libDir) {
    const std::string candidate = FXPath::Append(libDir, "libpq.so", 0);
    if (FXPath::DoesPathExist(candidate))
        return candidate;

    PGULO_LOG_WRITE(
        0, "Couldn't find library [%s] , try to locate libpq.so.x version under library path.",
        candidate.c_str());

    // The dots are left unescaped on purpose: they match any character, as they always have.
    static const std::regex versioned("libpq.so.[[:digit:]]+.*", std::regex::ECMAScript);
    auto_find_handle handle;
    FXFile::CFileData entry;
    for (bool found = FXFile::KXFindFirstFile(handle, libDir, entry); found;
         found = FXFile::KXFindNextFile(handle, entry)) {
        if (entry.IsDirectory() || entry.IsRelativeFolder())
            continue;
        if (std::regex_match(entry.name, versioned)) {
            PGULO_LOG_WRITE(0, "found match [%s]", entry.name.c_str());
            return FXPath::Append(libDir, entry.name, 0);
        }
        PGULO_LOG_WRITE(9, "Did not match [%s]", entry.name.c_str());
    }
    return candidate;
}
