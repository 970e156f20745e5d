// A hostile host drives the real binary on a private audio server: valid,
// malformed, huge, truncated and interleaved lines in random pieces, bursts
// of session commands, and a pause of 10 s in reading the helper's output
// while it keeps talking. Every line out must be whole and valid, every
// request answered, and the helper's state and memory intact.
// ZORVA_HOSTILE_SECONDS=N repeats the rounds for N seconds (the long form).
#include "support/AudioApps.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

using namespace zorva::test;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

struct Host {
    PulseServer& server;
    ChildProcess helper;
    std::mt19937 random{12345};
    std::map<std::string, int> counts; // "type" or "type/detail" -> lines seen
    int invalid = 0;

    explicit Host(PulseServer& s) : server(s), helper(ZORVA_HELPER_PATH, {}, s.env()) {}

    void take(const std::string& line) {
        Json j = Json::parse(line, nullptr, false);
        // One object a line, "type" its last key.
        if (j.is_discarded() || !j.is_object() || line.rfind(",\"type\":\"") == std::string::npos ||
            line.back() != '}') {
            ++invalid;
            ADD_FAILURE() << "garbled line: " << line.substr(0, 200);
            return;
        }
        const std::string type = j["type"];
        ++counts[type];
        if (type == "error")
            ++counts["error/" + j["code"].get<std::string>() + "/" +
                     j["message"].get<std::string>()];
        if (type == "capture" || type == "stopped")
            ++counts[type + "/" + j["sessionId"].get<std::string>() + "/" + j.value("state", "")];
    }
    // Reads until `done` holds or `limit` passes.
    template <typename Pred> bool readUntil(Pred done, std::chrono::milliseconds limit = 30s) {
        auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > end)
                return false;
            if (auto line = helper.readLine(100ms))
                take(*line);
            (void)helper.stderrText();
        }
        return true;
    }
    // Writes `bytes` in random pieces with short random pauses: lines reach
    // the helper split anywhere, several in one read, or one byte at a time.
    void writeChopped(const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t n = std::uniform_int_distribution<std::size_t>(1, 3000)(random);
            ASSERT_TRUE(helper.write(bytes.substr(at, n)));
            at += n;
            if (random() % 4 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    }
};

const std::string kConfigure =
    R"({"type":"configure","apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
    R"("ignoreBundlePrefixes":[],"ignorePids":[],"locale":"en-US","micHoldMs":0,)"
    R"("endGraceMs":60000,"fastResults":false})";

std::string start(const std::string& id) {
    return R"({"type":"start","sessionId":")" + id +
           R"(","bundleId":"org.example.conf","pids":[],"audio":"app"})";
}
std::string stop(const std::string& id) {
    return R"({"type":"stop","sessionId":")" + id + R"("})";
}

// One round of hostile input. Returns how many pings and malformed lines it
// sent, and the sessions that must start and stop.
struct Round {
    int pings = 0, malformed = 0;
    std::vector<std::string> sessions;
};

Round hostileRound(Host& host, int n) {
    Round r;
    std::string in;
    auto line = [&](const std::string& l) { in += l + "\n"; };
    auto bad = [&](const std::string& l) {
        in += l + "\n";
        ++r.malformed;
    };
    auto ping = [&] {
        // Extra keys, CRLF and blanks around the value are all fine.
        in += (r.pings % 3 == 0 ? R"(  {"type":"ping","x":[1,{"y":null}]} )"
                                  "\r\n"
                                : R"({"type":"ping"})"
                                  "\n");
        ++r.pings;
    };
    const std::string a = "a" + std::to_string(n), b = "b" + std::to_string(n);
    line(kConfigure);
    ping();
    bad("");
    bad("{\"type\":\"ping\"");                                              // truncated
    bad(std::string("{\"type\":\"ping\"}\0{\"type\":\"shutdown\"}", 35));   // NUL
    bad("\xEF\xBB\xBF{\"type\":\"ping\"}");                                 // byte-order mark
    bad("{\"type\":\"ping\",\"pad\":\"" + std::string(70000, 'x') + "\"}"); // over the limit
    bad("{\"type\":\"stop\"}");                                             // no session id
    bad(std::string(3000, '{'));                                            // deep nesting
    line(R"({"type":"noSuchKind","sessionId":5})");                         // ignored, no line
    // A burst: a's session starts and stops, b's starts, a start while b
    // runs and a stop for nobody are refused, configure comes between.
    line(start(a));
    ping();
    line(stop(a));
    line(start(b));
    line(kConfigure);
    line(start("refused" + std::to_string(n)));
    line(stop("nobody"));
    for (int i = 0; i < 50; ++i)
        ping();
    line(stop(b));
    r.sessions = {a, b};
    host.writeChopped(in);
    return r;
}

TEST(HostileHost, MixedLinesBurstsAndAPausedReaderLoseNothing) {
    if (!PulseServer::available(ServerKind::pulseaudio))
        ZORVA_SKIP_WITHOUT("PulseAudio");
    PulseServer server;
    auto callMic = recorder(server, "application.id=org.example.conf");
    auto call = player(server, "application.id=org.example.conf");
    Host host(server);
    ASSERT_TRUE(host.readUntil([&] { return host.counts["hello"] == 1; }, 10s));

    const char* env = std::getenv("ZORVA_HOSTILE_SECONDS");
    const auto runFor = std::chrono::seconds(env ? std::atoi(env) : 0);
    const auto began = Clock::now();
    int pings = 0, malformed = 0, rounds = 0;
    long rssAfterFirst = 0, rssPeak = 0;
    do {
        Round r = hostileRound(host, rounds);
        pings += r.pings;
        malformed += r.malformed;
        for (const auto& id : r.sessions) {
            ASSERT_TRUE(host.readUntil([&] { return host.counts["stopped/" + id + "/"] == 1; }))
                << "session " << id << " in round " << rounds;
            EXPECT_EQ(host.counts["capture/" + id + "/started"], 1);
            EXPECT_EQ(host.counts["capture/" + id + "/stopped"], 1);
        }
        ASSERT_TRUE(host.readUntil([&] { return host.counts["pong"] == pings; }));
        ASSERT_TRUE(host.readUntil(
            [&] { return host.counts["error/protocol/malformed line"] == malformed; }));
        EXPECT_EQ(host.counts["capture/refused" + std::to_string(rounds) + "/started"], 0);

        // A session that talks while the host stops reading for 10 s and
        // keeps writing pings; the helper must hold, not pile up.
        // The round's configure made a new detector; a session started
        // before its first tick would tap no process of the call.
        host.readUntil([] { return false; }, 2500ms);
        const std::string id = "paused" + std::to_string(rounds);
        ASSERT_TRUE(host.helper.write(start(id) + "\n"));
        ASSERT_TRUE(host.readUntil([&] { return host.counts["capture/" + id + "/started"] == 1; }));
        if (rounds == 0)
            rssAfterFirst = host.helper.statusKb("VmRSS");
        std::atomic<bool> writing{true}, writerDone{false};
        std::atomic<int> written{0};
        std::thread writer([&] {
            std::string burst;
            for (int i = 0; i < 100; ++i)
                burst += "{\"type\":\"ping\"}\n";
            while (writing && host.helper.write(burst))
                written += 100;
            writerDone = true;
        });
        call->say(speechFile("the quick brown fox jumps over the lazy dog"));
        for (auto end = Clock::now() + 10s; Clock::now() < end;) {
            std::this_thread::sleep_for(500ms);
            rssPeak = std::max(rssPeak, host.helper.statusKb("VmRSS"));
            (void)host.helper.stderrText();
        }
        writing = false;
        // The writer may be blocked in a full pipe: reading again frees it.
        const bool freed = host.readUntil([&] { return writerDone.load(); });
        if (!freed)
            ::kill(host.helper.pid(), SIGKILL); // fails the writer's write
        writer.join();
        ASSERT_TRUE(freed) << "the helper did not read its input again";
        ASSERT_TRUE(host.readUntil([&] { return host.counts["pong"] >= pings + written; }, 60s));
        pings += written;
        ASSERT_TRUE(host.helper.write(stop(id) + "\n"));
        ASSERT_TRUE(host.readUntil([&] { return host.counts["stopped/" + id + "/"] == 1; }))
            << "the session survived the pause";
        EXPECT_GE(host.counts["final"], rounds + 1) << "the speech during the pause";
        ++rounds;
    } while (Clock::now() - began < runFor);

    EXPECT_EQ(host.invalid, 0);
    EXPECT_EQ(host.counts["pong"], pings) << "every ping answered once";
    EXPECT_EQ(host.counts["error"], malformed) << "no error but the malformed lines'";
    EXPECT_LT(rssPeak - rssAfterFirst, 64 * 1024)
        << "resident memory grew from " << rssAfterFirst << " kB to " << rssPeak << " kB";
    ASSERT_TRUE(host.helper.write("{\"type\":\"shutdown\"}\n"));
    EXPECT_EQ(host.helper.waitExit(10s), 0);
    std::printf("%d rounds, %d pings, %d malformed lines; resident %ld kB after the first "
                "session, at most %ld kB\n",
                rounds, pings, malformed, rssAfterFirst, rssPeak);
}

} // namespace
