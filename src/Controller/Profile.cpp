#include "Controller/Profile.h"

#include <map>

#include "Controller/MetaDataSection.h"
#include "Controller/SectionTypes.h"

namespace Controller {

namespace {

constexpr uint32_t PseudoTokenMask = 0xFF000000;

}  // namespace

Profile Profile::Read(const Snapshot& snapshot) {
    const PerformanceSnapshot performance = ReadPerformanceSnapshot(snapshot);
    MetaDataNameResolver names;
    if (const SnapshotSection* pMetaData = snapshot.FindSection(MetaDataSectionType)) {
        for (MetaDataRecord& record : ReadMetaDataSection(*pMetaData)) {
            names.Add(record.index, std::move(record.blob));
        }
    }
    return Build(performance, names);
}

Profile Profile::Build(const PerformanceSnapshot& snapshot, const MetaDataNameResolver& names) {
    Profile profile;
    profile.m_Frequency = snapshot.header.frequency;
    auto functionOf = [&](const CallTreeNode& node) { return profile.FunctionOf(node, names); };
    std::map<uint32_t, ThreadProfile> threads;
    for (const CallTree& tree : snapshot.trees) {
        const CallTreeThread& identity = tree.Thread();
        ThreadProfile& thread = threads[identity.recordNumber];
        thread.thread.recordNumber = identity.recordNumber;
        thread.thread.activationCount =
            std::max(thread.thread.activationCount, identity.activationCount);
        if (thread.thread.name.empty()) {
            thread.thread.name = identity.name;
        }
        ++thread.treeCount;
        thread.tree.Add(tree, functionOf);
    }
    for (auto& [number, thread] : threads) {
        thread.functions = SummarizeFunctions(thread.tree);
        profile.m_AllThreads.tree.Add(thread.tree);
        profile.m_AllThreads.treeCount += thread.treeCount;
        profile.m_Threads.push_back(std::move(thread));
    }
    profile.m_AllThreads.functions = SummarizeFunctions(profile.m_AllThreads.tree);
    return profile;
}

uint32_t Profile::FunctionOf(const CallTreeNode& node, const MetaDataNameResolver& names) {
    const uint64_t key = uint64_t{node.metadataIndex} << 32 | node.token;
    const auto [it, added] =
        m_FunctionByKey.emplace(key, static_cast<uint32_t>(m_Functions.size()));
    if (added) {
        const bool pseudo =
            node.metadataIndex == 0 && (node.token & PseudoTokenMask) == PseudoTokenMask;
        std::string name = pseudo ? PseudoFunctionName(node.token) : std::string();
        if (name.empty()) {
            name = names.FunctionName(node.metadataIndex, node.token);
        }
        m_Functions.push_back({node.metadataIndex, node.token, std::move(name)});
    }
    return it->second;
}

std::string Profile::PseudoFunctionName(uint32_t token) {
    switch (token) {
        case 0xFF000000:
            return "[no function]";
        case 0xFF000001:
            return "[runtime suspension]";
        case 0xFF000002:
            return "[garbage collection]";
        case 0xFF000003:
            return "[application domain shutdown]";
        case 0xFF000004:
            return "[code pitching]";
        case 0xFF000005:
            return "[unwalkable stack]";
        default:
            return std::string();
    }
}

const std::string& Profile::FunctionName(uint32_t function) const {
    return function < m_Functions.size() ? m_Functions[function].name : m_ThreadName;
}

}  // namespace Controller
