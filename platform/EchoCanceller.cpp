#include "EchoCanceller.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace zorva {

namespace {

constexpr int kRate = 16000;
constexpr std::size_t kFrame = 160; // the canceller's 10 ms
constexpr int64_t kRingSamples = 4 * kRate;
// Delay search, in frames: 0 to 500 ms, over the last 3 s, every 250 ms. The
// search looks 100 ms further, so that a best lag there (a correlation that
// only grows with the lag: the user's and the far side's turns, not an echo)
// is told from a peak.
constexpr int kMaxLagFrames = 50;
constexpr int kSearchLagFrames = kMaxLagFrames + 10;
constexpr int kWindowFrames = 300;
constexpr int kMinWindowFrames = 100;
constexpr double kEchoScore = 0.6; // below this the echo is not clearly there
constexpr int kSearchEvery = 25;
constexpr int kHistoryFrames = kWindowFrames + kSearchLagFrames + 1;
// The reference is fed this much earlier than the echo found, so that the
// filter (128 ms) covers an estimate a little late as well as the room's tail.
constexpr int kLeadFrames = 2;
// The room's tail after the far side stops: 300 ms.
constexpr int kTailFrames = 30;
// What the canceller must take away, over the last seconds of the far side,
// before its output is used: half the energy (3 dB). The weight falls to a
// third in 2 s.
constexpr double kEchoRemoved = 2.0;
constexpr double kEchoDecay = 0.995;
constexpr double kOffsetStep = 80;     // 5 ms
constexpr double kFloorEnergy = 1e-9;  // -90 dBFS
constexpr double kActiveEnergy = 1e-5; // -50 dBFS: the far side is playing

const AudioFormat kWorkFormat{AudioFormat::Sample::float32, kRate, 1, false};

double energy(const float* x, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += double(x[i]) * x[i];
    return sum / double(n);
}

// Pearson correlation of a and b over n values.
double correlation(const float* a, const float* b, int n) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int i = 0; i < n; ++i) {
        sa += a[i];
        sb += b[i];
        saa += double(a[i]) * a[i];
        sbb += double(b[i]) * b[i];
        sab += double(a[i]) * b[i];
    }
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    if (va <= 1e-9 || vb <= 1e-9)
        return 0;
    return (sab - sa * sb / n) / std::sqrt(va * vb);
}

// Converts any buffer to 16 kHz mono float, making a new converter only when
// the format changes.
class ToWorkFormat {
public:
    const PcmBuffer& convert(const PcmBuffer& in) {
        if (!converter_ || converter_->inputFormat() != in.format())
            converter_ = FormatConverter::make(in.format(), kWorkFormat);
        const auto room = static_cast<uint32_t>(
            std::ceil(in.frameLength() * kRate / std::max(1.0, in.format().sampleRate)) + 64);
        if (out_.frameCapacity() < room)
            out_ = PcmBuffer(kWorkFormat, room);
        out_.setFrameLength(0);
        if (!converter_ || converter_->convert(in, out_))
            out_.setFrameLength(0);
        return out_;
    }

private:
    std::unique_ptr<FormatConverter> converter_;
    PcmBuffer out_{kWorkFormat, 4096};
};

class WebRtcEchoCanceller final : public EchoCanceller {
public:
    WebRtcEchoCanceller() : ring_(kRingSamples, 0.0f) {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
        apm_.reset(webrtc::AudioProcessing::Create(config));
        apm_->echo_cancellation()->Enable(true);
        apm_->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kModerateSuppression);
        pending_.reserve(kFrame);
        span_.reserve(kRingSamples);
        micEnv_.fill(0);
        refEnv_.fill(0);
    }

    void addReference(const PcmBuffer& buffer) override {
        const PcmBuffer& work = reference_.convert(buffer);
        const float* in = work.floatChannelData()[0];
        const int64_t n = work.frameLength();
        std::lock_guard lock(lock_);
        for (int64_t i = 0; i < n; ++i)
            ring_[std::size_t((refEnd_ + i) % kRingSamples)] = in[i];
        refEnd_ += n;
    }

    const PcmBuffer& process(const PcmBuffer& microphone) override {
        const PcmBuffer& work = microphone_.convert(microphone);
        const float* in = work.floatChannelData()[0];
        const std::size_t n = work.frameLength();
        const std::size_t total = pending_.size() + n;
        const std::size_t frames = total / kFrame;
        if (out_.frameCapacity() < frames * kFrame)
            out_ = PcmBuffer(kWorkFormat, static_cast<uint32_t>(frames * kFrame));
        out_.setFrameLength(static_cast<uint32_t>(frames * kFrame));
        float* out = out_.floatChannelData()[0];

        const int64_t micEnd = micEnd_ + int64_t(n); // after this buffer
        const int64_t firstFrame = micEnd_ - int64_t(pending_.size());
        const int64_t delay = std::max(0, delayFrames_ - kLeadFrames) * int64_t(kFrame);
        align(micEnd);
        // The reference this call needs: from the delayed start of its first
        // frame to the end of its last frame without delay.
        const int64_t spanFrom = firstFrame + offset_ - delay;
        copyReference(spanFrom, firstFrame + int64_t(frames * kFrame) + offset_);

        std::array<float, kFrame> mic{}, ref{}, aligned{};
        std::size_t used = 0; // of `in`
        for (std::size_t f = 0; f < frames; ++f) {
            // The frame: what was pending from the last call, then new audio.
            const std::size_t fromPending = f == 0 ? pending_.size() : 0;
            std::copy(pending_.begin(), pending_.begin() + long(fromPending), mic.begin());
            std::copy(in + used, in + used + (kFrame - fromPending),
                      mic.begin() + long(fromPending));
            used += kFrame - fromPending;
            const int64_t at = firstFrame + int64_t(f * kFrame) + offset_;
            spanCopy(at - delay - spanFrom, ref.data());
            spanCopy(at - spanFrom, aligned.data());

            const float* refIn[] = {ref.data()};
            apm_->AnalyzeReverseStream(refIn, kFrame, kRate, webrtc::AudioProcessing::kMono);
            apm_->set_stream_delay_ms(0);
            const float* micIn[] = {mic.data()};
            float* micOut[] = {out + f * kFrame};
            apm_->ProcessStream(micIn, kFrame, kRate, webrtc::AudioProcessing::kMono, kRate,
                                webrtc::AudioProcessing::kMono, micOut);
            const double micEnergy = energy(mic.data(), kFrame);
            choose(micEnergy, ref.data(), mic.data(), out + f * kFrame);
            track(micEnergy, aligned.data());
        }
        if (frames == 0)
            pending_.insert(pending_.end(), in, in + n); // still less than a frame
        else
            pending_.assign(in + used, in + n);
        micEnd_ = micEnd;
        return out_;
    }

    int delayMs() const override { return delayMsShown_.load(); }

private:
    // Moves the alignment toward what the wall clock says: the newest
    // microphone frame goes with the newest reference frame that has arrived.
    void align(int64_t micEnd) {
        std::lock_guard lock(lock_);
        if (refEnd_ == 0) // nothing played yet
            return;
        const int64_t seen = refEnd_ - micEnd;
        // A stream that stalled or restarted jumps at once. Otherwise the
        // arrivals jitter by up to a buffer: only the clocks' drift is
        // followed, slowly and in steps of a few milliseconds, since every
        // step moves the echo under the canceller's filter.
        if (!aligned_ || std::abs(seen - offset_) > kRate / 5) {
            offsetFine_ = double(seen);
            offset_ = seen;
            aligned_ = true;
        } else {
            offsetFine_ += (double(seen) - offsetFine_) * 0.02;
            if (std::abs(offsetFine_ - double(offset_)) > kOffsetStep)
                offset_ = std::llround(offsetFine_);
        }
    }

    // Copies reference [from, to) into span_, zeros for what never arrived
    // or is gone.
    void copyReference(int64_t from, int64_t to) {
        span_.assign(std::size_t(std::max<int64_t>(0, to - from)), 0.0f);
        std::lock_guard lock(lock_);
        // Reference before its first sample (a microphone that started
        // first) is silence too.
        const int64_t first = std::max({from, refEnd_ - kRingSamples, int64_t(0)});
        for (int64_t i = first; i < std::min(to, refEnd_); ++i)
            span_[std::size_t(i - from)] = ring_[std::size_t(i % kRingSamples)];
    }

    void spanCopy(int64_t at, float* into) const {
        for (std::size_t i = 0; i < kFrame; ++i) {
            const int64_t k = at + int64_t(i);
            into[i] = k >= 0 && k < int64_t(span_.size()) ? span_[std::size_t(k)] : 0.0f;
        }
    }

    // Keeps the cancelled frame only while the far side may be heard and the
    // canceller is seen to take echo away; otherwise the microphone passes
    // as it was, so that the user's speech is not touched when there is no
    // echo to remove (headphones, a quiet far side). A change of mind fades
    // across the frame.
    void choose(double micEnergy, const float* ref, const float* mic, float* out) {
        sinceFar_ = energy(ref, kFrame) > kActiveEnergy ? 0 : sinceFar_ + 1;
        const bool farHeard = delayFrames_ >= 0 && sinceFar_ <= kLeadFrames + kTailFrames;
        if (farHeard) {
            echoIn_ = echoIn_ * kEchoDecay + micEnergy;
            echoLeft_ = echoLeft_ * kEchoDecay + energy(out, kFrame);
        }
        const bool cancel = farHeard && echoIn_ > kEchoRemoved * echoLeft_;
        if (!cancel && !cancelling_) {
            std::copy(mic, mic + kFrame, out);
        } else if (cancel != cancelling_) {
            for (std::size_t i = 0; i < kFrame; ++i) {
                const float w = (float(i) + 0.5f) / float(kFrame);
                const float keep = cancel ? w : 1.0f - w;
                out[i] = keep * out[i] + (1.0f - keep) * mic[i];
            }
        }
        cancelling_ = cancel;
    }

    // Keeps the two envelopes and, every so often, looks for the lag at which
    // the microphone follows the reference best.
    void track(double micEnergy, const float* ref) {
        const double refEnergy = energy(ref, kFrame);
        const int slot = int(frame_ % kHistoryFrames);
        micEnv_[slot] = float(std::log10(micEnergy + kFloorEnergy));
        refEnv_[slot] = float(std::log10(refEnergy + kFloorEnergy));
        refActive_[slot] = refEnergy > kActiveEnergy;
        ++frame_;
        if (frame_ % kSearchEvery != 0)
            return;
        const int window = int(std::min<int64_t>(kWindowFrames, frame_ - kSearchLagFrames));
        if (window < kMinWindowFrames)
            return;
        int active = 0;
        for (int i = 0; i < window + kSearchLagFrames; ++i)
            active += refActive_[std::size_t(slotOf(frame_ - 1 - i))];
        if (active < kMinWindowFrames / 2)
            return;
        std::array<float, kWindowFrames> m{}, r{};
        for (int i = 0; i < window; ++i)
            m[std::size_t(i)] = micEnv_[std::size_t(slotOf(frame_ - window + i))];
        int best = -1;
        double bestScore = kEchoScore;
        for (int lag = 0; lag <= kSearchLagFrames; ++lag) {
            for (int i = 0; i < window; ++i)
                r[std::size_t(i)] = refEnv_[std::size_t(slotOf(frame_ - window + i - lag))];
            const double score = correlation(m.data(), r.data(), window);
            if (score > bestScore) {
                bestScore = score;
                best = lag;
            }
        }
        if (best < 0 || best > kMaxLagFrames)
            return;
        // A first estimate is taken at once; a move needs the same answer
        // twice, and a small one is left to the filter.
        if (delayFrames_ < 0 ||
            (std::abs(best - candidate_) <= 1 && std::abs(best - delayFrames_) >= 2))
            delayFrames_ = best;
        candidate_ = best;
        delayMsShown_ = delayFrames_ * 10;
    }

    static int slotOf(int64_t frame) {
        return int(((frame % kHistoryFrames) + kHistoryFrames) % kHistoryFrames);
    }

    std::unique_ptr<webrtc::AudioProcessing> apm_;
    ToWorkFormat reference_, microphone_;

    std::mutex lock_; // guards the ring and where the reference stands
    std::vector<float> ring_;
    int64_t refEnd_ = 0; // reference samples received so far

    // The microphone thread's own:
    std::vector<float> pending_; // less than a frame, from the last buffer
    std::vector<float> span_;
    PcmBuffer out_{kWorkFormat, 4800};
    int64_t micEnd_ = 0; // microphone samples received so far
    int64_t offset_ = 0; // reference index minus microphone index, same instant
    double offsetFine_ = 0;
    bool aligned_ = false;
    int64_t frame_ = 0;
    std::array<float, kHistoryFrames> micEnv_, refEnv_;
    std::array<bool, kHistoryFrames> refActive_{};
    int delayFrames_ = -1;
    int64_t sinceFar_ = 1 << 20; // frames since the reference last played
    double echoIn_ = 0, echoLeft_ = 0;
    bool cancelling_ = false;
    int candidate_ = -1;
    std::atomic<int> delayMsShown_{-1};
};

} // namespace

std::unique_ptr<EchoCanceller> makeEchoCanceller() {
    return std::make_unique<WebRtcEchoCanceller>();
}

} // namespace zorva
