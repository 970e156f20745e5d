#include "Detector.h"

#include <gtest/gtest.h>

using namespace zorva;

namespace {

AudioProcess proc(AudioObjectID id, int32_t pid, std::string bundle, bool input) {
    return {id, pid, std::move(bundle), input};
}

TEST(AppTable, ClassificationRulesInOrder) {
    AppTable table({{"A", {"aa.bb"}}, {"B", {"aa.bb.cc"}}, {"Empty", {""}}}, {"zz.ignored"},
                   {7, 7});
    auto family = [&](int32_t pid, const std::string& bundle) {
        return table.family(proc(0, pid, bundle, false));
    };
    EXPECT_EQ(family(7, "aa.bb.x"), std::nullopt) << "ignored pid wins over a match";
    EXPECT_EQ(family(1, ""), std::nullopt) << "empty bundle never matches, not even \"\"";
    EXPECT_EQ(family(1, "zz.ignored.app"), std::nullopt) << "ignore prefix wins";
    EXPECT_EQ(family(1, "aa.bb.cc.dd"), "A") << "first entry wins, not the longest prefix";
    EXPECT_EQ(family(1, "aa.bbX"), "A") << "prefix may end inside a component";
    EXPECT_EQ(family(1, "aa.BB"), "Empty") << "case-sensitive: falls through to the empty prefix";
    EXPECT_EQ(family(1, "q"), "Empty");

    AppTable ignoreAll({{"A", {"a"}}}, {""}, {});
    EXPECT_EQ(ignoreAll.family(proc(0, 1, "a.b", false)), std::nullopt);
    EXPECT_EQ(AppTable({}, {}, {}).family(proc(0, 1, "a.b", false)), std::nullopt);
}

TEST(AppTable, IgnorePrefixBeatsLongerAppPrefix) {
    AppTable table({{"A", {"aa.bb.cc"}}}, {"aa.bb"}, {});
    EXPECT_EQ(table.family(proc(0, 1, "aa.bb.cc.dd", false)), std::nullopt);
}

TEST(Detector, NamesAndPrefixesCompareUnderCanonicalEquivalence) {
    const std::string composed = "\xC3\x89t\xC3\xA9";     // "Été" as NFC
    const std::string decomposed = "E\xCC\x81te\xCC\x81"; // the same, as NFD
    // Two entries whose names are equivalent are one family, spelled as the
    // first; a decomposed prefix matches a composed identifier and back.
    AppTable table({{decomposed, {"org." + composed}}, {"F", {"f"}}, {composed, {"x"}}},
                   {"ign." + decomposed}, {});
    EXPECT_EQ(table.family(proc(0, 1, "org." + decomposed + ".app", false)), decomposed);
    EXPECT_EQ(table.family(proc(0, 1, "x.y", false)), decomposed);
    EXPECT_EQ(table.family(proc(0, 1, "ign." + composed, false)), std::nullopt);

    // Both qualify at once: "F" < "É" in canonical order, though the
    // decomposed bytes ("E"...) sort first.
    Detector detector(table, 0, 1000);
    auto events = detector.update({proc(1, 10, "x.y", true), proc(2, 20, "f.app", true)}, 0);
    EXPECT_EQ(events, (std::vector<DetectorEvent>{CallStarted{"F", "f.app", {20}, 0}}));
    events =
        detector.update({proc(1, 10, "x.y", true), proc(3, 30, "org." + composed, true)}, 1000);
    EXPECT_EQ(events,
              (std::vector<DetectorEvent>{CallEnded{"F", "f.app", {}, Call::Reason::appQuit},
                                          CallStarted{decomposed, "x.y", {10, 30}, 1000}}));
    EXPECT_EQ(detector.members(table.family(proc(0, -1, "x", false))).size(), 2u);
}

struct DetectorTest : ::testing::Test {
    AppTable table{{{"Zoom", {"us.zoom"}}, {"Teams", {"com.microsoft.teams"}}}, {}, {}};
    Detector detector{table, 1000, 3000};

    std::vector<DetectorEvent> at(int64_t now, std::vector<AudioProcess> ps) {
        return detector.update(ps, now);
    }
};

using Events = std::vector<DetectorEvent>;

TEST_F(DetectorTest, HoldCountsFromFirstSeenInputAndIncludesEquality) {
    EXPECT_EQ(at(0, {proc(10, 100, "us.zoom.xos", true)}), Events{});
    EXPECT_EQ(at(999, {proc(10, 100, "us.zoom.xos", true)}), Events{});
    EXPECT_EQ(at(1000, {proc(10, 100, "us.zoom.xos", true)}),
              (Events{CallStarted{"Zoom", "us.zoom.xos", {100}, 1000}}));
    EXPECT_EQ(at(2000, {proc(10, 100, "us.zoom.xos", true)}), Events{}) << "only one start";
}

TEST_F(DetectorTest, GapOrAbsenceRestartsTheHold) {
    at(0, {proc(10, 100, "us.zoom.xos", true)});
    at(500, {proc(10, 100, "us.zoom.xos", false)}); // input paused
    at(600, {proc(10, 100, "us.zoom.xos", true)});
    EXPECT_EQ(at(1500, {proc(10, 100, "us.zoom.xos", true)}), Events{});
    at(1550, {}); // not listed at all
    at(1600, {proc(10, 100, "us.zoom.xos", true)});
    EXPECT_EQ(at(2599, {proc(10, 100, "us.zoom.xos", true)}), Events{});
    EXPECT_EQ(at(2600, {proc(10, 100, "us.zoom.xos", true)}),
              (Events{CallStarted{"Zoom", "us.zoom.xos", {100}, 1000}}));
}

TEST_F(DetectorTest, OldestInputChoosesBundleAndStartListsAllProcesses) {
    at(0, {proc(11, 101, "us.zoom.helper", true)});
    auto events =
        at(1000, {proc(12, 102, "us.zoom.xos", true), proc(13, 103, "us.zoom.idle", false),
                  proc(11, 101, "us.zoom.helper", true)});
    EXPECT_EQ(events, (Events{CallStarted{"Zoom", "us.zoom.helper", {102, 103, 101}, 1000}}));
    // The bundle stays the call's even after that process has gone.
    events = at(5000, {proc(12, 102, "us.zoom.xos", false)});
    EXPECT_EQ(events,
              (Events{MembersChanged{"Zoom", {12}},
                      CallEnded{"Zoom", "us.zoom.helper", {102}, Call::Reason::micReleased}}));
}

TEST_F(DetectorTest, EqualStartTimesPickTheEarliestListed) {
    auto events = at(0, {proc(20, 1, "us.zoom.b", true), proc(10, 2, "us.zoom.a", true)});
    EXPECT_TRUE(events.empty());
    events = at(1000, {proc(20, 1, "us.zoom.b", true), proc(10, 2, "us.zoom.a", true)});
    EXPECT_EQ(events, (Events{CallStarted{"Zoom", "us.zoom.b", {1, 2}, 1000}}));
}

TEST_F(DetectorTest, TwoFamiliesQualifyOnlyTheFirstNameStartsAndTheOtherKeepsItsTimer) {
    at(0, {proc(1, 10, "us.zoom.xos", true), proc(2, 20, "com.microsoft.teams", true)});
    // "Teams" < "Zoom" in byte order.
    auto events =
        at(1000, {proc(1, 10, "us.zoom.xos", true), proc(2, 20, "com.microsoft.teams", true)});
    EXPECT_EQ(events, (Events{CallStarted{"Teams", "com.microsoft.teams", {20}, 1000}}));
    EXPECT_EQ(at(2000, {proc(1, 10, "us.zoom.xos", true)}), Events{})
        << "Teams gone, still in grace";
    // Teams ends (app quit) and Zoom starts in the same update, timed from 0.
    events = at(4000, {proc(1, 10, "us.zoom.xos", true)});
    EXPECT_EQ(events, (Events{CallEnded{"Teams", "com.microsoft.teams", {}, Call::Reason::appQuit},
                              CallStarted{"Zoom", "us.zoom.xos", {10}, 4000}}));
}

TEST_F(DetectorTest, GraceEndsExactlyAtEqualityMicReleasedOrAppQuit) {
    at(0, {proc(1, 10, "us.zoom.xos", true)});
    at(1000, {proc(1, 10, "us.zoom.xos", true)}); // started; last input 1000
    EXPECT_EQ(at(3999, {proc(1, 10, "us.zoom.xos", false)}), Events{});
    EXPECT_EQ(at(4000, {proc(1, 10, "us.zoom.xos", false)}),
              (Events{CallEnded{"Zoom", "us.zoom.xos", {10}, Call::Reason::micReleased}}));
    // Idle now; input again must wait the full hold.
    EXPECT_EQ(at(4500, {proc(1, 10, "us.zoom.xos", true)}), Events{});
    EXPECT_EQ(at(5500, {proc(1, 10, "us.zoom.xos", true)}),
              (Events{CallStarted{"Zoom", "us.zoom.xos", {10}, 1000}}));
    EXPECT_EQ(at(8500, {}), (Events{CallEnded{"Zoom", "us.zoom.xos", {}, Call::Reason::appQuit}}));
    // Forgotten; listed again it behaves like a new family.
    EXPECT_EQ(at(9000, {proc(1, 10, "us.zoom.xos", true)}), Events{});
    EXPECT_EQ(at(10000, {proc(1, 10, "us.zoom.xos", true)}),
              (Events{CallStarted{"Zoom", "us.zoom.xos", {10}, 1000}}));
}

TEST_F(DetectorTest, MembersChangedOnlyDuringACallAndOnlyForRealChanges) {
    at(0, {proc(5, 50, "us.zoom.xos", true)});
    at(100, {proc(5, 50, "us.zoom.xos", true), proc(3, 30, "us.zoom.aux", false)});  // idle: silent
    at(1000, {proc(5, 50, "us.zoom.xos", true), proc(3, 30, "us.zoom.aux", false)}); // started
    EXPECT_EQ(at(1100, {proc(3, 30, "us.zoom.aux", false), proc(5, 50, "us.zoom.xos", true)}),
              Events{})
        << "another order is the same set";
    EXPECT_EQ(at(1200, {proc(5, 50, "us.zoom.xos", true), proc(9, 90, "us.zoom.new", false),
                        proc(3, 30, "us.zoom.aux", false)}),
              (Events{MembersChanged{"Zoom", {3, 5, 9}}}));
    EXPECT_EQ(detector.members("Zoom"),
              (std::vector<AudioProcess>{proc(5, 50, "us.zoom.xos", true),
                                         proc(9, 90, "us.zoom.new", false),
                                         proc(3, 30, "us.zoom.aux", false)}));
    // All gone within grace: no event; back with new ids: one change.
    EXPECT_EQ(at(1300, {}), Events{});
    EXPECT_EQ(at(1400, {proc(40, 400, "us.zoom.xos", true)}),
              (Events{MembersChanged{"Zoom", {40}}}));
}

TEST_F(DetectorTest, MembersOfNoneOrUnknownIsEmpty) {
    at(0, {proc(5, 50, "us.zoom.xos", false), proc(6, 60, "other.app", true)});
    EXPECT_TRUE(detector.members(std::nullopt).empty());
    EXPECT_TRUE(detector.members("Teams").empty());
    EXPECT_EQ(detector.members("Zoom").size(), 1u);
}

TEST(Detector, ZeroOrNegativeHoldStartsAtFirstSight) {
    AppTable table({{"Zoom", {"us.zoom"}}}, {}, {});
    for (int64_t hold : {0, -5000}) {
        Detector d(table, hold, 1000);
        EXPECT_EQ(d.update({proc(1, 10, "us.zoom.xos", true)}, 7),
                  (Events{CallStarted{"Zoom", "us.zoom.xos", {10}, 0}}));
    }
}

TEST(Detector, ZeroOrNegativeGraceEndsAtTheNextUpdateAndMayRestart) {
    AppTable table({{"B", {"b."}}, {"A", {"a."}}}, {}, {});
    for (int64_t grace : {0, -1}) {
        Detector d(table, 0, grace);
        EXPECT_EQ(d.update({proc(1, 10, "b.x", true)}, 0),
                  (Events{CallStarted{"B", "b.x", {10}, 0}}));
        // B ends while its input runs; A, whose name sorts first, starts.
        EXPECT_EQ(d.update({proc(1, 10, "b.x", true), proc(2, 20, "a.y", true)}, 100),
                  (Events{CallEnded{"B", "b.x", {10}, Call::Reason::micReleased},
                          CallStarted{"A", "a.y", {20}, 0}}));
        // Then A ends and B (still holding) starts again, counted from 0.
        EXPECT_EQ(d.update({proc(1, 10, "b.x", true)}, 200),
                  (Events{CallEnded{"A", "a.y", {}, Call::Reason::appQuit},
                          CallStarted{"B", "b.x", {10}, 200}}));
    }
}

TEST(Detector, ProcessesOutsideAnyFamilyTouchNothing) {
    Detector d(AppTable({{"Zoom", {"us.zoom"}}}, {}, {42}), 0, 1000);
    EXPECT_EQ(d.update({proc(1, 42, "us.zoom.xos", true), proc(2, 10, "", true),
                        proc(3, 11, "org.other", true)},
                       0),
              Events{});
    EXPECT_TRUE(d.members("Zoom").empty());
}

} // namespace
