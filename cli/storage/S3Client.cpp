#include "S3Client.h"

#include "CliError.h"
#include "S3Writer.h"
#include "S3Xml.h"
#include "pgulo/host/EvDebug.h"

#include <openssl/evp.h>

#include <algorithm>
#include <deque>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

EvDebug g_log(nullptr);
constexpr const char* kLabel = "S3";

std::string ErrorCode(const HttpResponse& response) {
    if (response.body.empty())
        return "";
    try {
        return S3Xml(response.body).First("Code");
    } catch (const std::runtime_error&) {
        return "";
    }
}

std::string ErrorMessage(const HttpResponse& response) {
    try {
        return S3Xml(response.body).First("Message");
    } catch (const std::runtime_error&) {
        return "";
    }
}

bool IsOneOf(const std::string& code, std::initializer_list<const char*> codes) {
    return std::any_of(codes.begin(), codes.end(), [&](const char* c) { return code == c; });
}

std::string Base64Md5(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 is not available");
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int size = EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
}

} // namespace

S3Client::S3Client(S3Location location)
    : location_(std::move(location)),
      signer_(S3Credentials{location_.Settings().accessKey, location_.Settings().secretKey,
                            location_.Settings().sessionToken},
              location_.Settings().region),
      retry_(location_.Settings().attempts, location_.Settings().retryPause) {}

std::string S3Client::What(const Call& call) const {
    std::string what = call.method;
    if (!call.key.empty())
        what += " of '" + call.key + "'";
    return what + " in " + location_.Describe();
}

void S3Client::Fail(const Call& call, const HttpResponse& response, int attempts) const {
    const std::string& endpoint = location_.Endpoint();
    const std::string bucket = "'" + location_.Bucket() + "'";
    if (response.status == 0)
        throw CliError("the object store at " + endpoint + " could not be reached for bucket " +
                       bucket + " (" + response.transportError + ", " + std::to_string(attempts) +
                       (attempts == 1 ? " attempt)" : " attempts)"));
    const std::string code = ErrorCode(response);
    const std::string detail =
        " (" + std::to_string(response.status) + (code.empty() ? "" : " " + code) + ")";
    if (code == "NoSuchBucket")
        throw CliError("bucket " + bucket + " does not exist at " + endpoint);
    if (response.status == 401 || response.status == 403 ||
        IsOneOf(code, {"InvalidAccessKeyId", "SignatureDoesNotMatch", "AccessDenied"}))
        throw CliError("the object store at " + endpoint +
                       " refused the credentials given for bucket " + bucket + detail);
    if (response.status == 413 || response.status == 507 ||
        IsOneOf(code, {"QuotaExceeded", "EntityTooLarge", "InsufficientStorage"}))
        throw CliError("bucket " + bucket + " at " + endpoint +
                       " takes no more data: it is full or over its quota" + detail);
    const std::string message = ErrorMessage(response);
    throw CliError(What(call) + " failed" + detail + (message.empty() ? "" : ": " + message));
}

HttpResponse S3Client::Attempt(const Call& call, std::uint64_t delivered) const {
    HttpRequest request;
    request.method = call.method;
    request.url = location_.Url(call.key);
    if (!call.query.empty())
        request.url += "?" + S3Signer::CanonicalQuery(call.query);
    request.headers = call.headers;
    request.headers["host"] = location_.Host();
    const std::uint64_t start = call.offset + delivered;
    if (start > 0 || call.length > 0)
        request.headers["range"] =
            "bytes=" + std::to_string(start) + "-" +
            (call.length > 0 ? std::to_string(call.offset + call.length - 1) : "");
    std::string payloadHash = S3Signer::kEmptyPayloadHash;
    if (call.body != nullptr) {
        request.body = call.body->data();
        request.bodySize = call.body->size();
        payloadHash = S3Signer::Sha256Hex(request.body, request.bodySize);
    }
    if (call.sink != nullptr)
        request.sink = *call.sink;
    signer_.Sign(call.method, location_.Path(call.key), call.query, request.headers, payloadHash,
                 std::time(nullptr));
    return HttpTransfer::Perform(request);
}

HttpResponse S3Client::Send(Call call, const std::vector<long>& accepted) {
    std::uint64_t delivered = 0;
    for (int attempt = 1;; ++attempt) {
        HttpResponse response = Attempt(call, delivered);
        delivered += response.delivered;
        g_log.DebugLvl(kLabel, 3, "%s: %ld", What(call).c_str(), response.status);
        if ((response.status >= 200 && response.status < 300) ||
            std::find(accepted.begin(), accepted.end(), response.status) != accepted.end())
            return response;
        const bool transient =
            HttpRetry::Transient(response) || ErrorCode(response) == "RequestTimeout";
        if (!transient || attempt >= retry_.Attempts())
            Fail(call, response, attempt);
        const auto pause = retry_.Pause(attempt);
        const std::string reason = response.status == 0
                                       ? response.transportError
                                       : "status " + std::to_string(response.status);
        g_log.Debug(kLabel, "retry %d of %d for %s after %s, in %lld ms", attempt,
                    retry_.Attempts() - 1, What(call).c_str(), reason.c_str(),
                    static_cast<long long>(pause.count()));
        std::this_thread::sleep_for(pause);
    }
}

void S3Client::Put(const std::string& key, const std::string& body) {
    Call call{"PUT", key};
    call.body = &body;
    Send(call);
}

std::unique_ptr<S3Writer> S3Client::OpenWriter(const std::string& key) {
    return std::make_unique<S3Writer>(*this, key);
}

std::string S3Client::Get(const std::string& key) {
    return Send(Call{"GET", key}).body;
}

void S3Client::Get(const std::string& key, const ByteSink& sink, std::uint64_t offset,
                   std::uint64_t length) {
    Call call{"GET", key};
    call.sink = &sink;
    call.offset = offset;
    call.length = length;
    Send(call);
}

void S3Client::GetParallel(const std::string& key, std::uint64_t size, const ByteSink& sink) {
    const std::uint64_t part = location_.Settings().partSize;
    const auto threads = static_cast<std::size_t>(location_.Settings().threads);
    std::deque<std::future<std::string>> pending;
    std::uint64_t next = 0;
    auto launchMore = [&] {
        while (next < size && pending.size() < threads) {
            const std::uint64_t offset = next;
            const std::uint64_t length = std::min(part, size - next);
            next += length;
            pending.push_back(std::async(std::launch::async, [this, key, offset, length] {
                std::string data;
                data.reserve(length);
                Get(
                    key,
                    [&data](const char* bytes, std::size_t count) { data.append(bytes, count); },
                    offset, length);
                if (data.size() != length)
                    throw CliError("'" + key + "' in " + location_.Describe() +
                                   " is shorter than " + std::to_string(offset + length) +
                                   " bytes");
                return data;
            }));
        }
    };
    launchMore();
    while (!pending.empty()) {
        const std::string data = pending.front().get();
        pending.pop_front();
        launchMore();
        sink(data.data(), data.size());
    }
}

std::optional<S3Object> S3Client::Head(const std::string& key) {
    const HttpResponse response = Send(Call{"HEAD", key}, {404});
    if (response.status == 404)
        return std::nullopt;
    const auto length = response.headers.find("content-length");
    S3Object object{key, 0};
    if (length != response.headers.end())
        object.size = std::stoull(length->second);
    return object;
}

std::vector<S3Object> S3Client::List(const std::string& prefix, int pageSize) {
    return ListPages(prefix, pageSize, "", nullptr);
}

S3Level S3Client::ListLevel(const std::string& prefix) {
    S3Level level;
    level.objects = ListPages(prefix, 1000, "/", &level.prefixes);
    return level;
}

std::vector<S3Object> S3Client::ListPages(const std::string& prefix, int pageSize,
                                          const std::string& delimiter,
                                          std::vector<std::string>* prefixes) {
    std::vector<S3Object> objects;
    std::string token;
    do {
        Call call{"GET", ""};
        call.query = {
            {"list-type", "2"}, {"prefix", prefix}, {"max-keys", std::to_string(pageSize)}};
        if (!delimiter.empty())
            call.query.emplace_back("delimiter", delimiter);
        if (!token.empty())
            call.query.emplace_back("continuation-token", token);
        const S3Xml page(Send(call).body);
        for (auto& record : page.Records("Contents"))
            objects.push_back(S3Object{record["Key"], std::stoull(record["Size"])});
        if (prefixes != nullptr)
            for (auto& record : page.Records("CommonPrefixes"))
                prefixes->push_back(record["Prefix"]);
        token = page.First("IsTruncated") == "true" ? page.First("NextContinuationToken") : "";
    } while (!token.empty());
    return objects;
}

void S3Client::DeleteMany(const std::vector<std::string>& keys) {
    for (std::size_t first = 0; first < keys.size(); first += kDeleteBatch) {
        const std::size_t last = std::min(keys.size(), first + kDeleteBatch);
        std::vector<S3XmlElement> elements{{"Quiet", "true", {}}};
        for (std::size_t i = first; i < last; ++i)
            elements.push_back({"Object", "", {{"Key", keys[i]}}});
        const std::string body = S3Xml::Compose("Delete", elements);
        Call call{"POST", ""};
        call.query = {{"delete", ""}};
        call.headers["content-md5"] = Base64Md5(body);
        call.body = &body;
        const S3Xml answer(Send(call).body);
        for (auto& error : answer.Records("Error"))
            if (error["Code"] != "NoSuchKey")
                throw CliError("deleting '" + error["Key"] + "' in " + location_.Describe() +
                               " failed (" + error["Code"] + ")");
    }
}

std::vector<S3Upload> S3Client::ListUploads(const std::string& prefix) {
    std::vector<S3Upload> uploads;
    std::string keyMarker;
    std::string idMarker;
    while (true) {
        Call call{"GET", ""};
        call.query = {{"uploads", ""}, {"prefix", prefix}};
        if (!keyMarker.empty())
            call.query.emplace_back("key-marker", keyMarker);
        if (!idMarker.empty())
            call.query.emplace_back("upload-id-marker", idMarker);
        const S3Xml page(Send(call).body);
        for (auto& record : page.Records("Upload"))
            uploads.push_back(S3Upload{record["Key"], record["UploadId"], record["Initiated"]});
        if (page.First("IsTruncated") != "true")
            return uploads;
        keyMarker = page.First("NextKeyMarker");
        idMarker = page.First("NextUploadIdMarker");
        if (keyMarker.empty() && idMarker.empty())
            return uploads;
    }
}

void S3Client::AbortUpload(const S3Upload& upload) {
    Call call{"DELETE", upload.key};
    call.query = {{"uploadId", upload.uploadId}};
    Send(call, {404});
}

std::string S3Client::CreateUpload(const std::string& key) {
    Call call{"POST", key};
    call.query = {{"uploads", ""}};
    const std::string id = S3Xml(Send(call).body).First("UploadId");
    if (id.empty())
        throw CliError("the object store at " + location_.Endpoint() + " began no upload of '" +
                       key + "'");
    return id;
}

std::string S3Client::UploadPart(const S3Upload& upload, int number, const std::string& data) {
    Call call{"PUT", upload.key};
    call.query = {{"partNumber", std::to_string(number)}, {"uploadId", upload.uploadId}};
    call.body = &data;
    const HttpResponse response = Send(call);
    const auto etag = response.headers.find("etag");
    if (etag == response.headers.end())
        throw CliError("the object store at " + location_.Endpoint() + " gave part " +
                       std::to_string(number) + " of '" + upload.key + "' no ETag");
    return etag->second;
}

void S3Client::CompleteUpload(const S3Upload& upload, const std::vector<std::string>& etags) {
    std::vector<S3XmlElement> parts;
    for (std::size_t i = 0; i < etags.size(); ++i)
        parts.push_back({"Part", "", {{"PartNumber", std::to_string(i + 1)}, {"ETag", etags[i]}}});
    const std::string body = S3Xml::Compose("CompleteMultipartUpload", parts);
    Call call{"POST", upload.key};
    call.query = {{"uploadId", upload.uploadId}};
    call.body = &body;
    const HttpResponse response = Send(call);
    // The answer comes before the work is done, so a failure arrives as an error document
    // under status 200.
    if (!ErrorCode(response).empty())
        Fail(call, response, 1);
}
