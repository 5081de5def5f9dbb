#include "StoredFileReader.h"

#include "FileCopier.h"

#include <unistd.h>

#include <stdexcept>

namespace {

FileCopier::Result Read(const std::string& path, const StoredForm& form,
                        const StoredFileReader::Expected& expected, const std::string& target,
                        const ByteSink* sink) {
    FileCopier::Options options;
    options.sync = false;
    options.direct = false;
    const FileCopier::Result r = FileCopier(options).Transcode(path, form, target, StoredForm(),
                                                               0600, sink);
    if (r.status == FileCopier::Status::Vanished)
        throw std::runtime_error("the stored copy " + path + " is missing");
    if (r.bytes != expected.size)
        throw std::runtime_error("the stored copy " + path + " holds " + std::to_string(r.bytes) +
                                 " bytes, not " + std::to_string(expected.size) +
                                 " as the manifest says");
    if (!expected.checksum.empty() && r.checksum != expected.checksum)
        throw std::runtime_error("the stored copy " + path +
                                 " does not match its checksum; it is damaged");
    return r;
}

} // namespace

std::string StoredFileReader::ReadText(const std::string& path, const StoredForm& form,
                                       const Expected& expected) {
    std::string text;
    const ByteSink append = [&text](const char* data, std::size_t size) {
        text.append(data, size);
    };
    Read(path, form, expected, "", &append);
    return text;
}

void StoredFileReader::Check(const std::string& path, const StoredForm& form,
                             const Expected& expected) {
    Read(path, form, expected, "", nullptr);
}

void StoredFileReader::Extract(const std::string& path, const StoredForm& form,
                               const Expected& expected, const std::string& target) {
    try {
        Read(path, form, expected, target, nullptr);
    } catch (const std::exception&) {
        ::unlink(target.c_str());
        throw;
    }
}
