#pragma once

#include <string>

// Standard base64 (with padding), for binary values inside JSON.
class Base64 {
public:
    static std::string Encode(const std::string& bytes);
    // Throws std::runtime_error for text that is not base64.
    static std::string Decode(const std::string& text);
};
