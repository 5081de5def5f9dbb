#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/HostExport.h"

#include <cstdint>
#include <memory>
#include <string>

// An open directory listing; closes itself.
class PGULO_HOST_API auto_find_handle {
public:
    auto_find_handle();
    ~auto_find_handle();
    auto_find_handle(const auto_find_handle&) = delete;
    auto_find_handle& operator=(const auto_find_handle&) = delete;

    struct State;
    State* state() const { return state_.get(); }
    void reset(std::unique_ptr<State> state);
    // Ends the listing now (the destructor does it otherwise).
    void close();

private:
    std::unique_ptr<State> state_;
};

class PGULO_HOST_API FXFile {
public:
    struct CFileData {
        std::string name;
        bool isDirectory = false;
        bool IsDirectory() const { return isDirectory; }
        // "." or ".."
        bool IsRelativeFolder() const { return name == "." || name == ".."; }
    };

    // Copies contents and mode; the target is written to a temporary name, flushed and renamed.
    static CRoError KXCopyFile(const std::string& source, const std::string& target, int flags);
    // Renames; with flags 1 an existing target is replaced. Falls back to copy and remove
    // across file systems.
    static CRoError KXMoveFileEx(const std::string& source, const std::string& target, int flags);
    static CRoError RemoveFile(const std::string& path);
    static bool DoesFileExist(const std::string& path);
    static CRoError KXGetFileSize(const std::string& path, std::uint64_t& size);

    // Pattern is a directory path, optionally followed by "/" and a shell wildcard
    // ("dir/*"). True when an entry was found.
    static bool KXFindFirstFile(auto_find_handle& handle, const std::string& pattern,
                                CFileData& data);
    static bool KXFindNextFile(auto_find_handle& handle, CFileData& data);
};
