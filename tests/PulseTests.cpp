// The real helper against a private PulseAudio server: "conferencing apps"
// are ordinary clients that share an application.id.
#include "support/AudioApps.h"
#include "support/ChildProcess.h"
#include "support/PulseServer.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

using namespace zorva::test;
using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

const std::string kApp = "org.example.conf";

struct RunningHelper : ChildProcess {
    explicit RunningHelper(const PulseServer& server, int holdMs = 1000, int graceMs = 2000)
        : ChildProcess(ZORVA_HELPER_PATH, {}, server.env()) {
        auto hello = readLine(5s);
        if (!hello)
            throw std::runtime_error("no hello");
        pid = Json::parse(*hello)["pid"];
        write(R"({"type":"configure","apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
              R"("ignoreBundlePrefixes":[],"ignorePids":[],"locale":"en-US","micHoldMs":)" +
              std::to_string(holdMs) + R"(,"endGraceMs":)" + std::to_string(graceMs) +
              R"(,"fastResults":false})"
              "\n");
    }
    // The next "call" line within the timeout, or null.
    Json nextCall(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto line = readLine(std::max(left, 1ms));
            if (!line)
                break;
            auto j = Json::parse(*line);
            if (j["type"] == "call")
                return j;
        }
        return nullptr;
    }
    int pid = 0;
};

const std::string kAppProps = "application.id=" + kApp;

std::unique_ptr<AudioApp> client(const PulseServer& server, std::vector<std::string> args,
                                 const std::string& props = kAppProps) {
    return std::make_unique<AudioApp>(server, args, props);
}

std::vector<int> sorted(std::vector<int> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Each test runs against PulseAudio and against PipeWire's PulseAudio server.
struct PulseCallDetection : ::testing::TestWithParam<ServerKind> {
    void SetUp() override {
        if (!PulseServer::available(GetParam()))
            ZORVA_SKIP_WITHOUT(kindName(GetParam()));
    }
};

TEST_P(PulseCallDetection, StartedThenMicReleasedWhenTheRecorderStops) {
    PulseServer server(GetParam());
    RunningHelper helper(server);
    auto play = player(server, kAppProps);
    auto rec = recorder(server, kAppProps);
    auto started = helper.nextCall(10s);
    ASSERT_FALSE(started.is_null());
    EXPECT_EQ(started["state"], "started");
    EXPECT_EQ(started["app"], "Conf");
    EXPECT_EQ(started["bundleId"], kApp);
    EXPECT_EQ(sorted(started["pids"]), sorted({play->pid(), rec->pid()}));
    EXPECT_GE(started["sinceMicStartMs"].get<int64_t>(), 1000);
    EXPECT_FALSE(started.contains("reason"));

    rec.reset();
    auto ended = helper.nextCall(10s);
    ASSERT_FALSE(ended.is_null());
    EXPECT_EQ(ended["state"], "ended");
    EXPECT_EQ(ended["reason"], "mic-released");
    EXPECT_EQ(ended["pids"], Json::array({play->pid()}));
    EXPECT_FALSE(ended.contains("sinceMicStartMs"));
}

TEST_P(PulseCallDetection, AppQuitWhenAllItsProcessesGo) {
    PulseServer server(GetParam());
    RunningHelper helper(server);
    auto play = player(server, kAppProps);
    auto rec = recorder(server, kAppProps);
    ASSERT_EQ(helper.nextCall(10s)["state"], "started");
    rec.reset();
    play.reset();
    auto ended = helper.nextCall(10s);
    ASSERT_FALSE(ended.is_null());
    EXPECT_EQ(ended["reason"], "app-quit");
    EXPECT_EQ(ended["pids"], Json::array());
}

TEST_P(PulseCallDetection, MonitorCorkedMeterAndOwnStreamsNeverStartACall) {
    PulseServer server(GetParam());
    RunningHelper helper(server);
    auto play = player(server, kAppProps);
    auto monitor = client(server, {"record", "--device", "speakers.monitor"});
    auto corked = client(server, {"record", "--device", "virtmic", "--corked"});
    auto meter = client(server, {"record", "--device", "virtmic", "--peak"});
    auto own =
        client(server, {"record", "--device", "virtmic"},
               "application.id=" + kApp + " application.process.id=" + std::to_string(helper.pid));
    EXPECT_TRUE(helper.nextCall(5s).is_null());
    // The same app with a real microphone recording is detected.
    auto rec = recorder(server, kAppProps);
    EXPECT_EQ(helper.nextCall(10s)["state"], "started");
}

// Whether the helper (by its process id) is a client of the server now.
bool helperConnected(const PulseServer& server, int pid) {
    return server.pactlOutput("list clients")
               .find("application.process.id = \"" + std::to_string(pid) + "\"") !=
           std::string::npos;
}

// The server crashes again and again while the helper runs: restarted at
// once, after short and long outages, and every other time killed again
// while the helper's connection to it is half-way. After each restart the helper is a
// client of the new server within 2 s and detects a call there.
// ZORVA_RESTARTS sets the number of restarts (a few by default).
TEST_P(PulseCallDetection, ReconnectsAfterEveryRestart) {
    const char* count = std::getenv("ZORVA_RESTARTS");
    const int restarts = count ? std::atoi(count) : 4;
    PulseServer server(GetParam());
    RunningHelper helper(server, 0, 0);
    const std::chrono::milliseconds outages[] = {0ms, 2500ms, 40ms, 300ms, 900ms};
    std::mt19937 random(7);
    std::vector<long> reconnectMs;
    for (int i = 0;; ++i) {
        {
            auto play = player(server, kAppProps);
            auto rec = recorder(server, kAppProps);
            auto started = helper.nextCall(5s);
            ASSERT_EQ(started["state"], "started") << "after restart " << i;
            EXPECT_EQ(sorted(started["pids"]), sorted({play->pid(), rec->pid()}));
        }
        auto ended = helper.nextCall(5s);
        ASSERT_EQ(ended["reason"], "app-quit") << "after restart " << i;
        if (i == restarts)
            break;

        server.kill();
        if (i == 1) { // no server: answers go on, ticks find nothing
            helper.write("{\"type\":\"ping\"}\n");
            auto pong = helper.readLine(1s);
            ASSERT_TRUE(pong);
            EXPECT_EQ(Json::parse(*pong)["type"], "pong");
        }
        std::this_thread::sleep_for(outages[i % std::size(outages)]);
        if (i % 2 == 1) {
            // Three times, the helper's next attempt lands on a stopped
            // server and waits for its answer; the server wakes and dies a
            // moment into the handshake.
            for (int k = 0; k < 3; ++k) {
                server.start(/*hidden=*/true);
                server.signal(SIGSTOP);
                server.reveal();
                std::this_thread::sleep_for(600ms);
                server.signal(SIGCONT);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 800));
                server.kill();
            }
        }
        server.start();
        const auto t0 = std::chrono::steady_clock::now();
        while (!helperConnected(server, helper.pid) && std::chrono::steady_clock::now() - t0 < 5s)
            std::this_thread::sleep_for(20ms);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - t0);
        ASSERT_LE(took, 2s) << "restart " << i << "; clients on the new server:\n"
                            << server.pactlOutput("list clients short") << "helper stderr:\n"
                            << helper.stderrText();
        reconnectMs.push_back(took.count());
        (void)helper.stderrText(); // keeps its stderr pipe from filling up
    }
    std::sort(reconnectMs.begin(), reconnectMs.end());
    if (!reconnectMs.empty())
        std::printf("%d restarts: back on the new server after %ld ms median, %ld ms at most\n",
                    restarts, reconnectMs[reconnectMs.size() / 2], reconnectMs.back());
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseCallDetection,
                         ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& param) { return kindName(param.param); });

TEST(PulseNoServer, HelloAndPingDoNotWaitForAMissingServer) {
    ChildProcess helper(ZORVA_HELPER_PATH, {},
                        {"PULSE_SERVER=unix:/nonexistent/native", "HOME=/tmp"});
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(helper.readLine(5s));
    helper.write(R"({"type":"configure","apps":[],"ignoreBundlePrefixes":[],"ignorePids":[],)"
                 R"("locale":"en-US","micHoldMs":0,"endGraceMs":0,"fastResults":false})"
                 "\n{\"type\":\"ping\"}\n");
    auto pong = helper.readLine(5s);
    ASSERT_TRUE(pong);
    EXPECT_EQ(Json::parse(*pong)["type"], "pong");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    helper.closeStdin();
    EXPECT_EQ(helper.waitExit(5s), 0);
}

} // namespace
