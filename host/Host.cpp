#include "Host.h"

#include "Sentences.h"

#include <algorithm>
#include <asio/post.hpp>
#include <climits>
#include <cmath>
#include <csignal>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <unistd.h>

namespace zorva::host {

using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Helper messages are read leniently: a missing or mistyped field is empty.
std::string text(const Json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const Json& field(const Json& j, const char* key) {
    static const Json none;
    auto it = j.find(key);
    return it != j.end() ? *it : none;
}

// A finite number, else 0.
double number(const Json& j, const char* key) {
    const Json& v = field(j, key);
    const double d = v.is_number() ? v.get<double>() : 0.0;
    return std::isfinite(d) ? d : 0.0;
}

// A whole number that fits, else 0: 1e300 must not become one.
int64_t integer(const Json& j, const char* key) {
    const Json& v = field(j, key);
    if (v.is_number_unsigned())
        return v.get<uint64_t>() <= uint64_t(INT64_MAX) ? int64_t(v.get<uint64_t>()) : 0;
    if (v.is_number_integer())
        return v.get<int64_t>();
    const double d = number(j, key);
    return std::fabs(d) < 9.0e18 ? static_cast<int64_t>(d) : 0;
}

// Process ids: the whole numbers among them, nothing else.
Json pidsOf(const Json& pids) {
    Json out = Json::array();
    if (pids.is_array())
        for (const Json& p : pids)
            if (p.is_number_integer())
                out.push_back(p);
    return out;
}

std::string pidList(const Json& pids) {
    std::string out;
    for (const Json& p : pidsOf(pids))
        out += (out.empty() ? "" : ", ") + p.dump();
    return out;
}

std::string hz(const Json& info) {
    const double rate = number(info, "sampleRate");
    return rate > 0 && rate < 1e7 ? std::to_string(static_cast<long long>(rate)) + " Hz"
                                  : std::string("unknown rate");
}

// JSON nested deeper than any helper line is refused before it is parsed:
// turning it back into text would recurse once per level.
constexpr int kMaxDepth = 32;

bool shallow(std::string_view line) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : line) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

constexpr int kProtocol = 1;
constexpr int kBadLinesNoted = 3;

std::string clockNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &local);
    return out;
}

std::string reasonText(const std::string& reason) {
    if (reason == "mic-released")
        return "the app let go of the microphone";
    if (reason == "app-quit")
        return "the app quit";
    return reason.empty() ? "no reason given" : reason;
}

} // namespace

std::string explainError(const std::string& code, const std::string& message) {
    const std::string detail = message.empty() ? "" : " (" + message + ")";
    if (code == "engine-failed")
        return "The microphone could not be recorded" + detail +
               ". Check that a microphone is connected and chosen as the default input, for "
               "example in pavucontrol; the others' audio is still captured.";
    if (code == "tap-failed")
        return "The call's audio could not be captured" + detail +
               ". Check that the audio server (PulseAudio or PipeWire) is running; zorva "
               "--system captures everything the system plays instead.";
    if (code == "model-unsupported")
        return "The speech model is not available" + detail +
               ". Install it with: sudo apt install pocketsphinx-en-us";
    if (code == "transcriber-failed")
        return "Speech recognition failed" + detail +
               ". If this happens again, close other busy programs or restart zorva.";
    if (code == "permission-denied")
        return "Recording was not allowed" + detail +
               ". Allow zorva to use the microphone in your desktop's privacy settings.";
    if (code == "protocol")
        return "zorva and zorva-helper do not understand each other" + detail +
               ". Install both from the same package.";
    return "The helper reported a problem: " + code + detail + ".";
}

Host::Host(asio::io_context& io, Settings settings, Face& face, std::string helperPath,
           Notify notify)
    : io_(io), settings_(std::move(settings)), face_(face), helperPath_(std::move(helperPath)),
      notify_(std::move(notify)), signals_(io, SIGINT, SIGTERM, SIGHUP), restartTimer_(io),
      stopTimer_(io), quitTimer_(io) {}

void Host::begin() {
    signals_.add(SIGTSTP);
    signals_.add(SIGCONT);
    watchSignals();
    // Nobody reads us any more (`zorva | head`, a closed terminal): end the
    // session as on SIGTERM rather than record unseen.
    face_.onBroken([this] {
        asio::post(io_, [this] {
            // Already ending (a closed terminal also sends SIGHUP): that is
            // not a second Ctrl-C.
            if (quitting_)
                return;
            exitStatus_ = 1;
            quit();
        });
    });
    startHelper();
}

void Host::watchSignals() {
    signals_.async_wait([this](std::error_code ec, int sig) {
        if (ec)
            return;
        if (sig == SIGTSTP) {
            // Ctrl-Z: the helper, in a group of its own, would go on
            // recording; it stops with us.
            if (helper_)
                helper_->signalGroup(SIGSTOP);
            paused_ = true;
            face_.note("Paused: the helper is stopped too; fg resumes both.");
            ::kill(::getpid(), SIGSTOP);
        } else if (sig == SIGCONT) {
            if (helper_)
                helper_->signalGroup(SIGCONT);
            if (std::exchange(paused_, false))
                face_.note("Resumed.");
        } else {
            quit(sig == SIGINT); // SIGINT, SIGTERM, and SIGHUP: the terminal is gone
        }
        watchSignals();
    });
}

void Host::startHelper() {
    helper_ = HelperProcess::start(io_, helperPath_);
    helperPid_ = helper_->pid();
    helperStart_ = std::chrono::steady_clock::now();
    badLines_ = 0;
    helper_->read([this](const std::string& line) { receive(line); }, [this] { helperEnded(); });
}

void Host::receive(const std::string& line) {
    Json message = shallow(line) ? Json::parse(line, nullptr, false) : Json();
    if (!message.is_object()) {
        badLine("it is not a JSON object");
        return;
    }
    try {
        onLine(message);
    } catch (const std::exception& e) {
        badLine(e.what());
    }
}

void Host::badLine(const std::string& why) {
    // One note per bad line, a few at most: a broken helper must not drown
    // the captions.
    if (++badLines_ > kBadLinesNoted)
        return;
    face_.note("The helper sent a line zorva cannot read (" + why + "); it is skipped" +
               (badLines_ == kBadLinesNoted ? ", and so are any more, silently." : "."));
}

void Host::send(const Json& message) {
    // Flags may carry bytes that are not UTF-8; JSON cannot.
    if (helper_)
        helper_->send(message.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Host::helperEnded() {
    const std::string how = helper_->finish(1s);
    const std::string tail = helper_->stderrTail();
    helper_.reset();
    calls_.clear(); // the next helper reports the calls going on afresh
    if (quitting_) {
        finishQuit();
        return;
    }
    face_.note("The helper stopped unexpectedly: it " + how + ".");
    if (!tail.empty())
        face_.note("Its last words:\n" + tail.substr(0, tail.size() - 1));
    if (session_)
        endSession("The helper stopped unexpectedly at " + clockNow() +
                   "; the transcript ends here.");
    if (std::chrono::steady_clock::now() - helperStart_ > 60s)
        backoff_ = 1s;
    scheduleRestart();
}

void Host::scheduleRestart() {
    face_.note("Restarting it in " + std::to_string(backoff_.count()) + " s.");
    restartTimer_.expires_after(backoff_);
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, 30s);
    restartTimer_.async_wait([this](std::error_code ec) {
        if (ec || quitting_)
            return;
        try {
            startHelper();
        } catch (const std::exception& e) {
            face_.note(std::string("The helper could not be started: ") + e.what() + ".");
            scheduleRestart();
        }
    });
}

void Host::onLine(const Json& m) {
    const std::string type = text(m, "type");
    if (type == "hello") {
        if (integer(m, "protocol") != kProtocol) {
            face_.note("This zorva-helper speaks protocol version " +
                       std::to_string(integer(m, "protocol")) + " and zorva version " +
                       std::to_string(kProtocol) +
                       ": they are from different releases. Install both from the same "
                       "package.");
            exitStatus_ = 1;
            quitting_ = true;
            finishQuit();
            return;
        }
        configure();
        if (!modelRequested_) {
            modelRequested_ = true;
            send({{"type", "prepareModel"}});
            if (settings_.record)
                face_.note("Recording now (locale " + settings_.locale +
                           "). Press Ctrl-C to stop.");
            else
                face_.note("Watching for calls in " + std::to_string(settings_.apps.size()) +
                           std::string(settings_.apps.size() == 1 ? " app" : " apps") +
                           " (locale " + settings_.locale + "). Press Ctrl-C to quit.");
        } else {
            face_.note("The helper is running again.");
        }
        resume();
    } else if (type == "call") {
        onCall(m);
    } else if (type == "capture") {
        onCapture(m);
    } else if (type == "partial" || type == "final") {
        onText(m, type == "final");
    } else if (type == "stopped") {
        if (session_ && text(m, "sessionId") == session_->id) {
            endSession(session_->endNote);
            if (quitting_)
                finishQuit();
        }
    } else if (type == "error") {
        onError(m);
    } else if (type == "model") {
        onModel(m);
    } else if (type == "permission") {
        if (text(m, "status") != "granted")
            face_.note(
                "The " +
                std::string(text(m, "kind") == "microphone" ? "microphone" : "system audio") +
                " permission is " + text(m, "status") + ".");
    }
}

void Host::configure() {
    Json apps = Json::array();
    for (const App& a : settings_.apps)
        apps.push_back({{"name", a.name}, {"bundlePrefixes", a.bundlePrefixes}});
    send({{"type", "configure"},
          {"apps", apps},
          {"ignoreBundlePrefixes", settings_.ignoreBundlePrefixes},
          {"ignorePids", {helperPid_, static_cast<int>(::getpid())}},
          {"locale", settings_.locale},
          {"micHoldMs", settings_.micHoldMs},
          {"endGraceMs", settings_.endGraceMs},
          {"fastResults", false},
          {"echoCancellation", settings_.echoCancellation}});
}

void Host::onModel(const Json& m) {
    const std::string status = text(m, "status"), locale = text(m, "locale");
    if (status == "downloading") {
        const auto percent = static_cast<int>(std::clamp(number(m, "progress"), 0.0, 1.0) * 100);
        const std::string step = "downloading " + std::to_string(percent / 10 * 10);
        if (step != modelStatus_)
            face_.note("Preparing the speech model for " + locale + ": " + std::to_string(percent) +
                       "%");
        modelStatus_ = step;
        return;
    }
    if (status == modelStatus_)
        return;
    modelStatus_ = status;
    if (status == "installed")
        face_.note("Speech model ready (" + locale + ").");
    else if (status == "unsupported") {
        face_.note("There is no speech model for " + locale +
                   ", so there will be no captions. Try --locale en-US.");
        notifyProblem("model-unsupported", "",
                      "There is no speech model for " + locale +
                          ". Install it with: sudo apt install pocketsphinx-en-us, or run zorva "
                          "with --locale en-US.");
    }
}

// Starts what runs when captions are on: the recording, or a session for a
// call that is going on.
void Host::resume() {
    if (session_ || quitting_ || captionsPaused_ || !helper_)
        return;
    if (settings_.record) {
        std::string bundleId, app = "Recording";
        for (const App& a : settings_.apps)
            if (settings_.recordApp && a.name == *settings_.recordApp) {
                app = a.name;
                // An app without prefixes has no processes to follow:
                // the whole system is captured.
                bundleId = a.bundlePrefixes.empty() ? "" : a.bundlePrefixes.front();
            }
        startSession(app, bundleId, Json::array());
    } else if (!calls_.empty()) {
        const auto& [app, call] = *calls_.begin();
        startSession(app, call.bundleId, Json::parse(call.pids));
    }
}

void Host::pauseCaptions(bool pause) {
    if (pause == captionsPaused_ || quitting_)
        return;
    captionsPaused_ = pause;
    if (pause) {
        face_.note("Captions paused.");
        if (session_ && helper_ && !session_->stopping)
            stopSession("Paused by the user at " + clockNow() + ".", 30s);
        return;
    }
    face_.note("Captions resumed.");
    if (session_)
        resumeAfterStop_ = true; // the paused session still stops
    else
        resume();
}

void Host::onCall(const Json& m) {
    const std::string app = text(m, "app");
    if (text(m, "state") == "started") {
        const std::string pids = pidList(field(m, "pids"));
        face_.note("Call started in " + app + " (" + text(m, "bundleId") +
                   (pids.empty() ? "" : ", pids " + pids) + ").");
        calls_[app] = {text(m, "bundleId"), pidsOf(field(m, "pids")).dump()};
        if (settings_.record || quitting_ || captionsPaused_)
            return;
        if (session_) {
            if (session_->app != app)
                face_.note("Already capturing " + session_->app + "; this call is not captured.");
            return;
        }
        startSession(app, text(m, "bundleId"), field(m, "pids"));
        return;
    }
    const std::string reason = reasonText(text(m, "reason"));
    face_.note("Call ended in " + app + ": " + reason + ".");
    calls_.erase(app);
    if (!settings_.record && session_ && session_->app == app)
        stopSession("The call ended at " + clockNow() + ": " + reason + ".", 30s);
}

void Host::startSession(const std::string& app, const std::string& bundleId, const Json& pids) {
    Session s;
    s.id = "zorva-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions_);
    s.app = app;
    s.systemAudio = settings_.systemAudio || bundleId.empty();
    send({{"type", "start"},
          {"sessionId", s.id},
          {"bundleId", bundleId},
          {"pids", pidsOf(pids)},
          {"audio", s.systemAudio ? "system" : "app"}});
    session_ = std::move(s);
}

void Host::onCapture(const Json& m) {
    // Once per session: a repeated line must not start a second transcript.
    if (!session_ || text(m, "sessionId") != session_->id || text(m, "state") != "started" ||
        session_->captureStarted)
        return;
    session_->captureStarted = true;
    face_.session(session_->app);
    std::string mic;
    if (auto it = m.find("mic"); it != m.end() && it->is_object()) {
        const auto vp = it->find("voiceProcessing");
        const bool echoOff = vp == it->end() || !vp->is_boolean() || !vp->get<bool>();
        mic = "the microphone (" + text(*it, "device") + ", " + hz(*it) + ", echo cancellation " +
              (echoOff ? "off" : "on") + ")";
    }
    std::string others;
    if (auto it = m.find("others"); it != m.end() && it->is_object()) {
        const std::string pids = pidList(field(*it, "processes"));
        others = session_->systemAudio
                     ? "everything the system plays (" + hz(*it) + ")"
                     : session_->app + "'s audio (" +
                           (pids.empty() ? std::string("no processes yet") : "pids " + pids) +
                           ", " + hz(*it) + ")";
    }
    if (!mic.empty() && !others.empty())
        face_.note("Capturing " + mic + " and " + others + ".");
    else if (!mic.empty() || !others.empty())
        face_.note("Capturing " + mic + others + "; the " +
                   (mic.empty() ? "microphone" : "others' audio") + " is not captured.");
    else
        face_.note("Capturing nothing: neither the microphone nor the others' audio.");
    std::string where;
    try {
        session_->transcript.emplace(settings_.outDir, session_->app,
                                     std::chrono::system_clock::now(), settings_.locale,
                                     settings_.vtt);
        face_.note("Transcript: " + session_->transcript->path());
        face_.transcript(session_->transcript->path());
        if (!session_->transcript->warning().empty() && !folderWarned_) {
            folderWarned_ = true;
            face_.note("Warning: " + session_->transcript->warning() + ".");
        }
        where = "The transcript goes to " + session_->transcript->path() + ".";
    } catch (const std::exception& e) {
        face_.note(std::string("No transcript: ") + e.what() + ".");
        where = std::string("No transcript is written: ") + e.what() + ".";
    }
    if (notify_)
        notify_({settings_.record ? "Recording in " + session_->app
                                  : "Transcribing the call in " + session_->app,
                 where, ""});
}

void Host::onText(const Json& m, bool final) {
    if (!session_ || text(m, "sessionId") != session_->id)
        return;
    if (!field(m, "text").is_string())
        throw std::invalid_argument("a " + std::string(final ? "final" : "partial") +
                                    " without text");
    const Speaker who = text(m, "stream") == "mic" ? Speaker::you : Speaker::them;
    if (!final) {
        face_.partial(who, integer(m, "startMs"), text(m, "text"));
        return;
    }
    // The helper's text is the recogniser's; people read sentences.
    const std::string sentence = asSentence(text(m, "text"));
    face_.final(who, integer(m, "startMs"), sentence);
    if (session_->transcript)
        if (auto failed = session_->transcript->add(who, integer(m, "startMs"), integer(m, "endMs"),
                                                    sentence);
            !failed.empty())
            face_.note("Writing the transcript failed (" + failed +
                       "); what is not written is kept and tried again with each line.");
}

void Host::onError(const Json& m) {
    const std::string code = text(m, "code");
    face_.note("Problem: " + explainError(code, text(m, "message")));
    // What the user must fix is worth a notification; the rest is for the log.
    if (code == "engine-failed" || code == "model-unsupported" || code == "permission-denied")
        notifyProblem(code, text(m, "sessionId"), explainError(code, text(m, "message")));
    // A missing model or recogniser before the capture started means it
    // never will: the helper has already let the session go. A microphone or
    // tap that fails there still leaves the other stream captured.
    if (session_ && text(m, "sessionId") == session_->id && !session_->captureStarted &&
        (code == "model-unsupported" || code == "transcriber-failed")) {
        endSession("");
        if (quitting_)
            finishQuit();
    }
}

void Host::stopSession(const std::string& note, std::chrono::seconds patience) {
    if (!session_)
        return;
    if (!session_->stopping) {
        session_->stopping = true;
        session_->endNote = note;
        send({{"type", "stop"}, {"sessionId", session_->id}});
    }
    stopTimer_.expires_after(patience);
    stopTimer_.async_wait([this, patience](std::error_code ec) {
        if (ec || !session_)
            return;
        face_.note("The helper did not confirm the end of the session within " +
                   std::to_string(patience.count()) + " s.");
        endSession(session_->endNote + " The helper did not confirm the end.");
        if (quitting_) {
            finishQuit();
        } else if (helper_) {
            // A helper that cannot stop a session would refuse every later
            // one: start it afresh.
            helper_->finish(0ms);
            helper_ = nullptr;
            scheduleRestart();
        }
    });
}

void Host::endSession(const std::string& note) {
    stopTimer_.cancel();
    face_.clearPartials();
    if (session_ && session_->transcript) {
        std::string reason;
        const std::string& path = session_->transcript->path();
        const std::string what = (settings_.record ? "Recording in " : "Call in ") + session_->app;
        if (session_->transcript->close(note.empty() ? "Ended at " + clockNow() + "." : note,
                                        reason)) {
            face_.note("Transcript saved: " + path);
            if (notify_)
                notify_({what + " transcribed", "Saved to " + path, path});
        } else {
            face_.note("Transcript incomplete: " + path + " (" + reason +
                       "); the lines that could not be written are lost.");
            if (notify_)
                notify_({what + ": transcript incomplete",
                         "Some lines could not be written to " + path + " (" + reason + ").",
                         path});
        }
    }
    if (session_ && session_->captureStarted)
        face_.session(std::nullopt);
    session_.reset();
    if (std::exchange(resumeAfterStop_, false))
        asio::post(io_, [this] { resume(); });
}

void Host::notifyProblem(const std::string& code, const std::string& sessionId,
                         const std::string& what) {
    if (!notify_ || !problemsNotified_.insert(code + "/" + sessionId).second)
        return;
    const char* summary = code == "engine-failed"       ? "zorva cannot hear your microphone"
                          : code == "model-unsupported" ? "zorva has no speech model"
                                                        : "zorva may not record";
    notify_({summary, what, ""});
}

void Host::quit(bool insist) {
    if (quitting_) {
        // A second Ctrl-C: no more waiting. A second SIGHUP (the closed
        // terminal's, then the shell's) or SIGTERM is the same request again.
        if (!insist)
            return;
        if (session_)
            endSession("Interrupted at " + clockNow() + ".");
        finishQuit();
        return;
    }
    quitting_ = true;
    restartTimer_.cancel();
    if (session_ && helper_) {
        face_.note("Stopping the session…");
        stopSession("Stopped by the user at " + clockNow() + ".", 5s);
    } else {
        finishQuit();
    }
}

void Host::finishQuit() {
    restartTimer_.cancel();
    if (session_)
        endSession("Stopped at " + clockNow() + ".");
    if (helper_) {
        send({{"type", "shutdown"}});
        helper_->finish(2s);
        helper_ = nullptr;
    }
    signals_.cancel();
    io_.stop();
}

} // namespace zorva::host
