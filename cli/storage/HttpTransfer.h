#pragma once

#include "ByteSink.h"

#include <cstddef>
#include <map>
#include <string>

struct HttpRequest {
    std::string method;
    std::string url;
    // Lower-case names; sent as given and nothing else added but Content-Length.
    std::map<std::string, std::string> headers;
    const char* body = nullptr;
    std::size_t bodySize = 0;
    // When set, the body of a 2xx answer goes here as it arrives instead of into the response.
    ByteSink sink;
};

struct HttpResponse {
    // 0 when no answer came: see transportError.
    long status = 0;
    std::string transportError;
    // Lower-case names.
    std::map<std::string, std::string> headers;
    std::string body;
    // Bytes of the body handed to the request's sink.
    std::size_t delivered = 0;
};

// One HTTP exchange over libcurl. Each thread reuses its own handle, and with it the
// connection to the store.
class HttpTransfer {
public:
    // A transfer that makes no progress for this long fails as a timeout.
    static constexpr long kStallSeconds = 60;
    static constexpr long kConnectSeconds = 10;

    static HttpResponse Perform(const HttpRequest& request);
};
