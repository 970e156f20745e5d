// Whole host sessions on the real binary, on private PulseAudio and PipeWire
// servers: a "conferencing app" holds the virtual microphone and plays the far
// side's speech, the user speaks into the virtual microphone, another app
// plays at the same time; the helper must transcribe each where it belongs.
#include "support/AudioApps.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

using namespace zorva::test;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kConf = "application.id=org.example.conf";
const std::string kOther = "application.id=org.other.player";

struct Sentence {
    std::string text;
    std::set<std::string> keywords;
};
const Sentence kFar{"please remember to send the quarterly report by friday",
                    {"remember", "send", "quarterly", "report", "friday"}};
const Sentence kElsewhere{"the weather today is sunny with a light breeze",
                          {"weather", "sunny", "breeze"}};
const Sentence kUser{"the quick brown fox jumps over the lazy dog",
                     {"quick", "brown", "fox", "jumps", "lazy", "dog"}};
const Sentence kLate{"our budget meeting moves to next tuesday morning",
                     {"budget", "meeting", "moves", "tuesday", "morning"}};
const Sentence kVideo{"scientists discovered a new species of frog in the jungle",
                      {"scientists", "discovered", "species", "frog", "jungle"}};
const Sentence kUserAgain{"the children played football in the garden all afternoon",
                          {"children", "played", "football", "garden", "afternoon"}};

// The helper as a host drives it: every line it writes, with when it came.
class Host {
public:
    // `extra`: more configure keys (",\"key\":value").
    explicit Host(const PulseServer& server, const std::string& extra = "")
        : helper_(ZORVA_HELPER_PATH, {}, server.env()) {
        pid = waitFor([](const Json& j) { return j["type"] == "hello"; })["pid"].get<int>();
        configure(extra);
    }
    void configure(const std::string& extra = "") {
        send(R"({"type":"configure","apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
             R"("ignoreBundlePrefixes":[],"ignorePids":[],"locale":"en-US","micHoldMs":0,)"
             R"("endGraceMs":60000,"fastResults":false)" +
             extra + "}");
    }
    void send(const std::string& line) { helper_.write(line + "\n"); }
    // The first line from now on that `match` accepts (null after `limit`).
    template <typename Match> Json waitFor(Match match, std::chrono::milliseconds limit = 10s) {
        for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
            auto line = helper_.readLine(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!line)
                break;
            lines_.emplace_back(Clock::now(), Json::parse(*line));
            if (match(lines_.back().second))
                return lines_.back().second;
        }
        return nullptr;
    }
    void listen(std::chrono::milliseconds d) {
        waitFor([](const Json&) { return false; }, d);
    }
    Clock::time_point arrival(const std::string& type) const {
        for (const auto& [at, j] : lines_)
            if (j["type"] == type)
                return at;
        return {};
    }
    // The finals of one stream of one session, in order.
    std::vector<Json> finals(const std::string& session, const std::string& stream) const {
        std::vector<Json> out;
        for (const auto& [at, j] : lines_)
            if (j["type"] == "final" && j["sessionId"] == session && j["stream"] == stream)
                out.push_back(j);
        return out;
    }
    std::vector<Json> all(const std::string& type) const {
        std::vector<Json> out;
        for (const auto& [at, j] : lines_)
            if (j["type"] == type)
                out.push_back(j);
        return out;
    }
    std::string stderrText() { return helper_.stderrText(); }
    // Whether the helper's recordings are all gone from the server (soon).
    bool leavesNoStream(const PulseServer& server) {
        const std::string mine = "application.process.id = \"" + std::to_string(pid) + "\"";
        for (auto deadline = Clock::now() + 2s; Clock::now() < deadline; listen(100ms))
            if (server.pactlOutput("list source-outputs").find(mine) == std::string::npos)
                return true;
        return false;
    }
    int pid = 0;

private:
    ChildProcess helper_;
    std::vector<std::pair<Clock::time_point, Json>> lines_;
};

// How many of the sentence's keywords the finals hold.
int heard(const std::vector<Json>& finals, const Sentence& s) {
    std::set<std::string> words;
    for (const auto& f : finals) {
        std::istringstream in(f["text"].get<std::string>());
        for (std::string w; in >> w;)
            words.insert(w);
    }
    return static_cast<int>(std::count_if(s.keywords.begin(), s.keywords.end(),
                                          [&](const std::string& k) { return words.count(k); }));
}

// Where the first final holding the sentence starts, in ms (-1 if none).
int64_t startOf(const std::vector<Json>& finals, const Sentence& s) {
    for (const auto& f : finals)
        if (heard({f}, s) > 0)
            return f["startMs"].get<int64_t>();
    return -1;
}

int64_t msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

std::string startLine(const std::string& id, const std::string& audio) {
    return R"({"type":"start","sessionId":")" + id +
           R"(","bundleId":"org.example.conf","pids":[],"audio":")" + audio + R"("})";
}

struct LiveSession : ::testing::TestWithParam<ServerKind> {
    void SetUp() override {
        if (!PulseServer::available(GetParam()))
            ZORVA_SKIP_WITHOUT(kindName(GetParam()));
    }
};

TEST_P(LiveSession, AppSessionHearsTheCallAndTheUserAndNothingElse) {
    PulseServer server(GetParam());
    auto voice = player(server, "", "micsink"); // the user, into the virtual microphone
    auto confMic = recorder(server, kConf);
    auto conf = player(server, kConf);
    auto other = player(server, kOther);
    Host host(server);
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "call"; }).is_null());

    host.send(startLine("s1", "app"));
    Json capture = host.waitFor([](const Json& j) { return j["type"] == "capture"; });
    ASSERT_FALSE(capture.is_null()) << host.stderrText();
    const auto origin = host.arrival("capture");
    auto permissions = host.all("permission");
    ASSERT_EQ(permissions.size(), 2u);
    EXPECT_EQ(permissions[0]["status"], "granted");
    EXPECT_EQ(permissions[1]["status"], "granted");
    ASSERT_TRUE(capture.contains("mic") && capture.contains("others")) << capture.dump();
    std::vector<int> pids = capture["others"]["processes"];
    std::sort(pids.begin(), pids.end());
    EXPECT_EQ(pids, (std::vector<int>{std::min(confMic->pid(), conf->pid()),
                                      std::max(confMic->pid(), conf->pid())}));

    const auto farAt = conf->say(speechFile(kFar.text)).first;
    other->say(speechFile(kElsewhere.text));
    const auto userAt = voice->say(speechFile(kUser.text)).first;
    host.listen(6s);
    // A second process of the app starts playing: heard after the next tick.
    auto conf2 = player(server, kConf);
    host.listen(2500ms);
    conf2->say(speechFile(kLate.text));
    host.listen(5s);
    host.send(R"({"type":"stop","sessionId":"s1"})");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "stopped"; }).is_null());

    const auto others = host.finals("s1", "others");
    const auto mic = host.finals("s1", "mic");
    EXPECT_GE(heard(others, kFar), 2) << Json(others).dump();
    EXPECT_GE(heard(others, kLate), 2) << Json(others).dump();
    EXPECT_EQ(heard(others, kElsewhere) + heard(others, kUser), 0) << Json(others).dump();
    EXPECT_GE(heard(mic, kUser), 2) << Json(mic).dump();
    EXPECT_EQ(heard(mic, kElsewhere) + heard(mic, kFar), 0) << Json(mic).dump();
    // Each final sits on its timeline where the speech was played.
    EXPECT_NEAR(startOf(others, kFar), msBetween(origin, farAt), 300);
    EXPECT_NEAR(startOf(mic, kUser), msBetween(origin, userAt), 300);
    EXPECT_TRUE(host.all("error").empty()) << host.stderrText();
    EXPECT_TRUE(host.leavesNoStream(server)) << server.pactlOutput("list source-outputs");
}

TEST_P(LiveSession, SystemSessionThroughAMicrophoneSwitchAndAServerCrash) {
    PulseServer server(GetParam());
    auto voice = player(server, "", "micsink");
    auto confMic = recorder(server, kConf);
    auto other = player(server, kOther);
    Host host(server);
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "call"; }).is_null());
    host.send(startLine("s2", "system"));
    Json capture = host.waitFor([](const Json& j) { return j["type"] == "capture"; });
    ASSERT_TRUE(capture.contains("mic") && capture.contains("others")) << capture.dump();
    EXPECT_EQ(capture["others"]["processes"], Json::array());
    other->say(speechFile(kElsewhere.text));
    host.listen(5s);
    EXPECT_GE(heard(host.finals("s2", "others"), kElsewhere), 2);
    EXPECT_NE(server.pactlOutput("list sink-inputs").find("org.other.player"), std::string::npos);
    EXPECT_EQ(server.pactlOutput("list sink-inputs")
                  .find("application.process.id = \"" + std::to_string(host.pid) + "\""),
              std::string::npos)
        << "the helper plays nothing, so it is never in its own tap";

    // The user picks another microphone mid-call.
    ASSERT_EQ(server.pactl("load-module module-null-sink sink_name=micsink2 norewinds=1"), 0);
    ASSERT_EQ(server.pactl("load-module module-remap-source master=micsink2.monitor "
                           "source_name=virtmic2"),
              0);
    auto voice2 = player(server, "", "micsink2");
    ASSERT_EQ(server.pactl("set-default-source virtmic2"), 0);
    host.listen(1500ms);
    voice2->say(speechFile(kUser.text));
    host.listen(5s);
    EXPECT_GE(heard(host.finals("s2", "mic"), kUser), 2);

    // The server crashes and comes back: the microphone says so once and
    // records again; the session still stops cleanly.
    server.kill();
    host.listen(1500ms);
    server.start();
    auto voice3 = player(server, "", "micsink");
    host.listen(2s);
    voice3->say(speechFile(kUserAgain.text));
    host.listen(5s);
    EXPECT_GE(heard(host.finals("s2", "mic"), kUserAgain), 2) << host.stderrText();
    auto errors = host.all("error");
    ASSERT_EQ(errors.size(), 1u) << Json(errors).dump();
    EXPECT_EQ(errors[0]["code"], "engine-failed");
    EXPECT_EQ(errors[0]["sessionId"], "s2");
    host.send(R"({"type":"stop","sessionId":"s2"})");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "stopped"; }).is_null());

    // The next session captures again.
    auto confMic2 = recorder(server, kConf);
    auto conf = player(server, kConf);
    host.listen(2500ms);
    host.send(startLine("s3", "app"));
    capture = host.waitFor([](const Json& j) { return j["type"] == "capture"; });
    ASSERT_TRUE(capture.contains("mic") && capture.contains("others")) << capture.dump();
    conf->say(speechFile(kFar.text));
    host.listen(6s);
    host.send(R"({"type":"stop","sessionId":"s3"})");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "stopped"; }).is_null());
    EXPECT_GE(heard(host.finals("s3", "others"), kFar), 2);
    EXPECT_TRUE(host.leavesNoStream(server)) << server.pactlOutput("list source-outputs");
}

TEST_P(LiveSession, OnSpeakersTheCallIsCancelledFromTheMicrophoneWhenAsked) {
    PulseServer server(GetParam());
    // The room: what the speakers play reaches the microphone 3 dB down and
    // 60 ms late.
    ASSERT_EQ(server.pactl("load-module module-loopback source=speakers.monitor sink=micsink "
                           "latency_msec=60 sink_input_properties=media.name=room"),
              0);
    std::string loop;
    for (auto deadline = Clock::now() + 5s; loop.empty() && Clock::now() < deadline;) {
        std::istringstream inputs(server.pactlOutput("list sink-inputs"));
        std::string index;
        for (std::string line; std::getline(inputs, line);) {
            if (line.rfind("Sink Input #", 0) == 0)
                index = line.substr(12);
            if (line.find("media.name = \"room\"") != std::string::npos)
                loop = index;
        }
    }
    ASSERT_FALSE(loop.empty()) << server.pactlOutput("list sink-inputs");
    ASSERT_EQ(server.pactl("set-sink-input-volume " + loop + " -3dB"), 0);
    auto voice = player(server, "", "micsink");
    auto confMic = recorder(server, kConf);
    auto conf = player(server, kConf);
    auto video = player(server, kOther); // another app on the same speakers
    Host host(server, R"(,"echoCancellation":true)");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "call"; }).is_null());

    host.send(startLine("s1", "app"));
    Json capture = host.waitFor([](const Json& j) { return j["type"] == "capture"; });
    ASSERT_TRUE(capture.contains("mic") && capture.contains("others")) << capture.dump();
    EXPECT_EQ(capture["mic"]["voiceProcessing"], true);
    host.listen(1s);
    // The far side's first sentence lets the canceller find the echo; then
    // the user answers, and later speaks while the far side does.
    auto said = conf->say(speechFile(kElsewhere.text));
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                1s);
    said = conf->say(speechFile(kFar.text));
    const auto farMs = msBetween(host.arrival("capture"), said.first);
    const auto farEndMs = msBetween(host.arrival("capture"), said.last);
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                1s);
    said = voice->say(speechFile(kUser.text));
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                1s);
    said = video->say(speechFile(kVideo.text));
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                1s);
    conf->sayLater(speechFile(kLate.text));
    host.listen(800ms);
    said = voice->say(speechFile(kUserAgain.text));
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                2s);
    // On a loaded machine the recogniser can trail by seconds, and a stop
    // only waits a moment for it: let it settle the last sentence first.
    const auto againMs = msBetween(host.arrival("capture"), said.first);
    const auto againEndMs = msBetween(host.arrival("capture"), said.last);
    const auto settled = [&](const Json& j) {
        return j["type"] == "final" && j["stream"] == "mic" && j["endMs"] > againMs;
    };
    if (std::ranges::none_of(host.finals("s1", "mic"), settled))
        host.waitFor(settled, 30s);
    host.send(R"({"type":"stop","sessionId":"s1"})");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "stopped"; }).is_null())
        << host.stderrText();
    auto others = host.finals("s1", "others");
    auto mic = host.finals("s1", "mic");
    EXPECT_GE(heard(others, kFar), 3) << Json(others).dump() << host.stderrText();
    EXPECT_GE(heard(others, kLate), 3) << Json(others).dump();
    EXPECT_GE(heard(mic, kUser), 2) << Json(mic).dump();
    // Spoken over the far side: the canceller's suppression takes part of
    // it (how much, the echo bench measures), but never all of it.
    int wordsOver = 0;
    for (const Json& f : mic)
        if (f["endMs"] > againMs && f["startMs"] < againEndMs) {
            std::istringstream in(f["text"].get<std::string>());
            for (std::string w; in >> w;)
                ++wordsOver;
        }
    EXPECT_GE(wordsOver, 4) << "spoken over the far side: " << Json(mic).dump();
    // A sentence leaks while the far side says it; elsewhere the garbled
    // double talk can be misheard as one of its words.
    std::vector<Json> micWhileFar;
    std::ranges::copy_if(mic, std::back_inserter(micWhileFar), [&](const Json& f) {
        return f["endMs"] > farMs - 500 && f["startMs"] < farEndMs + 1500;
    });
    EXPECT_EQ(heard(micWhileFar, kFar) + heard(mic, kLate), 0) << Json(mic).dump();
    // The video is cancelled too, and the call's tap never hears it.
    EXPECT_EQ(heard(mic, kVideo), 0) << Json(mic).dump();
    EXPECT_EQ(heard(others, kVideo), 0) << Json(others).dump();
    EXPECT_TRUE(host.all("error").empty()) << host.stderrText();

    // Without the key the microphone is as it was: the room is heard.
    host.configure();
    host.send(startLine("s2", "app"));
    capture = host.waitFor([](const Json& j) { return j["type"] == "capture"; });
    ASSERT_TRUE(capture.contains("mic")) << capture.dump();
    EXPECT_EQ(capture["mic"]["voiceProcessing"], false);
    host.listen(1s);
    said = conf->say(speechFile(kFar.text));
    host.listen(std::chrono::duration_cast<std::chrono::milliseconds>(said.last - Clock::now()) +
                2s);
    host.send(R"({"type":"stop","sessionId":"s2"})");
    ASSERT_FALSE(host.waitFor([](const Json& j) { return j["type"] == "stopped"; }).is_null());
    mic = host.finals("s2", "mic");
    EXPECT_GE(heard(mic, kFar), 2) << Json(mic).dump();
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveSession,
                         ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& param) { return kindName(param.param); });

} // namespace
