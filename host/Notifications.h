// Desktop notifications through the freedesktop Notifications service on the
// session bus (GIO's D-Bus), on a thread of their own so that a slow or
// missing service never holds up captions.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zorva::host {

struct Notification {
    std::string summary;
    std::string body; // plain text
    // When set, the notification offers to open this file with the user's
    // default handler.
    std::string openPath;
};

using Notify = std::function<void(const Notification&)>;

class DesktopNotifications {
public:
    // `note` is told, once, why notifications cannot be shown (no session
    // bus, no notification service), and why a file could not be opened. It
    // is called on the notifications' own thread.
    explicit DesktopNotifications(std::function<void(const std::string&)> note);
    // Waits (a moment at most) until what was shown has reached the service.
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    void show(const Notification& notification);

    struct Loop;

private:
    std::unique_ptr<Loop> loop_;
};

} // namespace zorva::host
