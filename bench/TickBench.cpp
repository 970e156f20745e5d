// One monitoring tick (listing the process objects from the audio server
// cache, then Detector::update) with 10, 100 and 1,000 process objects.
#include "CoreAudioProcesses.h"
#include "Detector.h"
#include "platform/pulse/ProcessCache.h"

#include <benchmark/benchmark.h>
#include <mutex>

using namespace zorva;

namespace {

// The PulseAudio backend's read path: the cache behind its lock.
class CacheHardware final : public AudioHardware {
public:
    explicit CacheHardware(int processes) : cache_(1) {
        cache_.setSource({1, false, "mic", 48000, 1, "mono"});
        for (uint32_t i = 0; i < static_cast<uint32_t>(processes); ++i) {
            // Every tenth process belongs to a conferencing app; one records.
            std::string bundle = i % 10 == 0 ? "us.zoom.proc" + std::to_string(i)
                                             : "org.desktop.app" + std::to_string(i);
            cache_.setClient({i + 10, bundle, "binary", std::to_string(1000 + i)});
            cache_.setPlaybackStream({i + 10, i + 10, 0, false, false, 2});
            if (i == 0)
                cache_.setRecordingStream({5000, i + 10, 1, false, false, 2});
        }
    }
    OSStatus getPropertyDataSize(AudioObjectID o, AudioProperty p, uint32_t& size) override {
        std::lock_guard g(lock_);
        return cache_.getPropertyDataSize(o, p, size);
    }
    OSStatus getPropertyData(AudioObjectID o, AudioProperty p, uint32_t& size,
                             void* data) override {
        std::lock_guard g(lock_);
        return cache_.getPropertyData(o, p, size, data);
    }
    OSStatus getStringProperty(AudioObjectID o, AudioProperty p, std::string& out) override {
        std::lock_guard g(lock_);
        return cache_.getStringProperty(o, p, out);
    }
    OSStatus setTapDescription(AudioObjectID, const TapDescription&) override { return 1; }
    OSStatus createProcessTap(const TapDescription&, AudioObjectID&) override { return 1; }
    OSStatus destroyProcessTap(AudioObjectID) override { return 1; }
    OSStatus createAggregateDevice(const AggregateDeviceDescription&, AudioObjectID&) override {
        return 1;
    }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return 1; }
    OSStatus createIOProcIDWithBlock(AudioObjectID, const std::string&, AudioDeviceIOBlock,
                                     AudioDeviceIOProcID&) override {
        return 1;
    }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return 1; }
    OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override { return 1; }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return 1; }

private:
    std::mutex lock_;
    pulse::ProcessCache cache_;
};

void tick(benchmark::State& state) {
    CacheHardware hardware(static_cast<int>(state.range(0)));
    CoreAudioLister lister(hardware);
    Detector detector(AppTable({{"Zoom", {"us.zoom."}},
                                {"Teams", {"com.microsoft.teams"}},
                                {"Meet", {"com.google.Chrome"}}},
                               {"app.zorva"}, {}),
                      3000, 5000);
    int64_t now = 0;
    std::size_t listed = 0;
    for (auto _ : state) {
        auto processes = lister.list();
        listed = processes.size();
        benchmark::DoNotOptimize(detector.update(processes, now += 2000));
    }
    state.counters["processes"] = static_cast<double>(listed);
}

BENCHMARK(tick)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
