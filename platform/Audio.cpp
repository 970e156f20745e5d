#include "Audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>

namespace zorva {

std::string AudioFormat::description() const {
    const char* type = sample == Sample::float32 ? "float32"
                       : sample == Sample::int16 ? "int16"
                                                 : "int32";
    char text[96];
    std::snprintf(text, sizeof text, "%g Hz, %u ch, %s, %s", sampleRate, channels, type,
                  interleaved ? "interleaved" : "deinterleaved");
    return text;
}

PcmBuffer::PcmBuffer(AudioFormat format, uint32_t frameCapacity)
    : format_(format), capacity_(frameCapacity) {
    std::size_t planes = format_.interleaved ? 1 : format_.channels;
    planes_.assign(planes,
                   std::vector<std::byte>(samplesPerPlane(capacity_) * format_.bytesPerSample()));
}

void PcmBuffer::setFrameLength(uint32_t frames) {
    length_ = std::min(frames, capacity_);
}

template <typename T, typename Planes>
static std::vector<T*> pointers(Planes& planes, bool matches) {
    std::vector<T*> out;
    if (!matches)
        return out;
    for (auto& p : planes)
        out.push_back(reinterpret_cast<T*>(p.data()));
    return out;
}

std::vector<float*> PcmBuffer::floatChannelData() {
    return pointers<float>(planes_, format_.sample == AudioFormat::Sample::float32);
}
std::vector<const float*> PcmBuffer::floatChannelData() const {
    return pointers<const float>(planes_, format_.sample == AudioFormat::Sample::float32);
}
std::vector<int16_t*> PcmBuffer::int16ChannelData() {
    return pointers<int16_t>(planes_, format_.sample == AudioFormat::Sample::int16);
}
std::vector<const int16_t*> PcmBuffer::int16ChannelData() const {
    return pointers<const int16_t>(planes_, format_.sample == AudioFormat::Sample::int16);
}

// ---------------------------------------------------------------- converter

namespace {

// Reads samples of any supported layout as floats. Plane pointers are taken
// once per buffer: this runs on the audio thread for every sample.
class SampleReader {
public:
    explicit SampleReader(const PcmBuffer& b)
        : f_(b.format()), floats_(b.floatChannelData()), ints_(b.int16ChannelData()) {}
    float at(uint32_t channel, uint32_t frame) const {
        std::size_t plane = f_.interleaved ? 0 : channel;
        std::size_t index = f_.interleaved ? std::size_t(frame) * f_.channels + channel : frame;
        if (!floats_.empty())
            return floats_[plane][index];
        if (!ints_.empty())
            return ints_[plane][index] / 32768.0f;
        return 0.f;
    }

private:
    const AudioFormat& f_;
    std::vector<const float*> floats_;
    std::vector<const int16_t*> ints_;
};

} // namespace

std::unique_ptr<FormatConverter> FormatConverter::make(const AudioFormat& from,
                                                       const AudioFormat& to) {
    if (from.sampleRate <= 0 || to.sampleRate <= 0 || from.channels == 0 || to.channels == 0 ||
        from.sample == AudioFormat::Sample::int32 || to.sample == AudioFormat::Sample::int32)
        return nullptr;
    std::unique_ptr<FormatConverter> c(new FormatConverter(from, to));
    if (from.sampleRate != to.sampleRate) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        c->soxr_ = soxr_create(from.sampleRate, to.sampleRate, to.channels, &error, &io, &quality,
                               nullptr);
        if (error)
            return nullptr;
    }
    return c;
}

FormatConverter::FormatConverter(AudioFormat from, AudioFormat to)
    : from_(from), to_(to), downmix_(from.channels < 3) {}

FormatConverter::~FormatConverter() {
    if (soxr_)
        soxr_delete(static_cast<soxr_t>(soxr_));
}

std::optional<std::string> FormatConverter::convert(const PcmBuffer& input, PcmBuffer& output) {
    if (!(input.format() == from_) || !(output.format() == to_))
        return "buffer format does not match the converter";
    const uint32_t frames = input.frameLength();
    const uint32_t outChannels = to_.channels;
    const SampleReader in(input);
    // 1. Channels, interleaved float at the input rate.
    mixed_.resize(std::size_t(frames) * outChannels);
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < outChannels; ++c) {
            float v;
            if (outChannels == 1 && downmix_ && from_.channels > 1) {
                v = 0;
                for (uint32_t k = 0; k < from_.channels; ++k)
                    v += in.at(k, i);
                v /= static_cast<float>(from_.channels);
            } else {
                // The channel map: the same channel where it exists, else the first.
                v = in.at(c < from_.channels && outChannels > 1 ? c : 0, i);
            }
            mixed_[std::size_t(i) * outChannels + c] = v;
        }
    }
    // 2. Rate.
    const float* source = mixed_.data();
    std::size_t produced = frames;
    const uint32_t room = output.frameCapacity();
    if (soxr_) {
        resampled_.resize(std::size_t(room) * outChannels);
        std::size_t used = 0;
        produced = 0;
        soxr_error_t error = soxr_process(static_cast<soxr_t>(soxr_), mixed_.data(), frames, &used,
                                          resampled_.data(), room, &produced);
        if (error)
            return std::string("resampler: ") + error;
        source = resampled_.data();
    }
    produced = std::min<std::size_t>(produced, room);
    // 3. Sample type and layout.
    for (std::size_t i = 0; i < produced; ++i) {
        for (uint32_t c = 0; c < outChannels; ++c) {
            float v = source[i * outChannels + c];
            std::size_t plane = to_.interleaved ? 0 : c;
            std::size_t index = to_.interleaved ? i * outChannels + c : i;
            if (to_.sample == AudioFormat::Sample::float32) {
                output.floatChannelData()[plane][index] = v;
            } else {
                float scaled = std::clamp(v * 32768.0f, -32768.0f, 32767.0f);
                output.int16ChannelData()[plane][index] = static_cast<int16_t>(std::lrint(scaled));
            }
        }
    }
    output.setFrameLength(static_cast<uint32_t>(produced));
    return std::nullopt;
}

// ---------------------------------------------------------------- files

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::string& path,
                                                       std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "is a directory";
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        sf_close(file);
        error = "no audio channels";
        return nullptr;
    }
    std::unique_ptr<AudioFileReader> reader(new AudioFileReader());
    reader->file_ = file;
    reader->format_ = {AudioFormat::Sample::float32, static_cast<double>(info.samplerate),
                       static_cast<uint32_t>(info.channels), false};
    reader->length_ = info.frames;
    return reader;
}

AudioFileReader::~AudioFileReader() {
    if (file_)
        sf_close(static_cast<SNDFILE*>(file_));
}

std::optional<std::string> AudioFileReader::read(PcmBuffer& buffer, uint32_t frames) {
    frames = std::min(frames, buffer.frameCapacity());
    const uint32_t channels = format_.channels;
    interleaved_.resize(std::size_t(frames) * channels);
    sf_count_t got = sf_readf_float(static_cast<SNDFILE*>(file_), interleaved_.data(), frames);
    if (got < 0 || (got == 0 && sf_error(static_cast<SNDFILE*>(file_)) != SF_ERR_NO_ERROR))
        return std::string(sf_strerror(static_cast<SNDFILE*>(file_)));
    auto planes = buffer.floatChannelData();
    for (sf_count_t i = 0; i < got; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            planes[c][i] = interleaved_[std::size_t(i) * channels + c];
    buffer.setFrameLength(static_cast<uint32_t>(got));
    position_ += got;
    if (got == 0)
        position_ = length_; // a file shorter than its header says: stop here
    return std::nullopt;
}

} // namespace zorva
