#include "PulseAudioHardware.h"

#include "ProcessCache.h"

#include <cstring>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <unistd.h>
#include <utility>

namespace zorva {

namespace {

using pulse::ClientRecord;
using pulse::ProcessCache;
using pulse::SourceRecord;
using pulse::StreamRecord;

constexpr pa_usec_t kRetryDelayUsec = 500 * 1000;
// A connection that is neither up nor failed by then is given up and retried.
constexpr pa_usec_t kConnectTimeoutUsec = 5 * 1000 * 1000;

std::optional<std::string> property(const pa_proplist* list, const char* key) {
    const char* value = list ? pa_proplist_gets(list, key) : nullptr;
    return value ? std::optional<std::string>(value) : std::nullopt;
}

// Volume controls open peak-detecting streams to draw level meters; they are
// not someone using the microphone. PulseAudio shows them by their "peaks"
// resampler, PipeWire by the stream.monitor property.
bool isLevelMeter(const pa_proplist* list, const char* resampleMethod) {
    auto monitor = property(list, "stream.monitor");
    return (monitor && *monitor == "true") ||
           (resampleMethod && std::strcmp(resampleMethod, "peaks") == 0);
}

// Threads: libpulse calls back on its own main-loop thread, where the cache
// is kept current; the AudioHardware reads come from the main queue and only
// read the cache under `lock_`, never waiting on the server.
class PulseAudioHardware final : public AudioHardware {
public:
    explicit PulseAudioHardware(DiagnosticFn writeDiagnostic)
        : cache_(static_cast<int32_t>(getpid())), writeDiagnostic_(std::move(writeDiagnostic)) {
        loop_ = pa_threaded_mainloop_new();
        api_ = pa_threaded_mainloop_get_api(loop_);
        pa_threaded_mainloop_set_name(loop_, "zorva.pulse");
        pa_threaded_mainloop_lock(loop_);
        pa_threaded_mainloop_start(loop_);
        connect();
        pa_threaded_mainloop_unlock(loop_);
    }

    ~PulseAudioHardware() override {
        pa_threaded_mainloop_lock(loop_);
        if (retry_)
            api_->time_free(retry_);
        cancelConnectCheck();
        dropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    OSStatus getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                 uint32_t& outSize) override {
        std::lock_guard g(lock_);
        return cache_.getPropertyDataSize(object, property, outSize);
    }
    OSStatus getPropertyData(AudioObjectID object, AudioProperty property, uint32_t& ioSize,
                             void* data) override {
        std::lock_guard g(lock_);
        return cache_.getPropertyData(object, property, ioSize, data);
    }
    OSStatus getStringProperty(AudioObjectID object, AudioProperty property,
                               std::string& out) override {
        std::lock_guard g(lock_);
        return cache_.getStringProperty(object, property, out);
    }

    bool connected() {
        std::lock_guard g(lock_);
        return connected_;
    }

    // Taps and devices are not available on this server yet.
    OSStatus setTapDescription(AudioObjectID, const TapDescription&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    OSStatus createProcessTap(const TapDescription&, AudioObjectID&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareBadObjectError; }
    OSStatus createAggregateDevice(const AggregateDeviceDescription&, AudioObjectID&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareBadObjectError; }
    OSStatus createIOProcIDWithBlock(AudioObjectID, const std::string&, AudioDeviceIOBlock,
                                     AudioDeviceIOProcID&) override {
        return kAudioHardwareBadObjectError;
    }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override {
        return kAudioHardwareBadObjectError;
    }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override {
        return kAudioHardwareBadObjectError;
    }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override {
        return kAudioHardwareBadObjectError;
    }

private:
    // ---- everything below runs on the main-loop thread (or under its lock)

    void connect() {
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Zorva helper");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "app.zorva.helper");
        // No shared memory, hence no shared ring buffer: libpulse 16 spins
        // forever in pa_pstream_unlink when a server dies between offering
        // that ring buffer and the next write on the socket, which a server
        // restart during our handshake does. Our streams are small enough
        // to travel over the socket.
        pa_proplist_sets(props, PA_PROP_CONTEXT_FORCE_DISABLE_SHM, "yes");
        context_ = pa_context_new_with_proplist(api_, "Zorva helper", props);
        pa_proplist_free(props);
        if (!context_) { // no memory pool: nothing to retry with
            note("cannot create a client context");
            return;
        }
        pa_context_set_state_callback(context_, &PulseAudioHardware::onState, this);
        pa_context_set_subscribe_callback(context_, &PulseAudioHardware::onEvent, this);
        // No autospawn: the helper must never start an audio server itself.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            lost(pa_strerror(pa_context_errno(context_)));
            return;
        }
        cancelConnectCheck();
        connectCheck_ = after(kConnectTimeoutUsec, &PulseAudioHardware::onConnectCheck);
    }

    // A time event on the monotonic clock (a wall-clock step must not delay
    // a retry). It belongs to the main loop and outlives the context.
    pa_time_event* after(pa_usec_t delay, pa_time_event_cb_t callback) {
        return pa_context_rttime_new(context_, pa_rtclock_now() + delay, callback, this);
    }

    void cancelConnectCheck() {
        if (connectCheck_)
            api_->time_free(connectCheck_);
        connectCheck_ = nullptr;
    }

    static void onConnectCheck(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        me->api_->time_free(event);
        me->connectCheck_ = nullptr;
        if (me->context_ && pa_context_get_state(me->context_) != PA_CONTEXT_READY)
            me->lost("no answer in 5 s"); // stuck half-way: start over
    }

    void dropContext() {
        if (!context_)
            return;
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    // The server is gone (or never came): forget what it told us and try
    // again shortly. The context itself is released from the timer, not from
    // inside its own callback.
    void lost(const std::string& reason) {
        bool wasConnected = false;
        {
            std::lock_guard g(lock_);
            cache_.clear();
            wasConnected = std::exchange(connected_, false);
        }
        cancelConnectCheck();
        // One note per change, not one per retry while no server is there.
        if (wasConnected)
            note(std::string("connection lost (") + reason + "), reconnecting");
        else if (!failureNoted_)
            note(std::string("no server (") + reason + "), retrying every 0.5 s");
        failureNoted_ = true;
        if (retry_)
            return;
        retry_ = after(kRetryDelayUsec, &PulseAudioHardware::onRetry);
    }

    void ready() {
        cancelConnectCheck();
        {
            std::lock_guard g(lock_);
            connected_ = true;
        }
        failureNoted_ = false;
        const char* server = pa_context_get_server(context_);
        note(std::string("connected to ") + (server ? server : "the audio server"));
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SINK_INPUT |
            PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SOURCE |
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
        forget(pa_context_subscribe(context_, mask, nullptr, nullptr));
        forget(pa_context_get_client_info_list(context_, &PulseAudioHardware::onClient, this));
        forget(pa_context_get_source_info_list(context_, &PulseAudioHardware::onSource, this));
        forget(pa_context_get_source_output_info_list(context_, &PulseAudioHardware::onRecording,
                                                      this));
        forget(
            pa_context_get_sink_input_info_list(context_, &PulseAudioHardware::onPlayback, this));
    }

    static void forget(pa_operation* op) {
        if (op)
            pa_operation_unref(op);
    }

    static void onRetry(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        me->api_->time_free(event);
        me->retry_ = nullptr;
        me->dropContext();
        me->connect();
    }

    static void onState(pa_context* c, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (c != me->context_)
            return;
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            me->ready();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            me->lost(pa_strerror(pa_context_errno(c)));
            break;
        default:
            break;
        }
    }

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (c != me->context_)
            return;
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const bool removed =
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        if (removed) {
            std::lock_guard g(me->lock_);
            switch (facility) {
            case PA_SUBSCRIPTION_EVENT_CLIENT:
                me->cache_.removeClient(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
                me->cache_.removeRecordingStream(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
                me->cache_.removePlaybackStream(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE:
                me->cache_.removeSource(index);
                break;
            default:
                break;
            }
            return;
        }
        switch (facility) {
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            forget(pa_context_get_client_info(c, index, &PulseAudioHardware::onClient, me));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
            forget(
                pa_context_get_source_output_info(c, index, &PulseAudioHardware::onRecording, me));
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            forget(pa_context_get_sink_input_info(c, index, &PulseAudioHardware::onPlayback, me));
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            forget(
                pa_context_get_source_info_by_index(c, index, &PulseAudioHardware::onSource, me));
            break;
        default:
            break;
        }
    }

    static void onClient(pa_context* c, const pa_client_info* info, int eol, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (eol || !info || c != me->context_)
            return;
        ClientRecord record{info->index, property(info->proplist, PA_PROP_APPLICATION_ID),
                            property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                            property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)};
        std::lock_guard g(me->lock_);
        me->cache_.setClient(record);
    }

    static void onRecording(pa_context* c, const pa_source_output_info* info, int eol, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (eol || !info || c != me->context_)
            return;
        StreamRecord record{info->index, info->client, info->source, info->corked != 0,
                            isLevelMeter(info->proplist, info->resample_method)};
        std::lock_guard g(me->lock_);
        me->cache_.setRecordingStream(record);
    }

    static void onPlayback(pa_context* c, const pa_sink_input_info* info, int eol, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (eol || !info || c != me->context_)
            return;
        StreamRecord record{info->index, info->client, info->sink, info->corked != 0,
                            isLevelMeter(info->proplist, info->resample_method)};
        std::lock_guard g(me->lock_);
        me->cache_.setPlaybackStream(record);
    }

    static void onSource(pa_context* c, const pa_source_info* info, int eol, void* self) {
        auto* me = static_cast<PulseAudioHardware*>(self);
        if (eol || !info || c != me->context_)
            return;
        SourceRecord record{info->index, info->monitor_of_sink != PA_INVALID_INDEX};
        std::lock_guard g(me->lock_);
        me->cache_.setSource(record);
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    pa_time_event* connectCheck_ = nullptr;

    void note(const std::string& text) { writeDiagnostic_("audio server: " + text + "\n"); }

    std::mutex lock_; // guards cache_ and connected_
    ProcessCache cache_;
    bool connected_ = false;
    DiagnosticFn writeDiagnostic_;
    bool failureNoted_ = false; // main-loop thread only
};

// An engine without a capture backend: it never has a usable input.
class NoInputEngine final : public AudioEngine {
public:
    AudioFormat inputFormat() override {
        return AudioFormat{AudioFormat::Sample::float32, 0, 0, false};
    }
    void installTap(uint32_t, const AudioFormat&, TapBlock) override {}
    void removeTap() override {}
    void prepare() override {}
    std::optional<std::string> start() override { return "no audio input device"; }
    void stop() override {}
    ObserverToken addConfigurationObserver(std::function<void()>) override { return 0; }
    void removeConfigurationObserver(ObserverToken) override {}
};

class PulseMicrophoneSystem final : public MicrophoneSystem {
public:
    explicit PulseMicrophoneSystem(PulseAudioHardware& hardware) : hardware_(hardware) {}
    std::unique_ptr<AudioEngine> makeEngine() override { return std::make_unique<NoInputEngine>(); }
    RecordPermission recordPermission() override {
        return hardware_.connected() ? RecordPermission::granted : RecordPermission::undetermined;
    }

private:
    PulseAudioHardware& hardware_;
};

} // namespace

std::unique_ptr<AudioHardware> makePulseAudioHardware(DiagnosticFn writeDiagnostic) {
    return std::make_unique<PulseAudioHardware>(std::move(writeDiagnostic));
}

std::unique_ptr<MicrophoneSystem> makePulseMicrophoneSystem(AudioHardware& hardware) {
    return std::make_unique<PulseMicrophoneSystem>(dynamic_cast<PulseAudioHardware&>(hardware));
}

} // namespace zorva
