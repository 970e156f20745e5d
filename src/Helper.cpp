#include "Helper.h"

#include "Transcriber.h"

#include <cstdlib>
#include <thread>

namespace zorva {

Helper::Helper(HelperEnvironment env) : env_(std::move(env)), lister_(env_.hardware) {}

int64_t Helper::millisecondsSinceLaunch() const {
    return millisecondsBetween(env_.launchInstant, env_.clock.now());
}

void Helper::handle(AppMessage message) {
    std::visit(
        [this](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Ping>) {
                env_.send(Pong{millisecondsSinceLaunch()});
            } else if constexpr (std::is_same_v<T, Shutdown>) {
                env_.exitProcess(0);
            } else if constexpr (std::is_same_v<T, Configure>) {
                applyConfigure(m);
            } else if constexpr (std::is_same_v<T, PrepareModel>) {
                // Each request runs on its own, off the main queue; several
                // may run at once.
                std::string locale = configure_ ? configure_->locale : kDefaultLocale;
                std::thread([&speech = env_.speech, send = env_.send, locale] {
                    prepareModel(speech, locale, send);
                }).detach();
            }
            // start and stop are accepted and act once sessions exist;
            // unknown kinds are ignored.
        },
        message);
}

void Helper::applyConfigure(const Configure& configure) {
    configure_ = configure;
    detector_.emplace(
        AppTable(configure.apps, configure.ignoreBundlePrefixes, configure.ignorePids),
        configure.micHoldMs, configure.endGraceMs);
    if (timer_)
        return; // the running timer keeps its schedule and uses the new detector
    timer_.emplace(env_.mainQueue);
    timer_->expires_at(QueueClock::now());
    waitForTick();
}

void Helper::waitForTick() {
    timer_->async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (error || !self)
            return;
        auto next = self->timer_->expiry() + kMonitorInterval;
        if (next <= QueueClock::now()) // after a long stall, don't fire a burst of ticks
            next = QueueClock::now() + kMonitorInterval;
        self->timer_->expires_at(next);
        self->waitForTick();
        self->reconcile();
    });
}

void Helper::reconcile() {
    if (!detector_)
        return;
    auto processes = lister_.list();
    int64_t nowMs = millisecondsSinceLaunch();
    for (auto& event : detector_->update(processes, nowMs)) {
        // Each message reads its own time, after the detector ran.
        if (auto* started = std::get_if<CallStarted>(&event)) {
            env_.send(Call{Call::State::started, std::move(started->app),
                           std::move(started->bundleId), std::move(started->pids),
                           started->sinceMicStartMs, std::nullopt, millisecondsSinceLaunch()});
        } else if (auto* ended = std::get_if<CallEnded>(&event)) {
            env_.send(Call{Call::State::ended, std::move(ended->app), std::move(ended->bundleId),
                           std::move(ended->pids), std::nullopt, ended->reason,
                           millisecondsSinceLaunch()});
        }
    }
}

void exitProcess(int status) {
    std::_Exit(status);
}

} // namespace zorva
