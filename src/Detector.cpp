#include "Detector.h"

#include "Text.h"

#include <algorithm>

namespace zorva {

namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::vector<AudioObjectID> sortedIDs(const std::vector<AudioProcess>& procs) {
    std::vector<AudioObjectID> ids;
    ids.reserve(procs.size());
    for (const auto& p : procs)
        ids.push_back(p.objectID);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<int32_t> pidsOf(const std::vector<AudioProcess>& procs) {
    std::vector<int32_t> pids;
    pids.reserve(procs.size());
    for (const auto& p : procs)
        pids.push_back(p.pid);
    return pids;
}

} // namespace

bool FamilyOrder::operator()(const std::string& a, const std::string& b) const {
    return canonicalLess(a, b);
}

AppTable::AppTable(std::vector<AppEntry> apps, std::vector<std::string> ignoreBundlePrefixes,
                   const std::vector<int32_t>& ignorePids)
    : apps_(std::move(apps)), ignoreBundlePrefixes_(std::move(ignoreBundlePrefixes)),
      ignorePids_(ignorePids.begin(), ignorePids.end()) {
    // Done once here, so that classifying an ASCII identifier on every tick
    // allocates nothing.
    std::map<std::string, std::string> spellings; // canonical name -> first spelling
    for (auto& app : apps_) {
        app.name = spellings.try_emplace(canonical(app.name), app.name).first->second;
        for (auto& prefix : app.bundlePrefixes)
            prefix = canonical(prefix);
    }
    for (auto& prefix : ignoreBundlePrefixes_)
        prefix = canonical(prefix);
}

std::optional<std::string> AppTable::family(const AudioProcess& process) const {
    if (ignorePids_.count(process.pid) || process.bundleId.empty())
        return std::nullopt;
    std::string composed;
    const bool ascii = isAscii(process.bundleId);
    if (!ascii)
        composed = canonical(process.bundleId);
    const std::string& id = ascii ? process.bundleId : composed;
    for (const auto& prefix : ignoreBundlePrefixes_)
        if (startsWith(id, prefix))
            return std::nullopt;
    // First match in table order wins, not the longest prefix.
    for (const auto& app : apps_)
        for (const auto& prefix : app.bundlePrefixes)
            if (startsWith(id, prefix))
                return app.name;
    return std::nullopt;
}

Detector::Detector(AppTable table, int64_t micHoldMs, int64_t endGraceMs)
    : table_(std::move(table)), micHoldMs_(micHoldMs), endGraceMs_(endGraceMs) {}

std::vector<DetectorEvent> Detector::update(const std::vector<AudioProcess>& processes,
                                            int64_t nowMs) {
    std::vector<DetectorEvent> events;

    // Phase 1: grouping and input timers.
    std::map<std::string, std::vector<AudioProcess>, FamilyOrder> grouping;
    std::unordered_map<AudioObjectID, bool> seen;
    for (const auto& p : processes) {
        auto name = table_.family(p);
        if (!name)
            continue;
        grouping[*name].push_back(p);
        seen[p.objectID] = true;
        if (p.runningInput)
            runningSince_.try_emplace(p.objectID, nowMs);
        else
            runningSince_.erase(p.objectID);
    }
    std::erase_if(runningSince_, [&](const auto& entry) { return !seen.count(entry.first); });
    groups_ = std::move(grouping);

    // Phase 2: advance every known family, by ascending name.
    std::set<std::string, FamilyOrder> names;
    for (const auto& [name, _] : groups_)
        names.insert(name);
    for (const auto& [name, _] : families_)
        names.insert(name);
    static const std::vector<AudioProcess> none;
    for (const auto& name : names) {
        auto g = groups_.find(name);
        const auto& procs = g == groups_.end() ? none : g->second;
        Family& f = families_[name]; // a fresh family when absent
        bool anyInput = std::any_of(procs.begin(), procs.end(),
                                    [](const AudioProcess& p) { return p.runningInput; });
        int64_t last = anyInput ? nowMs : f.lastInputAt;
        f.lastInputAt = last;
        if (!f.active)
            continue;
        auto ids = sortedIDs(procs);
        if (ids != f.objectIDs && !procs.empty())
            events.push_back(MembersChanged{name, ids});
        if (nowMs - last >= endGraceMs_) {
            events.push_back(
                CallEnded{name, f.bundleId, pidsOf(procs),
                          procs.empty() ? Call::Reason::appQuit : Call::Reason::micReleased});
            f.active = false;
        }
        f.objectIDs = std::move(ids);
    }

    // Phase 3: start at most one call, and none while one is active.
    bool anyActive = std::any_of(families_.begin(), families_.end(),
                                 [](const auto& entry) { return entry.second.active; });
    if (!anyActive) {
        for (auto& [name, f] : families_) {
            auto g = groups_.find(name);
            if (g == groups_.end())
                continue;
            const AudioProcess* chosen = nullptr;
            int64_t chosenSince = 0;
            for (const auto& p : g->second) {
                if (!p.runningInput)
                    continue;
                auto rs = runningSince_.find(p.objectID);
                if (rs == runningSince_.end() || nowMs - rs->second < micHoldMs_)
                    continue;
                // Oldest input wins; on equal times, the earliest listed.
                if (!chosen || rs->second < chosenSince) {
                    chosen = &p;
                    chosenSince = rs->second;
                }
            }
            if (!chosen)
                continue;
            f.active = true;
            f.lastInputAt = nowMs;
            f.objectIDs = sortedIDs(g->second);
            f.bundleId = chosen->bundleId;
            events.push_back(
                CallStarted{name, chosen->bundleId, pidsOf(g->second), nowMs - chosenSince});
            break;
        }
    }

    // Phase 4: forget idle families with no listed processes.
    std::erase_if(families_, [&](const auto& entry) {
        return !entry.second.active && !groups_.count(entry.first);
    });
    return events;
}

std::vector<AudioProcess> Detector::members(const std::optional<std::string>& family) const {
    if (!family)
        return {};
    auto g = groups_.find(*family);
    return g == groups_.end() ? std::vector<AudioProcess>{} : g->second;
}

} // namespace zorva
