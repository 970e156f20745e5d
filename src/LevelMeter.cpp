#include "LevelMeter.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace zorva {

namespace {

template <typename T>
void accumulate(Level& level, const std::vector<const T*>& planes, std::size_t count,
                double scale) {
    for (const T* plane : planes) {
        for (std::size_t i = 0; i < count; ++i) {
            double v = static_cast<double>(plane[i]) * scale;
            double magnitude = std::fabs(v);
            if (magnitude >= level.peak) // NaN never replaces the peak
                level.peak = magnitude;
            level.sumSquares += v * v;
        }
        level.samples += static_cast<int64_t>(count);
    }
}

} // namespace

void Level::add(const PcmBuffer& buffer) {
    const std::size_t count = buffer.samplesPerPlane(buffer.frameLength());
    switch (buffer.format().sample) {
    case AudioFormat::Sample::float32:
        accumulate(*this, buffer.floatChannelData(), count, 1.0);
        break;
    case AudioFormat::Sample::int16:
        accumulate(*this, buffer.int16ChannelData(), count, 1.0 / 32768.0);
        break;
    case AudioFormat::Sample::int32:
        break;
    }
}

double Level::peakDbfs() const {
    return peak > 0 ? 20 * std::log10(peak) : -std::numeric_limits<double>::infinity();
}

double Level::rmsDbfs() const {
    if (samples == 0 || !(sumSquares / static_cast<double>(samples) > 0))
        return -std::numeric_limits<double>::infinity();
    return 20 * std::log10(std::sqrt(sumSquares / static_cast<double>(samples)));
}

void LevelMeter::add(const PcmBuffer& buffer) {
    ++buffers;
    framesIn += buffer.frameLength();
    format = std::to_string(static_cast<int64_t>(buffer.format().sampleRate)) + " Hz " +
             std::to_string(buffer.format().channels) + " ch";
    input.add(buffer);
}

std::string LevelMeter::report(StreamName stream) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "meter %s: %lld buffers, %lld frames in (%s), peak %.1f dBFS, rms %.1f dBFS; "
                  "%lld frames to analyzer, peak %.1f dBFS, rms %.1f dBFS\n",
                  std::string(toString(stream)).c_str(), static_cast<long long>(buffers),
                  static_cast<long long>(framesIn), format.c_str(), input.peakDbfs(),
                  input.rmsDbfs(), static_cast<long long>(framesOut), output.peakDbfs(),
                  output.rmsDbfs());
    buffers = framesIn = framesOut = 0;
    input = Level{};
    output = Level{};
    return line;
}

} // namespace zorva
