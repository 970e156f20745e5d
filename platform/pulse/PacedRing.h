// What one monitor has delivered and the tap's mixer has not yet read. The
// server delivers in bursts on its own clock; the mixer reads a cycle at a
// time on ours. The ring keeps the two in step: it starts with a small
// reserve, drops what a stall piled up, and trims the few frames a server
// running slightly fast gains, so that the tap's latency stays bounded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zorva::pulse {

class PacedRing {
public:
    static constexpr std::size_t kCapacityFrames = 48000;    // 1 s at most
    static constexpr std::size_t kPrimeFrames = 1440;        // 30 ms: absorbs bursty delivery
    static constexpr std::size_t kMostBufferedFrames = 4800; // 100 ms: beyond, the server runs fast
    static constexpr std::size_t kBurstFrames = 14400;     // 300 ms: beyond, a burst after a stall
    static constexpr std::size_t kDriftFramesPerCycle = 4; // up to 0.8 % faster than our clock

    explicit PacedRing(uint32_t channels, std::size_t capacity = kCapacityFrames)
        : channels_(channels), capacity_(capacity), data_(capacity * channels) {}

    std::size_t size() const { return size_; }

    // Interleaved frames as they arrive; `in` null means silence. Full means
    // the oldest are dropped.
    void push(const float* in, std::size_t frames) {
        if (frames > capacity_) {
            if (in)
                in += (frames - capacity_) * channels_;
            frames = capacity_;
        }
        if (size_ + frames > capacity_)
            drop(size_ + frames - capacity_);
        std::size_t at = (head_ + size_) % capacity_;
        for (std::size_t left = frames; left > 0;) {
            const std::size_t n = std::min(left, capacity_ - at);
            if (in) {
                std::memcpy(&data_[at * channels_], in, n * channels_ * sizeof(float));
                in += n * channels_;
            } else {
                std::fill_n(&data_[at * channels_], n * channels_, 0.0f);
            }
            at = (at + n) % capacity_;
            left -= n;
        }
        size_ += frames;
    }

    // One cycle's read: nothing until the reserve is there, then up to
    // `frames` (fewer when it runs dry, after which it waits for a fresh
    // reserve). Returns how many frames went to `out`.
    std::size_t pull(float* out, std::size_t frames) {
        if (!primed_) {
            if (size_ < kPrimeFrames)
                return 0;
            primed_ = true;
        }
        // A burst after a stall: back to the usual latency. A server clock a
        // little ahead of ours: a few frames a cycle, which nobody hears.
        if (size_ > kBurstFrames)
            drop(size_ - kPrimeFrames);
        else if (size_ > kMostBufferedFrames)
            drop(kDriftFramesPerCycle);
        const std::size_t got = pop(out, frames);
        if (got < frames)
            primed_ = false;
        return got;
    }

    // Nothing more will come: what there is is read without a reserve.
    void playOut() { primed_ = true; }

    // Read but not heard: only the newest reserve is kept.
    void keepNewest() {
        if (size_ > kPrimeFrames)
            drop(size_ - kPrimeFrames);
    }

private:
    std::size_t pop(float* out, std::size_t frames) {
        frames = std::min(frames, size_);
        for (std::size_t left = frames; left > 0;) {
            const std::size_t n = std::min(left, capacity_ - head_);
            std::memcpy(out, &data_[head_ * channels_], n * channels_ * sizeof(float));
            out += n * channels_;
            head_ = (head_ + n) % capacity_;
            size_ -= n;
            left -= n;
        }
        return frames;
    }

    void drop(std::size_t frames) {
        frames = std::min(frames, size_);
        head_ = (head_ + frames) % capacity_;
        size_ -= frames;
    }

    uint32_t channels_;
    std::size_t capacity_;
    std::vector<float> data_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    bool primed_ = false;
};

} // namespace zorva::pulse
