// Which audio processes belong to which conferencing app, and the detector
// that turns successive process snapshots into call events.
#pragma once

#include "CoreAudioProcesses.h"
#include "Protocol.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace zorva {

// Orders family names by their canonical composed forms.
struct FamilyOrder {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Immutable: a new configuration builds a new table. Names and prefixes
// compare under canonical equivalence: entries whose names are equivalent are
// one family, named as the first of them spells it.
class AppTable {
public:
    AppTable() = default;
    AppTable(std::vector<AppEntry> apps, std::vector<std::string> ignoreBundlePrefixes,
             const std::vector<int32_t>& ignorePids);

    // The family (app name) a process belongs to; reads only pid and bundleId.
    std::optional<std::string> family(const AudioProcess& process) const;

private:
    std::vector<AppEntry> apps_;                    // names unified, prefixes in canonical form
    std::vector<std::string> ignoreBundlePrefixes_; // canonical form
    std::set<int32_t> ignorePids_;
};

struct CallStarted {
    std::string app;
    std::string bundleId;
    std::vector<int32_t> pids;
    int64_t sinceMicStartMs = 0;
    bool operator==(const CallStarted&) const = default;
};
struct CallEnded {
    std::string app;
    std::string bundleId;
    std::vector<int32_t> pids;
    Call::Reason reason = Call::Reason::micReleased;
    bool operator==(const CallEnded&) const = default;
};
struct MembersChanged {
    std::string app;
    std::vector<AudioObjectID> objectIDs; // ascending
    bool operator==(const MembersChanged&) const = default;
};
using DetectorEvent = std::variant<CallStarted, CallEnded, MembersChanged>;

// Pure logic: never reads a clock, never calls the platform. Not thread-safe;
// the main queue owns it. At most one family is active at a time.
class Detector {
public:
    Detector(AppTable table, int64_t micHoldMs, int64_t endGraceMs);

    // One snapshot in listing order at detector time `nowMs`; returns the
    // events in the order they happened.
    std::vector<DetectorEvent> update(const std::vector<AudioProcess>& processes, int64_t nowMs);

    // The processes grouped under `family` by the latest update.
    std::vector<AudioProcess> members(const std::optional<std::string>& family) const;

    const AppTable& table() const { return table_; }

private:
    struct Family {
        bool active = false;
        int64_t lastInputAt = 0;
        std::vector<AudioObjectID> objectIDs; // ascending
        std::string bundleId;
    };

    AppTable table_;
    int64_t micHoldMs_;
    int64_t endGraceMs_;
    std::unordered_map<AudioObjectID, int64_t> runningSince_;
    std::map<std::string, Family, FamilyOrder> families_;
    std::map<std::string, std::vector<AudioProcess>, FamilyOrder> groups_;
};

} // namespace zorva
