// Collects what a component sends, from any thread.
#pragma once

#include "Protocol.h"
#include "Transport.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zorva::test {

class Recorder {
public:
    SendFn sendFn() {
        return [this](const HelperMessage& m) {
            std::lock_guard g(lock_);
            messages_.push_back(m);
        };
    }
    std::function<void(std::string_view)> textFn() {
        return [this](std::string_view t) {
            std::lock_guard g(lock_);
            texts_.emplace_back(t);
        };
    }
    std::vector<HelperMessage> messages() const {
        std::lock_guard g(lock_);
        return messages_;
    }
    std::vector<std::string> texts() const {
        std::lock_guard g(lock_);
        return texts_;
    }

private:
    mutable std::mutex lock_;
    std::vector<HelperMessage> messages_;
    std::vector<std::string> texts_;
};

} // namespace zorva::test
