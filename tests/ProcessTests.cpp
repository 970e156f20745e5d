// Runs the real zorva-helper binary and talks to it over its pipes.
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zorva::test;
using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

const std::string kMalformed =
    R"({"code":"protocol","fatal":false,"message":"malformed line","type":"error"})";

struct Helper : ChildProcess {
    Helper() : ChildProcess(ZORVA_HELPER_PATH) {}
    Json next(std::chrono::milliseconds timeout = 5s) {
        auto line = readLine(timeout);
        if (!line)
            return nullptr;
        return Json::parse(*line);
    }
};

TEST(HelperProcess, HelloComesFirstBeforeAnyInput) {
    Helper h;
    auto line = h.readLine(5s);
    ASSERT_TRUE(line);
    auto hello = Json::parse(*line);
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["protocol"], 1);
    EXPECT_EQ(hello["helperVersion"], "0.1.0");
    EXPECT_EQ(hello["pid"], h.pid());
    EXPECT_FALSE(hello["macos"].get<std::string>().empty());
    EXPECT_EQ(line->rfind(R"({"helperVersion":"0.1.0","macos":)", 0), 0u);
}

TEST(HelperProcess, ConversationPingBadLinesUnknownAndEndOfInput) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.write("{\"type\":\"ping\"}\n");
    auto pong = h.next();
    ASSERT_EQ(pong["type"], "pong");
    EXPECT_GE(pong["t"].get<int64_t>(), 0);
    EXPECT_LT(pong["t"].get<int64_t>(), 60000);

    // One error for each bad line; the line after each is served normally.
    h.write("\n");
    EXPECT_EQ(h.readLine(5s), kMalformed);
    h.write("    \r\n{\"type\":\"ping\"}\n");
    EXPECT_EQ(h.readLine(5s), kMalformed);
    auto pong2 = h.next();
    EXPECT_EQ(pong2["type"], "pong");
    EXPECT_GE(pong2["t"], pong["t"]);

    // Unknown kinds and accepted commands without effect yet write nothing.
    h.write("{\"type\":\"dance\",\"x\":1}\n{\"type\":\"Ping\"}\n");
    h.write("{\"type\":\"ping\"}\n");
    EXPECT_EQ(h.next()["type"], "pong") << "nothing came before the pong";

    h.closeStdin();
    EXPECT_EQ(h.waitExit(5s), 0);
    EXPECT_FALSE(h.readLine(100ms)) << "nothing written after end of input";
}

TEST(HelperProcess, LastLineWithoutNewlineIsServedThenExit) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.write("{\"type\":\"ping\"}");
    h.closeStdin();
    EXPECT_EQ(h.next()["type"], "pong");
    EXPECT_EQ(h.waitExit(5s), 0);
}

TEST(HelperProcess, ShutdownExitsAtOnceWritingNothing) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.write("{\"type\":\"shutdown\"}\n{\"type\":\"ping\"}\n");
    EXPECT_EQ(h.waitExit(5s), 0);
    EXPECT_FALSE(h.readLine(200ms));
}

std::string pingOfLength(std::size_t bytes) {
    std::string head = R"({"type":"ping","pad":")";
    std::string tail = R"("})";
    return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

TEST(HelperProcess, LineLengthLimitAtTheBoundary) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.write(pingOfLength(65536) + "\n");
    EXPECT_EQ(h.next()["type"], "pong");
    h.write(pingOfLength(65536) + "\r\n");
    EXPECT_EQ(h.next()["type"], "pong");
    h.write(pingOfLength(65537) + "\n");
    EXPECT_EQ(h.readLine(5s), kMalformed);
    h.write(pingOfLength(200000) + "\n{\"type\":\"ping\"}\n");
    EXPECT_EQ(h.readLine(5s), kMalformed);
    EXPECT_EQ(h.next()["type"], "pong");
}

TEST(HelperProcess, HundredMegabyteLineStaysBoundedInMemory) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.write("{\"type\":\"ping\"}\n");
    ASSERT_EQ(h.next()["type"], "pong");
    long before = h.statusKb("VmHWM");
    ASSERT_GT(before, 0);
    std::string chunk(1 << 20, 'a');
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(h.write(chunk));
    long during = h.statusKb("VmHWM");
    h.write("\n{\"type\":\"ping\"}\n");
    EXPECT_EQ(h.readLine(10s), kMalformed) << "exactly one error for the whole line";
    EXPECT_EQ(h.next()["type"], "pong");
    long after = h.statusKb("VmHWM");
    RecordProperty("VmHWM_kB_before", std::to_string(before));
    RecordProperty("VmHWM_kB_after", std::to_string(after));
    EXPECT_LT(during - before, 4096) << "peak grew from " << before << " kB to " << during;
    EXPECT_LT(after - before, 4096) << "peak grew from " << before << " kB to " << after;
}

TEST(HelperProcess, ClosedStdoutDoesNotKillTheHelper) {
    Helper h;
    ASSERT_EQ(h.next()["type"], "hello");
    h.closeStdout();
    h.write("{\"type\":\"ping\"}\n{\"type\":\"ping\"}\n");
    h.closeStdin();
    EXPECT_EQ(h.waitExit(5s), 0) << "no death by SIGPIPE; normal exit at end of input";
}

} // namespace

namespace {

// Without a capture backend the real binary still goes through a whole session.
TEST(HelperProcess, SessionWithoutCaptureBackendReportsEachFailureInOrder) {
    ChildProcess h(ZORVA_HELPER_PATH, {}, {"PULSE_SERVER=unix:/nonexistent/native"});
    ASSERT_TRUE(h.readLine(5s));
    h.write(R"({"type":"configure","apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
            R"("ignoreBundlePrefixes":[],"ignorePids":[],"locale":"en-US","micHoldMs":1000,)"
            R"("endGraceMs":2000,"fastResults":true})"
            "\n"
            R"({"type":"start","sessionId":"s1","bundleId":"org.example.conf","pids":[]})"
            "\n");
    std::vector<std::string> lines;
    for (int i = 0; i < 5; ++i) {
        auto line = h.readLine(20s);
        ASSERT_TRUE(line) << "after " << i << " lines";
        lines.push_back(*line);
    }
    EXPECT_EQ(lines[0], R"({"kind":"microphone","status":"notDetermined","type":"permission"})");
    auto engine = Json::parse(lines[1]);
    EXPECT_EQ(engine["code"], "engine-failed");
    EXPECT_EQ(engine["sessionId"], "s1");
    auto tap = Json::parse(lines[2]);
    EXPECT_EQ(tap["code"], "tap-failed");
    EXPECT_NE(tap["message"].get<std::string>().find("AudioHardwareCreateProcessTap"),
              std::string::npos);
    EXPECT_EQ(lines[3], R"({"kind":"systemAudio","status":"denied","type":"permission"})");
    EXPECT_EQ(lines[4], R"({"sessionId":"s1","state":"started","type":"capture"})");

    h.write(R"({"type":"stop","sessionId":"s1"})"
            "\n");
    EXPECT_EQ(h.readLine(20s), R"({"sessionId":"s1","state":"stopped","type":"capture"})");
    EXPECT_EQ(h.readLine(5s), R"({"sessionId":"s1","type":"stopped"})");

    // End of input during a session: exit 0, and no stop lines.
    h.write(R"({"type":"start","sessionId":"s2","bundleId":"x","pids":[],"audio":"system"})"
            "\n");
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(h.readLine(20s));
    h.closeStdin();
    EXPECT_EQ(h.waitExit(10s), 0);
    EXPECT_FALSE(h.readLine(200ms));
}

} // namespace
