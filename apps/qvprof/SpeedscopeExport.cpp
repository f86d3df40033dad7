#include "SpeedscopeExport.h"

#include <nlohmann/json.hpp>

#include "ProfileStacks.h"

namespace Qvprof {

std::string SpeedscopeExport::Write(const Controller::Profile& profile, const std::string& title) {
    using nlohmann::json;
    json frames = json::array();
    for (const Controller::ProfileFunction& function : profile.Functions()) {
        frames.push_back({{"name", function.name}});
    }
    json profiles = json::array();
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        json samples = json::array();
        json weights = json::array();
        uint64_t end = 0;
        const auto& nodes = thread.tree.Nodes();
        for (uint32_t i = 0; i < nodes.size(); ++i) {
            const uint64_t weight = ProfileStacks::Nanoseconds(profile, nodes[i].ownTicks);
            const std::vector<uint32_t> path = ProfileStacks::Path(thread.tree, i);
            if (weight == 0 || path.empty()) {
                continue;
            }
            samples.push_back(path);
            weights.push_back(weight);
            end += weight;
        }
        profiles.push_back({{"type", "sampled"},
                            {"name", ProfileStacks::ThreadLabel(thread)},
                            {"unit", "nanoseconds"},
                            {"startValue", 0},
                            {"endValue", end},
                            {"samples", std::move(samples)},
                            {"weights", std::move(weights)}});
    }
    const json file = {{"$schema", Schema},
                       {"name", title},
                       {"exporter", std::string("qvprof ") + QVPROF_VERSION},
                       {"activeProfileIndex", 0},
                       {"shared", {{"frames", std::move(frames)}}},
                       {"profiles", std::move(profiles)}};
    // Names that are no valid UTF-8 (metadata of a damaged module) are replaced, not fatal.
    return file.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace Qvprof
