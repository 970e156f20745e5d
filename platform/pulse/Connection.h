// The helper's one connection to the audio server (PulseAudio, or PipeWire's
// PulseAudio server), kept for the life of the process: it connects in the
// background, reconnects whenever the server goes away, and keeps a cache of
// the server's clients, streams and devices current from server events.
//
// Threads: libpulse runs on one thread of its own ("zorva.pulse"). Every
// callback of the connection, its listeners and the streams made on it runs
// there, with the loop locked. Any other thread that calls libpulse takes
// the loop lock first (Connection::Lock). The cache has a lock of its own
// and may be read from any thread without touching the server.
#pragma once

#include "ProcessCache.h"

#include <functional>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <string>
#include <string_view>
#include <vector>

namespace zorva::pulse {

using DiagnosticFn = std::function<void(std::string_view)>;

class Connection {
public:
    // Told of changes on the loop thread, with the loop locked.
    class Listener {
    public:
        virtual ~Listener() = default;
        // The connection became ready (`context` set) or was lost (null).
        virtual void connectionChanged(pa_context* context) = 0;
        // Something in the cache changed: streams, clients, devices, defaults.
        virtual void objectsChanged() = 0;
    };

    // Each change of the connection is one line through `writeDiagnostic`.
    explicit Connection(DiagnosticFn writeDiagnostic);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the loop lock. Taken on the loop thread itself it does nothing
    // (the loop already holds it there).
    class Lock {
    public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_ = nullptr;
    };

    // Listeners may be added and removed from any thread.
    void addListener(Listener* listener);
    void removeListener(Listener* listener);

    // The ready context, or null. Loop thread, or under Lock.
    pa_context* context() const;
    pa_mainloop_api* api() const { return api_; }
    // Whether a server is reachable now; any thread.
    bool connected() const;

    // Runs `read` on the cache under its lock; any thread.
    template <typename Read> auto withCache(Read read) {
        std::lock_guard g(cacheLock_);
        return read(cache_);
    }

private:
    void connect();
    void dropContext();
    void lost(const std::string& reason);
    void ready();
    void requestServerInfo();
    void changed();
    void note(const std::string& text);
    pa_time_event* after(pa_usec_t delay, pa_time_event_cb_t callback);
    void cancelConnectCheck();

    static void onState(pa_context* c, void* self);
    static void onRetry(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self);
    static void onConnectCheck(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self);
    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* self);
    static void onServer(pa_context* c, const pa_server_info* info, void* self);
    static void onClient(pa_context* c, const pa_client_info* info, int eol, void* self);
    static void onRecording(pa_context* c, const pa_source_output_info* info, int eol, void* self);
    static void onPlayback(pa_context* c, const pa_sink_input_info* info, int eol, void* self);
    static void onSource(pa_context* c, const pa_source_info* info, int eol, void* self);
    static void onSink(pa_context* c, const pa_sink_info* info, int eol, void* self);
    template <auto each, typename Info>
    static void onListed(pa_context* c, const Info* info, int eol, void* self);
    template <typename Update> void update(pa_context* c, Update update);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_context* context_ = nullptr; // loop thread or under Lock
    bool ready_ = false;
    int listsPending_ = 0; // of the first lists after connecting
    pa_time_event* retry_ = nullptr;
    pa_time_event* connectCheck_ = nullptr;
    bool failureNoted_ = false;
    std::vector<Listener*> listeners_; // under the loop lock
    DiagnosticFn writeDiagnostic_;

    mutable std::mutex cacheLock_; // guards cache_ and connected_
    ProcessCache cache_;
    bool connected_ = false;
};

// Ends a stream of ours and drops our reference, whatever its state: a
// stream still being made on the server is ended once it is made (a plain
// disconnect would fail then, and the stream would stay open on the server).
// Loop thread, or under Connection::Lock.
void releaseStream(pa_stream* stream);

} // namespace zorva::pulse
