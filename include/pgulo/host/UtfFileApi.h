#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <sys/types.h>

// Path functions in UTF-8; 0 on success, -1 with errno set.
PGULO_HOST_API int chdir_utf(const std::string& path);
PGULO_HOST_API int getcwd_utf(std::string& path);
PGULO_HOST_API int lchown_utf(const std::string& path, uid_t owner, gid_t group);
// Converts a path in the local multi-byte encoding to UTF-8 (unchanged when the locale is UTF-8
// or the text is not valid in it).
PGULO_HOST_API std::string mbeToUtf(const std::string& text);
