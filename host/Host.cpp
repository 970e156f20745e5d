#include "Host.h"

#include <csignal>
#include <ctime>
#include <nlohmann/json.hpp>
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

int64_t integer(const Json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<int64_t>() : 0;
}

std::string pidList(const Json& pids) {
    std::string out;
    if (pids.is_array())
        for (const Json& p : pids)
            out += (out.empty() ? "" : ", ") + p.dump();
    return out;
}

std::string hz(const Json& info) {
    auto it = info.find("sampleRate");
    return it != info.end() && it->is_number()
               ? std::to_string(static_cast<long long>(it->get<double>())) + " Hz"
               : std::string("unknown rate");
}

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

Host::Host(asio::io_context& io, Settings settings, Captions& captions, std::string helperPath,
           Notify notify)
    : io_(io), settings_(std::move(settings)), captions_(captions),
      helperPath_(std::move(helperPath)), notify_(std::move(notify)), signals_(io, SIGINT, SIGTERM),
      restartTimer_(io), stopTimer_(io), quitTimer_(io) {}

void Host::begin() {
    watchSignals();
    startHelper();
}

void Host::watchSignals() {
    signals_.async_wait([this](std::error_code ec, int) {
        if (ec)
            return;
        quit();
        watchSignals();
    });
}

void Host::startHelper() {
    helper_ = HelperProcess::start(io_, helperPath_);
    helperPid_ = helper_->pid();
    helperStart_ = std::chrono::steady_clock::now();
    helper_->read(
        [this](const std::string& line) {
            Json message = Json::parse(line, nullptr, false);
            if (message.is_object())
                onLine(message);
        },
        [this] { helperEnded(); });
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
    if (quitting_) {
        finishQuit();
        return;
    }
    captions_.note("The helper stopped unexpectedly: it " + how + ".");
    if (!tail.empty())
        captions_.note("Its last words:\n" + tail.substr(0, tail.size() - 1));
    if (session_)
        endSession("The helper stopped unexpectedly at " + clockNow() +
                   "; the transcript ends here.");
    if (std::chrono::steady_clock::now() - helperStart_ > 60s)
        backoff_ = 1s;
    scheduleRestart();
}

void Host::scheduleRestart() {
    captions_.note("Restarting it in " + std::to_string(backoff_.count()) + " s.");
    restartTimer_.expires_after(backoff_);
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, 30s);
    restartTimer_.async_wait([this](std::error_code ec) {
        if (ec || quitting_)
            return;
        try {
            startHelper();
        } catch (const std::exception& e) {
            captions_.note(std::string("The helper could not be started: ") + e.what() + ".");
            scheduleRestart();
        }
    });
}

void Host::onLine(const Json& m) {
    const std::string type = text(m, "type");
    if (type == "hello") {
        configure();
        if (!modelRequested_) {
            modelRequested_ = true;
            send({{"type", "prepareModel"}});
            if (settings_.record)
                captions_.note("Recording now (locale " + settings_.locale +
                               "). Press Ctrl-C to stop.");
            else
                captions_.note("Watching for calls in " + std::to_string(settings_.apps.size()) +
                               std::string(settings_.apps.size() == 1 ? " app" : " apps") +
                               " (locale " + settings_.locale + "). Press Ctrl-C to quit.");
        } else {
            captions_.note("The helper is running again.");
        }
        if (settings_.record && !session_ && !quitting_) {
            std::string bundleId, app = "Recording";
            for (const App& a : settings_.apps)
                if (settings_.recordApp && a.name == *settings_.recordApp) {
                    app = a.name;
                    // An app without prefixes has no processes to follow:
                    // the whole system is captured.
                    bundleId = a.bundlePrefixes.empty() ? "" : a.bundlePrefixes.front();
                }
            startSession(app, bundleId, Json::array());
        }
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
            captions_.note(
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
        const auto percent = static_cast<int>(m.value("progress", 0.0) * 100);
        const std::string step = "downloading " + std::to_string(percent / 10 * 10);
        if (step != modelStatus_)
            captions_.note("Preparing the speech model for " + locale + ": " +
                           std::to_string(percent) + "%");
        modelStatus_ = step;
        return;
    }
    if (status == modelStatus_)
        return;
    modelStatus_ = status;
    if (status == "installed")
        captions_.note("Speech model ready (" + locale + ").");
    else if (status == "unsupported") {
        captions_.note("There is no speech model for " + locale +
                       ", so there will be no captions. Try --locale en-US.");
        notifyProblem("model-unsupported", "",
                      "There is no speech model for " + locale +
                          ". Install it with: sudo apt install pocketsphinx-en-us, or run zorva "
                          "with --locale en-US.");
    }
}

void Host::onCall(const Json& m) {
    const std::string app = text(m, "app");
    if (text(m, "state") == "started") {
        const std::string pids = pidList(m["pids"]);
        captions_.note("Call started in " + app + " (" + text(m, "bundleId") +
                       (pids.empty() ? "" : ", pids " + pids) + ").");
        if (settings_.record || quitting_)
            return;
        if (session_) {
            if (session_->app != app)
                captions_.note("Already capturing " + session_->app +
                               "; this call is not captured.");
            return;
        }
        startSession(app, text(m, "bundleId"), m["pids"]);
        return;
    }
    const std::string reason = reasonText(text(m, "reason"));
    captions_.note("Call ended in " + app + ": " + reason + ".");
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
          {"pids", pids.is_array() ? pids : Json::array()},
          {"audio", s.systemAudio ? "system" : "app"}});
    session_ = std::move(s);
}

void Host::onCapture(const Json& m) {
    if (!session_ || text(m, "sessionId") != session_->id || text(m, "state") != "started")
        return;
    session_->captureStarted = true;
    std::string mic = "the microphone is not captured";
    if (auto it = m.find("mic"); it != m.end() && it->is_object()) {
        const auto vp = it->find("voiceProcessing");
        const bool echoOff = vp == it->end() || !vp->is_boolean() || !vp->get<bool>();
        mic = "the microphone (" + text(*it, "device") + ", " + hz(*it) + ", echo cancellation " +
              (echoOff ? "off" : "on") + ")";
    }
    std::string others = "the others' audio is not captured";
    if (auto it = m.find("others"); it != m.end() && it->is_object()) {
        const std::string pids = pidList((*it)["processes"]);
        others = session_->systemAudio
                     ? "everything the system plays (" + hz(*it) + ")"
                     : session_->app + "'s audio (" +
                           (pids.empty() ? std::string("no processes yet") : "pids " + pids) +
                           ", " + hz(*it) + ")";
    }
    captions_.note("Capturing " + mic + " and " + others + ".");
    std::string where;
    try {
        session_->transcript.emplace(settings_.outDir, session_->app,
                                     std::chrono::system_clock::now(), settings_.locale,
                                     settings_.vtt);
        captions_.note("Transcript: " + session_->transcript->path());
        if (!session_->transcript->warning().empty() && !folderWarned_) {
            folderWarned_ = true;
            captions_.note("Warning: " + session_->transcript->warning() + ".");
        }
        where = "The transcript goes to " + session_->transcript->path() + ".";
    } catch (const std::exception& e) {
        captions_.note(std::string("No transcript: ") + e.what() + ".");
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
    const Speaker who = text(m, "stream") == "mic" ? Speaker::you : Speaker::them;
    if (!final) {
        captions_.partial(who, integer(m, "startMs"), text(m, "text"));
        return;
    }
    captions_.final(who, integer(m, "startMs"), text(m, "text"));
    if (session_->transcript)
        session_->transcript->add(who, integer(m, "startMs"), integer(m, "endMs"), text(m, "text"));
}

void Host::onError(const Json& m) {
    const std::string code = text(m, "code");
    captions_.note("Problem: " + explainError(code, text(m, "message")));
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
        captions_.note("The helper did not confirm the end of the session within " +
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
    captions_.clearPartials();
    if (session_ && session_->transcript) {
        session_->transcript->close(note.empty() ? "Ended at " + clockNow() + "." : note);
        captions_.note("Transcript saved: " + session_->transcript->path());
        if (notify_)
            notify_(
                {(settings_.record ? "Recording in " : "Call in ") + session_->app + " transcribed",
                 "Saved to " + session_->transcript->path(), session_->transcript->path()});
    }
    session_.reset();
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

void Host::quit() {
    if (quitting_) {
        // A second Ctrl-C: no more waiting.
        if (session_)
            endSession("Interrupted at " + clockNow() + ".");
        finishQuit();
        return;
    }
    quitting_ = true;
    restartTimer_.cancel();
    if (session_ && helper_) {
        captions_.note("Stopping the session…");
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
