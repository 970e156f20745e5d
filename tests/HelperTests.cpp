#include "Helper.h"
#include "platform/fake/ManualClock.h"

#include <gtest/gtest.h>

using namespace zorva;
using namespace std::chrono_literals;

namespace {

struct HelperFixture : ::testing::Test {
    asio::io_context queue;
    fake::ManualClock clock{5s + 123ns};
    std::vector<HelperMessage> sent;
    std::vector<int> exits;
    std::shared_ptr<Helper> helper = std::make_shared<Helper>(HelperEnvironment{
        queue, clock, clock.now(), [this](const HelperMessage& m) { sent.push_back(m); },
        [this](int status) { exits.push_back(status); }});
};

TEST_F(HelperFixture, PongCarriesTruncatedMillisecondsSinceLaunch) {
    helper->handle(Ping{});
    clock.advance(1500ms + 999999ns);
    helper->handle(Ping{});
    EXPECT_EQ(sent, (std::vector<HelperMessage>{Pong{0}, Pong{1500}}));
}

TEST_F(HelperFixture, ShutdownExitsWithZeroAndSendsNothing) {
    helper->handle(Shutdown{});
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_TRUE(sent.empty());
}

TEST_F(HelperFixture, UnknownAndNotYetActiveKindsWriteNothing) {
    helper->handle(Unknown{"dance"});
    helper->handle(Stop{{"s"}});
    helper->handle(Start{"s", "b", {}, Start::Audio::app});
    queue.run();
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(exits.empty());
}

} // namespace
