// encodeLine and decodeAppLine against nlohmann's own dump() and parse() on
// the same messages, in one run.
#include "Protocol.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

using namespace zorva;
using Json = nlohmann::json;

namespace {

HelperMessage finalText() {
    return FinalText{"session-42",
                     StreamName::others,
                     "and so the dashwoods came to norland park where they lived",
                     123456,
                     127890,
                     130001};
}
HelperMessage capture() {
    return Capture{"session-42", Capture::State::started, MicInfo{"default input", 48000, false},
                   OthersInfo{"0F3A6C1E-6A7B-4D2C-9E1F-1234567890AB", 48000, {4101, 4102, 4107}}};
}
HelperMessage call() {
    return Call{Call::State::started, "Zoom", "us.zoom.xos", {4101, 4102}, 2034, {}, 98765};
}

// The same messages as nlohmann values, built once outside the timing.
Json asJson(const HelperMessage& m) {
    return Json::parse(encodeLine(m));
}

const std::vector<std::pair<const char*, HelperMessage>> kMessages = {
    {"final", finalText()}, {"capture", capture()}, {"call", call()}};

const std::vector<std::pair<const char*, std::string>> kLines = {
    {"ping", R"({"type":"ping"})"},
    {"start",
     R"({"type":"start","sessionId":"session-42","bundleId":"us.zoom.xos","pids":[4101,4102],"audio":"app"})"},
    {"configure",
     R"({"type":"configure","apps":[{"name":"Zoom","bundlePrefixes":["us.zoom."]},{"name":"Teams","bundlePrefixes":["com.microsoft.teams","com.microsoft.teams2"]},{"name":"Meet","bundlePrefixes":["com.google.Chrome"]}],"ignoreBundlePrefixes":["app.zorva"],"ignorePids":[1,2,3],"locale":"en-US","micHoldMs":3000,"endGraceMs":5000,"fastResults":true})"},
};

void encode(benchmark::State& state) {
    const auto& m = kMessages[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(m.first);
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeLine(m.second));
}

void nlohmannDump(benchmark::State& state) {
    const auto& m = kMessages[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(m.first);
    Json j = asJson(m.second);
    for (auto _ : state)
        benchmark::DoNotOptimize(j.dump());
}

void decode(benchmark::State& state) {
    const auto& l = kLines[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(l.first);
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeAppLine(l.second));
}

void nlohmannParse(benchmark::State& state) {
    const auto& l = kLines[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(l.first);
    for (auto _ : state)
        benchmark::DoNotOptimize(Json::parse(l.second));
}

BENCHMARK(encode)->DenseRange(0, 2);
BENCHMARK(nlohmannDump)->DenseRange(0, 2);
BENCHMARK(decode)->DenseRange(0, 2);
BENCHMARK(nlohmannParse)->DenseRange(0, 2);

} // namespace

BENCHMARK_MAIN();
