#include "Tap.h"

#include "PacedRing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <set>
#include <thread>
#include <vector>

namespace zorva::pulse {

namespace {

constexpr pa_usec_t kFragmentUsec = 20 * 1000;
// A monitor the server ended (its stream moved to another output, or there
// and straight back) is reopened at once, as a mixer panel does; one that
// had lived less than a second is reopened after a second, so that a stream
// on its way out is not reopened over and over.
constexpr pa_usec_t kQuickReopenUsec = 20 * 1000;
constexpr pa_usec_t kReopenDelayUsec = 1000 * 1000;
// How often a stream's monitor that waits for its sink's looks again, and
// when the sink's takes over without having given sound.
constexpr pa_usec_t kRetireCheckUsec = 50 * 1000;
constexpr pa_usec_t kQuietHandoverUsec = 500 * 1000;
constexpr pa_usec_t kHandoverLimitUsec = 3000 * 1000;
constexpr float kLoudSample = 1e-4f; // -80 dBFS

// What the mixer reads: one playback stream (through a monitor of that
// stream alone), or everything a sink plays (through its monitor source),
// keyed by sink input index, or by kWholeSink plus the sink's index.
struct Wanted {
    uint32_t sink = 0;
    std::string monitorSource;
    uint32_t channels = 1;
};
constexpr uint32_t kWholeSink = 0x80000000u;

OSStatus badObject() {
    return kAudioHardwareBadObjectError;
}

} // namespace

// ---------------------------------------------------------------- mixer

class TapService::Mixer {
public:
    // `onDeath` is told on the loop thread when the server ends a monitor.
    Mixer(uint32_t channels, std::string threadName, AudioDeviceIOBlock block,
          std::function<void()> onDeath)
        : channels_(channels), threadName_(std::move(threadName)), block_(std::move(block)),
          onDeath_(std::move(onDeath)), planes_(channels, std::vector<float>(kCycleFrames)),
          scratch_(std::size_t(kCycleFrames) * 2) {
        for (auto& plane : planes_)
            list_.buffers.push_back({1, kCycleFrames * sizeof(float), plane.data()});
    }

    ~Mixer() { stopClock(); }

    void startClock() {
        clock_ = std::thread([this] { run(); });
    }

    void stopClock() {
        {
            std::lock_guard g(stopLock_);
            stopping_ = true;
        }
        stopCv_.notify_all();
        if (clock_.joinable())
            clock_.join();
    }

    // ---- loop thread, or under the loop lock

    // Opens and closes monitors so that exactly `wanted` is read. A monitor
    // the server ended is reopened when its wait is over. Returns how long
    // until the next such monitor may be reopened (0: none waits).
    pa_usec_t reconcile(pa_context* context, const std::map<uint32_t, Wanted>& wanted) {
        const pa_usec_t now = pa_rtclock_now();
        pa_usec_t soonest = 0;
        for (auto it = monitors_.begin(); it != monitors_.end();) {
            auto w = wanted.find(it->first);
            Monitor& m = *it->second;
            const bool same = context && w != wanted.end() && w->second.sink == m.sink &&
                              w->second.channels == m.channels;
            const pa_usec_t wait =
                m.endedAt - m.openedAt < kReopenDelayUsec ? kReopenDelayUsec : kQuickReopenUsec;
            const bool waitToReopen = m.endedAt && now - m.endedAt < wait;
            if (same && (!m.endedAt || waitToReopen)) {
                if (waitToReopen) {
                    const pa_usec_t left = m.endedAt + wait - now;
                    soonest = soonest ? std::min(soonest, left) : left;
                }
                std::lock_guard g(lock_);
                m.retiring = false;
                ++it;
                continue;
            }
            // Its sink is now read whole: it goes when the sink's monitor
            // has sound, not before (a new monitor can take a third of a
            // second to start), and then at once, as that has the same sound.
            const bool nowWhole = context && !(it->first & kWholeSink) && !m.endedAt &&
                                  w == wanted.end() && wanted.count(kWholeSink | m.sink);
            if (nowWhole && !wholeHasSound(m.sink)) {
                std::lock_guard g(lock_);
                m.retiring = true;
                soonest = soonest ? std::min(soonest, kRetireCheckUsec) : kRetireCheckUsec;
                ++it;
                continue;
            }
            if (nowWhole) {
                release(m);
                std::lock_guard g(lock_);
                it = monitors_.erase(it);
                continue;
            }
            release(m);
            std::lock_guard g(lock_);
            // What it holds is still mixed, unless another monitor has the
            // same sound: a stream's monitor giving way to its sink's, or a
            // sink's monitor that never took over from its streams'.
            if (!m.retiring && !wholeHeldBack(it->first, now))
                draining_.push_back(std::move(it->second));
            it = monitors_.erase(it);
        }
        {
            std::lock_guard g(lock_);
            draining_.erase(std::remove_if(draining_.begin(), draining_.end(),
                                           [](const auto& m) { return m->ring.size() == 0; }),
                            draining_.end());
        }
        if (context)
            for (const auto& [key, w] : wanted)
                if (!monitors_.count(key))
                    open(context, key, w);
        return soonest;
    }

private:
    struct Monitor {
        Mixer* mixer = nullptr;
        uint32_t sink = 0;
        uint32_t channels = 1;
        pa_stream* stream = nullptr;
        pa_usec_t openedAt = 0; // loop thread
        bool retiring = false;  // under the mixer's lock: its sink is being read whole
        bool whole = false;
        // Under the mixer's lock: when it first gave data, when it first gave
        // sound that is not silence, and (while its sink's monitor may take
        // over from it) when it last did.
        pa_usec_t dataSince = 0, loudSince = 0, lastLoud = 0;
        pa_usec_t endedAt = 0; // when the server ended it; loop thread
        PacedRing ring;        // under the mixer's lock
        Monitor(Mixer* m, uint32_t s, uint32_t c) : mixer(m), sink(s), channels(c), ring(c) {}
    };

    // Whether the monitor of all of `sink` may take over from the monitors
    // of its streams: once it gives sound that is not silence (PipeWire's
    // can give a third of a second of silence first), or has given data a
    // while and they have been silent as long, or after some seconds in any
    // case. Under the mixer's lock.
    bool wholeTookOver(uint32_t sink, pa_usec_t now) const {
        auto it = monitors_.find(kWholeSink | sink);
        if (it == monitors_.end())
            return false;
        const Monitor& whole = *it->second;
        // A monitor that gives nothing (its sink suspended, or it cannot
        // open) must not keep the others waiting for ever.
        if (now - whole.openedAt >= kHandoverLimitUsec)
            return true;
        if (!whole.dataSince)
            return false;
        if (whole.loudSince)
            return true;
        if (now - whole.dataSince < kQuietHandoverUsec)
            return false;
        return std::none_of(monitors_.begin(), monitors_.end(), [&](const auto& other) {
            const Monitor& m = *other.second;
            return m.retiring && m.sink == sink && now - m.lastLoud < kQuietHandoverUsec;
        });
    }
    // Whether `key` is a sink's monitor read but not yet heard, while its
    // streams' monitors still are. Under the mixer's lock.
    bool wholeHeldBack(uint32_t key, pa_usec_t now) const {
        return (key & kWholeSink) && !wholeTookOver(key & ~kWholeSink, now) &&
               std::any_of(monitors_.begin(), monitors_.end(), [&](const auto& other) {
                   return other.second->retiring && (kWholeSink | other.second->sink) == key;
               });
    }
    bool wholeHasSound(uint32_t sink) {
        std::lock_guard g(lock_);
        return wholeTookOver(sink, pa_rtclock_now());
    }

    // A monitor of one playback stream, or of a whole sink.
    void open(pa_context* context, uint32_t key, const Wanted& w) {
        auto monitor = std::make_unique<Monitor>(this, w.sink, w.channels);
        monitor->openedAt = pa_rtclock_now();
        monitor->whole = (key & kWholeSink) != 0;
        pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kSampleRate),
                                    static_cast<uint8_t>(w.channels)};
        monitor->stream = pa_stream_new(context, "Zorva others", &sampleFormat, nullptr);
        bool connected = false;
        if (monitor->stream) {
            if (!(key & kWholeSink))
                pa_stream_set_monitor_stream(monitor->stream, key);
            pa_stream_set_read_callback(monitor->stream, &Mixer::onRead, monitor.get());
            pa_stream_set_state_callback(monitor->stream, &Mixer::onState, monitor.get());
            pa_buffer_attr attr{};
            attr.maxlength = UINT32_MAX;
            attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &sampleFormat));
            // Never moved: PipeWire would move a monitor whose stream ended
            // onto the microphone.
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                               PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
            connected = pa_stream_connect_record(monitor->stream, w.monitorSource.c_str(), &attr,
                                                 flags) == 0;
        }
        if (!connected) {
            monitor->endedAt = std::max<pa_usec_t>(pa_rtclock_now(), 1);
            onDeath_();
        }
        std::lock_guard g(lock_);
        monitors_[key] = std::move(monitor);
    }

    static void release(Monitor& monitor) {
        releaseStream(monitor.stream);
        monitor.stream = nullptr;
    }

    static void onState(pa_stream* s, void* userdata) {
        auto* monitor = static_cast<Monitor*>(userdata);
        const auto state = pa_stream_get_state(s);
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !monitor->endedAt) {
            // The stream moved or ended, or the server gave up on it.
            monitor->endedAt = std::max<pa_usec_t>(pa_rtclock_now(), 1);
            monitor->mixer->onDeath_();
        }
    }

    static void onRead(pa_stream* s, size_t, void* userdata) {
        auto* monitor = static_cast<Monitor*>(userdata);
        const std::size_t frameBytes = monitor->channels * sizeof(float);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            {
                std::lock_guard g(monitor->mixer->lock_);
                monitor->ring.push(static_cast<const float*>(data), bytes / frameBytes);
                const pa_usec_t now = std::max<pa_usec_t>(pa_rtclock_now(), 1);
                if (!monitor->dataSince)
                    monitor->dataSince = now;
                if ((monitor->whole && !monitor->loudSince) || monitor->retiring) {
                    const auto* samples = static_cast<const float*>(data);
                    if (samples &&
                        std::any_of(samples, samples + bytes / sizeof(float),
                                    [](float x) { return std::fabs(x) > kLoudSample; })) {
                        monitor->lastLoud = now;
                        if (!monitor->loudSince)
                            monitor->loudSince = now;
                    }
                }
            }
            pa_stream_drop(s);
        }
    }

    // ---- the device's own thread

    void run() {
        pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
        using Clock = std::chrono::steady_clock;
        auto origin = Clock::now();
        int64_t cycles = 0;
        std::unique_lock lock(stopLock_);
        for (;;) {
            const auto due = origin + std::chrono::milliseconds(10) * cycles;
            if (stopCv_.wait_until(lock, due, [this] { return stopping_; }))
                return;
            // Behind by a little (a busy machine): catch up, so the stream
            // keeps pace with the clock. Behind by a lot: start afresh.
            if (Clock::now() - due > std::chrono::seconds(1)) {
                origin = Clock::now();
                cycles = 0;
            }
            lock.unlock();
            cycle();
            lock.lock();
            ++cycles;
        }
    }

    void cycle() {
        {
            std::lock_guard g(lock_);
            for (auto& plane : planes_)
                std::fill(plane.begin(), plane.end(), 0.0f);
            const pa_usec_t now = pa_rtclock_now();
            for (auto& [key, monitor] : monitors_) {
                // A stream's monitor gives way when its sink's has taken
                // over; until then the sink's is read but not heard, and
                // keeps only its newest sound, so that no cycle has both.
                if (monitor->retiring && wholeTookOver(monitor->sink, now))
                    continue;
                if (wholeHeldBack(key, now)) {
                    monitor->ring.keepNewest();
                    continue;
                }
                // A sink's monitor that gave way to its streams' plays out
                // first: they hold their sound until it has, so that the
                // two are heard one after the other, not on top.
                if (!monitor->whole &&
                    std::any_of(draining_.begin(), draining_.end(), [&](const auto& old) {
                        return old->whole && old->sink == monitor->sink && old->ring.size() > 0;
                    }))
                    continue;
                mixIn(*monitor);
            }
            for (auto& monitor : draining_) {
                monitor->ring.playOut(); // nothing more comes
                mixIn(*monitor);
            }
        }
        block_(list_);
    }

    void mixIn(Monitor& m) {
        const std::size_t got = m.ring.pull(scratch_.data(), kCycleFrames);
        const float* in = scratch_.data();
        for (std::size_t i = 0; i < got; ++i, in += m.channels) {
            if (channels_ == 1) {
                float sum = 0;
                for (uint32_t c = 0; c < m.channels; ++c)
                    sum += in[c];
                planes_[0][i] += sum / static_cast<float>(m.channels);
            } else {
                planes_[0][i] += in[0];
                planes_[1][i] += in[m.channels > 1 ? 1 : 0];
            }
        }
    }

    const uint32_t channels_;
    const std::string threadName_;
    const AudioDeviceIOBlock block_;

    const std::function<void()> onDeath_;

    std::mutex lock_; // guards the monitors' rings and both collections
    std::map<uint32_t, std::unique_ptr<Monitor>> monitors_;
    std::vector<std::unique_ptr<Monitor>> draining_; // closed, still holding audio
    // The device thread's own:
    std::vector<std::vector<float>> planes_;
    std::vector<float> scratch_;
    AudioBufferList list_;

    std::thread clock_;
    std::mutex stopLock_;
    std::condition_variable stopCv_;
    bool stopping_ = false;
};

// ---------------------------------------------------------------- service

TapService::TapService(Connection& connection) : connection_(connection) {
    connection_.addListener(this);
}

TapService::~TapService() {
    connection_.removeListener(this);
    Connection::Lock lock(connection_);
    for (auto& [id, device] : devices_)
        stopDevice(device);
    if (retry_)
        connection_.api()->time_free(retry_);
}

bool TapService::isTap(AudioObjectID object) {
    Connection::Lock lock(connection_);
    return taps_.count(object) > 0;
}

OSStatus TapService::tapFormat(AudioObjectID tap, AudioStreamBasicDescription& format) {
    Connection::Lock lock(connection_);
    auto it = taps_.find(tap);
    if (it == taps_.end())
        return badObject();
    const uint32_t channels =
        it->second.description.mode == TapDescription::Mode::stereoGlobalTapButExcludeProcesses ? 2
                                                                                                : 1;
    format = {kSampleRate,
              kAudioFormatLinearPCM,
              kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved,
              4,
              1,
              4,
              channels,
              32,
              0};
    return kAudioHardwareNoError;
}

OSStatus TapService::setTapDescription(AudioObjectID tap, const TapDescription& description) {
    Connection::Lock lock(connection_);
    auto it = taps_.find(tap);
    if (it == taps_.end())
        return badObject();
    it->second.description = description;
    reconcile(); // opens and closes monitors without waiting for the server
    return kAudioHardwareNoError;
}

OSStatus TapService::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    if (!connection_.connected())
        return kAudioHardwareNotRunningError;
    Connection::Lock lock(connection_);
    outTap = nextObject_++;
    taps_[outTap] = Tap{description};
    return kAudioHardwareNoError;
}

OSStatus TapService::destroyProcessTap(AudioObjectID tap) {
    Connection::Lock lock(connection_);
    if (!taps_.erase(tap))
        return badObject();
    reconcile();
    return kAudioHardwareNoError;
}

OSStatus TapService::createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDevice) {
    Connection::Lock lock(connection_);
    if (description.taps.size() != 1)
        return kAudioHardwareIllegalOperationError;
    auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& t) {
        return t.second.description.uuid == description.taps[0].uid;
    });
    if (tap == taps_.end())
        return badObject();
    outDevice = nextObject_++;
    devices_[outDevice].tap = tap->first;
    return kAudioHardwareNoError;
}

OSStatus TapService::destroyAggregateDevice(AudioObjectID device) {
    Connection::Lock lock(connection_);
    auto it = devices_.find(device);
    if (it == devices_.end())
        return badObject();
    stopDevice(it->second);
    devices_.erase(it);
    return kAudioHardwareNoError;
}

OSStatus TapService::createIOProc(AudioObjectID device, const std::string& queueLabel,
                                  AudioDeviceIOBlock block, AudioDeviceIOProcID& outProc) {
    Connection::Lock lock(connection_);
    auto it = devices_.find(device);
    if (it == devices_.end() || !block)
        return badObject();
    outProc = nextProc_++;
    it->second.queueLabel = queueLabel;
    it->second.procs[outProc] = std::move(block);
    return kAudioHardwareNoError;
}

OSStatus TapService::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    Connection::Lock lock(connection_);
    auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.procs.count(proc))
        return badObject();
    if (it->second.running == proc)
        stopDevice(it->second);
    it->second.procs.erase(proc);
    return kAudioHardwareNoError;
}

OSStatus TapService::start(AudioObjectID device, AudioDeviceIOProcID proc) {
    Connection::Lock lock(connection_);
    auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.procs.count(proc))
        return badObject();
    Device& d = it->second;
    if (d.running)
        return d.running == proc ? kAudioHardwareNoError : kAudioHardwareIllegalOperationError;
    auto tap = taps_.find(d.tap);
    const bool mono =
        tap == taps_.end() ||
        tap->second.description.mode != TapDescription::Mode::stereoGlobalTapButExcludeProcesses;
    d.mixer = std::make_unique<Mixer>(mono ? 1 : 2, d.queueLabel, d.procs[proc],
                                      [this] { reconcileSoon(kQuickReopenUsec); });
    d.running = proc;
    reconcile();
    d.mixer->startClock();
    return kAudioHardwareNoError;
}

OSStatus TapService::stop(AudioObjectID device, AudioDeviceIOProcID proc) {
    Connection::Lock lock(connection_);
    auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.procs.count(proc))
        return badObject();
    return it->second.running == proc ? stopDevice(it->second) : kAudioHardwareNoError;
}

// Closes the monitors, then ends the device's thread (which never takes the
// loop lock, so joining it here cannot deadlock).
OSStatus TapService::stopDevice(Device& device) {
    if (device.mixer) {
        device.mixer->reconcile(nullptr, {});
        device.mixer.reset();
    }
    device.running = 0;
    return kAudioHardwareNoError;
}

// A little after a monitor ended, to reopen it if it is still wanted.
void TapService::reconcileSoon(pa_usec_t after) {
    pa_context* context = connection_.context();
    if (!context)
        return;
    const pa_usec_t at = pa_rtclock_now() + after;
    if (retry_) {
        if (at < retryAt_) {
            retryAt_ = at;
            pa_context_rttime_restart(context, retry_, at);
        }
        return;
    }
    retryAt_ = at;
    retry_ = pa_context_rttime_new(
        context, at,
        [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self) {
            auto* me = static_cast<TapService*>(self);
            api->time_free(event);
            me->retry_ = nullptr;
            me->reconcile();
        },
        this);
}

void TapService::connectionChanged(pa_context*) {
    reconcile(); // lost: the monitors go; back: they reopen as the objects come
}

void TapService::objectsChanged() {
    reconcile();
}

// Which playback streams each running device reads: in application mode
// those of the tapped process objects, in system mode all but those of the
// excluded ones. A sink whose every stream is read, two or more of them, is
// read whole through one monitor: each monitor stream costs the server and
// us a packet every few milliseconds, so fifty streams of one app cost what
// two do. (A switch between the two ways loses a few milliseconds.) A tap of
// the processes' outputs reads each sink they play on whole.
void TapService::reconcile() {
    pa_context* context = connection_.context();
    for (auto& [id, device] : devices_) {
        if (!device.mixer)
            continue;
        std::map<uint32_t, Wanted> wanted;
        auto tap = taps_.find(device.tap);
        if (context && tap != taps_.end()) {
            const TapDescription& d = tap->second.description;
            const bool application =
                d.mode != TapDescription::Mode::stereoGlobalTapButExcludeProcesses;
            const bool outputs = d.mode == TapDescription::Mode::monoMixdownOfProcessOutputs;
            connection_.withCache([&](ProcessCache& cache) {
                const auto listed = cache.playbackStreamsOf(d.processes);
                const std::set<uint32_t> of(listed.begin(), listed.end());
                if (outputs) {
                    for (const StreamRecord& s : cache.playbackStreams())
                        if (auto sink = cache.sink(s.device);
                            of.count(s.index) && sink && !sink->monitorSource.empty())
                            wanted[kWholeSink | s.device] = {s.device, sink->monitorSource,
                                                             std::clamp(sink->channels, 1u, 2u)};
                    return 0;
                }
                std::set<uint32_t> mixedSinks;  // sinks that play something we do not read
                std::map<uint32_t, int> readOn; // sink -> streams we read there
                for (const StreamRecord& s : cache.playbackStreams()) {
                    if (application != (of.count(s.index) > 0)) {
                        mixedSinks.insert(s.device);
                        continue;
                    }
                    // Read in the sink's own layout (up to stereo): the
                    // servers downmix differently, so we do it ourselves.
                    if (auto sink = cache.sink(s.device); sink && !sink->monitorSource.empty()) {
                        wanted[s.index] = {s.device, sink->monitorSource,
                                           std::clamp(sink->channels, 1u, 2u)};
                        ++readOn[s.device];
                    }
                }
                std::map<uint32_t, Wanted> wholeSinks;
                for (auto it = wanted.begin(); it != wanted.end();) {
                    if (mixedSinks.count(it->second.sink) || readOn[it->second.sink] < 2) {
                        ++it;
                        continue;
                    }
                    wholeSinks[kWholeSink | it->second.sink] = it->second;
                    it = wanted.erase(it);
                }
                wanted.merge(wholeSinks);
                return 0;
            });
        }
        if (const pa_usec_t wait = device.mixer->reconcile(context, wanted))
            reconcileSoon(wait + 1000);
    }
}

} // namespace zorva::pulse
