#pragma once

#include "CipherKey.h"
#include "Compression.h"

#include <optional>

// How the repository's copy of a file differs from the original: compressed first, then
// encrypted under a key, either, both or neither (plain).
struct StoredForm {
    Compression compression;
    std::optional<CipherKey> key;

    bool Plain() const { return compression.None() && !key; }
    bool Encrypted() const { return key.has_value(); }
};
