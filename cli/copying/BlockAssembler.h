#pragma once

#include "StoredForm.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Storage;
class StorageReader;

// Rebuilds a file from blocks kept in several stored files: each stored file is decoded once,
// from start to end, and the blocks wanted from it are written to their places in the target.
class BlockAssembler {
public:
    struct Block {
        std::uint64_t position = 0; // in the decoded stream
        std::uint64_t offset = 0;   // in the rebuilt file
    };
    struct Source {
        // A stored file: read through its storage, whether a local directory or not.
        std::shared_ptr<const Storage> storage;
        std::string path;
        StoredForm form;
        std::vector<Block> blocks; // ascending positions
        // The stored file's parts (StoredParts), decoded one after the other.
        std::size_t parts = 1;
        // When set, what opens the stored copy instead of the storage's whole file (a file
        // that shares a pack with others).
        std::function<std::unique_ptr<StorageReader>(std::size_t part)> open;
    };
    struct Result {
        std::uint64_t bytes = 0;
        std::string checksum;     // of the rebuilt file (PieceChecksum)
        std::string blockDigests; // of the rebuilt file's blocks (BlockDigest)
    };

    // Writes target (created with mode, replaced when it exists), cuts it to size and returns
    // what it holds. Throws std::runtime_error naming the stored file that is missing, does not
    // decode or ends before a block it should hold.
    static Result Assemble(const std::vector<Source>& sources, const std::string& target,
                           mode_t mode, std::uint64_t size);
};
