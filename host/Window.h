// The caption window: a GTK 4 face on the host, for people who follow a call
// by reading it. GTK runs on the main thread and the host on a thread of its
// own: what the host shows is queued and drained on GTK's thread, at most
// once per frame's worth of updates; what the user does goes to the host
// through `Controls`, which post to its io_context.
#pragma once

#include "Face.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zorva::host {

class CaptionWindow final : public Face {
public:
    struct Controls {
        std::function<void(bool)> pause; // true: stop the session; false: start anew
        std::function<void()> close;     // ends the host as SIGTERM does
        std::function<void(int)> textSize;
    };
    CaptionWindow(int textSize, Controls controls);
    ~CaptionWindow() override;

    // Whether a window can be shown (a display, Wayland or X11). On this
    // thread, which then runs GTK.
    static bool displayAvailable();
    // Runs GTK until the window has closed and the host has ended.
    int run();
    // The host is done (any thread): the window goes.
    void hostEnded();

    void onBroken(std::function<void()> broken) override;
    void note(const std::string& text) override;
    void partial(Speaker who, int64_t startMs, const std::string& text) override;
    void final(Speaker who, int64_t startMs, const std::string& text) override;
    void clearPartials() override;
    void session(std::optional<std::string> app) override;
    void transcript(const std::string& path) override;

private:
    struct Event {
        enum class Kind { note, partial, final, clearPartials, session, transcript, ended };
        Kind kind;
        Speaker who = Speaker::you;
        std::string text;
        bool present = true; // session: false when it ended
    };
    void post(Event event);

    class View; // the GTK side, made and used on GTK's thread only
    std::unique_ptr<View> view_;
    Controls controls_;
    int textSize_;
    std::mutex lock_;
    std::deque<Event> events_; // under lock_
    std::function<void()> broken_;
};

} // namespace zorva::host
