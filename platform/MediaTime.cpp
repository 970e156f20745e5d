#include "MediaTime.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace zorva {

namespace {

// Both times over one timescale: their least common multiple when it fits in
// 32 bits, otherwise the larger one (with rounding).
std::pair<MediaTime, MediaTime> common(MediaTime a, MediaTime b) {
    if (a.timescale == b.timescale)
        return {a, b};
    int64_t l = std::lcm<int64_t>(a.timescale, b.timescale);
    int32_t scale = l <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(l)
                                                             : std::max(a.timescale, b.timescale);
    auto convert = [scale](MediaTime t) {
        if (scale % t.timescale == 0)
            return MediaTime{t.value * (scale / t.timescale), scale};
        return MediaTime{static_cast<int64_t>(
                             std::llround(static_cast<long double>(t.value) * scale / t.timescale)),
                         scale};
    };
    return {convert(a), convert(b)};
}

} // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t preferredTimescale) {
    return {static_cast<int64_t>(std::llround(seconds * preferredTimescale)), preferredTimescale};
}

MediaTime operator+(MediaTime a, MediaTime b) {
    auto [x, y] = common(a, b);
    return {x.value + y.value, x.timescale};
}

MediaTime operator-(MediaTime a, MediaTime b) {
    auto [x, y] = common(a, b);
    return {x.value - y.value, x.timescale};
}

bool operator==(MediaTime a, MediaTime b) {
    // Cross-multiplication is exact here: |value| * timescale stays in range
    // for the times of this system (hours at audio rates).
    return static_cast<long double>(a.value) * b.timescale ==
           static_cast<long double>(b.value) * a.timescale;
}

} // namespace zorva
