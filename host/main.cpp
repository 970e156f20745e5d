// zorva: live captions and transcripts of calls in the terminal, through
// zorva-helper.
#include "Captions.h"
#include "HelperProcess.h"
#include "Host.h"
#include "Notifications.h"
#include "Settings.h"
#include "Window.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace zorva::host;

namespace {

// The window's face: GTK on this thread, the host on its own. What the user
// does in the window is posted to the host.
int runWindow(asio::io_context& io, const Invocation& inv, const std::string& helper,
              const Notify& notify) {
    if (!CaptionWindow::displayAvailable()) {
        std::cerr << "zorva: cannot open a window (no display); run zorva without --window "
                     "for captions in the terminal\n";
        return 1;
    }
    Host* host = nullptr;
    CaptionWindow::Controls controls;
    controls.pause = [&](bool pause) {
        asio::post(io, [&, pause] { host->pauseCaptions(pause); });
    };
    controls.close = [&] { asio::post(io, [&] { host->close(); }); };
    controls.textSize = [path = inv.configTarget](int size) {
        if (auto fault = rememberTextSize(path, size); !fault.empty())
            std::cerr << "zorva: the text size is not remembered: " << safeText(fault) << "\n";
    };
    CaptionWindow window(inv.settings.textSize, controls);
    Host running(io, inv.settings, window, helper, notify);
    host = &running;
    try {
        running.begin();
    } catch (const std::exception& e) {
        std::cerr << "zorva: " << safeText(e.what()) << "\n";
        return 1;
    }
    std::thread hostThread([&] {
        io.run();
        window.hostEnded();
    });
    window.run();
    hostThread.join();
    return running.exitStatus();
}

} // namespace

int main(int argc, char** argv) {
    // A helper that dies mid-write must give us EPIPE, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    // Started with SIGCHLD ignored, the helper would be reaped unseen and
    // every end of it reported as a clean exit.
    std::signal(SIGCHLD, SIG_DFL);
    Invocation inv;
    try {
        inv = parseInvocation(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "zorva: " << safeText(e.what()) << "\nTry 'zorva --help'.\n";
        return 2;
    } catch (const ConfigError& e) {
        std::cerr << "zorva: " << safeText(e.what()) << "\n";
        return 2;
    }
    if (inv.action == Action::help) {
        std::cout << kUsage;
        return 0;
    }
    if (inv.action == Action::version) {
        std::cout << "zorva " << ZORVA_VERSION << "\n";
        return 0;
    }
    const std::string helper = findHelper();
    if (helper.empty()) {
        std::cerr << "zorva: cannot find zorva-helper next to this program or on PATH\n";
        return 1;
    }

    std::optional<DesktopNotifications> desktop;
    Notify notify;
    if (inv.settings.notifications) {
        desktop.emplace([](const std::string& why) {
            const std::string line = "zorva: " + safeText(why) + "\n";
            (void)!::write(STDERR_FILENO, line.data(), line.size());
        });
        notify = [&desktop](const Notification& n) { desktop->show(n); };
    }
    asio::io_context io(1);
    if (inv.settings.window)
        return runWindow(io, inv, helper, notify);

    const char* noColor = std::getenv("NO_COLOR");
    const bool live = ::isatty(STDOUT_FILENO) && !(noColor && *noColor);
    Captions captions(std::cout, live, [] {
        winsize size{};
        return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    });
    Host host(io, inv.settings, captions, helper, notify);
    try {
        host.begin();
    } catch (const std::exception& e) {
        std::cerr << "zorva: " << safeText(e.what()) << "\n";
        return 1;
    }
    io.run();
    return host.exitStatus();
}
