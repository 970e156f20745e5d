#include "Connection.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace zorva::pulse {

namespace {

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

void forget(pa_operation* op) {
    if (op)
        pa_operation_unref(op);
}

} // namespace

Connection::Lock::Lock(Connection& connection) {
    if (!pa_threaded_mainloop_in_thread(connection.loop_)) {
        loop_ = connection.loop_;
        pa_threaded_mainloop_lock(loop_);
    }
}

Connection::Lock::~Lock() {
    if (loop_)
        pa_threaded_mainloop_unlock(loop_);
}

Connection::Connection(DiagnosticFn writeDiagnostic)
    : writeDiagnostic_(std::move(writeDiagnostic)), cache_(static_cast<int32_t>(getpid())) {
    loop_ = pa_threaded_mainloop_new();
    api_ = pa_threaded_mainloop_get_api(loop_);
    pa_threaded_mainloop_set_name(loop_, "zorva.pulse");
    pa_threaded_mainloop_lock(loop_);
    pa_threaded_mainloop_start(loop_);
    connect();
    pa_threaded_mainloop_unlock(loop_);
}

Connection::~Connection() {
    pa_threaded_mainloop_lock(loop_);
    if (retry_)
        api_->time_free(retry_);
    cancelConnectCheck();
    dropContext();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void Connection::addListener(Listener* listener) {
    Lock lock(*this);
    listeners_.push_back(listener);
}

void Connection::removeListener(Listener* listener) {
    Lock lock(*this);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

pa_context* Connection::context() const {
    return ready_ ? context_ : nullptr;
}

bool Connection::connected() const {
    std::lock_guard g(cacheLock_);
    return connected_;
}

void releaseStream(pa_stream* stream) {
    if (!stream)
        return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_CREATING) {
        // Not yet known to the server, so not yet disconnectable: the
        // context keeps it until the server's answer, then we end it.
        pa_stream_set_state_callback(
            stream,
            [](pa_stream* s, void*) {
                if (pa_stream_get_state(s) == PA_STREAM_READY)
                    pa_stream_disconnect(s);
            },
            nullptr);
    } else {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
}

// ---- everything below runs on the loop thread (or under its lock)

void Connection::connect() {
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
    if (!context_) { // no memory for a client: try again later
        lost("cannot make a client context");
        return;
    }
    pa_context_set_state_callback(context_, &Connection::onState, this);
    pa_context_set_subscribe_callback(context_, &Connection::onEvent, this);
    // No autospawn: the helper must never start an audio server itself.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        lost(pa_strerror(pa_context_errno(context_)));
        return;
    }
    cancelConnectCheck();
    connectCheck_ = after(kConnectTimeoutUsec, &Connection::onConnectCheck);
}

// A time event on the monotonic clock (a wall-clock step must not delay a
// retry), which only a context can make; without one, on the wall clock. It
// belongs to the loop and outlives the context.
pa_time_event* Connection::after(pa_usec_t delay, pa_time_event_cb_t callback) {
    if (context_)
        return pa_context_rttime_new(context_, pa_rtclock_now() + delay, callback, this);
    timeval at{};
    pa_gettimeofday(&at);
    pa_timeval_add(&at, delay);
    return api_->time_new(api_, &at, callback, this);
}

void Connection::cancelConnectCheck() {
    if (connectCheck_)
        api_->time_free(connectCheck_);
    connectCheck_ = nullptr;
}

void Connection::onConnectCheck(pa_mainloop_api*, pa_time_event* event, const timeval*,
                                void* self) {
    auto* me = static_cast<Connection*>(self);
    me->api_->time_free(event);
    me->connectCheck_ = nullptr;
    if (me->context_ && pa_context_get_state(me->context_) != PA_CONTEXT_READY)
        me->lost("no answer in 5 s"); // stuck half-way: start over
}

void Connection::dropContext() {
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

// The server is gone (or never came): forget what it told us and try again
// shortly. The context itself is released from the timer, not from inside
// its own callback.
void Connection::lost(const std::string& reason) {
    // Given up: even a late answer on this context must not count.
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    }
    bool wasConnected = false;
    {
        std::lock_guard g(cacheLock_);
        cache_.clear();
        wasConnected = std::exchange(connected_, false);
    }
    ready_ = false;
    cancelConnectCheck();
    // One note per change, not one per retry while no server is there.
    if (wasConnected)
        note("connection lost (" + reason + "), reconnecting");
    else if (!failureNoted_)
        note("no server (" + reason + "), retrying every 0.5 s");
    failureNoted_ = true;
    if (wasConnected) {
        for (Listener* l : std::vector<Listener*>(listeners_))
            l->connectionChanged(nullptr);
    }
    if (retry_)
        return;
    retry_ = after(kRetryDelayUsec, &Connection::onRetry);
}

void Connection::ready() {
    cancelConnectCheck();
    {
        std::lock_guard g(cacheLock_);
        connected_ = true;
        cache_.setListing(true);
    }
    ready_ = true;
    failureNoted_ = false;
    const char* server = pa_context_get_server(context_);
    note(std::string("connected to ") + (server ? server : "the audio server"));
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SINK_INPUT |
        PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SOURCE |
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
    forget(pa_context_subscribe(context_, mask, nullptr, nullptr));
    requestServerInfo();
    // Only the lists asked for are awaited (none, if the context already failed).
    const auto list = [this](pa_operation* op) {
        listsPending_ += op != nullptr;
        forget(op);
    };
    listsPending_ = 0;
    list(pa_context_get_client_info_list(context_, &onListed<&onClient, pa_client_info>, this));
    list(pa_context_get_sink_info_list(context_, &onListed<&onSink, pa_sink_info>, this));
    list(pa_context_get_source_info_list(context_, &onListed<&onSource, pa_source_info>, this));
    list(pa_context_get_source_output_info_list(
        context_, &onListed<&onRecording, pa_source_output_info>, this));
    list(pa_context_get_sink_input_info_list(context_, &onListed<&onPlayback, pa_sink_input_info>,
                                             this));
    if (listsPending_ == 0)
        update(context_, [](ProcessCache& cache) { cache.setListing(false); });
    for (Listener* l : std::vector<Listener*>(listeners_))
        l->connectionChanged(context_);
}

void Connection::requestServerInfo() {
    forget(pa_context_get_server_info(context_, &Connection::onServer, this));
}

void Connection::changed() {
    for (Listener* l : std::vector<Listener*>(listeners_))
        l->objectsChanged();
}

void Connection::note(const std::string& text) {
    writeDiagnostic_("audio server: " + text + "\n");
}

void Connection::onRetry(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
    auto* me = static_cast<Connection*>(self);
    me->api_->time_free(event);
    me->retry_ = nullptr;
    me->dropContext();
    me->connect();
}

void Connection::onState(pa_context* c, void* self) {
    auto* me = static_cast<Connection*>(self);
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

// Applies one change to the cache, then tells the listeners.
template <typename Update> void Connection::update(pa_context* c, Update update) {
    if (c != context_)
        return;
    bool listing = false;
    {
        std::lock_guard g(cacheLock_);
        update(cache_);
        listing = cache_.listing();
    }
    if (!listing) // the listeners see the server's first lists whole, once
        changed();
}

// An item of one of the first lists, or its end: the last end makes the
// cache whole.
template <auto each, typename Info>
void Connection::onListed(pa_context* c, const Info* info, int eol, void* self) {
    auto* me = static_cast<Connection*>(self);
    if (!eol) {
        each(c, info, eol, self);
        return;
    }
    if (c != me->context_ || me->listsPending_ == 0)
        return;
    if (eol < 0) // what it missed shows only once it changes
        me->note(std::string("a first list failed: ") + pa_strerror(pa_context_errno(c)));
    if (--me->listsPending_ == 0)
        me->update(c, [](ProcessCache& cache) { cache.setListing(false); });
}

void Connection::onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                         void* self) {
    auto* me = static_cast<Connection*>(self);
    if (c != me->context_)
        return;
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        me->update(c, [&](ProcessCache& cache) {
            switch (facility) {
            case PA_SUBSCRIPTION_EVENT_CLIENT:
                cache.removeClient(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
                cache.removeRecordingStream(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
                cache.removePlaybackStream(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE:
                cache.removeSource(index);
                break;
            case PA_SUBSCRIPTION_EVENT_SINK:
                cache.removeSink(index);
                break;
            default:
                break;
            }
        });
        return;
    }
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_CLIENT:
        forget(pa_context_get_client_info(c, index, &Connection::onClient, me));
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        forget(pa_context_get_source_output_info(c, index, &Connection::onRecording, me));
        break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        forget(pa_context_get_sink_input_info(c, index, &Connection::onPlayback, me));
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        forget(pa_context_get_source_info_by_index(c, index, &Connection::onSource, me));
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
        forget(pa_context_get_sink_info_by_index(c, index, &Connection::onSink, me));
        break;
    case PA_SUBSCRIPTION_EVENT_SERVER: // the default devices may have changed
        me->requestServerInfo();
        break;
    default:
        break;
    }
}

void Connection::onServer(pa_context* c, const pa_server_info* info, void* self) {
    if (!info)
        return;
    std::string source = info->default_source_name ? info->default_source_name : "";
    static_cast<Connection*>(self)->update(
        c, [&](ProcessCache& cache) { cache.setDefaultSource(std::move(source)); });
}

void Connection::onClient(pa_context* c, const pa_client_info* info, int eol, void* self) {
    if (eol || !info)
        return;
    ClientRecord record{info->index, property(info->proplist, PA_PROP_APPLICATION_ID),
                        property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                        property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)};
    static_cast<Connection*>(self)->update(c,
                                           [&](ProcessCache& cache) { cache.setClient(record); });
}

void Connection::onRecording(pa_context* c, const pa_source_output_info* info, int eol,
                             void* self) {
    if (eol || !info)
        return;
    StreamRecord record{info->index,
                        info->client,
                        info->source,
                        info->corked != 0,
                        isLevelMeter(info->proplist, info->resample_method),
                        info->sample_spec.channels};
    static_cast<Connection*>(self)->update(
        c, [&](ProcessCache& cache) { cache.setRecordingStream(record); });
}

void Connection::onPlayback(pa_context* c, const pa_sink_input_info* info, int eol, void* self) {
    if (eol || !info)
        return;
    StreamRecord record{info->index,
                        info->client,
                        info->sink,
                        info->corked != 0,
                        isLevelMeter(info->proplist, info->resample_method),
                        info->sample_spec.channels};
    static_cast<Connection*>(self)->update(
        c, [&](ProcessCache& cache) { cache.setPlaybackStream(record); });
}

void Connection::onSource(pa_context* c, const pa_source_info* info, int eol, void* self) {
    if (eol || !info)
        return;
    char map[PA_CHANNEL_MAP_SNPRINT_MAX];
    pa_channel_map_snprint(map, sizeof map, &info->channel_map);
    SourceRecord record{info->index,
                        info->monitor_of_sink != PA_INVALID_INDEX,
                        info->name ? info->name : "",
                        info->sample_spec.rate,
                        info->sample_spec.channels,
                        map};
    static_cast<Connection*>(self)->update(c,
                                           [&](ProcessCache& cache) { cache.setSource(record); });
}

void Connection::onSink(pa_context* c, const pa_sink_info* info, int eol, void* self) {
    if (eol || !info)
        return;
    SinkRecord record{info->index, info->monitor_source_name ? info->monitor_source_name : "",
                      info->sample_spec.channels};
    static_cast<Connection*>(self)->update(c, [&](ProcessCache& cache) { cache.setSink(record); });
}

} // namespace zorva::pulse
