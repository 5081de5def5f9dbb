#pragma once

#include <cstdint>

class PGErrorCode {
public:
    void SetErrorCode(std::int32_t code) { code_ = code; }
    std::int32_t GetErrorCode() const { return code_; }

    // The one process-wide instance behind SetPGLastErrCode / GetPGLastErrCode.
    static PGErrorCode& LastErrorCode();

private:
    std::int32_t code_ = 0;
};
