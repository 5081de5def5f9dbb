#include "StoredFileReader.h"

#include "FileCopier.h"
#include "Storage.h"

#include <unistd.h>

#include <stdexcept>

namespace {

// storage: null for a file path.
FileCopier::Result Read(const Storage* storage, const std::string& path, const StoredForm& form,
                        const StoredFileReader::Expected& expected, const std::string& target,
                        const ByteSink* sink, std::size_t parts = 1) {
    FileCopier::Options options;
    options.sync = false;
    options.direct = false;
    FileCopier copier(options);
    FileCopier::Result r;
    if (storage == nullptr || !storage->LocalPath(path).empty()) {
        const std::string file = storage ? storage->LocalPath(path) : path;
        r = copier.ReadParts(file, parts, {}, form, target, {}, StoredForm(), 0600, sink);
    } else if (const std::unique_ptr<StorageReader> reader = storage->Open(path, 0, 0)) {
        r = copier.TranscodeStorage(storage->Describe(path), reader.get(), form, target, nullptr,
                                    StoredForm(), 0600, sink);
    } else {
        r.status = FileCopier::Status::Vanished;
    }
    const std::string name = storage ? storage->Describe(path) : path;
    if (r.status == FileCopier::Status::Vanished)
        throw std::runtime_error("the stored copy " + name + " is missing");
    if (r.bytes != expected.size)
        throw std::runtime_error("the stored copy " + name + " holds " + std::to_string(r.bytes) +
                                 " bytes, not " + std::to_string(expected.size) +
                                 " as the manifest says");
    if (!expected.checksum.empty() && r.checksum != expected.checksum)
        throw std::runtime_error("the stored copy " + name +
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
    Read(nullptr, path, form, expected, "", &append);
    return text;
}

void StoredFileReader::Check(const std::string& path, const StoredForm& form,
                             const Expected& expected, std::size_t parts) {
    Read(nullptr, path, form, expected, "", nullptr, parts);
}

void StoredFileReader::Extract(const std::string& path, const StoredForm& form,
                               const Expected& expected, const std::string& target) {
    try {
        Read(nullptr, path, form, expected, target, nullptr);
    } catch (const std::exception&) {
        ::unlink(target.c_str());
        throw;
    }
}

std::string StoredFileReader::ReadText(const Storage& storage, const std::string& path,
                                       const StoredForm& form, const Expected& expected) {
    std::string text;
    const ByteSink append = [&text](const char* data, std::size_t size) {
        text.append(data, size);
    };
    Read(&storage, path, form, expected, "", &append);
    return text;
}

void StoredFileReader::Check(const Storage& storage, const std::string& path,
                             const StoredForm& form, const Expected& expected) {
    Read(&storage, path, form, expected, "", nullptr);
}

void StoredFileReader::Extract(const Storage& storage, const std::string& path,
                               const StoredForm& form, const Expected& expected,
                               const std::string& target) {
    try {
        Read(&storage, path, form, expected, target, nullptr);
    } catch (const std::exception&) {
        ::unlink(target.c_str());
        throw;
    }
}
