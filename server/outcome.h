#pragma once

#include <string>
#include <utility>

namespace pushserver {

// A value, or the reason there is none: a short English text for the log or an error reply.
template <typename T> struct Outcome
{
    T value{};
    std::string error;

    static Outcome failure(std::string why) { return {T{}, std::move(why)}; }
    bool ok() const { return error.empty(); }
};

} // namespace pushserver
