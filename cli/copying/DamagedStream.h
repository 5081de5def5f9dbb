#pragma once

#include <stdexcept>

// Stored bytes that do not decode: altered, cut short, or sealed under another key. Told apart
// from failures to read or write, which say nothing about the data.
class DamagedStream : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
