#include "EchoCanceller.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <speex/speex_echo.h>
#include <vector>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace zorva {

namespace {

constexpr int kRate = 16000;
constexpr std::size_t kFrame = 160; // the canceller's 10 ms
constexpr int64_t kRingSamples = 4 * kRate;
// Delay search, in frames: 0 to 500 ms, over the last 3 s, every 250 ms
// (every 100 ms until the echo is found). Only the frames where the
// reference plays count, at least 500 ms of them: with the silences in, the
// step of two people who start talking at once correlates as well as an
// echo does, and so do a few frames of two voices. The search looks 100 ms
// further, so that a best lag there (a correlation that only grows with the
// lag: the user's and the far side's turns, not an echo) is told from a
// peak.
constexpr int kMaxLagFrames = 50;
constexpr int kSearchLagFrames = kMaxLagFrames + 10;
constexpr int kWindowFrames = 300;
constexpr int kMinActiveFrames = 50;
constexpr double kEchoScore = 0.8; // below this the echo is not clearly there
// The far side's first words would reach the user's transcript while the
// search waits for 500 ms of them: in its first 3 s, before any echo is
// found, a match near perfect over 200 ms is taken when there is no other,
// if the far side started from silence and the microphone was quiet (10 dB
// below what it then heard) until the echo would have begun. Two voices
// that start together in one cadence can match as well over so few frames:
// a user who had begun first is told by the microphone, one who began just
// after by the match not lasting (three searches in a row must agree).
constexpr int kFirstActiveFrames = 20;
constexpr double kFirstEchoScore = 0.95;
constexpr int kFirstFarFrames = 300;
constexpr int kQuietFrames = 20;
constexpr float kQuietBelow = 1.0f; // in log10 energy
constexpr int kSearchEvery = 25;
constexpr int kFirstSearchEvery = 10;
constexpr int kHistoryFrames = kWindowFrames + kSearchLagFrames + 1;
// The reference is fed this much earlier than the echo found, so that the
// filter (128 ms) covers an estimate a little late as well as the room's tail.
constexpr int kLeadFrames = 2;
// The room's tail after the far side stops: 300 ms.
constexpr int kTailFrames = 30;
// The linear filter in front of WebRTC's: 128 ms, which with the lead covers
// the room's reflections after the delay found.
constexpr int kLinearTaps = 2048;
// Once the echo is found, the canceller needs a moment to learn the room,
// and the far side's words would reach the user's transcript meanwhile: the
// microphone is held silent while the far side plays, until the canceller
// has been seen cancelling for 1 s. Nothing is held before an echo is found
// (headphones: the user may well talk over the far side's first words); the
// hold is over after the far side's first 3 s in any case.
constexpr int kHoldUntilCancelled = 100;
constexpr int kHoldAtMost = 300;
// What the canceller must take away, over the last seconds of the far side,
// before its output is used: half the energy (3 dB). The weight falls to a
// third in 2 s.
constexpr double kEchoRemoved = 2.0;
constexpr double kEchoDecay = 0.995;
constexpr double kOffsetStep = 80;     // 5 ms
constexpr double kFloorEnergy = 1e-9;  // -90 dBFS
constexpr double kActiveEnergy = 1e-5; // -50 dBFS: the far side is playing
constexpr auto kArrivalBucket = std::chrono::seconds(1);
// Drift: once the echo is found, each search's peak, read between its lags
// (to a millisecond or so), is a point on a line through the last 30 s of
// the far side's speech; its slope, over 6 s at least, is the rate at which
// the echo slides against the reference. The reference is then read at that
// rate, so that the echo holds still under the filters: each of the search's
// steps makes them learn the room again. Below 0.05% (30 ms a minute; a live
// search's readings wander by about half that) the search's steps are left
// to follow it; two sound cards' clocks, as a rule far closer, the alignment
// follows anyway.
constexpr std::size_t kDriftPoints = 120;
constexpr double kDriftSpan = 600; // frames
constexpr double kDriftAtLeast = 500e-6 * kFrame;
constexpr double kDriftAtMost = 3e-3 * kFrame; // 0.3%: beyond any sound card's
constexpr double kDriftScatter = 32;           // samples about the line
constexpr double kDriftCatchUp = 500;          // frames

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

// How late a stream's audio arrives, in samples: the clock's count at its
// arrival less all the stream has delivered; the least of it over the last
// one to two seconds. A stream comes late (a busy machine, a server that
// delivers in bursts), never early, so the least is when it came on time.
// The window lets the clocks' drift through, and audio a restart lost within
// two seconds.
class ArrivalFloor {
public:
    void add(Instant now, int64_t received) {
        const double late = std::chrono::duration<double>(now).count() * kRate - double(received);
        if (!started_ || now - bucketFrom_ >= 2 * kArrivalBucket) {
            previous_ = current_ = late;
            bucketFrom_ = now;
            started_ = true;
            full_ = false;
        } else if (now - bucketFrom_ >= kArrivalBucket) {
            previous_ = current_;
            full_ = true;
            current_ = late;
            bucketFrom_ = now;
        } else {
            current_ = std::min(current_, late);
        }
    }

    bool known() const { return started_; }
    // A whole window seen: until then the least only falls.
    bool full() const { return full_; }
    double floor() const { return std::min(previous_, current_); }

private:
    bool started_ = false, full_ = false;
    Instant bucketFrom_{};
    double previous_ = 0, current_ = 0;
};

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

// The echo's delay, in samples, as it was measured over time (in frames); its
// slope is the drift. A step (a restart that lost audio, a changed room)
// starts it over.
class DriftLine {
public:
    void add(double frame, double lag) {
        // One odd reading (the user talking over the far side) is passed
        // over; three in a row are a step.
        if (sure_ && std::abs(lag - at(frame)) > 5 * kDriftScatter) {
            if (++odd_ < 3)
                return;
            count_ = next_ = 0;
        }
        odd_ = 0;
        points_[next_] = {frame, lag};
        next_ = (next_ + 1) % kDriftPoints;
        count_ = std::min(count_ + 1, kDriftPoints);
        fit();
    }

    bool sure() const { return sure_; }
    double slope() const { return slope_; } // samples per frame

    double at(double frame) const { return mean_ + slope_ * (frame - meanFrame_); }

private:
    void fit() {
        sure_ = false;
        double sx = 0, sy = 0, first = points_[0].first, last = first;
        for (std::size_t i = 0; i < count_; ++i) {
            sx += points_[i].first;
            sy += points_[i].second;
            first = std::min(first, points_[i].first);
            last = std::max(last, points_[i].first);
        }
        if (last - first < kDriftSpan)
            return;
        meanFrame_ = sx / double(count_);
        mean_ = sy / double(count_);
        double sxx = 0, sxy = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            const double dx = points_[i].first - meanFrame_;
            sxx += dx * dx;
            sxy += dx * (points_[i].second - mean_);
        }
        slope_ = sxx > 0 ? sxy / sxx : 0;
        double scatter = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            const double d = points_[i].second - at(points_[i].first);
            scatter += d * d;
        }
        sure_ = std::sqrt(scatter / double(count_)) < kDriftScatter;
    }

    std::array<std::pair<double, double>, kDriftPoints> points_{};
    std::size_t next_ = 0, count_ = 0;
    int odd_ = 0;
    double meanFrame_ = 0, mean_ = 0, slope_ = 0;
    bool sure_ = false;
};

// Catmull-Rom between x[1] and x[2], t of the way.
float interpolate(const float* x, float t) {
    return x[1] + 0.5f * t *
                      (x[2] - x[0] +
                       t * (2.0f * x[0] - 5.0f * x[1] + 4.0f * x[2] - x[3] +
                            t * (3.0f * (x[1] - x[2]) + x[3] - x[0])));
}

class WebRtcEchoCanceller final : public EchoCanceller {
    // The search's score at each lag it tries.
    using Scores = std::array<double, kSearchLagFrames + 1>;

public:
    explicit WebRtcEchoCanceller(const Clock& clock) : clock_(clock), ring_(kRingSamples, 0.0f) {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
        apm_.reset(webrtc::AudioProcessing::Create(config));
        apm_->echo_cancellation()->Enable(true);
        apm_->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kModerateSuppression);
        linear_ = speex_echo_state_init(int(kFrame), kLinearTaps);
        int rate = kRate;
        speex_echo_ctl(linear_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        pending_.reserve(kFrame);
        span_.reserve(kRingSamples);
        micEnv_.fill(0);
        refEnv_.fill(0);
    }

    ~WebRtcEchoCanceller() override { speex_echo_state_destroy(linear_); }
    WebRtcEchoCanceller(const WebRtcEchoCanceller&) = delete;
    WebRtcEchoCanceller& operator=(const WebRtcEchoCanceller&) = delete;

    void addReference(const PcmBuffer& buffer) override {
        const PcmBuffer& work = reference_.convert(buffer);
        const float* in = work.floatChannelData()[0];
        const int64_t n = work.frameLength();
        const Instant now = clock_.now();
        std::lock_guard lock(lock_);
        for (int64_t i = 0; i < n; ++i)
            ring_[std::size_t((refEnd_ + i) % kRingSamples)] = in[i];
        refEnd_ += n;
        if (n > 0)
            refArrival_.add(now, refEnd_);
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
        if (n > 0)
            micArrival_.add(clock_.now(), micEnd);
        const int64_t firstFrame = micEnd_ - int64_t(pending_.size());
        const double delay = std::max(0, delayFrames_ - kLeadFrames) * double(kFrame);
        align();
        // The reference this call needs: from the delayed start of its first
        // frame to the end of its last frame without delay, with what
        // reading between its samples takes either side.
        const double mostDelay = delay + std::max(glide_, glide_ + drift_ * double(frames));
        const int64_t spanFrom =
            firstFrame + offset_ - int64_t(std::ceil(std::max(0.0, mostDelay))) - 2;
        copyReference(spanFrom, firstFrame + int64_t(frames * kFrame) + offset_ + 2);

        std::array<float, kFrame> mic{}, ref{}, aligned{}, afterLinear{};
        std::size_t used = 0; // of `in`
        for (std::size_t f = 0; f < frames; ++f) {
            // The frame: what was pending from the last call, then new audio.
            const std::size_t fromPending = f == 0 ? pending_.size() : 0;
            std::copy(pending_.begin(), pending_.begin() + long(fromPending), mic.begin());
            std::copy(in + used, in + used + (kFrame - fromPending),
                      mic.begin() + long(fromPending));
            used += kFrame - fromPending;
            const int64_t at = firstFrame + int64_t(f * kFrame) + offset_;
            // Within what the search covers: the rate stands while the far
            // side is silent, and nothing else stops it.
            glide_ = std::clamp(glide_ + drift_, -delay - kLeadFrames * double(kFrame),
                                kMaxLagFrames * double(kFrame) - delay);
            const double readDelay = std::max(0.0, delay + glide_);
            spanRead(double(at - spanFrom) - readDelay, ref.data());
            spanRead(double(at - spanFrom), aligned.data());

            // Speex's linear filter takes most of the echo away, which it does
            // without touching the user's speech; WebRTC's then removes what
            // is left. Alone, WebRTC's suppression of the loud echo also takes
            // the user's words spoken over the far side.
            filterLinearly(mic.data(), ref.data(), afterLinear.data());
            const float* refIn[] = {ref.data()};
            apm_->AnalyzeReverseStream(refIn, kFrame, kRate, webrtc::AudioProcessing::kMono);
            apm_->set_stream_delay_ms(0);
            const float* micIn[] = {afterLinear.data()};
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
    // Lines the two up by the wall clock: what each has received when it
    // arrives on time. Moves in steps of a few milliseconds at least, since
    // every step moves the echo under the canceller's filter.
    void align() {
        std::lock_guard lock(lock_);
        if (!refArrival_.known() || !micArrival_.known()) // nothing played yet
            return;
        const double target = micArrival_.floor() - refArrival_.floor();
        // At first, and after a restart that lost audio, it moves at once.
        // Otherwise the on-time arrivals still jitter (by tens of
        // milliseconds on PipeWire), and only the clocks' drift is followed,
        // slowly.
        if (!micArrival_.full() || !refArrival_.full() ||
            std::abs(target - offsetFine_) > kRate / 5)
            offsetFine_ = target;
        else
            offsetFine_ += (target - offsetFine_) * 0.02;
        if (!aligned_ || std::abs(offsetFine_ - double(offset_)) > kOffsetStep) {
            const int64_t moved = std::llround(offsetFine_) - offset_;
            offset_ += moved;
            // While the reference is read at the drift's rate, that already
            // follows the clocks: a step of theirs is not made a second time
            // (a jump, audio a restart lost, is).
            if (aligned_ && drift_ != 0 && std::abs(moved) < kRate / 20)
                glide_ += double(moved);
        }
        aligned_ = true;
    }

    void filterLinearly(const float* mic, const float* ref, float* out) {
        std::array<spx_int16_t, kFrame> m{}, r{}, e{};
        for (std::size_t i = 0; i < kFrame; ++i) {
            m[i] = spx_int16_t(std::lrint(std::clamp(mic[i], -1.0f, 1.0f) * 32767.0f));
            r[i] = spx_int16_t(std::lrint(std::clamp(ref[i], -1.0f, 1.0f) * 32767.0f));
        }
        speex_echo_cancellation(linear_, m.data(), r.data(), e.data());
        for (std::size_t i = 0; i < kFrame; ++i)
            out[i] = float(e[i]) / 32768.0f;
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

    // A frame of span_ from `at`, which may fall between samples (the
    // reference read at the drift's rate).
    void spanRead(double at, float* into) const {
        const double whole = std::floor(at);
        const auto t = float(at - whole);
        for (std::size_t i = 0; i < kFrame; ++i) {
            const int64_t k = int64_t(whole) + int64_t(i);
            if (t == 0.0f) {
                into[i] = sample(k);
                continue;
            }
            const std::array<float, 4> x{sample(k - 1), sample(k), sample(k + 1), sample(k + 2)};
            into[i] = interpolate(x.data(), t);
        }
    }

    float sample(int64_t k) const {
        return k >= 0 && k < int64_t(span_.size()) ? span_[std::size_t(k)] : 0.0f;
    }

    // Keeps the cancelled frame only while the far side may be heard and the
    // canceller is seen to take echo away; otherwise the microphone passes
    // as it was, so that the user's speech is not touched when there is no
    // echo to remove (headphones, a quiet far side). A change of mind fades
    // across the frame.
    void choose(double micEnergy, const float* ref, const float* mic, float* out) {
        const bool farPlays = energy(ref, kFrame) > kActiveEnergy;
        sinceFar_ = farPlays ? 0 : sinceFar_ + 1;
        const bool farHeard = delayFrames_ >= 0 && sinceFar_ <= kLeadFrames + kTailFrames;
        if (farHeard) {
            echoIn_ = echoIn_ * kEchoDecay + micEnergy;
            echoLeft_ = echoLeft_ * kEchoDecay + energy(out, kFrame);
        }
        const bool cancel = farHeard && echoIn_ > kEchoRemoved * echoLeft_;
        if (holding_ && hold(farPlays, cancel, out))
            return;
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

    // Silences the frame while the hold lasts and the far side's echo may be
    // heard; says whether it did.
    bool hold(bool farPlays, bool cancel, float* out) {
        farFrames_ += farPlays;
        cancelFrames_ += cancel;
        holding_ = cancelFrames_ < kHoldUntilCancelled && farFrames_ < kHoldAtMost;
        if (!holding_ || delayFrames_ < 0 || sinceFar_ > kLeadFrames + kTailFrames)
            return false;
        std::fill(out, out + kFrame, 0.0f);
        cancelling_ = true; // leaving the hold fades, as leaving the canceller does
        return true;
    }

    // Keeps the two envelopes and, every so often, looks for the lag at which
    // the microphone follows the reference best.
    void track(double micEnergy, const float* ref) {
        const double refEnergy = energy(ref, kFrame);
        const int slot = int(frame_ % kHistoryFrames);
        micEnv_[slot] = float(std::log10(micEnergy + kFloorEnergy));
        refEnv_[slot] = float(std::log10(refEnergy + kFloorEnergy));
        refActive_[slot] = refEnergy > kActiveEnergy;
        farPlayed_ += refActive_[slot];
        ++frame_;
        if (frame_ % (delayFrames_ < 0 ? kFirstSearchEvery : kSearchEvery) != 0)
            return;
        const int window = int(std::min<int64_t>(kWindowFrames, frame_ - kSearchLagFrames));
        std::array<float, kWindowFrames> m{}, r{};
        int best = -1, bestShort = -1;
        double bestScore = kEchoScore, bestShortScore = kFirstEchoScore;
        Scores scores{};
        const bool early = delayFrames_ < 0 && farPlayed_ <= kFirstFarFrames;
        for (int lag = 0; lag <= kSearchLagFrames; ++lag) {
            int n = 0;
            for (int i = 0; i < window; ++i) {
                const auto at = std::size_t(slotOf(frame_ - window + i - lag));
                if (!refActive_[at])
                    continue;
                m[std::size_t(n)] = micEnv_[std::size_t(slotOf(frame_ - window + i))];
                r[std::size_t(n)] = refEnv_[at];
                ++n;
            }
            const bool full = n >= kMinActiveFrames;
            const double score =
                full || (early && n >= kFirstActiveFrames) ? correlation(m.data(), r.data(), n) : 0;
            scores[std::size_t(lag)] = full ? score : 0;
            if (full && score > bestScore) {
                bestScore = score;
                best = lag;
            } else if (!full && score > bestShortScore && quietUntilEcho(window, lag, m, n)) {
                bestShortScore = score;
                bestShort = lag;
            }
        }
        const int pick = best >= 0 ? best : bestShort;
        const int found = pick > kMaxLagFrames ? -1 : pick;
        // Any estimate needs the same answer from two full searches in a row,
        // or from three of any kind (the start of two voices can match for
        // 200 ms, not for 400), and a small move is left to the filter.
        const bool again = found >= 0 && candidate_ >= 0 && std::abs(found - candidate_) <= 1;
        agreed_ = found < 0 ? 0 : again ? agreed_ + 1 : 1;
        fullAgreed_ = found < 0 || best < 0 ? 0 : again && fullAgreed_ > 0 ? fullAgreed_ + 1 : 1;
        if ((fullAgreed_ >= 2 || agreed_ >= 3) &&
            (delayFrames_ < 0 || std::abs(found - echoDelay() / kFrame) >= 2)) {
            delayFrames_ = found;
            glide_ = 0;
        }
        if (found >= 0 && best >= 0 && delayFrames_ >= 0)
            followDrift(found, scores);
        candidate_ = found;
        delayMsShown_ = delayFrames_ < 0 ? -1 : int(std::lround(echoDelay() * 1000 / kRate));
    }

    // Whether, at `lag`, the far side's speech in the window starts after
    // silence, and the microphone was quiet just before its echo would have
    // begun; `m` holds the microphone where the far side played, `n` of it.
    bool quietUntilEcho(int window, int lag, const std::array<float, kWindowFrames>& m,
                        int n) const {
        const int64_t from = frame_ - window;
        int first = 0;
        while (first < window && !refActive_[std::size_t(slotOf(from + first - lag))])
            ++first;
        if (first < kQuietFrames)
            return false; // the far side's start after silence is not in view
        float before = -100, heard = 0;
        for (int i = first - kQuietFrames; i < first - 2; ++i)
            before = std::max(before, micEnv_[std::size_t(slotOf(from + i))]);
        for (int i = 0; i < n; ++i)
            heard += m[std::size_t(i)];
        return before < heard / float(n) - kQuietBelow;
    }

    // The delay the echo is cancelled at, in samples: the one found, and how
    // far the drift has moved it since.
    double echoDelay() const { return delayFrames_ * double(kFrame) + glide_; }

    // Puts the search's peak, read between its lags, on the drift's line, and
    // takes the rate the reference is read at from it.
    void followDrift(int best, const Scores& scores) {
        double at = best;
        if (best > 0) {
            const double a = scores[std::size_t(best - 1)], b = scores[std::size_t(best)],
                         c = scores[std::size_t(best + 1)];
            if (a - 2 * b + c < 0)
                at += 0.5 * (a - c) / (a - 2 * b + c);
        }
        // The echo's place in the reference's own count, whatever the
        // alignment does: its slope is the drift, of a room or of two clocks.
        echoLine_.add(double(frame_), at * kFrame - double(offset_));
        if (!echoLine_.sure())
            return; // the rate found last stands
        const double slope = echoLine_.slope();
        if (std::abs(slope) < kDriftAtLeast) {
            drift_ = 0;
            return;
        }
        // What drifted before the rate was known is made up too, over 5 s,
        // so that the echo stays where the search found it under the filters.
        const double behind = echoLine_.at(double(frame_)) + double(offset_) - echoDelay();
        drift_ = std::clamp(slope + behind / kDriftCatchUp, -kDriftAtMost, kDriftAtMost);
    }

    static int slotOf(int64_t frame) {
        return int(((frame % kHistoryFrames) + kHistoryFrames) % kHistoryFrames);
    }

    const Clock& clock_;
    std::unique_ptr<webrtc::AudioProcessing> apm_;
    SpeexEchoState* linear_ = nullptr;
    ToWorkFormat reference_, microphone_;

    std::mutex lock_; // guards the ring and where the reference stands
    std::vector<float> ring_;
    int64_t refEnd_ = 0; // reference samples received so far
    ArrivalFloor refArrival_;

    // The microphone thread's own:
    std::vector<float> pending_; // less than a frame, from the last buffer
    std::vector<float> span_;
    PcmBuffer out_{kWorkFormat, 4800};
    int64_t micEnd_ = 0; // microphone samples received so far
    int64_t offset_ = 0; // reference index minus microphone index, same instant
    ArrivalFloor micArrival_;
    double offsetFine_ = 0;
    bool aligned_ = false;
    int64_t frame_ = 0;
    std::array<float, kHistoryFrames> micEnv_, refEnv_;
    std::array<bool, kHistoryFrames> refActive_{};
    int delayFrames_ = -1;
    int64_t farPlayed_ = 0;      // frames in which the reference played
    int64_t sinceFar_ = 1 << 20; // frames since the reference last played
    double echoIn_ = 0, echoLeft_ = 0;
    bool cancelling_ = false;
    bool holding_ = true;
    int64_t farFrames_ = 0, cancelFrames_ = 0; // while holding
    int candidate_ = -1;
    int agreed_ = 0;     // searches in a row that found about the candidate
    int fullAgreed_ = 0; // of them, full searches (the latest ones)
    DriftLine echoLine_;
    double drift_ = 0; // samples per frame the read delay moves by
    double glide_ = 0; // samples it has moved since the delay was found
    std::atomic<int> delayMsShown_{-1};
};

} // namespace

std::unique_ptr<EchoCanceller> makeEchoCanceller(const Clock& clock) {
    return std::make_unique<WebRtcEchoCanceller>(clock);
}

} // namespace zorva
