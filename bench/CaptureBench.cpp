// Live capture on a private PulseAudio server (needs scripts/setup
// --with-test-servers):
//
//   capture_bench tap STREAMS SECONDS   CPU of the tap path alone (this process: the
//                                       connection, the monitors, the mixing clock)
//                                       with STREAMS playing streams tapped
//   capture_bench latency               from a sound played to its arrival in the
//                                       tap's callback, 30 times
//   capture_bench session [fast]        a two-sided session through the real helper
//                                       (accurate preset, or fast): its CPU and peak
//                                       memory, and the delay from the end of each
//                                       sentence (its last loud 10 ms) to the
//                                       arrival of its final
//   capture_bench soak SECONDS          the same for SECONDS, recordings looped:
//                                       memory over time, final-time drift, CPU,
//                                       and every line valid and none an error
#include "Capture.h"
#include "CoreAudioProcesses.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "support/AudioApps.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace zorva;
using namespace zorva::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void printQuantiles(const std::string& what, std::vector<double> values) {
    if (values.empty()) {
        std::printf("%s: no samples\n", what.c_str());
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("%s: median %.0f ms, p95 %.0f ms, max %.0f ms (%zu samples)\n", what.c_str(),
                values[values.size() / 2], values[values.size() * 95 / 100], values.back(),
                values.size());
}

// The backend of this process on the server.
struct Backend {
    explicit Backend(const PulseServer& server) {
        for (const std::string& entry : server.env())
            ::setenv(entry.substr(0, entry.find('=')).c_str(),
                     entry.substr(entry.find('=') + 1).c_str(), 1);
        hardware = makePulseAudioHardware([](std::string_view) {});
    }
    std::vector<AudioObjectID> objectsOf(const std::vector<pid_t>& pids) {
        for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
            std::vector<AudioObjectID> found;
            for (const auto& p : CoreAudioLister(*hardware).list())
                if (std::find(pids.begin(), pids.end(), p.pid) != pids.end())
                    found.push_back(p.objectID);
            if (found.size() == pids.size())
                return found;
            std::this_thread::sleep_for(20ms);
        }
        throw std::runtime_error("the apps did not show up");
    }
    std::shared_ptr<TapCapture> tap(std::vector<AudioObjectID> objects, BufferCallback callback) {
        auto tap = std::make_shared<TapCapture>(
            *hardware, std::move(callback), [] { return "00000000-0000-4000-8000-000000000001"; });
        if (!std::holds_alternative<OthersInfo>(tap->start(objects, {}, {}, {})))
            throw std::runtime_error("the tap did not start");
        return tap;
    }
    std::unique_ptr<AudioHardware> hardware;
};

int tapCpu(int streams, int seconds) {
    PulseServer server;
    std::vector<std::unique_ptr<AudioApp>> apps;
    std::vector<pid_t> pids;
    for (int i = 0; i < streams; ++i) {
        apps.push_back(player(server, "application.id=org.example.conf"));
        pids.push_back(apps.back()->pid());
    }
    const std::string noise = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                              "/zorva-bench-noise.wav";
    std::system(("sox -n -r 16000 -c 1 -b 16 " + noise + " synth " + std::to_string(seconds + 5) +
                 " pinknoise vol 0.3 2>/dev/null")
                    .c_str());
    Backend backend(server);
    std::atomic<uint64_t> frames{0};
    std::atomic<float> peak{0};
    auto tap = backend.tap(backend.objectsOf(pids), [&](const PcmBuffer& b) {
        frames += b.frameLength();
        for (uint32_t i = 0; i < b.frameLength(); ++i)
            peak = std::max(peak.load(), std::fabs(b.floatChannelData()[0][i]));
    });
    for (auto& app : apps)
        app->sayLater(noise);
    std::this_thread::sleep_for(2s);
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    const uint64_t frames0 = frames;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("tap, %d playing streams: %.2f%% of one core; %.0f frames/s delivered, "
                "peak %.1f dBFS\n",
                streams, 100 * cpu / wall, double(frames - frames0) / wall,
                20 * std::log10(std::max(peak.load(), 1e-9f)));
    tap->stop();
    return 0;
}

int tapLatency() {
    PulseServer server;
    auto app = player(server, "application.id=org.example.conf");
    Backend backend(server);
    std::mutex lock;
    std::vector<Clock::time_point> onsets;
    bool loud = false;
    auto tap = backend.tap(backend.objectsOf({app->pid()}), [&](const PcmBuffer& b) {
        float peak = 0;
        const float* s = b.floatChannelData()[0];
        for (uint32_t i = 0; i < b.frameLength(); ++i)
            peak = std::max(peak, std::fabs(s[i]));
        std::lock_guard g(lock);
        if (!loud && peak > 0.05f)
            onsets.push_back(Clock::now());
        loud = peak > 0.05f;
    });
    std::vector<double> latencies;
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(400ms + std::chrono::milliseconds(i * 7 % 50));
        const auto said = app->say(toneFile()).first;
        std::this_thread::sleep_for(800ms);
        std::lock_guard g(lock);
        auto heard = std::find_if(onsets.begin(), onsets.end(),
                                  [&](Clock::time_point t) { return t > said - 50ms; });
        if (heard != onsets.end())
            latencies.push_back(ms(*heard - said));
        onsets.clear();
    }
    printQuantiles("played -> others callback", latencies);
    tap->stop();
    return 0;
}

long statusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A call on a private server: the user's voice into the microphone, the app
// "Conf" recording and playing, and the helper.
struct LiveCall {
    PulseServer server;
    std::unique_ptr<AudioApp> voice = player(server, "", "micsink");
    std::unique_ptr<AudioApp> confMic = recorder(server, "application.id=org.example.conf");
    std::unique_ptr<AudioApp> conf = player(server, "application.id=org.example.conf");
    ChildProcess helper{ZORVA_HELPER_PATH, {}, server.env()};
};

// Configures the helper for the app "Conf" (org.example.*), lets a tick
// group its processes, and starts an app session, reading lines with `pump`.
void startSession(ChildProcess& helper, const std::string& id,
                  const std::function<void(Clock::duration)>& pump, bool fast = false) {
    helper.write(
        R"({"type":"configure","apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
        R"("ignoreBundlePrefixes":[],"ignorePids":[],"locale":"en-US","micHoldMs":0,)"
        R"("endGraceMs":60000,"fastResults":)" +
        std::string(fast ? "true" : "false") + "}\n");
    pump(2500ms);
    helper.write(R"({"type":"start","sessionId":")" + id +
                 R"(","bundleId":"org.example.conf","pids":[],"audio":"app"})"
                 "\n");
    pump(2s);
}

// How long a sound file goes on after its speech stops: after its last 10 ms
// above the floor, 6 dB over the recording's own noise (its quietest tenth of
// non-zero frames), at least 30 dB under the loudest frame and at most 40.
Clock::duration trailingQuiet(const std::string& file) {
    std::string error;
    auto reader = AudioFileReader::open(file, error);
    if (!reader)
        throw std::runtime_error("cannot read " + file + ": " + error);
    const auto rate = static_cast<int64_t>(reader->processingFormat().sampleRate);
    const auto frame = static_cast<uint32_t>(rate / 100);
    std::vector<double> levels;
    for (;;) {
        PcmBuffer b(reader->processingFormat(), frame);
        if (reader->read(b, frame) || b.frameLength() < frame)
            break;
        const float* s = b.floatChannelData()[0];
        double energy = 0;
        for (uint32_t i = 0; i < frame; ++i)
            energy += double(s[i]) * s[i];
        levels.push_back(10 * std::log10(std::max(energy / frame, 1e-12)));
    }
    const double loudest = *std::max_element(levels.begin(), levels.end());
    std::vector<double> heard;
    std::copy_if(levels.begin(), levels.end(), std::back_inserter(heard),
                 [](double db) { return db > -80; });
    std::sort(heard.begin(), heard.end());
    const double noise = heard.empty() ? -90 : heard[heard.size() / 10];
    const double floor = std::max(loudest - 40, std::min(noise + 6, loudest - 30));
    std::size_t last = levels.size();
    while (last > 0 && levels[last - 1] <= floor)
        --last;
    const int64_t quietFrames = reader->length() - static_cast<int64_t>(last) * frame;
    return std::chrono::microseconds(quietFrames * 1000000 / rate);
}

int session(bool fast) {
    using Json = nlohmann::json;
    LiveCall call;
    auto& [server, voice, confMic, conf, helper] = call;
    std::vector<std::pair<Clock::time_point, Json>> lines;
    auto pump = [&](Clock::duration d) {
        for (auto end = Clock::now() + d; Clock::now() < end;)
            if (auto line = helper.readLine(
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())))
                lines.emplace_back(Clock::now(), Json::parse(*line));
    };
    startSession(helper, "b", pump, fast);
    const double cpu0 = processCpuSeconds(helper.pid());
    const auto t0 = Clock::now();
    // The far side reads LibriVox; the user answers with synthetic speech.
    const std::string librivox = "/usr/share/pocketsphinx/test/data/librivox/";
    const char* far[] = {"sense_and_sensibility_01_austen_64kb-0870.wav",
                         "sense_and_sensibility_01_austen_64kb-0880.wav",
                         "sense_and_sensibility_01_austen_64kb-0890.wav",
                         "sense_and_sensibility_01_austen_64kb-0920.wav",
                         "sense_and_sensibility_01_austen_64kb-0930.wav"};
    const char* near[] = {"please remember to send the quarterly report by friday",
                          "the quick brown fox jumps over the lazy dog",
                          "our budget meeting moves to next tuesday morning",
                          "the weather today is sunny with a light breeze",
                          "the children played football in the garden all afternoon"};
    std::vector<std::pair<std::string, Clock::time_point>> ends; // stream, speech end
    auto say = [&](AudioApp& app, const std::string& stream, const std::string& file) {
        ends.emplace_back(stream, app.say(file).last - trailingQuiet(file));
    };
    for (int i = 0; i < 5; ++i) {
        say(*conf, "others", librivox + far[i]);
        pump(std::chrono::duration_cast<Clock::duration>(ends.back().second - Clock::now()) + 1s);
        say(*voice, "mic", speechFile(near[i]));
        // Both at once, now and then.
        if (i % 2 == 1)
            say(*conf, "others", speechFile(near[(i + 2) % 5]));
        pump(std::chrono::duration_cast<Clock::duration>(ends.back().second - Clock::now()) + 2s);
    }
    pump(3s);
    const double cpu = processCpuSeconds(helper.pid()) - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const long peakKb = statusKb(helper.pid(), "VmHWM");
    helper.write("{\"type\":\"stop\",\"sessionId\":\"b\"}\n");
    pump(4s);

    std::map<std::string, std::vector<double>> delays;
    for (const auto& [stream, end] : ends)
        for (const auto& [at, j] : lines)
            if (j["type"] == "final" && j["stream"] == stream && at > end) {
                delays[stream].push_back(ms(at - end));
                break;
            }
    int finals = 0;
    for (const auto& [at, j] : lines)
        if (j["type"] == "final") {
            ++finals;
            std::printf("%-6s %6lld-%-6lld %s\n", j["stream"].get<std::string>().c_str(),
                        static_cast<long long>(j["startMs"].get<int64_t>()),
                        static_cast<long long>(j["endMs"].get<int64_t>()),
                        j["text"].get<std::string>().c_str());
        }
    std::printf("session of %.0f s, %zu sentences, %d finals\n", wall, ends.size(), finals);
    std::printf("helper CPU: %.1f%% of one core; peak resident memory %.1f MB\n", 100 * cpu / wall,
                double(peakKb) / 1024);
    std::printf("%s preset\n", fast ? "fast" : "accurate");
    for (const auto& [stream, d] : delays)
        printQuantiles("speech end -> its final, " + stream, d);
    return 0;
}

// A long two-sided session: recordings looped on both sides for `seconds`,
// then stop. Resident memory is sampled; every line must be valid JSON and
// none an error; final times are compared with when the speech was played.
int soak(int seconds) {
    using Json = nlohmann::json;
    LiveCall call;
    auto& [server, voice, confMic, conf, helper] = call;
    std::string helperErr;
    int invalid = 0, errors = 0;
    std::vector<std::pair<Clock::time_point, Json>> finals;
    std::optional<Clock::time_point> captureStarted;
    auto pump = [&](Clock::duration d) {
        for (auto end = Clock::now() + d; Clock::now() < end;) {
            auto line = helper.readLine(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            if (!line)
                continue;
            Json j = Json::parse(*line, nullptr, false);
            if (j.is_discarded() || !j.is_object() || !j.contains("type")) {
                ++invalid;
                continue;
            }
            if (j["type"] == "error") {
                ++errors;
                std::printf("error line: %s\n", line->c_str());
            }
            if (j["type"] == "final")
                finals.emplace_back(Clock::now(), j);
            if (j["type"] == "capture" && j["state"] == "started")
                captureStarted = Clock::now();
        }
        helperErr = helper.stderrText(); // keep its stderr pipe drained
    };
    startSession(helper, "soak", pump);
    if (!captureStarted) {
        std::printf("no capture started\n");
        return 1;
    }
    const double cpu0 = processCpuSeconds(helper.pid());
    const auto t0 = Clock::now();
    const std::string librivox = "/usr/share/pocketsphinx/test/data/librivox/";
    const std::vector<std::string> far = {
        librivox + "sense_and_sensibility_01_austen_64kb-0870.wav",
        librivox + "sense_and_sensibility_01_austen_64kb-0880.wav",
        librivox + "sense_and_sensibility_01_austen_64kb-0890.wav",
        librivox + "sense_and_sensibility_01_austen_64kb-0920.wav",
        librivox + "sense_and_sensibility_01_austen_64kb-0930.wav"};
    const std::vector<std::string> near = {
        speechFile("please remember to send the quarterly report by friday"),
        speechFile("the quick brown fox jumps over the lazy dog"),
        speechFile("our budget meeting moves to next tuesday morning"),
        speechFile("the weather today is sunny with a light breeze")};
    struct Spoken {
        std::string stream;
        Clock::time_point end;
    };
    std::vector<Spoken> spoken;
    std::vector<std::pair<double, long>> rss; // minutes, kB
    auto sample = [&] {
        rss.emplace_back(std::chrono::duration<double>(Clock::now() - t0).count() / 60,
                         statusKb(helper.pid(), "VmRSS"));
    };
    auto nextSample = Clock::now();
    for (int i = 0; Clock::now() - t0 < std::chrono::seconds(seconds); ++i) {
        // Both sides at once, each its own recording; then a pause.
        spoken.push_back({"others", conf->say(far[i % far.size()]).last});
        spoken.push_back({"mic", voice->say(near[i % near.size()]).last});
        auto until = std::max(spoken[spoken.size() - 2].end, spoken.back().end) + 1500ms;
        while (Clock::now() < until) {
            pump(std::min<Clock::duration>(until - Clock::now(), 1s));
            if (Clock::now() >= nextSample) {
                sample();
                nextSample += 10s;
                if (auto status = helper.waitExit(0ms)) {
                    const std::string err = helper.stderrText();
                    std::printf("the helper ended after %.0f s of the soak, status %d; its stderr "
                                "ends:\n%s\n",
                                std::chrono::duration<double>(Clock::now() - t0).count(), *status,
                                err.substr(err.size() > 4000 ? err.size() - 4000 : 0).c_str());
                    return 1;
                }
            }
        }
    }
    pump(3s);
    sample();
    if (auto status = helper.waitExit(0ms)) {
        std::printf(
            "the helper ended during the soak, status %d, after %.0f s; its stderr ends:\n%s\n",
            *status, rss.empty() ? 0.0 : 0.0,
            helper.stderrText()
                .substr(helper.stderrText().size() > 3000 ? helper.stderrText().size() - 3000 : 0)
                .c_str());
        return 1;
    }
    const double cpu = processCpuSeconds(helper.pid()) - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    helper.write("{\"type\":\"stop\",\"sessionId\":\"soak\"}\n");
    pump(5s);

    // Drift: each sentence's final end against when it was played, on the
    // session's clock; the mean of the first ten against that of the last ten.
    std::printf("soak of %.0f s: %zu sentences, %zu finals, %d invalid lines, %d error lines\n",
                wall, spoken.size(), finals.size(), invalid, errors);
    for (const char* stream : {"mic", "others"}) {
        std::vector<double> offsets; // final endMs minus played end, ms
        for (const auto& s : spoken) {
            if (s.stream != stream)
                continue;
            const double playedMs = ms(s.end - *captureStarted);
            double best = 1e9;
            for (const auto& [at, j] : finals)
                if (j["stream"] == stream) {
                    double off = j["endMs"].get<double>() - playedMs;
                    if (std::abs(off) < std::abs(best))
                        best = off;
                }
            if (std::abs(best) < 3000)
                offsets.push_back(best);
        }
        if (offsets.size() < 4) {
            std::printf("%s: only %zu sentences matched\n", stream, offsets.size());
            continue;
        }
        auto mean = [](auto b, auto e) { return std::accumulate(b, e, 0.0) / double(e - b); };
        const auto k = static_cast<std::ptrdiff_t>(std::min<std::size_t>(10, offsets.size() / 2));
        const double first = mean(offsets.begin(), offsets.begin() + k);
        const double last = mean(offsets.end() - k, offsets.end());
        std::printf("%s: %zu sentences matched; final end - played end: first ones %.0f ms, last "
                    "ones %.0f ms, drift %.0f ms\n",
                    stream, offsets.size(), first, last, last - first);
    }
    long at10 = -1, maxLater = 0;
    for (const auto& [minute, kb] : rss) {
        if (at10 < 0 && minute >= double(seconds) / 60 - 20)
            at10 = kb;
        if (at10 >= 0)
            maxLater = std::max(maxLater, kb);
    }
    std::printf("resident memory: first %.1f MB, %.1f MB %d minutes before the end, at most "
                "%.1f MB after, at the end %.1f MB; growth over the last 20 minutes %.1f%%\n",
                double(rss.front().second) / 1024, double(at10) / 1024, std::min(20, seconds / 60),
                double(maxLater) / 1024, double(rss.back().second) / 1024,
                100.0 * double(maxLater - at10) / double(at10));
    std::printf("helper CPU: %.3f s per second of call (two streams)\n", cpu / wall);
    std::istringstream err(helper.stderrText());
    for (std::string line; std::getline(err, line);)
        if (line.find("waited") != std::string::npos ||
            line.find("fell behind") != std::string::npos)
            std::printf("helper: %s\n", line.c_str());
    return invalid == 0 && errors == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "tap" && argc == 4)
        return tapCpu(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "latency")
        return tapLatency();
    if (mode == "session" && (argc == 2 || std::string(argv[2]) == "fast"))
        return session(argc == 3);
    if (mode == "soak" && argc == 3)
        return soak(std::atoi(argv[2]));
    std::fprintf(stderr,
                 "usage: capture_bench tap STREAMS SECONDS | latency | session [fast] | soak "
                 "SECONDS\n");
    return 2;
}
