#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace skirmish {

// A float truncated toward zero to a 32-bit integer. Defined for every input:
// values beyond the 32-bit range saturate and NaN gives 0.
inline int32_t TruncateToInt32(float value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// The whole-number position that messages carry: 27.9 gives 27, -3.5 gives -3.
inline float WholeNumber(float value) { return static_cast<float>(TruncateToInt32(value)); }

} // namespace skirmish
