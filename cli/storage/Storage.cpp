#include "Storage.h"

#include "CliError.h"
#include "FileOps.h"
#include "LocalStorage.h"
#include "S3Location.h"
#include "S3Storage.h"

#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_defaultsMutex;
Storage::Settings g_defaults;

} // namespace

void Storage::SetDefaults(const Settings& settings) {
    const std::lock_guard<std::mutex> lock(g_defaultsMutex);
    g_defaults = settings;
}

std::shared_ptr<Storage> Storage::Open(const std::string& url) {
    Settings settings;
    {
        const std::lock_guard<std::mutex> lock(g_defaultsMutex);
        settings = g_defaults;
    }
    return Open(url, settings);
}

std::shared_ptr<Storage> Storage::Open(const std::string& url, const Settings& settings) {
    if (S3Location::IsS3Url(url)) {
        // Credentials only ever come from the environment.
        S3Settings s3;
        s3.endpoint = settings.endpoint;
        s3.region = settings.region;
        s3.pathStyle = settings.pathStyle;
        if (settings.partSize != 0)
            s3.partSize = settings.partSize;
        return std::make_shared<S3Storage>(S3Location::Parse(url, s3));
    }
    const std::string::size_type scheme = url.find("://");
    if (scheme != std::string::npos) {
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
