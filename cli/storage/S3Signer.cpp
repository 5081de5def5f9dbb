#include "S3Signer.h"

#include "Checksum.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";

std::string Hmac(const std::string& key, const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest,
             &length) == nullptr)
        throw std::runtime_error("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

struct TextFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

} // namespace

S3Signer::S3Signer(S3Credentials credentials, std::string region, std::string service)
    : credentials_(std::move(credentials)), region_(std::move(region)),
      service_(std::move(service)) {}

std::string S3Signer::UriEncode(const std::string& text) {
    std::unique_ptr<char, TextFree> encoded(
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!encoded)
        throw std::runtime_error("out of memory encoding a URL");
    return encoded.get();
}

std::string S3Signer::Sha256Hex(const void* data, std::size_t size) {
    Checksum sum;
    sum.update(data, size);
    return sum.finish();
}

std::string S3Signer::AmzDate(std::time_t when) {
    struct tm utc {};
    ::gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string S3Signer::CanonicalQuery(const S3Query& query) {
    std::vector<std::pair<std::string, std::string>> encoded;
    for (const auto& [name, value] : query)
        encoded.emplace_back(UriEncode(name), UriEncode(value));
    std::sort(encoded.begin(), encoded.end());
    std::string text;
    for (const auto& [name, value] : encoded)
        text += (text.empty() ? "" : "&") + name + "=" + value;
    return text;
}

std::string S3Signer::CanonicalRequest(const std::string& method, const std::string& path,
                                       const S3Query& query,
                                       const std::map<std::string, std::string>& headers,
                                       const std::string& payloadHash) {
    std::string canonicalHeaders;
    std::string signedHeaders;
    for (const auto& [name, value] : headers) {
        canonicalHeaders += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    return method + "\n" + path + "\n" + CanonicalQuery(query) + "\n" + canonicalHeaders + "\n" +
           signedHeaders + "\n" + payloadHash;
}

std::string S3Signer::SigningKey(const std::string& day) const {
    const std::string dayKey = Hmac("AWS4" + credentials_.secretKey, day);
    return Hmac(Hmac(Hmac(dayKey, region_), service_), "aws4_request");
}

void S3Signer::Sign(const std::string& method, const std::string& path, const S3Query& query,
                    std::map<std::string, std::string>& headers, const std::string& payloadHash,
                    std::time_t when) const {
    const std::string amzDate = AmzDate(when);
    const std::string day = amzDate.substr(0, 8);
    headers["x-amz-date"] = amzDate;
    headers["x-amz-content-sha256"] = payloadHash;
    if (!credentials_.sessionToken.empty())
        headers["x-amz-security-token"] = credentials_.sessionToken;
    headers.erase("authorization");

    const std::string request = CanonicalRequest(method, path, query, headers, payloadHash);
    const std::string scope = day + "/" + region_ + "/" + service_ + "/aws4_request";
    const std::string toSign = std::string(kAlgorithm) + "\n" + amzDate + "\n" + scope + "\n" +
                               Sha256Hex(request.data(), request.size());
    std::string signedHeaders;
    for (const auto& header : headers)
        signedHeaders += (signedHeaders.empty() ? "" : ";") + header.first;
    headers["authorization"] = std::string(kAlgorithm) + " Credential=" + credentials_.accessKey +
                               "/" + scope + ",SignedHeaders=" + signedHeaders +
                               ",Signature=" + Checksum::Hex(Hmac(SigningKey(day), toSign));
}
