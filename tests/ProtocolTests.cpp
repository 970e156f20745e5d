#include "Protocol.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>

using namespace zorva;

namespace {

// ------------------------------------------------------------ encoder

struct Golden {
    const char* name;
    HelperMessage message;
    const char* line; // without the trailing newline
};

std::vector<Golden> goldens() {
    MicInfo mic{"default input", 48000, false};
    OthersInfo others{"8F1C2A3B-0000-4000-8000-00000000ABCD", 44100.5, {101, 202}};
    return {
        {"hello", Hello{1, "0.1.0", "Debian GNU/Linux 12 (bookworm); Linux 6.1", 4242},
         R"({"helperVersion":"0.1.0","macos":"Debian GNU/Linux 12 (bookworm); Linux 6.1","pid":4242,"protocol":1,"type":"hello"})"},
        {"model installed", Model{"en-US", Model::Status::installed, 1.0},
         R"({"locale":"en-US","progress":1,"status":"installed","type":"model"})"},
        {"model downloading", Model{"en-US", Model::Status::downloading, 0.25},
         R"({"locale":"en-US","progress":0.25,"status":"downloading","type":"model"})"},
        {"model supported", Model{"x", Model::Status::supported, 0.1},
         R"({"locale":"x","progress":0.1,"status":"supported","type":"model"})"},
        {"model unsupported", Model{"x", Model::Status::unsupported, 0},
         R"({"locale":"x","progress":0,"status":"unsupported","type":"model"})"},
        {"call started",
         Call{Call::State::started,
              "Zoom",
              "us.zoom.xos",
              {10, -1, 2147483647},
              2500,
              std::nullopt,
              9000},
         R"({"app":"Zoom","bundleId":"us.zoom.xos","pids":[10,-1,2147483647],"sinceMicStartMs":2500,"state":"started","t":9000,"type":"call"})"},
        {"call ended mic released",
         Call{Call::State::ended,
              "Zoom",
              "us.zoom.xos",
              {10},
              std::nullopt,
              Call::Reason::micReleased,
              -5},
         R"({"app":"Zoom","bundleId":"us.zoom.xos","pids":[10],"reason":"mic-released","state":"ended","t":-5,"type":"call"})"},
        {"call ended app quit",
         Call{Call::State::ended, "Zoom", "z", {}, std::nullopt, Call::Reason::appQuit, 1},
         R"({"app":"Zoom","bundleId":"z","pids":[],"reason":"app-quit","state":"ended","t":1,"type":"call"})"},
        {"capture both", Capture{"s1", Capture::State::started, mic, others},
         R"({"mic":{"device":"default input","sampleRate":48000,"voiceProcessing":false},"others":{"processes":[101,202],"sampleRate":44100.5,"tapUID":"8F1C2A3B-0000-4000-8000-00000000ABCD"},"sessionId":"s1","state":"started","type":"capture"})"},
        {"capture bare", Capture{"s1", Capture::State::stopped, std::nullopt, std::nullopt},
         R"({"sessionId":"s1","state":"stopped","type":"capture"})"},
        {"capture empty processes",
         Capture{"s", Capture::State::started, std::nullopt, OthersInfo{"u", 16000, {}}},
         R"({"others":{"processes":[],"sampleRate":16000,"tapUID":"u"},"sessionId":"s","state":"started","type":"capture"})"},
        {"final", FinalText{"s1", StreamName::others, "line\nbreak a/b", 1200, 3400, 5000},
         R"({"endMs":3400,"finalizedAtMs":5000,"sessionId":"s1","startMs":1200,"stream":"others","text":"line\nbreak a/b","type":"final"})"},
        {"partial", PartialText{"s1", StreamName::mic, "hello", 0},
         R"({"sessionId":"s1","startMs":0,"stream":"mic","text":"hello","type":"partial"})"},
        {"permission mic granted",
         Permission{Permission::Kind::microphone, Permission::Status::granted},
         R"({"kind":"microphone","status":"granted","type":"permission"})"},
        {"permission system denied",
         Permission{Permission::Kind::systemAudio, Permission::Status::denied},
         R"({"kind":"systemAudio","status":"denied","type":"permission"})"},
        {"permission undetermined",
         Permission{Permission::Kind::microphone, Permission::Status::notDetermined},
         R"({"kind":"microphone","status":"notDetermined","type":"permission"})"},
        {"error without session",
         HelperError{HelperError::Code::protocol, "malformed line", false, std::nullopt},
         R"({"code":"protocol","fatal":false,"message":"malformed line","type":"error"})"},
        {"error with session", HelperError{HelperError::Code::tapFailed, "x", true, "s9"},
         R"({"code":"tap-failed","fatal":true,"message":"x","sessionId":"s9","type":"error"})"},
        {"pong", Pong{1500}, R"({"t":1500,"type":"pong"})"},
        {"stopped", Stopped{{"s1"}}, R"({"sessionId":"s1","type":"stopped"})"},
    };
}

TEST(EncodeLine, GoldenLinesForEveryKind) {
    for (const auto& g : goldens()) {
        SCOPED_TRACE(g.name);
        EXPECT_EQ(encodeLine(g.message), std::string(g.line) + "\n");
    }
}

// Independent of the goldens: whatever the values, every object's keys come
// out in ascending order, "type" last, and the text parses back.
TEST(EncodeLine, KeysSortedAtEveryLevelWithTypeLast) {
    std::function<void(const nlohmann::ordered_json&)> checkSorted =
        [&](const nlohmann::ordered_json& v) {
            if (!v.is_object())
                return;
            std::string previous;
            for (auto it = v.begin(); it != v.end(); ++it) {
                EXPECT_LT(previous, it.key());
                previous = it.key();
                checkSorted(it.value());
            }
        };
    for (const auto& g : goldens()) {
        SCOPED_TRACE(g.name);
        std::string line = encodeLine(g.message);
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        auto parsed = nlohmann::ordered_json::parse(line);
        checkSorted(parsed);
        EXPECT_EQ(std::prev(parsed.end()).key(), "type");
    }
}

TEST(EncodeLine, EscapesControlsQuotesAndBackslashButNotSlashOrUnicode) {
    std::string text = "q\" b\\ s/ \b\f\n\r\t \x01\x1f \x7f caf\xC3\xA9 \xF0\x9F\x8E\xA4";
    auto line = encodeLine(PartialText{"s", StreamName::mic, text, 0});
    EXPECT_NE(line.find(R"("text":"q\" b\\ s/ \b\f\n\r\t \u0001\u001f )"
                        "\x7f caf\xC3\xA9 \xF0\x9F\x8E\xA4\""),
              std::string::npos)
        << line;
    // Round trip through an independent parser.
    EXPECT_EQ(nlohmann::json::parse(line)["text"], text);
}

TEST(EncodeLine, InvalidUtf8IsReplacedSoTheLineStaysValid) {
    // A lone continuation byte, a truncated sequence, an overlong form and
    // an encoded surrogate each become U+FFFD.
    std::string text = std::string("a\x80") + "b\xC3" + "c\xC0\xAF" + "d\xED\xA0\x80" + "e";
    auto line = encodeLine(PartialText{"s", StreamName::mic, text, 0});
    auto parsed = nlohmann::json::parse(line); // throws on invalid UTF-8
    std::string got = parsed["text"];
    EXPECT_EQ(got.rfind("a\xEF\xBF\xBD"
                        "b\xEF\xBF\xBD"
                        "c",
                        0),
              0u);
    EXPECT_EQ(got.back(), 'e');
}

TEST(EncodeLine, NumbersShortestRoundTripAndWholeValuesBare) {
    auto rate = [](double v) {
        auto line = encodeLine(Capture{"s", Capture::State::started, MicInfo{"d", v, false}, {}});
        auto start = line.find("\"sampleRate\":") + 13;
        return line.substr(start, line.find(',', start) - start);
    };
    EXPECT_EQ(rate(16000), "16000");
    EXPECT_EQ(rate(100000), "100000");
    EXPECT_EQ(rate(0), "0");
    EXPECT_EQ(rate(0.1), "0.1");
    EXPECT_EQ(rate(44100.5), "44100.5");
    EXPECT_EQ(rate(1.0 / 3), "0.3333333333333333");
    for (double v : {1e300, 5e-324, -2.5e-7, 123456789012345680000.0}) {
        EXPECT_EQ(std::strtod(rate(v).c_str(), nullptr), v);
    }
    auto line = encodeLine(Call{Call::State::started, "a", "b", {}, INT64_MIN, {}, INT64_MAX});
    EXPECT_NE(line.find("\"sinceMicStartMs\":-9223372036854775808"), std::string::npos);
    EXPECT_NE(line.find("\"t\":9223372036854775807"), std::string::npos);
}

TEST(EncodeLine, NonFiniteNumberDropsTheWholeMessage) {
    double nan = std::numeric_limits<double>::quiet_NaN();
    double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(encodeLine(Model{"en-US", Model::Status::downloading, nan}), "");
    EXPECT_EQ(encodeLine(Model{"en-US", Model::Status::downloading, -inf}), "");
    EXPECT_EQ(encodeLine(Capture{"s", Capture::State::started, MicInfo{"d", inf, false}, {}}), "");
    EXPECT_EQ(encodeLine(Capture{"s", Capture::State::started, {}, OthersInfo{"u", nan, {}}}), "");
}

// ------------------------------------------------------------ decoder

struct Case {
    std::string line;
    std::optional<AppMessage> expected; // nullopt: rejected
};

const char* kConfigureBody =
    R"("apps":[{"name":"Zoom","bundlePrefixes":["us.zoom"]}],"ignoreBundlePrefixes":["app.zorva"],)"
    R"("ignorePids":[1,-1],"locale":"en-US","micHoldMs":1000,"endGraceMs":2000,"fastResults":true)";

Configure fullConfigure() {
    return Configure{{{"Zoom", {"us.zoom"}}}, {"app.zorva"}, {1, -1}, "en-US", 1000, 2000, true};
}

std::string configureWith(const std::string& key, const std::string& value) {
    // Rebuilds the configure line with one key replaced ("" value removes it).
    nlohmann::ordered_json j =
        nlohmann::ordered_json::parse(std::string("{") + kConfigureBody + "}");
    j["type"] = "configure";
    if (value.empty())
        j.erase(key);
    else
        j[key] = nlohmann::ordered_json::parse(value);
    return j.dump();
}

void expectTable(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto got = decodeAppLine(c.line);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (got) {
            EXPECT_EQ(*got, *c.expected);
        }
    }
}

TEST(DecodeAppLine, FramingAndEnvelope) {
    expectTable({
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"\t", std::nullopt},
        {R"({"type":"ping"})", Ping{}},
        {R"(  {"type":"ping"}  )", Ping{}},
        {R"({"type":"ping"} x)", std::nullopt},
        {R"({"type":"ping"}{"type":"ping"})", std::nullopt},
        {R"({"type":"ping", "extra":[1,{"a":null}], "sessionId":5})", Ping{}},
        {R"({"type":"shutdown"})", Shutdown{}},
        {R"({"type":"prepareModel","locale":7})", PrepareModel{}},
        {R"({"type":"Ping"})", Unknown{"Ping"}},
        {R"({"type":" ping"})", Unknown{" ping"}},
        {R"({"type":"pings"})", Unknown{"pings"}},
        {R"({"type":""})", Unknown{""}},
        {R"({"type":"stopp","sessionId":5})", Unknown{"stopp"}},
        {R"({"type":"caf\u00e9"})", Unknown{"caf\xC3\xA9"}},
        {R"({})", std::nullopt},
        {R"({"type":null})", std::nullopt},
        {R"({"type":5})", std::nullopt},
        {R"({"type":true})", std::nullopt},
        {R"({"type":["ping"]})", std::nullopt},
        {R"(["ping"])", std::nullopt},
        {R"("ping")", std::nullopt},
        {"5", std::nullopt},
        {"null", std::nullopt},
        {R"({"type":"ping")", std::nullopt},
        {R"({'type':'ping'})", std::nullopt},
        {R"({"type":"ping",})", std::nullopt},
        {"{\"type\":\"ping\"} // comment", std::nullopt},
        // invalid UTF-8 inside and outside strings
        {"{\"type\":\"p\xFFing\"}", std::nullopt},
        {"{\"type\":\"ping\",\"x\":\"\xC3\"}", std::nullopt},
        {"\xFF{\"type\":\"ping\"}", std::nullopt},
        // an unpaired surrogate escape is not text
        {R"({"type":"\ud800"})", std::nullopt},
        // only whitespace may surround the value: no NUL, no byte-order mark
        {std::string("{\"type\":\"ping\"}\0x", 17), std::nullopt},
        {std::string("{\"type\":\"stop\",\"sessionId\":\"s\"}\0{\"type\":\"shutdown\"}", 51),
         std::nullopt},
        {std::string("{\"type\":\"ping\"}\0", 16), std::nullopt},
        {"\xEF\xBB\xBF{\"type\":\"ping\"}", std::nullopt},
        {"{\"type\":\"caf\xEF\xBB\xBF\"}", Unknown{"caf\xEF\xBB\xBF"}},
    });
}

TEST(DecodeAppLine, Configure) {
    auto line = [](const std::string& key, const std::string& value) {
        return configureWith(key, value);
    };
    Configure empty{{}, {}, {}, "", 0, 0, false};
    Configure negative = fullConfigure();
    negative.micHoldMs = -5;
    negative.endGraceMs = INT64_MIN;
    Configure maxPid = fullConfigure();
    maxPid.ignorePids = {2147483647, -2147483648, 3};
    Configure floats = fullConfigure();
    floats.micHoldMs = 1000;
    floats.ignorePids = {7};
    Configure extraKeys = fullConfigure();
    expectTable({
        {std::string("{\"type\":\"configure\",") + kConfigureBody + "}", fullConfigure()},
        {R"({"type":"configure","apps":[],"ignoreBundlePrefixes":[],"ignorePids":[],"locale":"","micHoldMs":0,"endGraceMs":0,"fastResults":false})",
         empty},
    });
    // Bounds and forms of integers.
    auto withMs = [](const std::string& hold, const std::string& grace) {
        return R"({"type":"configure","apps":[{"name":"Zoom","bundlePrefixes":["us.zoom"]}],)"
               R"("ignoreBundlePrefixes":["app.zorva"],"ignorePids":[1,-1],"locale":"en-US",)"
               R"("micHoldMs":)" +
               hold + R"(,"endGraceMs":)" + grace + R"(,"fastResults":true})";
    };
    expectTable({
        {withMs("-5", "-9223372036854775808"), negative},
        {withMs("1000.0", "2e3"), fullConfigure()},
        {withMs("9223372036854775807", "2000"),
         [] {
             auto c = fullConfigure();
             c.micHoldMs = INT64_MAX;
             return c;
         }()},
        {withMs("9223372036854775808", "2000"), std::nullopt},
        {withMs("-9223372036854775809", "2000"), std::nullopt},
        {withMs("9.3e18", "2000"), std::nullopt},
        {withMs("1.5", "2000"), std::nullopt},
        {withMs("1.0000000000000000001", "2000"), std::nullopt},
        {withMs("-9223372036854775808.0", "2000"),
         [] {
             auto c = fullConfigure();
             c.micHoldMs = INT64_MIN;
             return c;
         }()},
        {withMs("10e-1", "0.2e4"),
         [] {
             auto c = fullConfigure();
             c.micHoldMs = 1;
             return c;
         }()},
        {withMs("1e400", "2000"), std::nullopt},
        {withMs("\"1000\"", "2000"), std::nullopt},
        {withMs("true", "2000"), std::nullopt},
        {line("ignorePids", "[2147483647,-2147483648,3]"), maxPid},
        {line("ignorePids", "[7.0]"), floats},
        {line("ignorePids", "[2147483648]"), std::nullopt},
        {line("ignorePids", "[-2147483649]"), std::nullopt},
        {line("ignorePids", "[1.5]"), std::nullopt},
        {line("ignorePids", "[null]"), std::nullopt},
        {line("ignorePids", "[\"1\"]"), std::nullopt},
        {line("ignorePids", "7"), std::nullopt},
    });
    // Every key is required, and null is as good as absent.
    for (const char* key : {"apps", "ignoreBundlePrefixes", "ignorePids", "locale", "micHoldMs",
                            "endGraceMs", "fastResults"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(decodeAppLine(configureWith(key, "")));
        EXPECT_FALSE(decodeAppLine(configureWith(key, "null")));
    }
    // The one optional key: absent or null is false, a wrong type is refused.
    Configure echo = fullConfigure();
    echo.echoCancellation = true;
    expectTable({
        {line("echoCancellation", "true"), echo},
        {line("echoCancellation", "null"), fullConfigure()},
        {line("echoCancellation", "1"), std::nullopt},
    });
    expectTable({
        {line("fastResults", "1"), std::nullopt},
        {line("fastResults", "\"true\""), std::nullopt},
        {line("locale", "5"), std::nullopt},
        {line("ignoreBundlePrefixes", "[\"a\",5]"), std::nullopt},
        {line("apps", "[{\"name\":\"Zoom\"}]"), std::nullopt},
        {line("apps", "[{\"bundlePrefixes\":[]}]"), std::nullopt},
        {line("apps", "[{\"name\":null,\"bundlePrefixes\":[]}]"), std::nullopt},
        {line("apps", "[\"Zoom\"]"), std::nullopt},
        {line("apps", "[null]"), std::nullopt},
        {line("apps", "{\"name\":\"Zoom\",\"bundlePrefixes\":[]}"), std::nullopt},
        {line("apps", R"([{"name":"Zoom","bundlePrefixes":["us.zoom"],"colour":"blue"}])"),
         extraKeys},
    });
}

TEST(DecodeAppLine, StartStopAndSessions) {
    auto start = [](Start::Audio audio, std::vector<int32_t> pids = {1, 2}) {
        return Start{"s1", "us.zoom.xos", std::move(pids), audio};
    };
    expectTable({
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2]})",
         start(Start::Audio::app)},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2],"audio":null})",
         start(Start::Audio::app)},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2],"audio":"app"})",
         start(Start::Audio::app)},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2],"audio":"system"})",
         start(Start::Audio::system)},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[]})",
         start(Start::Audio::app, {})},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2],"audio":"System"})",
         std::nullopt},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":[1,2],"audio":1})",
         std::nullopt},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos"})", std::nullopt},
        {R"({"type":"start","sessionId":"s1","bundleId":"us.zoom.xos","pids":null})", std::nullopt},
        {R"({"type":"start","sessionId":"s1","pids":[]})", std::nullopt},
        {R"({"type":"start","bundleId":"b","pids":[]})", std::nullopt},
        {R"({"type":"start","sessionId":1,"bundleId":"b","pids":[]})", std::nullopt},
        {R"({"type":"stop","sessionId":"s1"})", Stop{{"s1"}}},
        {R"({"type":"stop","sessionId":""})", Stop{{""}}},
        {R"({"type":"stop","sessionId":5})", std::nullopt},
        {R"({"type":"stop"})", std::nullopt},
        {R"({"type":"stop","sessionId":null})", std::nullopt},
    });
}

TEST(DecodeAppLine, LengthLimitCountsUtf8Bytes) {
    auto padded = [](std::size_t total, const std::string& fill) {
        std::string head = R"({"type":"ping","pad":")";
        std::string tail = R"("})";
        std::string body;
        while (head.size() + body.size() + tail.size() + fill.size() <= total)
            body += fill;
        while (head.size() + body.size() + tail.size() < total)
            body += 'x';
        return head + body + tail;
    };
    std::string exact = padded(kMaxLineBytes, "x");
    ASSERT_EQ(exact.size(), 65536u);
    EXPECT_TRUE(decodeAppLine(exact));
    EXPECT_FALSE(decodeAppLine(padded(kMaxLineBytes + 1, "x")));
    // 21,840 three-byte characters: far fewer characters than bytes.
    std::string wide = padded(kMaxLineBytes + 1, "\xE2\x82\xAC");
    ASSERT_EQ(wide.size(), 65537u);
    EXPECT_FALSE(decodeAppLine(wide));
    EXPECT_TRUE(decodeAppLine(padded(kMaxLineBytes, "\xE2\x82\xAC")));
}

TEST(DecodeAppLine, DeepNestingIsRejectedOrIgnoredWithoutCrashing) {
    std::string deep =
        R"({"type":"ping","x":)" + std::string(30000, '[') + std::string(30000, ']') + "}";
    EXPECT_TRUE(decodeAppLine(deep));
    EXPECT_FALSE(decodeAppLine(std::string(60000, '[')));
}

} // namespace
