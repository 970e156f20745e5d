#include "Microphone.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace zorva::pulse {

namespace {

class Engine final : public AudioEngine, Connection::Listener {
public:
    Engine(Connection& connection, PostFn post) : connection_(connection), post_(std::move(post)) {
        Connection::Lock lock(connection_);
        const auto [name, known] = defaultSource();
        lastDefault_ = name;
        defaultKnown_ = known;
        connection_.addListener(this);
    }

    ~Engine() override {
        connection_.removeListener(this);
        stop();
    }

    AudioFormat inputFormat() override {
        auto source = connection_.withCache([](ProcessCache& c) { return c.defaultSource(); });
        if (!source || !connection_.connected())
            return {AudioFormat::Sample::float32, 0, 0, true};
        return {AudioFormat::Sample::float32, static_cast<double>(source->rate), source->channels,
                true};
    }

    void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) override {
        Connection::Lock lock(connection_);
        format_ = format;
        // The one buffer every delivery reuses.
        buffer_ = std::make_unique<PcmBuffer>(format, std::max<uint32_t>(bufferFrames, 1));
        samples_ = buffer_->floatChannelData().at(0);
        filled_ = 0;
        block_ = std::move(block);
    }

    void removeTap() override {
        Connection::Lock lock(connection_);
        block_ = nullptr;
        buffer_.reset();
        samples_ = nullptr;
    }

    void prepare() override {}

    std::optional<std::string> start() override {
        Connection::Lock lock(connection_);
        pa_context* context = connection_.context();
        if (!context)
            return "the audio server is not reachable";
        auto source = connection_.withCache([](ProcessCache& c) { return c.defaultSource(); });
        if (!source)
            return "the audio server has no default input";
        if (!buffer_)
            return "no tap on the input";
        pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format_.sampleRate),
                                    static_cast<uint8_t>(format_.channels)};
        // The source's own channel map, so that the server remixes nothing
        // (and a source of more than six channels can be recorded at all).
        pa_channel_map map{};
        if (!pa_channel_map_parse(&map, source->channelMap.c_str()) ||
            map.channels != sampleFormat.channels)
            pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
        if (!pa_sample_spec_valid(&sampleFormat) ||
            format_.sample != AudioFormat::Sample::float32 || !format_.interleaved)
            return "the input format " + format_.description() + " cannot be recorded";
        dropStream();
        stream_ = pa_stream_new(context, "Zorva microphone", &sampleFormat, &map);
        if (!stream_)
            return std::string("cannot make a record stream: ") +
                   pa_strerror(pa_context_errno(context));
        pa_stream_set_state_callback(stream_, &Engine::onState, this);
        pa_stream_set_read_callback(stream_, &Engine::onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = UINT32_MAX;
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(100 * 1000, &sampleFormat));
        // Not moved by the server: a change of source is ours to handle, as
        // a configuration change.
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, source->name.c_str(), &attr, flags) < 0) {
            std::string error = std::string("cannot record from ") + source->name + ": " +
                                pa_strerror(pa_context_errno(context));
            dropStream();
            return error;
        }
        filled_ = 0;
        return std::nullopt;
    }

    void stop() override {
        Connection::Lock lock(connection_);
        dropStream();
        filled_ = 0;
    }

    ObserverToken addConfigurationObserver(std::function<void()> handler) override {
        std::lock_guard g(observersLock_);
        observers_[nextToken_] = std::move(handler);
        return nextToken_++;
    }

    void removeConfigurationObserver(ObserverToken token) override {
        std::lock_guard g(observersLock_);
        observers_.erase(token);
    }

    // ---- loop thread

    void connectionChanged(pa_context*) override {
        // A lost server fails our stream (onState); a new one is worth a
        // restart once its default source is known (objectsChanged).
    }

    void objectsChanged() override {
        const auto [name, known] = defaultSource();
        const bool becameKnown = known && !defaultKnown_;
        const bool otherSource = known && name != lastDefault_;
        defaultKnown_ = known;
        if (known)
            lastDefault_ = name;
        if (becameKnown || otherSource)
            notify();
    }

private:
    // The default source's name, and whether the source itself is known.
    std::pair<std::string, bool> defaultSource() {
        auto source = connection_.withCache([](ProcessCache& c) { return c.defaultSource(); });
        return source ? std::pair{source->name, true} : std::pair{std::string(), false};
    }

    // One notification at a time: changes that come together (the source
    // fails and another becomes the default) make one restart.
    void notify() {
        if (pending_->exchange(true))
            return;
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard g(observersLock_);
            for (const auto& [token, handler] : observers_)
                handlers.push_back(handler);
        }
        post_([pending = pending_, handlers = std::move(handlers)] {
            pending->store(false);
            for (const auto& handler : handlers)
                handler();
        });
    }

    void dropStream() {
        releaseStream(stream_);
        stream_ = nullptr;
    }

    static void onState(pa_stream* s, void* self) {
        auto* me = static_cast<Engine*>(self);
        const auto state = pa_stream_get_state(s);
        if (s == me->stream_ && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED))
            me->notify(); // the source or the server went away
    }

    static void onRead(pa_stream* s, size_t, void* self) {
        auto* me = static_cast<Engine*>(self);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            me->append(static_cast<const float*>(data), bytes); // no data: a hole, silence
            pa_stream_drop(s);
        }
    }

    // Fills the engine's buffer and hands it on each time it is full.
    void append(const float* in, size_t bytes) {
        if (!buffer_)
            return;
        const uint32_t channels = format_.channels;
        size_t frames = bytes / (channels * sizeof(float));
        while (frames > 0) {
            const size_t n = std::min<size_t>(frames, buffer_->frameCapacity() - filled_);
            float* to = samples_ + std::size_t(filled_) * channels;
            if (in) {
                std::memcpy(to, in, n * channels * sizeof(float));
                in += n * channels;
            } else {
                std::memset(to, 0, n * channels * sizeof(float));
            }
            filled_ += static_cast<uint32_t>(n);
            frames -= n;
            if (filled_ == buffer_->frameCapacity()) {
                buffer_->setFrameLength(filled_);
                if (block_)
                    block_(*buffer_);
                filled_ = 0;
            }
        }
    }

    Connection& connection_;
    PostFn post_;
    // Under the loop lock:
    pa_stream* stream_ = nullptr;
    AudioFormat format_;
    std::unique_ptr<PcmBuffer> buffer_;
    float* samples_ = nullptr;
    uint32_t filled_ = 0;
    TapBlock block_;
    std::string lastDefault_;
    bool defaultKnown_ = false;

    std::mutex observersLock_;
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextToken_ = 1;
    std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

class System final : public MicrophoneSystem {
public:
    System(Connection& connection, PostFn post) : connection_(connection), post_(std::move(post)) {}
    std::unique_ptr<AudioEngine> makeEngine() override {
        return std::make_unique<Engine>(connection_, post_);
    }
    // Linux has no record permission of its own: a reachable server lets us record.
    RecordPermission recordPermission() override {
        return connection_.connected() ? RecordPermission::granted : RecordPermission::undetermined;
    }

private:
    Connection& connection_;
    PostFn post_;
};

} // namespace

std::unique_ptr<MicrophoneSystem> makeMicrophoneSystem(Connection& connection, PostFn post) {
    return std::make_unique<System>(connection, std::move(post));
}

} // namespace zorva::pulse
