#include "pgulo/PGLastError.h"

#include "common/PGErrorCode.h"

#include <cstring>

namespace {
char g_lastErrorText[1024];
bool g_lastErrorSet = false;
} // namespace

const char* PGLastError(const char* text) {
    if (text != nullptr) {
        const std::size_t length = std::strlen(text);
        if (length < sizeof g_lastErrorText) {
            std::memcpy(g_lastErrorText, text, length + 1);
            g_lastErrorSet = true;
        }
    }
    return g_lastErrorSet ? g_lastErrorText : nullptr;
}

PGErrorCode& PGErrorCode::LastErrorCode() {
    static PGErrorCode code;
    return code;
}

void SetPGLastErrCode(int code) { PGErrorCode::LastErrorCode().SetErrorCode(code); }

int GetPGLastErrCode() { return PGErrorCode::LastErrorCode().GetErrorCode(); }
