#include "Storage.h"

#include "CliError.h"
#include "FileOps.h"
#include "LocalStorage.h"

#include <cstdlib>

std::shared_ptr<Storage> Storage::Open(const std::string& url, const Settings& settings) {
    (void)settings; // read by the object stores' drivers
    const std::string::size_type scheme = url.find("://");
    if (scheme != std::string::npos) {
        if (url.compare(0, scheme, "s3") == 0)
            throw CliError("S3 repositories are not available in this build");
        throw CliError("unknown kind of repository '" + url.substr(0, scheme) +
                       "://'; give a directory or s3://BUCKET/PREFIX");
    }
    // Tests set it to send a local repository through the streaming path an object store
    // takes; nothing else reads it.
    const char* streaming = std::getenv("PGULO_TEST_STORAGE_STREAMING");
    const bool hide = streaming != nullptr && std::string(streaming) == "1";
    return std::make_shared<LocalStorage>(FileOps::Absolute(url), hide);
}

std::string Storage::Join(const std::string& prefix, const std::string& path) {
    if (prefix.empty())
        return path;
    if (path.empty())
        return prefix;
    return prefix.back() == '/' ? prefix + path : prefix + "/" + path;
}
