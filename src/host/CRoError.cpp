#include "pgulo/host/CRoError.h"

#include "pgulo/host/FXCodeLocation.h"

#include <utility>

CRoError::CRoError(int code, std::string message)
    : isError_(true), code_(code), message_(std::move(message)) {}

std::string CRoError::AsString() const {
    if (!isError_)
        return "Success";
    std::string text = message_;
    for (const std::string& location : locations_)
        text += " at " + location;
    return text;
}

CRoError& CRoError::Push(const FXCodeLocation& location) {
    locations_.push_back(location.ToString());
    return *this;
}
