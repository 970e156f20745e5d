#include "Helper.h"

#include <cstdlib>

namespace zorva {

Helper::Helper(HelperEnvironment env) : env_(std::move(env)) {}

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
                configure_ = std::move(m);
            }
            // start, stop and prepareModel are accepted and act once their
            // machinery exists; unknown kinds are ignored.
        },
        message);
}

void exitProcess(int status) {
    std::_Exit(status);
}

} // namespace zorva
