#include "S3Location.h"

#include "CliError.h"
#include "S3Signer.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr const char* kScheme = "s3://";

void FillFromEnvironment(std::string& value, const char* name) {
    if (!value.empty())
        return;
    if (const char* text = std::getenv(name))
        value = text;
}

struct UrlFree {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct TextFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

std::string UrlPart(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK)
        return "";
    std::unique_ptr<char, TextFree> text(raw);
    return text.get();
}

} // namespace

bool S3Location::IsS3Url(const std::string& text) {
    return text.rfind(kScheme, 0) == 0;
}

S3Location S3Location::Parse(const std::string& url, S3Settings settings) {
    if (!IsS3Url(url))
        throw CliError::Usage("'" + url + "' is not an s3://BUCKET/PREFIX location");
    std::string rest = url.substr(std::char_traits<char>::length(kScheme));
    const std::size_t slash = rest.find('/');
    S3Location location;
    location.bucket_ = rest.substr(0, slash);
    if (location.bucket_.empty())
        throw CliError::Usage("'" + url + "' names no bucket");
    std::string prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    location.prefix_ = prefix.empty() ? "" : prefix + "/";

    FillFromEnvironment(settings.endpoint, "AWS_ENDPOINT_URL");
    FillFromEnvironment(settings.region, "AWS_REGION");
    FillFromEnvironment(settings.region, "AWS_DEFAULT_REGION");
    FillFromEnvironment(settings.accessKey, "AWS_ACCESS_KEY_ID");
    FillFromEnvironment(settings.secretKey, "AWS_SECRET_ACCESS_KEY");
    FillFromEnvironment(settings.sessionToken, "AWS_SESSION_TOKEN");
    if (settings.region.empty())
        settings.region = "us-east-1";
    if (!settings.pathStyle)
        settings.pathStyle = !settings.endpoint.empty();
    if (settings.endpoint.empty())
        settings.endpoint = "https://s3." + settings.region + ".amazonaws.com";
    while (settings.endpoint.size() > 1 && settings.endpoint.back() == '/')
        settings.endpoint.pop_back();
    if (settings.accessKey.empty() || settings.secretKey.empty())
        throw CliError::Usage("no credentials for bucket '" + location.bucket_ +
                              "': set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY");
    if (settings.partSize < kMinPartSize)
        throw CliError::Usage("the S3 part size must be at least 5 MiB");
    if (settings.threads < 1 || settings.attempts < 1)
        throw CliError::Usage("the S3 threads and attempts must be at least 1");

    std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, settings.endpoint.c_str(), 0) != CURLUE_OK)
        throw CliError::Usage("the S3 endpoint '" + settings.endpoint + "' is not a URL");
    location.scheme_ = UrlPart(parsed.get(), CURLUPART_SCHEME);
    location.authority_ = UrlPart(parsed.get(), CURLUPART_HOST);
    const std::string port = UrlPart(parsed.get(), CURLUPART_PORT);
    if (!port.empty())
        location.authority_ += ":" + port;
    if (location.scheme_ != "http" && location.scheme_ != "https")
        throw CliError::Usage("the S3 endpoint '" + settings.endpoint +
                              "' is neither http nor https");
    location.settings_ = std::move(settings);
    return location;
}

std::string S3Location::Key(const std::string& relative) const {
    return prefix_ + relative;
}

std::string S3Location::Host() const {
    return *settings_.pathStyle ? authority_ : bucket_ + "." + authority_;
}

std::string S3Location::Path(const std::string& key) const {
    std::string path = *settings_.pathStyle ? "/" + S3Signer::UriEncode(bucket_) : "";
    if (key.empty())
        return path.empty() ? "/" : path;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = key.find('/', start);
        path += "/" + S3Signer::UriEncode(key.substr(start, slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return path;
}

std::string S3Location::Url(const std::string& key) const {
    return scheme_ + "://" + Host() + Path(key);
}

std::string S3Location::Describe() const {
    return "bucket '" + bucket_ + "' at " + settings_.endpoint;
}
