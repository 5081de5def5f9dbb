#include "pgulo/host/FXCodeLocation.h"

FXCodeLocation::FXCodeLocation(const char* file, const char* function, int line)
    : file_(file != nullptr ? file : ""), function_(function != nullptr ? function : ""),
      line_(line) {}

std::string FXCodeLocation::ToString() const {
    return file_ + ":" + std::to_string(line_) + " (" + function_ + ")";
}
