// The memory kind in the real runtime: the HeapShape program builds a heap whose shape its source
// states, the heap is dumped once by the controller's Dump command and once by the program itself
// through MemoryProfiler_Dump, and the controller's heap model must show that shape: the counts
// per class, the fields on the references between them, the array's element indexes, the static
// root, the finaliser queue and the sampled allocations of the allocating method. The program's
// output and exit code stay those of a run without profiler.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Controller/HeapModel.h"
#include "SampleRun.h"

using namespace Controller;

namespace {

constexpr DWORD Patience = 60000;
constexpr int HeapShapeExitCode = 5;
constexpr const char* HeapShapeOutput =
    "leaves 1000, sum 499500\n"
    "list 100, payload sum 4950\n"
    "sampled 700\n";
constexpr uint32_t Factor = 7;
constexpr uint32_t SampledAllocations = 700;

// HeapShape under the memory kind, connected to a Session with the given control kind; it builds
// its heap, says so in a file and waits for another before it ends.
class HeapShapeRun {
public:
    HeapShapeRun(uint8_t controlKind, bool apiDump) : m_Run(Options(controlKind, apiDump)) {
        ChildProcess child = SampleRun::CommandFor(QV_HEAPSHAPE_DLL);
        child.SetVariable("HEAPSHAPE_READY", ReadyPath().string());
        child.SetVariable("HEAPSHAPE_GO", GoPath().string());
        child.SetVariable("HEAPSHAPE_API", apiDump ? "1" : "0");
        m_Run.Start(std::move(child), SampleRun::MemoryKind);
        m_Accepting = std::async(std::launch::async, [this] {
            try {
                m_Run.Session().Accept(Patience);
                return std::string();
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
        });
    }
    ~HeapShapeRun() { std::ofstream(GoPath()) << "go"; }

    std::filesystem::path ReadyPath() const { return m_Run.Folder() / "ready"; }
    std::filesystem::path GoPath() const { return m_Run.Folder() / "go"; }
    Session& GetSession() { return m_Run.Session(); }
    std::vector<std::string> LogLines() const { return m_Run.LogLines(); }

    bool WaitUntilReady() {
        for (DWORD waited = 0; waited < Patience; waited += 20) {
            if (std::filesystem::exists(ReadyPath())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The first whole snapshot that holds a heap dump.
    std::shared_ptr<const Snapshot> WaitForDumpSnapshot() {
        while (auto event = GetSession().WaitFor(EventKind::Snapshot, Patience)) {
            const auto& pSnapshot = event->snapshot;
            if (pSnapshot != nullptr && pSnapshot->complete &&
                pSnapshot->FindSection(0x3105) != nullptr) {
                return pSnapshot;
            }
        }
        return nullptr;
    }

    // Lets the program end: its output and exit code are those of a run without profiler, and
    // the profiler logged no error.
    void Finish() {
        std::ofstream(GoPath()) << "go";
        SampleRun::ExpectUnchanged(m_Run.Finish(), HeapShapeOutput, HeapShapeExitCode);
        EXPECT_EQ(m_Accepting.get(), "");
        const std::vector<std::string> lines = LogLines();
        EXPECT_FALSE(lines.empty()) << "no profiler log";
        SampleRun::ExpectNoLineWith(lines);
    }

private:
    static SessionOptions Options(uint8_t controlKind, bool apiDump) {
        SessionOptions options;
        options.controlKind = controlKind;
        options.memory.allocationsFactor = Factor;
        // Finaliser records keep full collection monitoring on; without them it is on for dumps
        // only.
        options.memory.trackFinalizers = !apiDump;
        options.memory.snapshotAtStart = !apiDump;
        return options;
    }

    SampleRun::ControlledRun m_Run;
    std::future<std::string> m_Accepting;
};

const HeapModel::ClassCount* FindClass(const HeapModel::Dump& dump, const std::string& name) {
    for (const HeapModel::ClassCount& entry : dump.classes) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

uint64_t CountOf(const HeapModel::Dump& dump, const std::string& name) {
    const HeapModel::ClassCount* pEntry = FindClass(dump, name);
    return pEntry == nullptr ? 0 : pEntry->count;
}

uint64_t References(const HeapModel::Dump& dump, const std::string& from, const std::string& field,
                    const std::string& to) {
    for (const HeapModel::FieldReferences& entry : dump.references) {
        if (entry.fromClass == from && entry.field == field && entry.toClass == to) {
            return entry.count;
        }
    }
    return 0;
}

// Checks the heap HeapShape built against what its source says.
void CheckShape(const HeapModel& model, bool finalizers) {
    ASSERT_EQ(model.Dumps().size(), 1u);
    const HeapModel::Dump& dump = model.Dumps()[0];
    const HeapCollection& collection = model.Heap().collections[dump.collection];
    const std::pair<const char*, uint64_t> counts[] = {
        {"HeapShape.Leaf", 1000}, {"HeapShape.ListNode", 100},
        {"HeapShape.Leaf[]", 1},  {"HeapShape.Holder<HeapShape.Pair>", 1},
        {"HeapShape.Pair", 1},    {"HeapShape.Holder<System.String>", 1},
        {"HeapShape.Marker", 1}};
    for (const auto& [name, count] : counts) {
        EXPECT_EQ(CountOf(dump, name), count) << name;
    }
    // (from class, field, to class, count)
    const std::tuple<const char*, const char*, const char*, uint64_t> references[] = {
        {"HeapShape.ListNode", "HeapShape.ListNode::Next", "HeapShape.ListNode", 99},
        {"HeapShape.ListNode", "HeapShape.ListNode::Payload", "HeapShape.Leaf", 100},
        {"HeapShape.Leaf[]", HeapModel::ElementField, "HeapShape.Leaf", 1000},
        {"HeapShape.Holder<HeapShape.Pair>", "HeapShape.Holder`1::Item.HeapShape.Pair::First",
         "HeapShape.Leaf", 1},
        {"HeapShape.Pair", "HeapShape.Pair::First", "HeapShape.Leaf", 1}};
    for (const auto& [from, field, to, count] : references) {
        EXPECT_EQ(References(dump, from, field, to), count) << from << " " << field;
    }

    // The array's references name every element once, in order of their index.
    std::map<uint64_t, std::string> classOf;
    for (const HeapObject& object : collection.objects) {
        classOf[object.id] = model.ClassName(object.classPosition);
    }
    bool numbersFound = false;
    for (const HeapObject& object : collection.objects) {
        const std::string& name = classOf[object.id];
        if (name == "HeapShape.Leaf[]") {
            ASSERT_EQ(object.dimensions.size(), 1u);
            EXPECT_EQ(object.dimensions[0].length, 1000u);
            std::set<uint32_t> elements;
            for (const HeapReference& reference : object.references) {
                elements.insert(reference.element);
                EXPECT_EQ(classOf[reference.target], "HeapShape.Leaf");
            }
            EXPECT_EQ(elements.size(), 1000u);
            EXPECT_EQ(*elements.rbegin(), 999u);
        }
        numbersFound = numbersFound || (name == "System.Int32[]" && object.dimensions.size() == 1 &&
                                        object.dimensions[0].length == 5000);
    }
    EXPECT_TRUE(numbersFound) << "no Int32[5000]";

    // The Marker is held by a static field only: by the runtime's array of statics, which a
    // strong handle roots.
    std::map<uint64_t, std::set<uint8_t>> rootKinds;
    for (const HeapRoot& root : collection.roots) {
        rootKinds[root.id].insert(root.kind);
    }
    size_t markerHolders = 0;
    bool staticRoot = false;
    for (const HeapObject& object : collection.objects) {
        for (const HeapReference& reference : object.references) {
            if (classOf[reference.target] == "HeapShape.Marker") {
                ++markerHolders;
                staticRoot =
                    classOf[object.id] == "System.Object[]" && rootKinds[object.id].count(3) != 0;
            }
        }
    }
    EXPECT_EQ(markerHolders, 1u);
    EXPECT_TRUE(staticRoot) << "the Marker's holder is no handle-rooted Object[]";

    // Five dropped Finalizable objects were queued by the dump's collection.
    size_t queued = 0;
    for (const QueuedFinalizer& entry : collection.finalizers) {
        queued += classOf[entry.id] == "HeapShape.Finalizable";
    }
    EXPECT_EQ(queued, finalizers ? 5u : 0u);
    EXPECT_EQ(collection.collected.size() >= 3 && collection.collected[0] &&
                  collection.collected[1] && collection.collected[2],
              true);
    EXPECT_EQ(collection.reason, 1) << "an induced collection";
}

// Sampled allocations whose stack names Sampler.Allocate: every seventh of its 700.
void CheckSampling(const HeapModel& model) {
    uint64_t sampled = 0;
    for (const HeapModel::AllocationStack& stack : model.Allocations()) {
        if (std::find(stack.frames.begin(), stack.frames.end(), "HeapShape.Sampler::Allocate") !=
            stack.frames.end()) {
            sampled += stack.count;
        }
    }
    EXPECT_GE(sampled, SampledAllocations / Factor - 1);
    EXPECT_LE(sampled, SampledAllocations / Factor + 1);
}

TEST(E2EHeapDump, ControllerDumpShowsTheProgramsHeap) {
    HeapShapeRun run(ControlKindManual, false);
    ASSERT_TRUE(run.WaitUntilReady()) << "the program did not build its heap";
    run.GetSession().Dump();
    ASSERT_TRUE(run.GetSession().WaitFor(EventKind::Done, Patience));
    const std::shared_ptr<const Snapshot> pSnapshot = run.WaitForDumpSnapshot();
    run.Finish();
    ASSERT_NE(pSnapshot, nullptr);
    const HeapModel model = HeapModel::Build(*pSnapshot);
    CheckShape(model, true);
    CheckSampling(model);
}

TEST(E2EHeapDump, ProgramDumpsThroughTheApi) {
    HeapShapeRun run(ControlKindApi, true);
    const std::shared_ptr<const Snapshot> pSnapshot = run.WaitForDumpSnapshot();
    run.Finish();
    ASSERT_NE(pSnapshot, nullptr);
    CheckShape(HeapModel::Build(*pSnapshot), false);
    // The program's own collection switched full collection reports off; the dump switched them
    // on for its collection only.
    std::vector<std::string> switches;
    for (const std::string& line : run.LogLines()) {
        const size_t at = line.find("MProf::SetFullMonitoring full=");
        if (at != std::string::npos) {
            switches.push_back(line.substr(at + 30, 5));
        }
    }
    EXPECT_EQ(switches, (std::vector<std::string>{"false", "true ", "false"}));
}

}  // namespace
