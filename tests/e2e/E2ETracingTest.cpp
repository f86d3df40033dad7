// The tracing kind in the real runtime: TracingLoad (tests/apps) makes calls whose numbers are
// known from its source (a recursion, a caller with two leaf calls, an exception thrown three
// frames down and caught two frames up, named worker threads, forced collections while another
// thread runs). A real controller over loopback starts measuring at initialisation; the snapshot
// saved at shutdown, read with the controller's profile model, must hold those counts exactly,
// each thread's tree under its name, and the collections as suspension nodes. The program's
// output and exit code are those of a run without profiler (its source states them), and the log
// has no warning of a shadow stack out of step.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Controller/CallTree.h"
#include "Controller/Profile.h"
#include "Controller/Session.h"
#include "SampleRun.h"

using namespace SampleRun;

namespace {

using Controller::EventKind;
using Controller::Profile;
using Controller::ProfileNode;
using Controller::ThreadProfile;

constexpr const char* LoadOutput =
    "recursion 2310\n"
    "callers 1000 leaves 2000\n"
    "caught 5 reflected 5\n"
    "workers 600\n"
    "collections 3\n";
constexpr int LoadExitCode = 4;

constexpr const char* Main = "TracingLoad.Program::Main";
constexpr const char* Recurse = "TracingLoad.Calls::Recurse";
constexpr const char* Caller = "TracingLoad.Calls::Caller";
constexpr const char* Leaf = "TracingLoad.Calls::Leaf";
constexpr const char* Catcher = "TracingLoad.Throwing::Catcher";
constexpr const char* Middle = "TracingLoad.Throwing::Middle";
constexpr const char* Thrower = "TracingLoad.Throwing::Thrower";
constexpr const char* Reflected = "TracingLoad.Throwing::Reflected";
constexpr const char* Confirm = "TracingLoad.Throwing::Confirm";
constexpr const char* WorkerMain = "TracingLoad.Workers::WorkerMain";
constexpr const char* Collection = "[garbage collection]";

// What a thread's tree says of the functions the checks name.
struct Figures {
    std::map<std::string, uint64_t> calls;  // summed over every node of the function
    std::map<std::string, size_t> nodes;
    // Nodes whose parent is not the function's expected caller, as "child < parent".
    std::vector<std::string> misplaced;
    // Collection nodes, those flagged special, and the function each is under ("" for none).
    size_t collections = 0;
    std::vector<std::string> collectionParents;
    size_t specialCollections = 0;
};

Figures Measure(const Profile& profile, const ThreadProfile& thread,
                const std::map<std::string, std::string>& parents) {
    Figures figures;
    const auto& nodes = thread.tree.Nodes();
    for (uint32_t index = 1; index < nodes.size(); ++index) {
        const ProfileNode& node = nodes[index];
        const std::string& name = profile.FunctionName(node.function);
        figures.calls[name] += node.calls;
        ++figures.nodes[name];
        const std::string parent = node.parent == 0 || node.parent == ProfileNode::NoParent
                                       ? ""
                                       : profile.FunctionName(nodes[node.parent].function);
        auto expected = parents.find(name);
        if (expected != parents.end() && expected->second != parent &&
            !(name == Recurse && parent == Recurse)) {
            figures.misplaced.push_back(name + " < " + parent);
        }
        if (name == Collection) {
            ++figures.collections;
            figures.collectionParents.push_back(parent);
            if ((node.flags & Controller::CallTreeNode::Special) != 0) {
                ++figures.specialCollections;
            }
        }
    }
    return figures;
}

}  // namespace

TEST(E2ETracing, KnownCallCountsFromStartToEnd) {
    for (bool precision : {false, true}) {
        SCOPED_TRACE(precision ? "precision" : "fast");
        Controller::SessionOptions options;
        options.performance.startAtInitialization = true;
        options.performance.allowInlining = false;
        options.performance.precision = precision;
        ControlledRun run(options);
        run.Start(CommandFor(QV_TRACING_LOAD_DLL), TracingKind);
        run.Session().Accept(GenerousMs);
        const auto saved = run.Session().WaitFor(EventKind::Snapshot, GenerousMs);
        ExpectUnchanged(run.Finish(), LoadOutput, LoadExitCode);
        ASSERT_TRUE(saved);
        EXPECT_TRUE(saved->snapshot->complete) << saved->snapshot->note;
        const Profile profile = Profile::Read(*saved->snapshot);
        SCOPED_TRACE(Describe(profile, 12));

        std::map<std::string, const ThreadProfile*> threads;
        for (const ThreadProfile& thread : profile.Threads()) {
            if (!thread.thread.name.empty()) {
                threads[thread.thread.name] = &thread;
            }
        }
        ASSERT_TRUE(threads.count("main"));
        const std::map<std::string, std::string> parents = {
            {Recurse, Main},   {Caller, Main},    {Leaf, Caller},      {Catcher, Main},
            {Middle, Catcher}, {Thrower, Middle}, {Confirm, Reflected}};
        const Figures main = Measure(profile, *threads["main"], parents);
        EXPECT_EQ(main.calls.at(Main), 1u);
        EXPECT_EQ(main.calls.at(Recurse), 210u);
        EXPECT_EQ(main.nodes.at(Recurse), 21u);
        EXPECT_EQ(main.calls.at(Caller), 1000u);
        EXPECT_EQ(main.calls.at(Leaf), 2000u);
        EXPECT_EQ(main.calls.at(Catcher), 5u);
        EXPECT_EQ(main.calls.at(Middle), 5u);
        EXPECT_EQ(main.calls.at(Thrower), 5u);
        EXPECT_EQ(main.calls.at(Confirm), 5u);
        EXPECT_TRUE(main.misplaced.empty()) << ::testing::PrintToString(main.misplaced);

        for (int w = 1; w <= 3; ++w) {
            const std::string name = "worker-" + std::to_string(w);
            SCOPED_TRACE(name);
            ASSERT_TRUE(threads.count(name));
            const Figures worker =
                Measure(profile, *threads[name], {{Caller, WorkerMain}, {Leaf, Caller}});
            EXPECT_EQ(worker.calls.at(WorkerMain), 1u);
            EXPECT_EQ(worker.calls.at(Caller), 100u * w);
            EXPECT_EQ(worker.calls.at(Leaf), 200u * w);
            EXPECT_TRUE(worker.misplaced.empty()) << ::testing::PrintToString(worker.misplaced);
        }

        // A collection shows on a thread where the runtime reports that thread's suspension on
        // the thread itself: always on the collecting thread, on the spinner only when it was
        // stopped at one of its own safe points (under load the runtime may suspend it from
        // outside instead). The spinner's nodes sit where it runs: under its loop or the function
        // the loop calls. Every suspension node is flagged special.
        size_t collections = 0, special = 0;
        for (const ThreadProfile& thread : profile.Threads()) {
            const Figures figures = Measure(profile, thread, {});
            collections += figures.collections;
            special += figures.specialCollections;
            if (thread.thread.name == "spinner") {
                for (const std::string& parent : figures.collectionParents) {
                    EXPECT_TRUE(parent == "TracingLoad.Spinner::SpinnerMain" ||
                                parent == "TracingLoad.Spinner::Step")
                        << parent;
                }
            } else {
                RecordProperty("Collections " + thread.thread.name,
                               ::testing::PrintToString(figures.collectionParents));
            }
        }
        EXPECT_GE(collections, 1u);
        EXPECT_EQ(special, collections);

        ExpectNoLineWith(run.LogLines(), {"ERROR: ", "Unexpected function identifier",
                                          "Unexpected exception function identifier"});
    }
}
