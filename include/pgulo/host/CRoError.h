#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <vector>

class FXCodeLocation;

// The host's error value: success, or a code with a message and the places it passed.
class PGULO_HOST_API CRoError {
public:
    CRoError() = default;
    CRoError(int code, std::string message);

    static CRoError Success() { return CRoError(); }

    bool IsError() const { return isError_; }
    int GetErrorCode() const { return code_; }
    // The message, followed by " at " and each location pushed, innermost first.
    std::string AsString() const;
    CRoError& Push(const FXCodeLocation& location);

private:
    bool isError_ = false;
    int code_ = 0;
    std::string message_;
    std::vector<std::string> locations_;
};
