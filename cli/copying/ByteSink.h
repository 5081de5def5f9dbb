#pragma once

#include <cstddef>
#include <functional>

// Where a stage of a stored file's encoding or decoding hands its output, piece by piece: no
// stage holds more than a small buffer, whatever the size of the file.
using ByteSink = std::function<void(const char* data, std::size_t size)>;
