#include "CoreAudioProcesses.h"
#include "platform/fake/FakeAudioHardware.h"
#include "platform/pulse/ProcessCache.h"

#include <gtest/gtest.h>

using namespace zorva;
using fake::FakeAudioHardware;

namespace {

struct ListerTest : ::testing::Test {
    FakeAudioHardware hw;
    CoreAudioLister lister{hw};
    void SetUp() override {
        hw.setProcess(10, {100, "us.zoom.xos", 1});
        hw.setProcess(20, {200, "com.other", 0});
        hw.setProcess(30, {300, "us.zoom.aux", 7});
    }
};

TEST_F(ListerTest, ListsEveryObjectInLayerOrder) {
    EXPECT_EQ(lister.list(), (std::vector<AudioProcess>{{10, 100, "us.zoom.xos", true},
                                                        {20, 200, "com.other", false},
                                                        {30, 300, "us.zoom.aux", true}}))
        << "any non-zero running-input value counts";
}

TEST_F(ListerTest, ListFailuresGiveAnEmptyList) {
    hw.failListSize(kAudioHardwareNotRunningError);
    EXPECT_TRUE(lister.list().empty());
    hw.failListSize(0);
    hw.failListData(kAudioHardwareNotRunningError);
    EXPECT_TRUE(lister.list().empty());
    hw.failListData(0);
    hw.overrideListSize(3); // below one identifier
    EXPECT_TRUE(lister.list().empty());
    hw.overrideListSize(0);
    EXPECT_TRUE(lister.list().empty());
    hw.clearProcesses();
    hw.overrideListSize(std::nullopt);
    EXPECT_TRUE(lister.list().empty());
}

TEST_F(ListerTest, SizeIsDividedDownToWholeIdentifiers) {
    hw.overrideListSize(9); // two whole identifiers
    EXPECT_EQ(processObjectIDs(hw), (std::vector<AudioObjectID>{10, 20}));
}

TEST_F(ListerTest, PerObjectFailures) {
    hw.failProperty(10, AudioProperty::processBundleID, kAudioHardwareUnknownPropertyError);
    hw.failProperty(20, AudioProperty::processPID, kAudioHardwareBadObjectError);
    hw.failProperty(30, AudioProperty::processIsRunningInput, kAudioHardwareBadObjectError);
    EXPECT_EQ(lister.list(), (std::vector<AudioProcess>{{10, 100, "", true}}))
        << "an unreadable bundle blanks it; an unreadable pid or input skips the object";
}

TEST_F(ListerTest, ListThatShrinksBetweenSizeAndReadDropsTheEmptySlots) {
    hw.shrinkAfterSizeQuery(2);
    EXPECT_EQ(processObjectIDs(hw), (std::vector<AudioObjectID>{30, 0, 0}));
    hw.shrinkAfterSizeQuery(1);
    hw.setProcess(10, {100, "us.zoom.xos", 1});
    hw.setProcess(20, {200, "com.other", 0});
    EXPECT_EQ(lister.list().size(), 2u) << "the unfilled slot (object 0) is unreadable";
}

// ---- how the audio server's clients and streams become process objects

using pulse::ClientRecord;
using pulse::kInvalidIndex;
using pulse::ProcessCache;
using pulse::SourceRecord;
using pulse::StreamRecord;

struct ProcessCacheTest : ::testing::Test {
    static constexpr int32_t kOwnPid = 999;
    ProcessCache cache{kOwnPid};
    void SetUp() override {
        cache.setSource({1, false, "mic", 48000, 1, "mono"}); // a microphone
        cache.setSource(
            {2, true, "speakers.monitor", 48000, 2, "front-left,front-right"}); // a sink's monitor
    }
    std::vector<AudioProcess> list() {
        std::vector<AudioProcess> out;
        for (AudioObjectID id : cache.processObjects())
            out.push_back({id, cache.pid(id).value_or(-1), cache.bundleId(id).value_or(""),
                           cache.runningInput(id).value_or(false)});
        return out;
    }
};

TEST_F(ProcessCacheTest, OneObjectPerProcessWithAppIdPreferredOverBinary) {
    cache.setClient({5, "org.example.Conf", "conf", "100"});
    cache.setClient({6, std::nullopt, "conf-helper", "100"}); // a second client of pid 100
    cache.setClient({7, std::nullopt, "paplay", "200"});
    cache.setClient({8, std::nullopt, std::nullopt, std::nullopt}); // no streams: no object
    cache.setPlaybackStream({40, 6, 0, false, false, 2});
    cache.setRecordingStream({41, 5, 1, false, false, 2});
    cache.setPlaybackStream({42, 7, 0, false, false, 2});
    // A process whose first client names only its binary: the app id of a
    // later one still names it.
    cache.setClient({9, std::nullopt, "electron", "300"});
    cache.setClient({10, "org.example.Chat", "electron", "300"});
    cache.setPlaybackStream({43, 9, 0, false, false, 2});
    auto ps = list();
    ASSERT_EQ(ps.size(), 3u);
    EXPECT_EQ(ps[2].bundleId, "org.example.Chat");
    EXPECT_EQ(ps[0].pid, 100);
    EXPECT_EQ(ps[0].bundleId, "org.example.Conf");
    EXPECT_TRUE(ps[0].runningInput);
    EXPECT_EQ(ps[1].pid, 200);
    EXPECT_EQ(ps[1].bundleId, "paplay");
    EXPECT_FALSE(ps[1].runningInput);
    EXPECT_EQ(cache.playbackStreamsOf({ps[0].objectID}), std::vector<uint32_t>{40});
}

TEST_F(ProcessCacheTest, OnlyRealUncorkedMicrophoneRecordingCountsAsInput) {
    cache.setClient({5, "app.a", std::nullopt, "100"});
    cache.setClient({6, "app.b", std::nullopt, "101"});
    cache.setClient({7, "app.c", std::nullopt, "102"});
    cache.setClient({8, "app.d", std::nullopt, std::to_string(kOwnPid)});
    cache.setClient({9, "app.e", std::nullopt, "104"});
    cache.setRecordingStream({50, 5, 2, false, false, 2});             // records a monitor
    cache.setRecordingStream({51, 6, 1, true, false, 2});              // corked
    cache.setRecordingStream({52, 7, 1, false, true, 2});              // a level meter
    cache.setRecordingStream({53, 8, 1, false, false, 2});             // the helper's own
    cache.setRecordingStream({54, 9, 77, false, false, 2});            // source not known (yet)
    cache.setRecordingStream({55, kInvalidIndex, 1, false, false, 2}); // a module's stream
    auto ps = list();
    ASSERT_EQ(ps.size(), 5u);
    for (const auto& p : ps)
        EXPECT_FALSE(p.runningInput) << p.bundleId;
    cache.setRecordingStream({51, 6, 1, false, false, 2}); // uncorked
    for (const auto& p : list())
        EXPECT_EQ(p.runningInput, p.bundleId == "app.b") << p.bundleId;
}

TEST_F(ProcessCacheTest, IdentifiersStableWhileKnownNewAfterComingBackKeptOverAServerRestart) {
    cache.setClient({5, "a", std::nullopt, "100"});
    cache.setClient({6, "b", std::nullopt, "200"});
    cache.setPlaybackStream({40, 5, 0, false, false, 2});
    cache.setPlaybackStream({41, 6, 0, false, false, 2});
    auto first = cache.processObjects();
    ASSERT_EQ(first.size(), 2u);
    cache.setRecordingStream({42, 6, 1, false, false, 2});
    EXPECT_EQ(cache.processObjects(), first);
    cache.removePlaybackStream(40);
    EXPECT_EQ(cache.processObjects(), std::vector<AudioObjectID>{first[1]});
    EXPECT_FALSE(cache.pid(first[0])) << "a forgotten object cannot be read";
    cache.setPlaybackStream({43, 5, 0, false, false, 2});
    auto again = cache.processObjects();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_NE(again[1], first[0]);
    cache.clear();
    EXPECT_TRUE(cache.processObjects().empty());
    // The server restarts and the same process plays again: same object,
    // shown once the new server's first lists are all in.
    cache.setListing(true);
    cache.setClient({1, "b", std::nullopt, "200"});
    cache.setPlaybackStream({1, 1, 0, false, false, 2});
    uint32_t size = 99;
    ASSERT_EQ(
        cache.getPropertyDataSize(kAudioObjectSystemObject, AudioProperty::processObjectList, size),
        0);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(cache.processObjects().empty());
    cache.setListing(false);
    EXPECT_EQ(cache.processObjects(), std::vector<AudioObjectID>{first[1]});
}

TEST_F(ProcessCacheTest, ClientWithoutPidIsAnObjectWhosePidReadFails) {
    cache.setClient({5, "a", std::nullopt, std::nullopt});
    cache.setClient({6, std::nullopt, std::nullopt, "12x"}); // not a number
    cache.setPlaybackStream({40, 5, 0, false, false, 2});
    cache.setPlaybackStream({41, 6, 0, false, false, 2});
    auto ids = cache.processObjects();
    ASSERT_EQ(ids.size(), 2u);
    for (auto id : ids)
        EXPECT_FALSE(cache.pid(id));
    EXPECT_FALSE(cache.bundleId(ids[1]) && cache.bundleId(ids[0])) << "one has no name at all";
}

} // namespace
