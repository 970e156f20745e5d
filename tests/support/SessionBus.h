// A private D-Bus session bus for one test, and a desktop notification service
// on it that records what it is asked to show and can click an action.
#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zorva::test {

class SessionBus {
public:
    SessionBus(); // waits until it answers
    ~SessionBus();
    static bool available();
    const std::string& address() const { return address_; }

private:
    std::string dir_, address_;
    std::unique_ptr<ChildProcess> daemon_;
};

class NotificationService {
public:
    struct Shown {
        uint32_t id;
        std::string app, summary, body;
        std::vector<std::string> actions;
    };
    // Owns org.freedesktop.Notifications on the bus; throws when it cannot.
    explicit NotificationService(const std::string& busAddress);
    ~NotificationService();

    // What has been shown so far; waits up to `limit` for at least `count`.
    std::vector<Shown> shown(std::size_t count, std::chrono::milliseconds limit);
    // As a click on the action `key` of notification `id`.
    void invoke(uint32_t id, const std::string& key);

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace zorva::test
