// A minimal PulseAudio client for the tests: one playback or recording
// stream with chosen properties, optionally started corked. Runs until killed.
//
//   pa_stream record|play [--device NAME] [--corked] [--peak] [--prop KEY=VALUE]...
#include <cstdio>
#include <cstring>
#include <pulse/pulseaudio.h>
#include <string>
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

void onWrite(pa_stream* s, size_t bytes, void*) {
    std::vector<char> silence(bytes, 0);
    pa_stream_write(s, silence.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE);
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
        pa_buffer_attr attr{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
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
            pa_stream_connect_playback(stream, options.device, nullptr,
                                       static_cast<pa_stream_flags_t>(flags), nullptr, nullptr);
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
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "pa_stream test client");
    pa_context_set_state_callback(context, onContextState, nullptr);
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    int result = 0;
    pa_mainloop_run(loop, &result);
    return result;
}
