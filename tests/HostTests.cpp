// zorva, the terminal host: its settings, its caption rendering, the whole
// program against a scripted helper (exact output), on a real terminal, and
// end to end with the real helper on a private audio server.
#include "Captions.h"
#include "Sentences.h"
#include "Settings.h"
#include "support/AudioApps.h"
#include "support/SessionBus.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

using namespace zorva::host;
using namespace zorva::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    TempDir() {
        char name[] = "/tmp/zorva-host-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

void writeFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

EnvFn envOf(std::map<std::string, std::string> vars) {
    return [vars](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        return it == vars.end() ? std::nullopt : std::optional(it->second);
    };
}

std::vector<std::string> names(const std::vector<App>& apps) {
    std::vector<std::string> out;
    for (const App& a : apps)
        out.push_back(a.name);
    return out;
}

// The transcripts in `dir`, oldest first.
std::vector<std::string> transcripts(const std::string& dir, const std::string& ext = ".md") {
    std::vector<std::string> out;
    if (fs::exists(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().extension() == ext)
                out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Lines of `child` until one contains `text` (all of them, that one last);
// empty when it never comes.
std::vector<std::string> linesUntil(ChildProcess& child, const std::string& text,
                                    std::chrono::milliseconds limit = 20s) {
    std::vector<std::string> out;
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < deadline;) {
        auto line = child.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!line)
            break;
        out.push_back(*line);
        if (line->find(text) != std::string::npos)
            return out;
    }
    return {};
}

} // namespace

TEST(HostSettings, ConfigFileAndFlagsLayerOverTheBuiltInTable) {
    TempDir home;
    auto env = envOf({{"HOME", home.path}});
    // No config file: the built-in table, en-US, the XDG data directory.
    Invocation plain = parseInvocation({}, env);
    EXPECT_TRUE(plain.configPath.empty());
    auto table = names(plain.settings.apps);
    for (const char* app : {"Zoom", "Microsoft Teams", "Slack", "Discord", "Element", "Signal",
                            "Jitsi Meet", "Webex", "Firefox", "Google Chrome"})
        EXPECT_NE(std::find(table.begin(), table.end(), app), table.end()) << app;
    EXPECT_EQ(plain.settings.locale, "en-US");
    EXPECT_EQ(plain.settings.outDir, home.path + "/.local/share/zorva/transcripts");
    EXPECT_FALSE(plain.settings.systemAudio);
    EXPECT_TRUE(plain.settings.echoCancellation);

    // extraApps add to the table; flags override the file.
    writeFile(home.path + "/.config/zorva/config.json",
              R"({"extraApps":[{"name":"Conf","bundlePrefixes":["org.example."]}],
                  "ignoreBundlePrefixes":["org.example.bot"],"locale":"en-GB",
                  "micHoldMs":500,"endGraceMs":1500,"audio":"system",
                  "echoCancellation":true})");
    Invocation layered = parseInvocation({"--app", "Mumble=info.mumble.,mumble", "--locale=en_US",
                                          "--out", "/tmp/t", "--vtt", "--no-echo-cancellation"},
                                         env);
    EXPECT_EQ(layered.configPath, home.path + "/.config/zorva/config.json");
    const auto& s = layered.settings;
    ASSERT_EQ(s.apps.size(), plain.settings.apps.size() + 2);
    EXPECT_EQ(s.apps[s.apps.size() - 2].name, "Conf");
    EXPECT_EQ(s.apps.back().bundlePrefixes, (std::vector<std::string>{"info.mumble.", "mumble"}));
    EXPECT_EQ(s.ignoreBundlePrefixes, std::vector<std::string>{"org.example.bot"});
    EXPECT_EQ(s.locale, "en_US");
    EXPECT_EQ(s.micHoldMs, 500);
    EXPECT_EQ(s.endGraceMs, 1500);
    EXPECT_TRUE(s.systemAudio && s.vtt);
    EXPECT_FALSE(s.echoCancellation);
    EXPECT_EQ(s.outDir, "/tmp/t");

    // "apps" replaces the table wherever it stands; XDG_CONFIG_HOME wins over
    // HOME; record follows a named app.
    TempDir xdg;
    writeFile(xdg.path + "/zorva/config.json",
              R"({"extraApps":[{"name":"B","bundlePrefixes":["b"]}],
                  "apps":[{"name":"A","bundlePrefixes":["a"]}]})");
    Invocation record = parseInvocation(
        {"record", "--app", "A"},
        envOf({{"HOME", home.path}, {"XDG_CONFIG_HOME", xdg.path}, {"XDG_DATA_HOME", "/d"}}));
    EXPECT_EQ(names(record.settings.apps), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(record.settings.record);
    EXPECT_EQ(record.settings.recordApp, "A");
    EXPECT_EQ(record.settings.outDir, "/d/zorva/transcripts");
    EXPECT_EQ(parseInvocation({"--system", "--help"}, env).action, Action::help);

    // The window's text size: remembered in the file, keeping what it held;
    // a file zorva cannot read is left alone.
    EXPECT_EQ(rememberTextSize(layered.configTarget, 28), "");
    Invocation window = parseInvocation({"--window"}, env);
    EXPECT_TRUE(window.settings.window);
    EXPECT_EQ(window.settings.textSize, 28);
    EXPECT_EQ(window.settings.locale, "en-GB") << "the rest of the file is kept";
    TempDir fresh;
    const std::string made = fresh.path + "/new/zorva/config.json";
    EXPECT_EQ(rememberTextSize(made, 12), "") << "folder and file are made";
    EXPECT_EQ(
        parseInvocation({}, envOf({{"XDG_CONFIG_HOME", fresh.path + "/new"}})).settings.textSize,
        12);
    writeFile(made, "{not json");
    EXPECT_NE(rememberTextSize(made, 14).find("config.json"), std::string::npos);
    EXPECT_EQ(readFile(made), "{not json");
}

TEST(HostSettings, MalformedConfigsAndBadUsageAreClearErrors) {
    const std::pair<const char*, const char*> configs[] = {
        {R"({"locale": "en-US",})", "syntax error"},
        {R"([1, 2])", "the file must hold one JSON object"},
        {R"({"colour": "red"})", "unknown key \"colour\""},
        {R"({"echoCancellation": "no"})", "\"echoCancellation\" must be true or false"},
        {R"({"textSize": 200})", "\"textSize\" must be a whole number of points, 10 to 48"},
        {R"({"apps": {"name": "A"}})", "\"apps\" must be a list"},
        {R"({"apps": [{"name": "A"}]})", "\"apps\"[0]: \"bundlePrefixes\" is missing"},
        {R"({"extraApps": [{"name": "", "bundlePrefixes": []}]})",
         "\"extraApps\"[0]: \"name\" must be a non-empty string"},
        {R"({"apps": [{"name": "A", "bundlePrefixes": ["a", 3]}]})",
         "\"apps\"[0].bundlePrefixes must be a list of strings"},
        {R"({"micHoldMs": -5})", "\"micHoldMs\" must be a whole number"},
        {R"({"endGraceMs": 1.5})", "\"endGraceMs\" must be a whole number"},
        {R"({"audio": "System"})", "\"audio\" must be \"app\" or \"system\""},
        {R"({"locale": 7})", "\"locale\" must be a locale identifier"},
    };
    for (const auto& [text, fault] : configs) {
        Settings s;
        try {
            applyConfig(text, s);
            ADD_FAILURE() << "accepted " << text;
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(fault), std::string::npos)
                << text << " gave " << e.what();
        }
    }
    const std::pair<std::vector<std::string>, const char*> usages[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--app", "Zoom"}, "--app needs NAME=PREFIX[,PREFIX...], not 'Zoom'"},
        {{"--app=A="}, "--app needs NAME=PREFIX[,PREFIX...], not 'A='"},
        {{"--locale"}, "--locale needs a value"},
        {{"--vtt=yes"}, "--vtt takes no value"},
        {{"now"}, "unexpected argument 'now'"},
        {{"--system", "record"}, "unexpected argument 'record'"},
        {{"record", "--app", "Nope"}, "no app named 'Nope' (known: Zoom, "},
        {{"record", "--app", "A=a", "--app", "B=b"}, "record follows one app"},
    };
    TempDir home;
    for (const auto& [args, message] : usages) {
        try {
            parseInvocation(args, envOf({{"HOME", home.path}}));
            ADD_FAILURE() << "accepted " << args.front();
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
        }
    }

    // The program itself: the file's name and the fault, status 2.
    writeFile(home.path + "/.config/zorva/config.json", R"({"apps": [], "colour": "red"})");
    ChildProcess bad(ZORVA_HOST_PATH, {}, {"HOME=" + home.path, "XDG_CONFIG_HOME="});
    EXPECT_EQ(bad.waitExit(10s), 2);
    EXPECT_EQ(bad.stderrText(),
              "zorva: " + home.path + "/.config/zorva/config.json: unknown key \"colour\"\n");
    ChildProcess usage(ZORVA_HOST_PATH, {"--bogus"}, {"HOME=" + home.path});
    EXPECT_EQ(usage.waitExit(10s), 2);
    EXPECT_EQ(usage.stderrText(), "zorva: unknown option '--bogus'\nTry 'zorva --help'.\n");
    ChildProcess version(ZORVA_HOST_PATH, {"--version"});
    EXPECT_EQ(version.readLine(10s), "zorva 0.1.0");
    EXPECT_EQ(version.waitExit(10s), 0);
}

TEST(HostCaptions, OnATerminalPartialsStayBelowAndAreReplacedInPlace) {
    std::ostringstream live;
    Captions captions(live, true, [] { return 24; });
    captions.note("Call started.");
    captions.partial(Speaker::them, 1200, "hello");
    captions.partial(Speaker::you, 2300, "good");
    captions.partial(Speaker::them, 1200, "hello there my friends");
    captions.final(Speaker::them, 1200, "hello there");
    captions.clearPartials();
    EXPECT_EQ(live.str(), "Call started.\n"
                          "\x1b[2m[00:01] Them: hello\x1b[0m\n"
                          "\x1b[1F\x1b[J"
                          "\x1b[2m[00:02] You: good\x1b[0m\n"
                          "\x1b[2m[00:01] Them: hello\x1b[0m\n"
                          "\x1b[2F\x1b[J"
                          "\x1b[2m[00:02] You: good\x1b[0m\n"
                          // Cut to the width, the newest words kept.
                          "\x1b[2m[00:01] Them: … friends\x1b[0m\n"
                          "\x1b[2F\x1b[J"
                          "[00:01] Them: hello there\n"
                          "\x1b[2m[00:02] You: good\x1b[0m\n"
                          "\x1b[1F\x1b[J");

    std::ostringstream plain;
    Captions lines(plain, false);
    lines.partial(Speaker::you, 0, "ignored");
    lines.final(Speaker::you, 3'725'000, "an hour in");
    lines.note("done");
    EXPECT_EQ(plain.str(), "[1:02:05] You: an hour in\ndone\n");
}

TEST(HostSentences, FinalsReadAsSentencesAndQuestionsByHowTheyOpen) {
    const std::pair<const char*, const char*> cases[] = {
        {"i think we should ship the first version next month",
         "I think we should ship the first version next month."},
        {"can you hear me now or should i call you back",
         "Can you hear me now or should I call you back?"},
        {"what time is it", "What time is it?"},
        {"should i bring the slides i'm not sure", "Should I bring the slides I'm not sure?"},
        {"is it ready", "Is it ready?"},
        {"do it now", "Do it now."},
        {"do you agree", "Do you agree?"},
        {"so can you hear me", "So can you hear me."}, // rules, not understanding
        {"it's done", "It's done."},
        {"when", "When?"},
        {"  yes  ", "Yes."},
        {"really?", "Really?"},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(asSentence(in), out) << in;
}

// zorva copied next to a scripted helper.
struct ScriptedHost : ::testing::Test {
    void SetUp() override {
        fs::copy_file(ZORVA_HOST_PATH, dir.path + "/zorva");
        fs::copy_file(FAKE_HELPER_PATH, dir.path + "/zorva-helper");
        writeFile(dir.path + "/cfg/zorva/config.json",
                  R"({"apps":[{"name":"Conf","bundlePrefixes":["org.example."]}]})");
    }
    // No session bus: notifications are off, with a note.
    std::vector<std::string> env() const {
        return {"XDG_CONFIG_HOME=" + dir.path + "/cfg", "ZORVA_FAKE_LOG=" + dir.path + "/log",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.path + "/no-bus"};
    }
    TempDir dir;
};

TEST_F(ScriptedHost, PlainOutputTranscriptCaptionsAndHostLinesOfACall) {
    // A folder others can read is used as it is, with a warning.
    fs::create_directory(dir.path + "/out");
    fs::permissions(dir.path + "/out", fs::perms(0755));
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out", "--vtt"}, env());
    auto lines = linesUntil(zorva, "Transcript saved");
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::string> want{
        "Watching for calls in 1 app (locale en-US). Press Ctrl-C to quit.",
        "Speech model ready (en-US).",
        "Call started in Conf (org.example.conf, pids 4242).",
        "Capturing the microphone (default input, 48000 Hz, echo cancellation off) and Conf's "
        "audio (pids 4242, 48000 Hz).",
        "Transcript: " + files[0],
        "Warning: the transcripts folder " + dir.path +
            "/out can be read by other users (mode 0755); to keep transcripts private: chmod 700 "
            "'" +
            dir.path + "/out'.",
        "Problem: Speech recognition failed (speech recognition fell behind on others). If this "
        "happens again, close other busy programs or restart zorva.",
        "[00:01] Them: Hello there *friends*.",
        "[00:02] You: Good morning.",
        "Call ended in Conf: the app let go of the microphone.",
        "Transcript saved: " + files[0],
    };
    EXPECT_EQ(lines, want);

    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    EXPECT_EQ(fs::status(dir.path + "/out").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(files[0]).permissions(), fs::perms(0600));
    const std::string err = zorva.stderrText();
    EXPECT_EQ(err.find("zorva: no desktop notifications: "), 0u) << err;
    EXPECT_EQ(err.find("no desktop notifications", 8), std::string::npos) << "said once\n" << err;
    // What zorva said to the helper, in order.
    auto log = readFile(dir.path + "/log");
    std::regex pid(R"("ignorePids":\[\d+,\d+\])"), session(R"(zorva-\d+-1)");
    log = std::regex_replace(std::regex_replace(log, pid, R"("ignorePids":[P,P])"), session, "S");
    EXPECT_EQ(log, R"({"apps":[{"bundlePrefixes":["org.example."],"name":"Conf"}],)"
                   R"("echoCancellation":true,"endGraceMs":6000,)"
                   R"("fastResults":false,"ignoreBundlePrefixes":[],"ignorePids":[P,P],)"
                   R"("locale":"en-US","micHoldMs":3000,"type":"configure"})"
                   "\n"
                   R"({"type":"prepareModel"})"
                   "\n"
                   R"({"audio":"app","bundleId":"org.example.conf","pids":[4242],"sessionId":"S",)"
                   R"("type":"start"})"
                   "\n"
                   R"({"sessionId":"S","type":"stop"})"
                   "\n"
                   R"({"type":"shutdown"})"
                   "\n");

    std::string md = std::regex_replace(readFile(files[0]), std::regex(R"(\d\d:\d\d:\d\d)"), "T");
    md = std::regex_replace(md, std::regex(R"(\d{4}-\d\d-\d\d T [+-]\d{4})"), "D");
    EXPECT_EQ(md, "# Conf call\n\n- App: Conf\n- Started: D\n- Locale: en-US\n\n"
                  "- [00:01] **Them:** Hello there \\*friends\\*.\n"
                  "- [00:02] **You:** Good morning.\n\n"
                  "_The call ended at T: the app let go of the microphone._\n");
    EXPECT_EQ(readFile(transcripts(dir.path + "/out", ".vtt").at(0)),
              "WEBVTT\n\n00:00:01.200 --> 00:00:02.100\n<v Them>Hello there *friends*.\n\n"
              "00:00:02.300 --> 00:00:03.000\n<v You>Good morning.\n");
}

TEST_F(ScriptedHost, WhatTheUserMustFixIsNotifiedOnceWithWhatToDo) {
    if (!SessionBus::available())
        ZORVA_SKIP_WITHOUT("dbus-daemon");
    SessionBus bus;
    NotificationService desktop(bus.address());
    auto env = this->env();
    env.back() = "DBUS_SESSION_BUS_ADDRESS=" + bus.address();
    env.push_back("ZORVA_FAKE_FAULTS=1");
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out"}, env);
    ASSERT_FALSE(linesUntil(zorva, "Transcript saved").empty()) << zorva.stderrText();
    auto shown = desktop.shown(4, 10s);
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    std::vector<std::string> summaries;
    for (const auto& n : shown)
        summaries.push_back(n.summary);
    // The microphone's error came twice in the session: notified once.
    EXPECT_EQ(summaries, (std::vector<std::string>{
                             "zorva has no speech model", "zorva cannot hear your microphone",
                             "Transcribing the call in Conf", "Call in Conf transcribed"}));
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_NE(shown[0].body.find("sudo apt install pocketsphinx-en-us"), std::string::npos);
    EXPECT_NE(shown[1].body.find("(no default source)"), std::string::npos) << shown[1].body;
    EXPECT_NE(shown[1].body.find("chosen as the default input"), std::string::npos);
}

// Whether `line` holds anything a terminal would act on: C0 and C1
// controls, DEL, bidi overrides.
bool actsOnATerminal(const std::string& line) {
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7F)
            return true;
    for (const char* c1 : {"\xc2\x85", "\xc2\x9b", "\xe2\x80\xae"})
        if (line.find(c1) != std::string::npos)
            return true;
    return false;
}

TEST_F(ScriptedHost, AHostileHelperNeverReachesTheTerminalAndTheTranscriptSurvives) {
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=hostile,hold");
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out", "--vtt"}, env);
    auto lines = linesUntil(zorva, "The helper is running again.", 30s);
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    ::kill(zorva.pid(), SIGTERM);
    for (auto& more : zorva.readLinesFor(2s))
        lines.push_back(more);
    EXPECT_EQ(zorva.waitExit(10s), 0);

    std::string all;
    int unreadable = 0;
    for (const auto& line : lines) {
        EXPECT_FALSE(actsOnATerminal(line)) << line;
        all += line + "\n";
        unreadable += line.rfind("The helper sent a line zorva cannot read", 0) == 0;
    }
    // Shown, defused: the forged app id, the error, the helper's last words.
    EXPECT_NE(all.find("Call started in Conf (org.example.\uFFFD]52;c;cHduZWQ=\uFFFD\uFFFD[1A"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("\uFFFD]0;owned\uFFFD\uFFFD[2Kforged last words"), std::string::npos) << all;
    EXPECT_EQ(unreadable, 3) << "a few notes, then silence\n" << all;
    EXPECT_NE(all.find("[00:01] Them: Hello \uFFFD[2Jthere \uFFFDfriends."), std::string::npos)
        << all;

    auto files = transcripts(dir.path + "/out");
    ASSERT_GE(files.size(), 1u);
    const std::string md = readFile(files[0]);
    EXPECT_NE(md.find("- [00:01] **Them:** Hello \\[2Jthere friends.\n"), std::string::npos) << md;
    EXPECT_NE(md.find("- [00:02] **You:** Good morning \\& \\~all\\~.\n"), std::string::npos) << md;
    EXPECT_NE(md.find("_The call ended at "), std::string::npos) << md;
    for (char c : md)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << md;
    const std::string vtt = readFile(transcripts(dir.path + "/out", ".vtt").at(0));
    EXPECT_NE(vtt.find("<v You>Good morning &amp; ~all~.\n"), std::string::npos) << vtt;
    EXPECT_EQ(vtt.find('\r'), std::string::npos);
    // Cues in start order, though the user's settled after a later one.
    std::vector<std::string> starts;
    std::regex cue(R"((\d\d:\d\d:\d\d\.\d{3}) --> )");
    for (auto it = std::sregex_iterator(vtt.begin(), vtt.end(), cue); it != std::sregex_iterator();
         ++it)
        starts.push_back((*it)[1]);
    EXPECT_EQ(starts, (std::vector<std::string>{"00:00:01.200", "00:00:02.300", "00:00:03.500"}))
        << vtt;

    // A helper of another protocol version is refused, clearly.
    env.back() = "ZORVA_FAKE_PLAN=protocol2";
    ChildProcess other(dir.path + "/zorva", {"--out", dir.path + "/out"}, env);
    auto refused = linesUntil(other, "protocol version");
    ASSERT_FALSE(refused.empty()) << other.stderrText();
    EXPECT_EQ(refused.back(), "This zorva-helper speaks protocol version 2 and zorva version 1: "
                              "they are from different releases. Install both from the same "
                              "package.");
    EXPECT_EQ(other.waitExit(10s), 1);
}

TEST_F(ScriptedHost, OnAFullDiskNothingIsLostSilently) {
    const std::string disk = dir.path + "/disk";
    fs::create_directory(disk);
    // Only root may mount, and not in every container: the run says it skipped.
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k") != 0) {
        ASSERT_TRUE(errno == EPERM || errno == EACCES) << std::strerror(errno);
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    writeFile(disk + "/filler", std::string(12 * 1024, 'x')); // one page is left
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=fill");
    env.push_back("ZORVA_FAKE_GO=" + dir.path + "/go");
    ChildProcess zorva(dir.path + "/zorva", {"--out", disk + "/t"}, env);
    auto first = linesUntil(zorva, "Transcript: ");
    ASSERT_FALSE(first.empty()) << zorva.stderrText();
    const std::string path = first.back().substr(first.back().find(": ") + 2);
    // The disk fills: said once, and the captions go on.
    std::vector<std::string> lines = linesUntil(zorva, "Sentence number 80 ");
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    // Space comes back: what waited is written with the next line.
    fs::remove(disk + "/filler");
    writeFile(dir.path + "/go", "");
    for (auto& line : linesUntil(zorva, "Sentence number 120 "))
        lines.push_back(line);
    // And fills for good: the end says so.
    writeFile(disk + "/filler", std::string(16 * 1024, 'x'));
    writeFile(dir.path + "/go2", "");
    for (auto& line : linesUntil(zorva, "Transcript incomplete: "))
        lines.push_back(line);
    ASSERT_NE(lines.back().find("Transcript incomplete: " + path + " (No space left on device)"),
              std::string::npos)
        << lines.back();
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Writing the transcript failed (No space left on device); what is not "
                         "written is kept and tried again with each line."),
              2);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("Sentence number 120 ") != std::string::npos;
                            }),
              1);
    // Every sentence said while there was room in the end, once and in order.
    const std::string md = readFile(path);
    std::size_t at = 0;
    for (int i = 1; i <= 120; ++i) {
        const std::string line = "**Them:** Sentence number " + std::to_string(i) + " of";
        const std::size_t found = md.find(line);
        ASSERT_NE(found, std::string::npos) << line << " missing:\n" << md;
        EXPECT_GT(found, at);
        EXPECT_EQ(md.find(line, found + 1), std::string::npos) << line << " twice";
        at = found;
    }
    EXPECT_EQ(md.find("Sentence number 160 "), std::string::npos) << "the disk was full";
}

TEST_F(ScriptedHost, ZorvaRecordThroughAHelperThatFloodsQuitsAndCannotStart) {
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=longline,exit,nostop");
    ChildProcess zorva(dir.path + "/zorva", {"record", "--app", "Conf", "--out", dir.path + "/out"},
                       env);
    std::vector<std::string> lines;
    auto until = [&](const std::string& text) {
        auto more = linesUntil(zorva, text);
        lines.insert(lines.end(), more.begin(), more.end());
        return !more.empty();
    };
    // A line over 4 MiB: the helper is one zorva cannot talk to.
    ASSERT_TRUE(until("Restarting it in 1 s.")) << zorva.stderrText();
    // The next one quits at once: the wait doubles.
    ASSERT_TRUE(until("Restarting it in 2 s.")) << zorva.stderrText();
    // The next cannot even be started: zorva tries again later.
    fs::permissions(dir.path + "/zorva-helper", fs::perms(0644));
    ASSERT_TRUE(until("Restarting it in 4 s.")) << zorva.stderrText();
    fs::permissions(dir.path + "/zorva-helper", fs::perms(0755));
    // The last one records again, and never confirms a stop: a second
    // Ctrl-C ends zorva without waiting.
    ASSERT_TRUE(until("Transcript: ")) << zorva.stderrText();
    ASSERT_TRUE(until("You: Good morning.")) << zorva.stderrText();
    ::kill(zorva.pid(), SIGINT);
    ASSERT_TRUE(until("Stopping the session")) << zorva.stderrText();
    ::kill(zorva.pid(), SIGINT);
    EXPECT_EQ(zorva.waitExit(10s), 0);

    std::string said;
    for (const auto& line : lines)
        said += line + "\n";
    for (const char* step : {"Recording now (locale en-US).", "Them: Before the flood.",
                             "The helper stopped unexpectedly: it was ended by signal",
                             "The helper stopped unexpectedly: it exited with status 3.",
                             "The helper could not be started: cannot start " /* the path */,
                             "Permission denied", "The helper is running again."})
        EXPECT_NE(said.find(step), std::string::npos) << step << " not in\n" << said;
    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 2u) << said;
    const std::string first = readFile(files[0]), second = readFile(files[1]);
    EXPECT_NE(first.find("**Them:** Before the flood."), std::string::npos) << first;
    EXPECT_NE(first.find("_The helper stopped unexpectedly at "), std::string::npos) << first;
    EXPECT_NE(second.find("**You:** Good morning."), std::string::npos) << second;
    EXPECT_NE(second.find("_Interrupted at "), std::string::npos) << second;
}

TEST_F(ScriptedHost, AHelperThatNeverConfirmsAStopIsStartedAfresh) {
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=nostop,call");
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out"}, env);
    auto lines = linesUntil(zorva, "Call ended in Conf");
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    // The call ended: its session's stop is never confirmed.
    lines = linesUntil(zorva, "Transcript saved", 45s);
    ASSERT_GE(lines.size(), 2u) << zorva.stderrText();
    EXPECT_EQ(lines[0], "The helper did not confirm the end of the session within 30 s.");
    // The helper is replaced, and the next call is captured.
    auto next = linesUntil(zorva, "Transcript saved");
    ASSERT_FALSE(next.empty()) << zorva.stderrText();
    std::string said;
    for (const auto& line : next)
        said += line + "\n";
    EXPECT_NE(said.find("Restarting it in 1 s."), std::string::npos) << said;
    EXPECT_NE(said.find("Call started in Conf"), std::string::npos) << said;
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(readFile(files[0]).find("The helper did not confirm the end._"), std::string::npos)
        << readFile(files[0]);
}

TEST_F(ScriptedHost, ATranscriptWhoseCaptionsCannotBeMadeLeavesNoHalfPair) {
    // Someone made the captions' file names of the next seconds first.
    fs::create_directory(dir.path + "/out");
    const auto now = std::chrono::system_clock::now();
    for (int s = -2; s < 15; ++s) {
        const std::time_t t = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(s));
        std::tm local{};
        localtime_r(&t, &local);
        char name[64];
        std::strftime(name, sizeof name, "%Y-%m-%d_%H-%M-%S_Conf.vtt", &local);
        writeFile(dir.path + "/out/" + name, "");
    }
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out", "--vtt"}, env());
    auto lines = linesUntil(zorva, "Transcript saved: ");
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    // The transcript took the next free name, both files of it; no .md was
    // left without its captions.
    auto md = transcripts(dir.path + "/out");
    ASSERT_EQ(md.size(), 1u);
    EXPECT_NE(md[0].find("_Conf-2.md"), std::string::npos) << md[0];
    EXPECT_TRUE(fs::exists(md[0].substr(0, md[0].size() - 3) + ".vtt"));
}

TEST_F(ScriptedHost, AnAppNameThatIsNotUtf8ReachesTheHelperReplacedNotAsACrash) {
    ChildProcess zorva(dir.path + "/zorva",
                       {"--app", "Caf\xe9=org.cafe.", "--out", dir.path + "/out"}, env());
    ASSERT_FALSE(linesUntil(zorva, "Transcript saved").empty()) << zorva.stderrText();
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    EXPECT_NE(readFile(dir.path + "/log")
                  .find("{\"bundlePrefixes\":[\"org.cafe.\"],\"name\":\"Caf\xef\xbf\xbd\"}"),
              std::string::npos);
}

TEST_F(ScriptedHost, WhenNobodyReadsItAnyMoreTheSessionEnds) {
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=hold");
    env.push_back("ZORVA_FAKE_PAUSE=0.5");
    ChildProcess zorva(dir.path + "/zorva", {"--out", dir.path + "/out"}, env);
    ASSERT_FALSE(linesUntil(zorva, "Transcript: ").empty()) << zorva.stderrText();
    zorva.closeStdout(); // `zorva | head` once head has had enough
    EXPECT_EQ(zorva.waitExit(10s), 1);
    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(readFile(files[0]).find("_Stopped by the user at "), std::string::npos)
        << readFile(files[0]);
}

TEST_F(ScriptedHost, TheHelperIsFoundSafelyStartsCleanAndItsEndIsReportedTruly) {
    // Not beside zorva, and PATH has only "." and a folder of that name:
    // neither is taken.
    TempDir elsewhere;
    fs::copy_file(ZORVA_HOST_PATH, elsewhere.path + "/zorva");
    fs::create_directories(elsewhere.path + "/bin/zorva-helper");
    ChildProcess lost("/bin/sh",
                      {"-c", "cd " + dir.path + " && PATH=.:" + elsewhere.path + "/bin exec " +
                                 elsewhere.path + "/zorva"},
                      env());
    EXPECT_EQ(lost.waitExit(10s), 1);
    EXPECT_EQ(lost.stderrText(),
              "zorva: cannot find zorva-helper next to this program or on PATH\n");

    // Started with SIGCHLD ignored and a descriptor open: the helper gets
    // neither, and how it ends is told as it was.
    auto env = this->env();
    env.push_back("ZORVA_FAKE_PLAN=hold");
    env.push_back("ZORVA_FAKE_PIDFILE=" + dir.path + "/helper.pid");
    ChildProcess zorva("/bin/bash",
                       {"-c", "trap '' CHLD; exec 7</dev/null; exec " + dir.path + "/zorva --out " +
                                  dir.path + "/out"},
                       env);
    ASSERT_FALSE(linesUntil(zorva, "You: Good morning.").empty()) << zorva.stderrText();
    const pid_t helper = std::stoi(readFile(dir.path + "/helper.pid"));
    std::vector<std::string> fds;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(helper) + "/fd"))
        if (const auto fd = entry.path().filename().string(); fd != "255") // bash's script
            fds.push_back(fd);
    std::sort(fds.begin(), fds.end());
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"}));
    ::kill(helper, SIGKILL);
    auto lines = linesUntil(zorva, "The helper stopped unexpectedly");
    ASSERT_FALSE(lines.empty()) << zorva.stderrText();
    EXPECT_EQ(lines.back(), "The helper stopped unexpectedly: it was ended by signal Killed.");
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
}

// What the first pane of the tmux server `tmux` shows.
std::string paneText(const std::string& tmux) {
    std::string out;
    if (FILE* p = ::popen((tmux + " capture-pane -p -t 0").c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// The state letter of /proc/<pid>/stat ('T' when stopped), or 0.
char stateOf(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

TEST_F(ScriptedHost, CtrlZStopsTheHelperTooAndAClosedTerminalEndsTheSessionCleanly) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        ZORVA_SKIP_WITHOUT("tmux");
    const std::string tmux = "tmux -L zorva-jobs-" + std::to_string(::getpid());
    ASSERT_EQ(
        std::system((tmux + " new-session -d -x 120 -y 30 'bash --norc --noprofile -i'").c_str()),
        0);
    struct Server {
        std::string tmux;
        ~Server() { (void)std::system((tmux + " kill-server 2>/dev/null").c_str()); }
    } server{tmux};
    auto keys = [&](const std::string& k) {
        return std::system((tmux + " send-keys -t 0 " + k).c_str());
    };
    auto pane = [&] { return paneText(tmux); };
    auto waitFor = [&](const std::function<bool()>& done) {
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(100ms))
            if (done())
                return true;
        return false;
    };
    const std::string pidFile = dir.path + "/helper.pid";
    ASSERT_EQ(keys("'cd " + dir.path + " && XDG_CONFIG_HOME=" + dir.path + "/cfg ZORVA_FAKE_LOG=" +
                   dir.path + "/log ZORVA_FAKE_PLAN=hold ZORVA_FAKE_PIDFILE=" + pidFile +
                   " ./zorva --out " + dir.path + "/out' Enter"),
              0);
    ASSERT_TRUE(waitFor([&] { return pane().find("You: Good morning.") != std::string::npos; }))
        << pane();
    const pid_t helper = std::stoi(readFile(pidFile));

    keys("C-z");
    ASSERT_TRUE(waitFor([&] { return stateOf(helper) == 'T'; })) << pane();
    EXPECT_NE(pane().find("Paused: the helper is stopped too; fg resumes both."), std::string::npos)
        << pane();
    keys("fg Enter");
    ASSERT_TRUE(waitFor([&] { return pane().find("Resumed.") != std::string::npos; })) << pane();
    const std::string paneSeen = pane();
    EXPECT_NE(stateOf(helper), 'T');

    // The terminal goes away: as on SIGTERM, the session ends with its note.
    ASSERT_EQ(std::system((tmux + " kill-pane -t 0").c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return ::kill(helper, 0) != 0; })) << "the helper outlived zorva";
    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(waitFor([&] {
        return readFile(files[0]).find("_Stopped by the user at ") != std::string::npos;
    })) << readFile(files[0])
        << paneSeen;
}

TEST_F(ScriptedHost, OnATerminalAPartialIsReplacedByItsFinal) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        ZORVA_SKIP_WITHOUT("tmux");
    const std::string tmux = "tmux -L zorva-test-" + std::to_string(::getpid());
    std::string run = "cd " + dir.path + " && env -u NO_COLOR XDG_CONFIG_HOME=" + dir.path +
                      "/cfg ZORVA_FAKE_PAUSE=1.5 TERM=xterm ./zorva --out " + dir.path +
                      "/out; sleep 60";
    ASSERT_EQ(std::system((tmux + " new-session -d -x 100 -y 20 '" + run + "'").c_str()), 0);
    auto pane = [&] { return paneText(tmux); };
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    std::string seen, last;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline &&
         last.find("Transcript saved") == std::string::npos;
         std::this_thread::sleep_for(200ms)) {
        last = pane();
        if (last.find("Them: hello there\n") != std::string::npos)
            seen = last; // the second partial, on screen by itself
    }
    std::system((tmux + " kill-server").c_str());
    ASSERT_FALSE(seen.empty()) << last;
    EXPECT_EQ(count(seen, "Them:"), 1u) << seen;
    ASSERT_NE(last.find("Transcript saved"), std::string::npos) << last;
    // Each partial gave way to its final: one line per speaker.
    EXPECT_EQ(count(last, "Them:"), 1u) << last;
    EXPECT_EQ(count(last, "You:"), 1u) << last;
    EXPECT_NE(last.find("[00:01] Them: Hello there *friends*.\n[00:02] You: Good morning.\n"),
              std::string::npos)
        << last;
}

namespace {

const std::string kConf = "application.id=org.example.conf";
// Conf's calls, taken at once and ended a second after it lets go.
const std::string kConfCall = R"({"apps":[{"name":"Conf","bundlePrefixes":["org.example."]}],)"
                              R"("micHoldMs":0,"endGraceMs":1000})";

struct Sentence {
    std::string text;
    std::vector<std::string> keywords;
};
const Sentence kFar{"please remember to send the quarterly report by friday",
                    {"remember", "send", "quarterly", "report", "friday"}};
const Sentence kUser{"the quick brown fox jumps over the lazy dog",
                     {"quick", "brown", "fox", "jumps", "lazy", "dog"}};
const Sentence kLate{"our budget meeting moves to next tuesday morning",
                     {"budget", "meeting", "moves", "tuesday", "morning"}};

// How many of the sentence's keywords are on the transcript lines of `who`.
int heard(const std::string& transcript, const std::string& who, const Sentence& s) {
    std::string said;
    std::istringstream lines(transcript);
    for (std::string line; std::getline(lines, line);)
        if (line.find("**" + who + ":**") != std::string::npos)
            said += " " + line + " ";
    // Words as the recogniser gave them, before they were made sentences.
    for (char& c : said)
        c = c == '.' || c == '?' ? ' '
                                 : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int n = 0;
    for (const std::string& k : s.keywords)
        n += said.find(" " + k + " ") != std::string::npos;
    return n;
}

// The child processes of `parent`.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = readFile(entry.path().string() + "/stat");
        auto close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent)
            out.push_back(std::stoi(name));
    }
    return out;
}

} // namespace

// zorva with the real helper, on a private PulseAudio server.
struct LiveHost : ::testing::Test {
    void SetUp() override {
        if (!PulseServer::available(ServerKind::pulseaudio))
            ZORVA_SKIP_WITHOUT("PulseAudio");
        server.emplace();
    }
    // The environment of a zorva whose config file holds `config`.
    std::vector<std::string> env(const std::string& config) const {
        writeFile(dir.path + "/cfg/zorva/config.json", config);
        auto out = server->env();
        out.push_back("XDG_CONFIG_HOME=" + dir.path + "/cfg");
        return out;
    }
    std::optional<PulseServer> server;
    TempDir dir;
};

TEST_F(LiveHost, ACallIsTranscribedByItselfAndSurvivesTheHelperDying) {
    ChildProcess zorva(ZORVA_HOST_PATH, {"--out", dir.path + "/out"}, env(kConfCall));
    ASSERT_FALSE(linesUntil(zorva, "Watching for calls").empty()) << zorva.stderrText();

    auto voice = player(*server, "", "micsink"); // the user, into the virtual microphone
    auto confMic = recorder(*server, kConf);
    auto conf = player(*server, kConf);
    ASSERT_FALSE(linesUntil(zorva, "Transcript: ").empty()) << zorva.stderrText();
    conf->say(speechFile(kFar.text));
    voice->say(speechFile(kUser.text));
    std::this_thread::sleep_for(6s);

    // The helper dies mid-call: the transcript is closed with a note, the
    // helper comes back and the call, still going, is captured again.
    auto helpers = childrenOf(zorva.pid());
    ASSERT_EQ(helpers.size(), 1u);
    ::kill(helpers[0], SIGKILL);
    auto restart = linesUntil(zorva, "Transcript: ");
    ASSERT_FALSE(restart.empty()) << zorva.stderrText();
    std::string said;
    for (const auto& line : restart)
        said += line + "\n";
    for (const char* step : {"The helper stopped unexpectedly: it was ended by signal Killed.",
                             "Transcript saved: ", "Restarting it in 1 s.",
                             "The helper is running again.", "Call started in Conf"})
        EXPECT_NE(said.find(step), std::string::npos) << step << " not in\n" << said;
    // The far side speaks once the new session's capture runs: the tap's
    // monitor opens after the session is reported started, and speech played
    // before it is not captured (under a loaded sanitizer build, up to a
    // second).
    std::this_thread::sleep_for(1s);
    conf->say(speechFile(kLate.text));
    std::this_thread::sleep_for(6s);

    // The call ends: the session stops and its transcript is closed.
    confMic.reset();
    conf.reset();
    ASSERT_FALSE(linesUntil(zorva, "Transcript saved: ").empty()) << zorva.stderrText();
    helpers = childrenOf(zorva.pid());
    ASSERT_EQ(helpers.size(), 1u);
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    EXPECT_NE(::kill(helpers[0], 0), 0) << "the helper outlived zorva";

    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 2u);
    const std::string first = readFile(files[0]), second = readFile(files[1]);
    EXPECT_GE(heard(first, "Them", kFar), 3) << first;
    EXPECT_GE(heard(first, "You", kUser), 3) << first;
    EXPECT_EQ(heard(first, "You", kFar) + heard(first, "Them", kUser), 0) << first;
    EXPECT_NE(first.find("_The helper stopped unexpectedly at "), std::string::npos) << first;
    EXPECT_GE(heard(second, "Them", kLate), 3) << second;
    EXPECT_NE(second.find("_The call ended at "), std::string::npos) << second;
}

// The service's command line, from the unit the package ships.
std::vector<std::string> serviceCommand() {
    std::ifstream unit(ZORVA_SERVICE_UNIT);
    std::vector<std::string> out;
    for (std::string line; std::getline(unit, line);)
        if (line.rfind("ExecStart=", 0) == 0) {
            std::istringstream words(line.substr(10));
            for (std::string w; words >> w;)
                out.push_back(w);
        }
    return out;
}

TEST_F(LiveHost, AsAServiceACallIsNotifiedAndItsTranscriptIsPrivate) {
    if (!SessionBus::available())
        ZORVA_SKIP_WITHOUT("dbus-daemon");
    SessionBus bus;
    NotificationService desktop(bus.address());
    // The user's default application for transcripts notes what it opens.
    writeFile(dir.path + "/open", "#!/bin/sh\necho \"$1\" > '" + dir.path + "/opened'\n");
    fs::permissions(dir.path + "/open", fs::perms(0755));
    writeFile(dir.path + "/data/applications/opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Opener\nExec=" + dir.path +
                  "/open %f\nMimeType=text/markdown;text/plain;application/octet-stream;\n");
    writeFile(dir.path + "/cfg/mimeapps.list",
              "[Default Applications]\ntext/markdown=opener.desktop\n"
              "text/plain=opener.desktop\napplication/octet-stream=opener.desktop\n");

    // As systemd runs it: the unit's command, no terminal, a session bus, and
    // here the loosest umask, which must not make transcripts readable.
    auto command = serviceCommand();
    ASSERT_FALSE(command.empty());
    ASSERT_EQ(command[0], "/usr/bin/zorva");
    auto vars = env(kConfCall);
    vars.push_back("XDG_DATA_HOME=" + dir.path + "/data");
    vars.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
    const mode_t umaskBefore = ::umask(0);
    ChildProcess zorva(ZORVA_HOST_PATH, {command.begin() + 1, command.end()}, vars);
    ::umask(umaskBefore);
    ASSERT_FALSE(linesUntil(zorva, "Watching for calls").empty()) << zorva.stderrText();

    auto confMic = recorder(*server, kConf);
    auto conf = player(*server, kConf);
    auto started = linesUntil(zorva, "Transcript: ");
    ASSERT_FALSE(started.empty()) << zorva.stderrText();
    const std::string path = started.back().substr(started.back().find(": ") + 2);
    conf->say(speechFile(kFar.text));
    std::this_thread::sleep_for(6s);
    confMic.reset();
    conf.reset();
    auto ended = linesUntil(zorva, "Transcript saved: ");
    ASSERT_FALSE(ended.empty()) << zorva.stderrText();

    auto shown = desktop.shown(2, 10s);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].app, "zorva");
    EXPECT_EQ(shown[0].summary, "Transcribing the call in Conf");
    EXPECT_EQ(shown[0].body, "The transcript goes to " + path + ".");
    EXPECT_TRUE(shown[0].actions.empty());
    EXPECT_EQ(shown[1].summary, "Call in Conf transcribed");
    EXPECT_EQ(shown[1].body, "Saved to " + path);
    EXPECT_EQ(shown[1].actions,
              (std::vector<std::string>{"default", "Open transcript", "open", "Open transcript"}));
    // A click opens the transcript with the user's default application.
    desktop.invoke(shown[1].id, "default");
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !fs::exists(dir.path + "/opened") && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(readFile(dir.path + "/opened"), path + "\n") << zorva.stderrText();

    // systemctl stop: SIGTERM to zorva alone; it ends its helper itself.
    auto helpers = childrenOf(zorva.pid());
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);
    for (pid_t helper : helpers)
        EXPECT_NE(::kill(helper, 0), 0) << "the helper outlived zorva";
    for (const auto& line : started)
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << "plain lines for the journal: " << line;
    EXPECT_EQ(zorva.stderrText().find("notifications"), std::string::npos) << zorva.stderrText();

    const std::string folder = dir.path + "/data/zorva/transcripts";
    EXPECT_EQ(fs::path(path).parent_path(), folder);
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms(0700));
    EXPECT_EQ(fs::status(dir.path + "/data/zorva").permissions(), fs::perms(0700));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
    EXPECT_GE(heard(readFile(path), "Them", kFar), 2) << readFile(path);
}

TEST_F(LiveHost, RecordingAnAppHearsItAgainAfterTheHelperDies) {
    // The app's call is taken only after it has held the microphone a while:
    // the restarted helper's session starts before its detector knows it.
    ChildProcess zorva(ZORVA_HOST_PATH, {"record", "--app", "Talk", "--out", dir.path + "/out"},
                       env(R"({"apps":[{"name":"Talk","bundlePrefixes":["org.example."]}],)"
                           R"("micHoldMs":2000,"notifications":false})"));
    auto confMic = recorder(*server, kConf);
    auto conf = player(*server, kConf);
    ASSERT_FALSE(linesUntil(zorva, "Call started in Talk").empty()) << zorva.stderrText();

    auto helpers = childrenOf(zorva.pid());
    ASSERT_EQ(helpers.size(), 1u);
    ::kill(helpers[0], SIGKILL);
    ASSERT_FALSE(linesUntil(zorva, "The helper is running again.").empty()) << zorva.stderrText();
    ASSERT_FALSE(linesUntil(zorva, "Call started in Talk").empty()) << zorva.stderrText();
    std::this_thread::sleep_for(1s);
    conf->say(speechFile(kLate.text));
    std::this_thread::sleep_for(6s);
    ::kill(zorva.pid(), SIGTERM);
    EXPECT_EQ(zorva.waitExit(10s), 0);

    auto files = transcripts(dir.path + "/out");
    ASSERT_EQ(files.size(), 2u);
    const std::string second = readFile(files[1]);
    EXPECT_GE(heard(second, "Them", kLate), 3) << second;
}
