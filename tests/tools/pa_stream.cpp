// A minimal PulseAudio client for the tests: one playback or recording
// stream with chosen properties, optionally started corked. Runs until killed.
//
//   pa_stream record|play [--device NAME] [--corked] [--peak] [--prop KEY=VALUE]...
//
// A player plays silence, and speaks on command: each line "say FILE" on
// its stdin queues a 16 kHz mono sound file; when its first sample goes out
// the player writes "saying FIRST LAST" on stdout: the ms from the file's
// start to its first and its last sound. "bounce SINK" moves the stream to
// SINK and back at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <pulse/pulseaudio.h>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    bool record = true;
    bool corked = false;
    bool peak = false; // a level meter, as volume controls open them
    const char* device = nullptr;
    std::vector<std::pair<std::string, std::string>> props;
};

Options options;
pa_stream* stream = nullptr;

struct Speech {
    std::vector<int16_t> samples;
    std::size_t at = 0;
    long firstMs = 0;
    long lastMs = 0;
};
std::deque<Speech> queued;
std::string input;

void onWrite(pa_stream* s, size_t bytes, void*) {
    std::vector<int16_t> out(bytes / 2, 0);
    for (std::size_t i = 0; i < out.size() && !queued.empty();) {
        Speech& speech = queued.front();
        if (speech.at == 0) {
            std::printf("saying %ld %ld\n", speech.firstMs, speech.lastMs);
            std::fflush(stdout);
        }
        const std::size_t n = std::min(out.size() - i, speech.samples.size() - speech.at);
        std::memcpy(&out[i], &speech.samples[speech.at], n * 2);
        i += n;
        speech.at += n;
        if (speech.at == speech.samples.size())
            queued.pop_front();
    }
    pa_stream_write(s, out.data(), out.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
}

void say(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file || info.samplerate != 16000 || info.channels != 1) {
        std::fprintf(stderr, "cannot say %s: not a 16 kHz mono sound file\n", path.c_str());
        std::exit(1);
    }
    Speech speech;
    speech.samples.resize(static_cast<std::size_t>(info.frames));
    sf_readf_short(file, speech.samples.data(), info.frames);
    sf_close(file);
    auto loud = [&](std::size_t i) { return std::abs(speech.samples[i]) >= 1000; };
    std::size_t first = 0, last = speech.samples.size();
    while (first < last && !loud(first))
        ++first;
    while (last > first && !loud(last - 1))
        --last;
    speech.firstMs = static_cast<long>(first / 16);
    speech.lastMs = static_cast<long>(last / 16);
    queued.push_back(std::move(speech));
}

// Moves the stream to another sink and straight back, in one go, as a
// headset plugged in and out at once would; "bounced" when both are done.
void bounce(const std::string& sink) {
    pa_context* c = pa_stream_get_context(stream);
    const std::string home = pa_stream_get_device_name(stream);
    const uint32_t index = pa_stream_get_index(stream);
    pa_operation_unref(
        pa_context_move_sink_input_by_name(c, index, sink.c_str(), nullptr, nullptr));
    pa_operation_unref(pa_context_move_sink_input_by_name(
        c, index, home.c_str(),
        [](pa_context*, int, void*) {
            std::printf("bounced\n");
            std::fflush(stdout);
        },
        nullptr));
}

void onInput(pa_mainloop_api* api, pa_io_event* event, int fd, pa_io_event_flags_t, void*) {
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
        api->io_free(event);
        return;
    }
    input.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = input.find('\n')) != std::string::npos;) {
        std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        if (line.rfind("say ", 0) == 0)
            say(line.substr(4));
        else if (line.rfind("bounce ", 0) == 0)
            bounce(line.substr(7));
    }
}

void onRead(pa_stream* s, size_t, void*) {
    const void* data;
    size_t n;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &n) == 0 && n > 0)
        pa_stream_drop(s);
}

void onStreamState(pa_stream* s, void*) {
    if (pa_stream_get_state(s) == PA_STREAM_READY) {
        std::printf("ready\n");
        std::fflush(stdout);
    } else if (pa_stream_get_state(s) == PA_STREAM_FAILED) {
        std::fprintf(stderr, "stream failed\n");
        std::exit(1);
    }
}

void onContextState(pa_context* c, void*) {
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
        // A level meter reads peaks, as volume controls do: a few floats a second.
        pa_sample_spec sampleFormat = options.peak ? pa_sample_spec{PA_SAMPLE_FLOAT32LE, 25, 1}
                                                   : pa_sample_spec{PA_SAMPLE_S16LE, 16000, 1};
        pa_proplist* props = pa_proplist_new();
        for (auto& [k, v] : options.props)
            pa_proplist_sets(props, k.c_str(), v.c_str());
        stream = pa_stream_new_with_proplist(c, options.peak ? "peak" : "test stream",
                                             &sampleFormat, nullptr, props);
        pa_proplist_free(props);
        pa_stream_set_state_callback(stream, onStreamState, nullptr);
        // A short playback buffer, so that "saying" is close to when it is heard.
        pa_buffer_attr attr{UINT32_MAX, options.record ? UINT32_MAX : 1600u, UINT32_MAX, UINT32_MAX,
                            options.peak ? static_cast<uint32_t>(sizeof(float)) : 3200u};
        int flags = options.corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS;
        if (options.peak)
            flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY;
        if (options.record) {
            pa_stream_set_read_callback(stream, onRead, nullptr);
            pa_stream_connect_record(stream, options.device, &attr,
                                     static_cast<pa_stream_flags_t>(flags));
        } else {
            pa_stream_set_write_callback(stream, onWrite, nullptr);
            pa_stream_connect_playback(
                stream, options.device, &attr,
                static_cast<pa_stream_flags_t>(flags | PA_STREAM_ADJUST_LATENCY), nullptr, nullptr);
        }
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        std::fprintf(stderr, "context failed\n");
        std::exit(1);
    default:
        break;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pa_stream record|play [--device N] [--corked] [--prop K=V]\n");
        return 2;
    }
    options.record = std::strcmp(argv[1], "record") == 0;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--corked")
            options.corked = true;
        else if (a == "--peak")
            options.peak = true;
        else if (a == "--device" && i + 1 < argc)
            options.device = argv[++i];
        else if (a == "--prop" && i + 1 < argc) {
            std::string kv = argv[++i];
            auto eq = kv.find('=');
            options.props.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        }
    }
    pa_mainloop* loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(loop);
    if (!options.record)
        api->io_new(api, 0, PA_IO_EVENT_INPUT, onInput, nullptr);
    pa_context* context = pa_context_new(api, "pa_stream test client");
    pa_context_set_state_callback(context, onContextState, nullptr);
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    int result = 0;
    pa_mainloop_run(loop, &result);
    return result;
}
