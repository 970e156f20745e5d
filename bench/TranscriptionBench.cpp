// Measures the real transcriber on PocketSphinx. bench/transcription.sh runs it.
//
//   transcription_bench rtf STREAMS PRESET FILE...  feed every file to each of
//                                            STREAMS transcribers at once, as fast as
//                                            possible
//   transcription_bench live PRESET FILE...   feed at live pace; print each text
//                                            line with its wall-clock offset
// PRESET is "fast" (the fast-results configuration) or "accurate".
//   transcription_bench finals PRESET FILE... one transcriber per file, fed as fast
//                                            as it decodes; print each file's finals
//   transcription_bench warmstart             time a first (cold) and a second
//                                            (model already loaded) start
#include "Transcriber.h"
#include "platform/sphinx/SphinxSpeech.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <thread>

using namespace zorva;
using SteadyClock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

std::vector<PcmBuffer> load(const std::vector<std::string>& files, double& seconds) {
    std::vector<PcmBuffer> chunks;
    seconds = 0;
    for (const auto& f : files) {
        std::string error;
        auto reader = AudioFileReader::open(f, error);
        if (!reader) {
            std::fprintf(stderr, "%s: %s\n", f.c_str(), error.c_str());
            std::exit(2);
        }
        const auto chunk = static_cast<uint32_t>(reader->processingFormat().sampleRate / 10);
        seconds += static_cast<double>(reader->length()) / reader->processingFormat().sampleRate;
        while (reader->framePosition() < reader->length()) {
            PcmBuffer b(reader->processingFormat(), chunk);
            if (reader->read(b, chunk) || b.frameLength() == 0)
                break;
            chunks.push_back(std::move(b));
        }
    }
    return chunks;
}

TranscriberEnvironment environment(SpeechPlatform& speech, bool live = true) {
    TranscriberTiming timing;
    timing.finishWatchdog = std::chrono::minutes(10); // let it finish the backlog
    // Fed far faster than spoken, the stall finaliser would see every
    // utterance as stalled and cut it wherever the decoder happens to be.
    if (!live)
        timing.stallInterval = std::chrono::hours(1);
    return {speech, continuousClock(), [](std::string_view) {}, timing};
}

int rtf(int streams, bool fast, const std::vector<std::string>& files) {
    double audio = 0;
    auto chunks = load(files, audio);
    auto speech = makeSphinxSpeechPlatform();
    std::vector<std::shared_ptr<StreamTranscriber>> ts;
    for (int i = 0; i < streams; ++i) {
        ts.push_back(std::make_shared<StreamTranscriber>(
            i ? StreamName::others : StreamName::mic, "bench", continuousClock().now(),
            [](const HelperMessage&) {}, environment(*speech)));
        if (auto e = ts.back()->start({"en-US"}, fast)) {
            std::fprintf(stderr, "start failed: %s\n", e->description.c_str());
            return 1;
        }
    }
    const double cpu0 = cpuSeconds();
    auto wall0 = SteadyClock::now();
    std::vector<std::thread> feeders;
    for (auto& t : ts)
        feeders.emplace_back([&chunks, t] {
            for (const auto& c : chunks)
                t->feed(c);
            t->finish();
        });
    for (auto& f : feeders)
        f.join();
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wall0).count();
    const double cpu = cpuSeconds() - cpu0;
    nlohmann::json out = {{"streams", streams},
                          {"audio_seconds_per_stream", audio},
                          {"cpu_seconds", cpu},
                          {"wall_seconds", wall},
                          {"cpu_rtf_per_stream", cpu / (audio * streams)},
                          {"wall_rtf", wall / audio},
                          {"peak_rss_mb", peakRssKb() / 1024.0}};
    std::printf("%s\n", out.dump().c_str());
    return 0;
}

int live(bool fast, const std::vector<std::string>& files) {
    auto speech = makeSphinxSpeechPlatform();
    speech->reserve({"en-US"});
    for (const auto& file : files) {
        double audio = 0;
        auto chunks = load({file}, audio);
        SteadyClock::time_point feedStart;
        std::mutex lock;
        std::vector<nlohmann::json> lines;
        auto t = std::make_shared<StreamTranscriber>(
            StreamName::mic, "bench", continuousClock().now(),
            [&](const HelperMessage& m) {
                auto at = std::chrono::duration<double, std::milli>(SteadyClock::now() - feedStart);
                nlohmann::json j;
                if (auto* p = std::get_if<PartialText>(&m))
                    j = {{"type", "partial"}, {"text", p->text}, {"startMs", p->startMs}};
                else if (auto* f = std::get_if<FinalText>(&m))
                    j = {{"type", "final"},
                         {"text", f->text},
                         {"startMs", f->startMs},
                         {"endMs", f->endMs}};
                else
                    return;
                j["wallMs"] = at.count();
                std::lock_guard g(lock);
                lines.push_back(j);
            },
            environment(*speech));
        if (t->start({"en-US"}, fast))
            return 1;
        // Each tenth of a second is fed once it has been spoken, as a capture
        // delivers it: wallMs and the audio's own times share one origin.
        feedStart = SteadyClock::now();
        auto next = feedStart;
        for (const auto& c : chunks) {
            next += std::chrono::milliseconds(100);
            std::this_thread::sleep_until(next);
            t->feed(c);
        }
        t->finish();
        for (auto& j : lines) {
            j["file"] = file;
            std::printf("%s\n", j.dump().c_str());
        }
    }
    return 0;
}

// Accuracy over many files: nothing here depends on the pace (each file is
// far shorter than the backlog bound), so it goes as fast as the decoder.
int finals(bool fast, const std::vector<std::string>& files) {
    auto speech = makeSphinxSpeechPlatform();
    for (const auto& file : files) {
        double audio = 0;
        auto chunks = load({file}, audio);
        std::mutex lock;
        std::string text;
        nlohmann::json spans = nlohmann::json::array();
        auto t = std::make_shared<StreamTranscriber>(
            StreamName::mic, "bench", continuousClock().now(),
            [&](const HelperMessage& m) {
                if (auto* f = std::get_if<FinalText>(&m)) {
                    std::lock_guard g(lock);
                    text += (text.empty() ? "" : " ") + f->text;
                    spans.push_back(
                        {{"text", f->text}, {"startMs", f->startMs}, {"endMs", f->endMs}});
                }
            },
            environment(*speech, /*live=*/false));
        if (auto e = t->start({"en-US"}, fast)) {
            std::fprintf(stderr, "start failed: %s\n", e->description.c_str());
            return 1;
        }
        for (const auto& c : chunks)
            t->feed(c);
        t->finish();
        std::printf(
            "%s\n",
            nlohmann::json{{"file", file}, {"text", text}, {"finals", spans}}.dump().c_str());
        std::fflush(stdout);
    }
    return 0;
}

int warmstart() {
    auto speech = makeSphinxSpeechPlatform();
    auto timeStart = [&] {
        auto t = std::make_shared<StreamTranscriber>(
            StreamName::mic, "bench", continuousClock().now(), [](const HelperMessage&) {},
            environment(*speech));
        auto t0 = SteadyClock::now();
        if (t->start({"en-US"}, true))
            std::exit(1);
        double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
        t->finish();
        return ms;
    };
    double cold = timeStart();
    double warm = timeStart();
    std::printf("%s\n",
                nlohmann::json{{"cold_start_ms", cold}, {"warm_start_ms", warm}}.dump().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto preset = [](const std::string& name) {
        if (name != "fast" && name != "accurate") {
            std::fprintf(stderr, "preset must be fast or accurate, not %s\n", name.c_str());
            std::exit(2);
        }
        return name == "fast";
    };
    if (args.size() >= 4 && args[0] == "rtf")
        return rtf(std::stoi(args[1]), preset(args[2]), {args.begin() + 3, args.end()});
    if (args.size() >= 3 && args[0] == "live")
        return live(preset(args[1]), {args.begin() + 2, args.end()});
    if (args.size() >= 3 && args[0] == "finals")
        return finals(preset(args[1]), {args.begin() + 2, args.end()});
    if (args.size() == 1 && args[0] == "warmstart")
        return warmstart();
    std::fprintf(stderr, "usage: transcription_bench rtf N PRESET FILE... | live PRESET FILE... | "
                         "finals PRESET FILE... | warmstart\n");
    return 2;
}
