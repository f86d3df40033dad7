// Feeds arbitrary bytes to the controller's call-tree reader as one thread's five sections, then
// builds the profile model from whatever tree it accepts. Nothing may crash, hang or read outside
// the input; the reader may only raise its own section errors, naming section and byte.
//
// Input: four u32 little-endian lengths (T, A, F, S), then those sections back to back, then P
// (the rest). Lengths beyond the input are cut to what is there.
//
// The same bytes also describe a tree shape, which the tests' layout builder turns into sections
// that the reader must accept node for node: random damage rarely passes every check, so this is
// what reaches the model with trees of every shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Controller/CallTreeReader.h"
#include "Controller/Profile.h"
#include "Controller/SectionTypes.h"
#include "support/CallTreeBytes.h"

using namespace Controller;

namespace {

const uint16_t SectionTypes[5] = {CallTreeSectionType, CallTreeAggregateSectionType,
                                  CallTreeFunctionSectionType, CallTreeSingleSectionType,
                                  CallTreePositionSectionType};

// The five sections with their bytes, closed, at the versions the reader expects.
CallTree ReadTree(const Bytes* const (&parts)[5]) {
    SnapshotSection sections[5];
    for (int i = 0; i < 5; ++i) {
        sections[i] = {SectionTypes[i], static_cast<uint16_t>(i == 1 ? 1 : 0), true, *parts[i]};
    }
    return CallTreeReader::Read(
        {&sections[0], &sections[1], &sections[2], &sections[3], &sections[4]});
}

// Walks every model figure, so that a bad index in the model shows up under the sanitizer.
void UseProfile(const Profile& profile) {
    volatile uint64_t sum = 0;
    for (const ThreadProfile* pThread : {&profile.Threads().front(), &profile.AllThreads()}) {
        for (const ProfileNode& node : pThread->tree.Nodes()) {
            sum = sum + node.calls + node.totalTicks + profile.FunctionName(node.function).size();
        }
        for (const FunctionSummary& summary : pThread->functions) {
            for (const FunctionEdge& edge : summary.callers) {
                sum = sum + edge.calls + profile.FunctionName(edge.function).size();
            }
            for (const FunctionEdge& edge : summary.callees) {
                sum = sum + edge.totalTicks + profile.FunctionName(edge.function).size();
            }
        }
    }
}

// Two bytes per node: its function (one of seven methods, or a garbage collection) and which
// earlier node calls it; a function its parent already calls is skipped.
void ReadBuiltTree(const uint8_t* data, size_t size) {
    constexpr size_t MaxNodes = 64;
    TreeNodeSpec root{0, 0, 0, 0, 0, {}};
    std::vector<TreeNodeSpec> pool;
    pool.reserve(MaxNodes);
    std::vector<std::pair<size_t, size_t>> edges;  // parent, pool index
    for (size_t i = 0; i + 1 < std::min(size, 2 * MaxNodes); i += 2) {
        const uint8_t kind = data[i] % 8;
        const size_t parent = data[i + 1] % (pool.size() + 1);
        TreeNodeSpec node = kind == 7 ? TreeNodeSpec{0, 0xFF000002, 0, 1, 0x02, {}}
                                      : TreeNodeSpec{1, 0x06000001u + kind, 0, data[i + 1], 0, {}};
        node.total = data[i] * 977ull;
        bool called = false;
        for (const auto& [p, child] : edges) {
            called = called || (p == parent && pool[child].token == node.token);
        }
        if (!called) {
            edges.emplace_back(parent, pool.size());
            pool.push_back(node);
        }
    }
    // Children move into their parents from the last node back, so each one moved is complete.
    for (size_t e = edges.size(); e-- > 0;) {
        TreeNodeSpec& parent = edges[e].first == 0 ? root : pool[edges[e].first - 1];
        parent.children.insert(parent.children.begin(), std::move(pool[edges[e].second]));
    }
    root.total = 1ull << 40;
    const CallTreeBytes bytes = BuildCallTreeBytes(root, {1, 4, 4, 6, 4});
    const CallTree tree = ReadTree(
        {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles, &bytes.positions});
    if (tree.Nodes().size() != edges.size() + 1) {
        __builtin_trap();
    }
    PerformanceSnapshot snapshot;
    snapshot.header.frequency = 3;
    snapshot.trees.push_back(tree);
    UseProfile(Profile::Build(snapshot, MetaDataNameResolver()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t LengthBytes = 16;
    if (size < LengthBytes) {
        return 0;
    }
    Bytes parts[5];
    size_t at = LengthBytes;
    for (int i = 0; i < 5; ++i) {
        size_t length = size - at;
        if (i < 4) {
            const uint32_t wanted = data[4 * i] | data[4 * i + 1] << 8 | data[4 * i + 2] << 16 |
                                    static_cast<uint32_t>(data[4 * i + 3]) << 24;
            length = std::min<size_t>(length, wanted);
        }
        parts[i].assign(data + at, data + at + length);
        at += length;
    }
    try {
        PerformanceSnapshot snapshot;
        snapshot.header.frequency = 1000;
        snapshot.trees.push_back(ReadTree({&parts[0], &parts[1], &parts[2], &parts[3], &parts[4]}));
        UseProfile(Profile::Build(snapshot, MetaDataNameResolver()));
    } catch (const SectionCursor::Error&) {
    }
    ReadBuiltTree(data, size);
    return 0;
}
