// PCM formats and buffers, the format converter and the audio file reader.
// Buffers are plain values owned by whoever holds them; nothing here is
// shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorva {

struct AudioFormat {
    enum class Sample { float32, int16, int32 };
    Sample sample = Sample::float32;
    double sampleRate = 0;
    uint32_t channels = 0;
    bool interleaved = false;

    bool operator==(const AudioFormat&) const = default;
    std::size_t bytesPerSample() const { return sample == Sample::int16 ? 2 : 4; }
    std::string description() const; // e.g. "16000 Hz, 1 ch, int16, interleaved"
};

// Samples in one plane per channel (non-interleaved) or one plane in all.
class PcmBuffer {
public:
    PcmBuffer(AudioFormat format, uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return capacity_; }
    uint32_t frameLength() const { return length_; }
    void setFrameLength(uint32_t frames); // clamped to the capacity

    std::size_t planeCount() const { return planes_.size(); }
    std::size_t samplesPerPlane(uint32_t frames) const {
        return format_.interleaved ? std::size_t(frames) * format_.channels : frames;
    }
    // One pointer per plane; empty unless the samples are of that type.
    std::vector<float*> floatChannelData();
    std::vector<const float*> floatChannelData() const;
    std::vector<int16_t*> int16ChannelData();
    std::vector<const int16_t*> int16ChannelData() const;

private:
    AudioFormat format_;
    uint32_t capacity_;
    uint32_t length_ = 0;
    std::vector<std::vector<std::byte>> planes_;
};

using PcmBufferPtr = std::shared_ptr<PcmBuffer>;

// Converts a stream of buffers from one format to another: resampling with
// libsoxr (state kept across calls, so small buffers join seamlessly), then
// channel mixing: a downmix (mean) for inputs of fewer than 3 channels, or a
// channel map that takes only the first input channel for 3 or more.
class FormatConverter {
public:
    static std::unique_ptr<FormatConverter> make(const AudioFormat& from, const AudioFormat& to);
    ~FormatConverter();

    const AudioFormat& inputFormat() const { return from_; }
    const AudioFormat& outputFormat() const { return to_; }

    // Converts `input` into `output` (whose capacity bounds what is written;
    // what does not fit stays inside the resampler for the next call).
    // Returns an error text on failure.
    std::optional<std::string> convert(const PcmBuffer& input, PcmBuffer& output);

private:
    FormatConverter(AudioFormat from, AudioFormat to);
    AudioFormat from_, to_;
    bool downmix_ = false;
    void* soxr_ = nullptr; // soxr_t when the rates differ
    std::vector<float> mixed_, resampled_;
};

// Reads an audio file in a fixed processing format: 32-bit float,
// non-interleaved, at the file's own rate and channel count.
class AudioFileReader {
public:
    // nullptr and an error text when the file cannot be opened as audio.
    static std::unique_ptr<AudioFileReader> open(const std::string& path, std::string& error);
    ~AudioFileReader();

    const AudioFormat& processingFormat() const { return format_; }
    int64_t length() const { return length_; }
    int64_t framePosition() const { return position_; }
    // Reads up to `frames` frames into `buffer` (in the processing format);
    // an error text on failure.
    std::optional<std::string> read(PcmBuffer& buffer, uint32_t frames);

private:
    AudioFileReader() = default;
    void* file_ = nullptr; // SNDFILE*
    AudioFormat format_;
    int64_t length_ = 0;
    int64_t position_ = 0;
    std::vector<float> interleaved_;
};

} // namespace zorva
