#include "HttpTransfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

struct EasyFree {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct ListFree {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;

CURL* ThreadHandle() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    thread_local EasyHandle handle(curl_easy_init());
    if (!handle)
        throw std::runtime_error("libcurl could not create a handle");
    curl_easy_reset(handle.get());
    return handle.get();
}

struct Exchange {
    const HttpRequest* request;
    HttpResponse* response;
    CURL* handle;
    std::size_t sent = 0;
    std::exception_ptr sinkFailure;
};

std::size_t ReadBody(char* buffer, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::size_t left = exchange->request->bodySize - exchange->sent;
    const std::size_t piece = std::min(left, size * count);
    std::memcpy(buffer, exchange->request->body + exchange->sent, piece);
    exchange->sent += piece;
    return piece;
}

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(exchange->handle, CURLINFO_RESPONSE_CODE, &status);
    if (exchange->request->sink && status >= 200 && status < 300) {
        // An exception must not cross libcurl's C frames: a failing sink ends the transfer
        // and its exception is rethrown once curl has returned.
        try {
            exchange->request->sink(data, bytes);
        } catch (...) {
            exchange->sinkFailure = std::current_exception();
            return 0;
        }
        exchange->response->delivered += bytes;
    } else {
        exchange->response->body.append(data, bytes);
    }
    return bytes;
}

std::string Trim(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    return text.substr(start);
}

std::size_t ReadHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::string line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        exchange->response->headers[name] = Trim(line.substr(colon + 1));
    }
    return size * count;
}

} // namespace

HttpResponse HttpTransfer::Perform(const HttpRequest& request) {
    CURL* handle = ThreadHandle();
    HttpResponse response;
    Exchange exchange{&request, &response, handle, 0, nullptr};
    // Servers expect no "Expect: 100-continue" round trip on PUT.
    HeaderList headers(curl_slist_append(nullptr, "Expect:"));
    for (const auto& [name, value] : request.headers)
        headers.reset(curl_slist_append(headers.release(), (name + ": " + value).c_str()));
    if (!headers)
        throw std::runtime_error("out of memory building an HTTP request");

    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    if (request.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method == "PUT" || request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, ReadBody);
        curl_easy_setopt(handle, CURLOPT_READDATA, &exchange);
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(request.bodySize));
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method != "GET") {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode code = curl_easy_perform(handle);
    if (exchange.sinkFailure)
        std::rethrow_exception(exchange.sinkFailure);
    if (code != CURLE_OK) {
        response.transportError = error[0] != '\0' ? error : curl_easy_strerror(code);
        response.status = 0;
        return response;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}
