// The echo canceller on files, as the file mode feeds it (100 ms buffers,
// the reference first):
//
//   echo_bench MIC REF OUT [FROM-TO ...]
//
// writes the cancelled microphone to OUT (16 kHz mono) and prints the CPU
// time per second of audio, the delay found, and the echo-return-loss
// enhancement in dB over each FROM-TO stretch (seconds; stretches where only
// the far side plays).
#include "platform/Audio.h"
#include "platform/EchoCanceller.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sndfile.h>
#include <string>
#include <vector>

using namespace zorva;

namespace {

std::vector<float> readAll(const std::string& path, double& rate) {
    std::string error;
    auto file = AudioFileReader::open(path, error);
    if (!file) {
        std::fprintf(stderr, "echo_bench: %s: %s\n", path.c_str(), error.c_str());
        std::exit(1);
    }
    rate = file->processingFormat().sampleRate;
    std::vector<float> all;
    PcmBuffer buffer(file->processingFormat(), 4096);
    while (file->framePosition() < file->length()) {
        if (file->read(buffer, 4096) || buffer.frameLength() == 0)
            break;
        const float* mono = buffer.floatChannelData()[0];
        all.insert(all.end(), mono, mono + buffer.frameLength());
    }
    return all;
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: echo_bench MIC REF OUT [FROM-TO ...]\n");
        return 2;
    }
    double micRate = 0, refRate = 0;
    const std::vector<float> mic = readAll(argv[1], micRate);
    std::vector<float> ref = readAll(argv[2], refRate);
    auto canceller = makeEchoCanceller(StillClock::instance());
    const AudioFormat micFormat{AudioFormat::Sample::float32, micRate, 1, false};
    const AudioFormat refFormat{AudioFormat::Sample::float32, refRate, 1, false};
    const auto chunk = static_cast<std::size_t>(micRate / 10);
    std::vector<float> out;
    out.reserve(mic.size());
    std::size_t refGiven = 0;
    const double cpu0 = cpuSeconds();
    for (std::size_t at = 0; at < mic.size(); at += chunk) {
        const std::size_t n = std::min(chunk, mic.size() - at);
        const double end = double(at + n) / micRate;
        const auto refDue = static_cast<std::size_t>(std::llround(end * refRate));
        PcmBuffer played(refFormat, static_cast<uint32_t>(refDue - refGiven + 1));
        played.setFrameLength(static_cast<uint32_t>(refDue - refGiven));
        for (std::size_t i = refGiven; i < refDue; ++i)
            played.floatChannelData()[0][i - refGiven] = i < ref.size() ? ref[i] : 0.0f;
        refGiven = refDue;
        canceller->addReference(played);
        PcmBuffer heard(micFormat, static_cast<uint32_t>(n));
        heard.setFrameLength(static_cast<uint32_t>(n));
        std::copy(mic.begin() + long(at), mic.begin() + long(at + n), heard.floatChannelData()[0]);
        const PcmBuffer& clean = canceller->process(heard);
        const float* c = clean.floatChannelData()[0];
        out.insert(out.end(), c, c + clean.frameLength());
    }
    const double cpu = cpuSeconds() - cpu0;
    const double seconds = double(mic.size()) / micRate;
    std::printf("cpu %.2f%% of one core, delay found %d ms\n", 100 * cpu / seconds,
                canceller->delayMs());

    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(argv[3], SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "echo_bench: cannot write %s\n", argv[3]);
        return 1;
    }
    sf_writef_float(file, out.data(), sf_count_t(out.size()));
    sf_close(file);

    // ERLE over the far-only stretches: the microphone's energy there (at
    // 16 kHz, as the canceller sees it) against what is left of it.
    for (int i = 4; i < argc; ++i) {
        double from = 0, to = 0;
        if (std::sscanf(argv[i], "%lf-%lf", &from, &to) != 2)
            continue;
        double in = 0, left = 0;
        for (auto k = std::size_t(from * micRate); k < std::size_t(to * micRate) && k < mic.size();
             ++k)
            in += double(mic[k]) * mic[k] / micRate;
        for (auto k = std::size_t(from * 16000); k < std::size_t(to * 16000) && k < out.size(); ++k)
            left += double(out[k]) * out[k] / 16000;
        std::printf("erle %s %.1f dB\n", argv[i], 10 * std::log10((in + 1e-12) / (left + 1e-12)));
    }
    return 0;
}
