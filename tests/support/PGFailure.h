#pragma once

#include "pgulo/PGException.h"

#include <string>

namespace pgulo::test {

// The text of the PGException fn throws; "" when it returns. Other exceptions go through.
template <class Fn>
std::string PGFailure(Fn&& fn) {
    try {
        fn();
    } catch (const PGException& e) {
        return e.what();
    }
    return std::string();
}

// The text a PGException of that origin, type and message carries.
inline std::string PGFailureText(const std::string& label, const std::string& type,
                                 const std::string& message) {
    return "Exception in [" + label + "]\tType:[" + type + "]\tMsg:[" + message + "]";
}

} // namespace pgulo::test
