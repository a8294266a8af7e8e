#include "tellink.h"

#include <algorithm>

namespace pushserver {

bool isCallableTel(std::string_view extra)
{
    constexpr std::string_view scheme = "tel:";
    if (extra.substr(0, scheme.size()) != scheme)
        return false;
    std::string_view number = extra.substr(scheme.size());
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    if (number.empty() || number.size() > 40 || number.front() < '0' || number.front() > '9')
        return false;
    return std::all_of(number.begin(), number.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '(' || c == ')' || c == '.' || c == '-'; });
}

} // namespace pushserver
