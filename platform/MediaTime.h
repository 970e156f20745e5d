// Times on an analyser's input timeline: a 64-bit value over a 32-bit
// timescale (value / timescale seconds), with exact rational arithmetic.
#pragma once

#include <cstdint>
#include <optional>

namespace zorva {

struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 1; // always positive

    static MediaTime fromSeconds(double seconds, int32_t preferredTimescale);
    double seconds() const { return static_cast<double>(value) / timescale; }

    // Exact while the common timescale fits 32 bits; otherwise the result is
    // rounded to the larger of the two timescales.
    friend MediaTime operator+(MediaTime a, MediaTime b);
    friend MediaTime operator-(MediaTime a, MediaTime b);
    friend bool operator==(MediaTime a, MediaTime b); // same instant, any timescale
};

struct MediaTimeRange {
    MediaTime start;
    MediaTime duration;
    MediaTime end() const { return start + duration; }
    static MediaTimeRange fromStartEnd(MediaTime start, MediaTime end) {
        return {start, end - start};
    }
    bool operator==(const MediaTimeRange&) const = default;
};

} // namespace zorva
