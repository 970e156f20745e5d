// Levels and counts of one stream's audio, before and after conversion, for
// the diagnostic meter line. Plain values: the owner serialises access.
#pragma once

#include "Protocol.h"
#include "platform/Audio.h"

#include <cstdint>
#include <string>

namespace zorva {

struct Level {
    double peak = 0; // largest absolute sample, full scale 1.0
    double sumSquares = 0;
    int64_t samples = 0; // all channels together

    // Folds in a buffer of 32-bit float or 16-bit integer samples; other
    // sample types leave the level unchanged. One pass, no allocation.
    void add(const PcmBuffer& buffer);
    double peakDbfs() const;
    double rmsDbfs() const;
};

struct LevelMeter {
    int64_t buffers = 0;
    int64_t framesIn = 0;
    int64_t framesOut = 0;
    std::string format = "none";
    Level input;
    Level output;

    // One capture buffer on the input side.
    void add(const PcmBuffer& buffer);
    // The report line (newline included); resets everything but `format`.
    std::string report(StreamName stream);
};

} // namespace zorva
