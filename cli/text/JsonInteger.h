#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>

// The value as a T when it is a whole number that T holds. get<T> would cast any number,
// and the cast of a fraction or of a number beyond T's range is undefined behaviour.
template <typename T> std::optional<T> JsonInteger(const nlohmann::json& value) {
    using Limits = std::numeric_limits<T>;
    const auto highest = static_cast<std::uint64_t>(Limits::max());
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= highest)
            return static_cast<T>(number);
    } else if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        const bool fits =
            number >= 0 ? static_cast<std::uint64_t>(number) <= highest
                        : Limits::is_signed && number >= static_cast<std::int64_t>(Limits::min());
        if (fits)
            return static_cast<T>(number);
    }
    return std::nullopt;
}
