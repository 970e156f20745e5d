// The host's state: one helper child, at most one capture session, and the
// transcript of that session. Runs on one io_context; every helper line and
// signal is handled there.
#pragma once

#include "Captions.h"
#include "HelperProcess.h"
#include "Notifications.h"
#include "Settings.h"
#include "Transcript.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>

namespace zorva::host {

// A helper error as a sentence a user can act on.
std::string explainError(const std::string& code, const std::string& message);

class Host {
public:
    // `notify` shows desktop notifications; empty for none.
    Host(asio::io_context& io, Settings settings, Face& face, std::string helperPath,
         Notify notify = {});
    // Starts the helper and the signal watch; the io_context then runs until
    // the host is done.
    void begin();
    int exitStatus() const { return exitStatus_; }
    // One line from the helper, as its reader hands it over.
    void receive(const std::string& line);
    // From the window: pausing stops the session, resuming starts a new one
    // (for the call going on, or the recording).
    void pauseCaptions(bool pause);
    // From the window's close: as SIGTERM.
    void close() { quit(); }

private:
    struct Session {
        std::string id, app;
        std::optional<Transcript> transcript;
        bool systemAudio = false;
        bool captureStarted = false;
        bool stopping = false;
        std::string endNote;
    };

    struct Call {
        std::string bundleId, pids; // pids as JSON
    };

    void startHelper();
    void resume();
    void helperEnded();
    void scheduleRestart();
    void onLine(const nlohmann::json& message);
    void badLine(const std::string& why);
    void onCall(const nlohmann::json& message);
    void onCapture(const nlohmann::json& message);
    void onText(const nlohmann::json& message, bool final);
    void onError(const nlohmann::json& message);
    void onModel(const nlohmann::json& message);
    void send(const nlohmann::json& message);
    void configure();
    void startSession(const std::string& app, const std::string& bundleId,
                      const nlohmann::json& pids);
    void stopSession(const std::string& note, std::chrono::seconds patience);
    void endSession(const std::string& note);
    // `insist`: a second request ends at once (a second Ctrl-C).
    void quit(bool insist = false);
    void finishQuit();
    void notifyProblem(const std::string& code, const std::string& sessionId,
                       const std::string& what);
    void watchSignals();

    asio::io_context& io_;
    Settings settings_;
    Face& face_;
    std::string helperPath_;
    Notify notify_;
    std::set<std::string> problemsNotified_; // code and session, each once
    bool folderWarned_ = false;
    bool paused_ = false;
    int badLines_ = 0; // of the running helper
    std::shared_ptr<HelperProcess> helper_;
    int helperPid_ = 0;
    std::chrono::steady_clock::time_point helperStart_;
    std::chrono::seconds backoff_{1};
    bool modelRequested_ = false;
    std::string modelStatus_;
    std::optional<Session> session_;
    std::map<std::string, Call> calls_; // going on, by app, as the helper reported
    bool captionsPaused_ = false;
    bool resumeAfterStop_ = false;
    int sessions_ = 0;
    bool quitting_ = false;
    int exitStatus_ = 0;
    asio::signal_set signals_;
    asio::steady_timer restartTimer_, stopTimer_, quitTimer_;
};

} // namespace zorva::host
