// The caption window under a long call: 30 minutes of finals from both
// sides (one every 3 s, 15 words each), then a fast talker's partials, one
// every 40 ms, each a word longer than the last. Prints the GTK thread's CPU
// time per partial (median, 90th percentile, most), which is the time to lay
// out and draw it, and the resident memory after 10, 20 and 30 minutes of
// finals and after the partials.
//
//   xvfb-run -a env GSK_RENDERER=cairo build/bench/window_bench
#include "Window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

using namespace zorva::host;
using namespace std::chrono_literals;

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

double cpuMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

const char* const kWords[] = {"we",   "should", "ship",    "the",   "first", "version",
                              "next", "month",  "because", "every", "team",  "needs",
                              "time", "to",     "review",  "their", "plans", "carefully"};

std::string sentence(int n, int words) {
    std::string text;
    for (int i = 0; i < words; ++i)
        text += std::string(i ? " " : "") + kWords[(n + i) % std::size(kWords)];
    return text;
}

} // namespace

int main() {
    if (!CaptionWindow::displayAvailable()) {
        std::fprintf(stderr, "window_bench: needs a display (run it under xvfb-run)\n");
        return 2;
    }
    CaptionWindow window(20, {});
    clockid_t gtk{};
    pthread_getcpuclockid(pthread_self(), &gtk);
    std::thread feeder([&] {
        std::this_thread::sleep_for(1s);
        window.session("Conf");
        constexpr int kFinals = 600; // 30 minutes, one every 3 s
        for (int i = 0; i < kFinals; ++i) {
            window.final(i % 2 ? Speaker::them : Speaker::you, i * 3000, sentence(i, 15));
            if (i % 20 == 19)
                std::this_thread::sleep_for(30ms);
            if (i % 200 == 199) {
                std::this_thread::sleep_for(500ms);
                std::printf("after %2d minutes of finals: %ld KiB resident\n", (i + 1) / 20,
                            residentKiB());
            }
        }
        std::this_thread::sleep_for(1s);
        std::vector<double> costs;
        for (int k = 0; k < 750; ++k) {
            const double before = cpuMs(gtk);
            window.partial(Speaker::them, 0, sentence(k / 15, 1 + k % 15));
            std::this_thread::sleep_for(40ms);
            costs.push_back(cpuMs(gtk) - before);
        }
        std::sort(costs.begin(), costs.end());
        std::printf("per partial (GTK thread CPU, %zu partials): median %.2f ms, 90th %.2f ms, "
                    "most %.2f ms\n",
                    costs.size(), costs[costs.size() / 2], costs[costs.size() * 9 / 10],
                    costs.back());
        std::printf("after the partials: %ld KiB resident\n", residentKiB());
        window.hostEnded();
    });
    window.run();
    feeder.join();
    return 0;
}
