// A thread's call tree built through the record's enter and leave path (what the hooks and the
// sampler call), written by WriteAndDelete into a file snapshot, and read back by the controller:
// every node, count, time and flag must come back as an independent model of the same calls says.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Bridge/FileSnapShotStorage.h"
#include "Controller/CallTreeReader.h"
#include "Controller/FileSnapshotReader.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/Performance/PerformanceThread.h"
#include "Profiler/PermanentFunctionData.h"
#include "Profiler/ThreadRegistry.h"
#include "Util/Utf8.h"
#include "support/ProgressRecorder.h"

namespace {

// Fuids below 8 are runtime suspensions (metadata index 0 and a special token); the others name
// functions with two-byte metadata indexes.
constexpr DWORD FirstOrdinaryFuid = 8;

class RoundTripFunctions : public FunctionGatherer {
public:
    RoundTripFunctions() : FunctionGatherer(nullptr) {}
    static PermanentFunctionData DataOf(DWORD fuid) {
        if (fuid < FirstOrdinaryFuid) {
            return {0, 0xFF000000 + fuid};
        }
        return {1 + fuid % 300, 0x06000000 + fuid};
    }
    BYTE GetIndexByteCount() override { return 2; }
    void GetFunctionData(DWORD fuid, PermanentFunctionData& data) override { data = DataOf(fuid); }
};

class TreeRegistry : public ThreadRegistry {
protected:
    std::unique_ptr<BaseThread> CreateThreadRecord(DWORD number) override {
        return std::make_unique<PerformanceThread>(number);
    }
};

// What the calls should give, kept apart from the record's own bookkeeping.
struct ModelNode {
    DWORD fuid = 0;
    uint64_t total = 0;
    uint32_t calls = 0;
    bool partly = false;
    std::map<DWORD, std::unique_ptr<ModelNode>> children;

    ModelNode& Child(DWORD childFuid) {
        auto& pChild = children[childFuid];
        if (pChild == nullptr) {
            pChild = std::make_unique<ModelNode>();
            pChild->fuid = childFuid;
        }
        return *pChild;
    }
    bool Contains(DWORD wanted) const {
        for (const auto& [childFuid, pChild] : children) {
            if (childFuid == wanted || pChild->Contains(wanted)) {
                return true;
            }
        }
        return false;
    }
};

struct OpenCall {
    DWORD fuid;
    ModelNode* pNode;
    uint64_t start;
};

// Drives the record and the model with the same calls.
class Driver {
public:
    explicit Driver(PerformanceThread& record) : m_Record(record) { m_Open.push_back({0, &m_Root, 0}); }

    void Enter(DWORD fuid) {
        m_Now += Step();
        if (fuid < FirstOrdinaryFuid) {
            m_Record.EnterSpecialFrame(fuid, m_Now);
        } else {
            m_Record.EnterFrame(fuid, m_Now);
        }
        ModelNode* pNode = nullptr;
        if (m_Measuring) {
            pNode = &m_Open.back().pNode->Child(fuid);
            ++pNode->calls;
        }
        m_Open.push_back({fuid, pNode, m_Now});
    }
    void Leave() {
        m_Now += Step();
        const OpenCall call = m_Open.back();
        m_Open.pop_back();
        m_Record.LeaveFrame(call.fuid, m_Now);
        if (m_Measuring) {
            call.pNode->total += m_Now - call.start;
        }
    }
    // Frames open now (the root's included) are attached to the new tree without a call, timed
    // from now and flagged.
    void Enable() {
        m_Now += Step();
        m_Record.Enable(m_Now, true);
        m_Open[0].start = m_Now;
        m_Root.partly = true;
        for (size_t i = 1; i < m_Open.size(); ++i) {
            m_Open[i].pNode = &m_Open[i - 1].pNode->Child(m_Open[i].fuid);
            m_Open[i].pNode->partly = true;
            m_Open[i].start = m_Now;
        }
        m_Measuring = true;
    }
    // Every open frame, the root's included, is charged up to now and flagged.
    void Disable() {
        m_Now += Step();
        m_Record.Disable(m_Now, true);
        for (size_t i = 0; i < m_Open.size(); ++i) {
            m_Open[i].pNode->total += m_Now - m_Open[i].start;
            m_Open[i].pNode->partly = true;
        }
        m_Measuring = false;
    }
    size_t Depth() const { return m_Open.size() - 1; }
    std::mt19937& Random() { return m_Random; }
    const ModelNode& Root() const { return m_Root; }

private:
    // Mostly short steps, now and then one long enough to widen the time fields.
    uint64_t Step() {
        const uint32_t draw = m_Random() % 1000;
        return draw == 0 ? (uint64_t{1} << 33) + m_Random() : 1 + draw;
    }

    PerformanceThread& m_Record;
    std::mt19937 m_Random{20261207};
    uint64_t m_Now = 1000;
    bool m_Measuring = false;
    ModelNode m_Root;
    std::vector<OpenCall> m_Open;
};

void ExpectSame(const ModelNode& model, const Controller::CallTree& tree,
                const Controller::CallTreeNode& node, const std::string& path) {
    uint64_t childTotals = 0;
    for (const auto& [fuid, pChild] : model.children) {
        childTotals += pChild->total;
    }
    EXPECT_EQ(node.totalTime, model.total) << path;
    EXPECT_EQ(node.ownTime, model.total > childTotals ? model.total - childTotals : 0) << path;
    uint8_t flags = model.partly ? Controller::CallTreeNode::MeasuredPartly : 0;
    if (model.fuid != 0) {
        EXPECT_EQ(node.calls, model.calls) << path;
        flags |= model.fuid < FirstOrdinaryFuid ? Controller::CallTreeNode::Special : 0;
        flags |= model.Contains(model.fuid) ? Controller::CallTreeNode::Recursive : 0;
    }
    EXPECT_EQ(node.flags, flags) << path;
    ASSERT_EQ(tree.Children(node).size(), model.children.size()) << path;
    for (uint32_t index : tree.Children(node)) {
        const Controller::CallTreeNode& child = tree.Nodes()[index];
        const DWORD fuid = child.token & 0x00FFFFFF;
        auto it = model.children.find(fuid);
        ASSERT_NE(it, model.children.end()) << path << " has no child " << fuid;
        const PermanentFunctionData data = RoundTripFunctions::DataOf(fuid);
        EXPECT_EQ(child.metadataIndex, data.metaDataIndex) << path;
        ExpectSame(*it->second, tree, child, path + "/" + std::to_string(fuid));
    }
}

TEST(CallTreeRoundTrip, ControllerReadsBackEveryNodeOfATreeTheRecordWrote) {
    TreeRegistry registry;
    registry.Create(nullptr, ThreadRegistry::MergeNever, false, false);
    registry.ThreadCreate(1);
    registry.ThreadSetName(1, u"Worker \u00E9");
    auto& record = static_cast<PerformanceThread&>(*registry.Find(1));
    Driver driver(record);

    // Two calls open before measuring starts: measured partly.
    driver.Enter(10);
    driver.Enter(11);
    driver.Enable();
    // One function under 1100 different callers: more than one aggregate chunk.
    for (DWORD caller = 2000; caller < 3100; ++caller) {
        driver.Enter(caller);
        driver.Enter(500);
        driver.Leave();
        driver.Leave();
    }
    // A random walk: recursion through a small hot set, wide fan-out, runtime suspensions.
    for (int step = 0; step < 30000; ++step) {
        const uint32_t draw = driver.Random()() % 100;
        if (driver.Depth() > 2 && (draw < 45 || driver.Depth() > 40)) {
            driver.Leave();
        } else if (draw < 2) {
            driver.Enter(1 + driver.Random()() % 3);
        } else if (draw < 60) {
            driver.Enter(FirstOrdinaryFuid + driver.Random()() % 6);
        } else {
            driver.Enter(100 + driver.Random()() % 400);
        }
    }
    // Calls still open when measuring stops: measured partly, charged up to the stop.
    driver.Disable();

    FileSnapShotStorage storage;
    storage.Create(nullptr, Controller::PerformanceSnapshotMagic, 0, GUID{1, 2, 3, {4}}, 1);
    RoundTripFunctions functions;
    ProgressRecorder progress;
    record.WriteAndDelete(&progress, &storage, &functions);
    const std::string indexPath = ToUtf8(storage.GetIndexPath());
    storage.Close();
    const Controller::Snapshot snapshot = Controller::FileSnapshotReader::Read(indexPath, 1 << 30);
    Controller::FileSnapshotReader::Remove(indexPath);

    ASSERT_EQ(snapshot.sections.size(), 5u);
    const auto& s = snapshot.sections;
    const Controller::CallTree tree =
        Controller::CallTreeReader::Read({&s[0], &s[1], &s[2], &s[3], &s[4]});
    EXPECT_EQ(tree.Thread().recordNumber, 1u);
    EXPECT_EQ(tree.Thread().name, "Worker \xC3\xA9");
    ExpectSame(driver.Root(), tree, tree.Root(), "root");
}

}  // namespace
