// The profile model and qvprof's report, export and diff over one performance snapshot laid out by
// hand: merged figures, report tables, each export format read back, the diff's order, and the
// errors for files that hold no profile.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "Controller/Profile.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "Controller/SnapshotFile.h"
#include "DiffCommand.h"
#include "ExportCommand.h"
#include "ReportCommand.h"
#include "SnapshotContents.h"
#include "support/CallTreeBytes.h"
#include "support/ErrorText.h"
#include "support/HeapSnapshotBytes.h"
#include "support/MetaDataBlobs.h"
#include "support/ScratchDirectory.h"

using namespace Controller;
using nlohmann::json;

namespace {

// Methods of the crafted metadata at index 1.
constexpr uint32_t Run = 0x06000002, Go = 0x06000003, Get = 0x06000004;
const std::string RunName = "N.S.Outer`2::Run", GoName = "N.S.Outer`2+Inner::Go",
                  GetName = "Top\\+Level::Get", GC = "[garbage collection]",
                  Main = "thread 1 \"main\"", Worker = "thread 2 \"worker\"";

void AddTree(Snapshot& snapshot, const CallTreeBytes& bytes) {
    const uint16_t types[] = {CallTreeSectionType, CallTreeAggregateSectionType,
                              CallTreeFunctionSectionType, CallTreeSingleSectionType,
                              CallTreePositionSectionType};
    const Bytes* parts[] = {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles,
                            &bytes.positions};
    for (int i = 0; i < 5; ++i) {
        snapshot.sections.push_back({types[i], uint16_t(i == 1 ? 1 : 0), true, *parts[i]});
    }
}

// Sections: 0 header, 1-5 thread 1 "main": Run -> {Go -> Go, Get}; unless `small`, 6-10 thread 2
// "worker": Go -> a garbage collection, 11-15 a flush of thread 1: Run -> Get; then metadata.
// 1000 ticks a second. Merged, thread 1 is Run 150 ms (own 10, 2 calls) -> {Go 60 (own 20, 2
// calls) -> Go 40 (own 40, 3 calls), Get 80 (own 80, 6 calls)}.
Snapshot TwoThreads(bool small = false, uint32_t magic = PerformanceSnapshotMagic) {
    Snapshot snapshot;
    snapshot.magic = magic;
    snapshot.complete = true;
    snapshot.sections.push_back({PerformanceHeaderSectionType, 0, true, Le64(1000)});
    // clang-format off
    AddTree(snapshot, BuildCallTreeBytes({0, 0, 100, 0, 0, {{1, Run, 100, 1, 0, {
        {1, Go, 60, 2, 0, {{1, Go, 40, 3, 0, {}}}}, {1, Get, 30, 1, 0, {}}}}}}));
    if (!small) {
        AddTree(snapshot, BuildCallTreeBytes(
            {0, 0, 20, 0, 0, {{1, Go, 20, 1, 0, {{0, 0xFF000002, 5, 1, 2, {}}}}}}, {}, "worker", 2));
        AddTree(snapshot, BuildCallTreeBytes(
            {0, 0, 50, 0, 0, {{1, Run, 50, 1, 0, {{1, Get, 50, 5, 0, {}}}}}}));
    }
    // clang-format on
    const Bytes blob = MetaDataBlobs::CraftedMetaData(false);
    snapshot.sections.push_back({MetaDataSectionType, 0, true,
                                 Concat({Le32(1), Le32(1), Le32(uint32_t(blob.size())), blob})});
    return snapshot;
}

std::string Write(const ScratchDirectory& scratch, const Snapshot& snapshot,
                  const std::string& name = "p.qvsnap") {
    const std::string path = (scratch.Path() / name).string();
    SnapshotFile::Write(path, snapshot);
    return path;
}

Qvprof::SnapshotContents Contents(const ScratchDirectory& scratch, bool small = false) {
    return Qvprof::SnapshotContents::Load(
        Write(scratch, TwoThreads(small), small ? "small.qvsnap" : "p.qvsnap"));
}

// The own time of each call path, as "thread;frame;frame".
using Stacks = std::map<std::string, uint64_t>;
const Stacks ExpectedMicroseconds = {{Main + ";" + RunName, 10000},
                                     {Main + ";" + RunName + ";" + GoName, 20000},
                                     {Main + ";" + RunName + ";" + GoName + ";" + GoName, 40000},
                                     {Main + ";" + RunName + ";" + GetName, 80000},
                                     {Worker + ";" + GoName, 15000},
                                     {Worker + ";" + GoName + ";" + GC, 5000}};

struct Figures {
    std::string name;
    uint64_t calls, total, own;
    bool recursive;
};

void ExpectFunctions(const Profile& profile, const ThreadProfile& thread,
                     const std::vector<Figures>& expected) {
    ASSERT_EQ(thread.functions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const FunctionSummary& summary = thread.functions[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(profile.FunctionName(summary.function), expected[i].name);
        EXPECT_EQ(summary.calls, expected[i].calls);
        EXPECT_EQ(summary.totalTicks, expected[i].total);
        EXPECT_EQ(summary.ownTicks, expected[i].own);
        EXPECT_EQ(summary.recursive, expected[i].recursive);
    }
}

using Edge = std::tuple<std::string, uint64_t, uint64_t>;
std::vector<Edge> Edges(const Profile& profile, const std::vector<FunctionEdge>& edges) {
    std::vector<Edge> named;
    for (const FunctionEdge& edge : edges) {
        named.emplace_back(profile.FunctionName(edge.function), edge.calls, edge.totalTicks);
    }
    return named;
}

}  // namespace

TEST(ControllerProfile, MergesThreadsAndCountsRecursionOnce) {
    const Profile profile = Profile::Read(TwoThreads());
    ASSERT_EQ(profile.Threads().size(), 2u);
    const ThreadProfile& main = profile.Threads()[0];
    EXPECT_EQ(main.thread.name, "main");
    EXPECT_EQ(main.treeCount, 2u);
    EXPECT_EQ(main.tree.Root().totalTicks, 150u);
    ExpectFunctions(
        profile, main,
        {{RunName, 2, 150, 10, false}, {GetName, 6, 80, 80, false}, {GoName, 5, 60, 60, true}});
    const FunctionSummary& go = main.functions[2];
    EXPECT_EQ(go.nodes, 2u);
    EXPECT_EQ(go.flags, CallTreeNode::Recursive);
    EXPECT_EQ(Edges(profile, go.callers), (std::vector<Edge>{{RunName, 2, 60}, {GoName, 3, 0}}));
    EXPECT_EQ(Edges(profile, go.callees), (std::vector<Edge>{{GoName, 3, 0}}));
    EXPECT_EQ(Edges(profile, main.functions[0].callers), (std::vector<Edge>{{"[thread]", 2, 150}}));
    EXPECT_EQ(Edges(profile, main.functions[0].callees),
              (std::vector<Edge>{{GetName, 6, 80}, {GoName, 2, 60}}));

    const ThreadProfile& worker = profile.Threads()[1];
    EXPECT_EQ(worker.thread.recordNumber, 2u);
    ExpectFunctions(profile, worker, {{GoName, 1, 20, 15, false}, {GC, 1, 5, 5, false}});
    EXPECT_EQ(worker.functions[1].flags, CallTreeNode::Special);

    const ThreadProfile& all = profile.AllThreads();
    EXPECT_EQ(all.treeCount, 3u);
    EXPECT_EQ(all.tree.Root().totalTicks, 170u);
    // The merged tree keeps paths apart: Go at the top (thread 2) and Go under Run (thread 1).
    std::vector<Edge> top;
    for (uint32_t child : all.tree.Root().children) {
        const ProfileNode& node = all.tree.Nodes()[child];
        top.emplace_back(profile.FunctionName(node.function), node.calls, node.totalTicks);
    }
    EXPECT_EQ(top, (std::vector<Edge>{{RunName, 2, 150}, {GoName, 1, 20}}));
}

TEST(ControllerProfile, GroupsSectionsIntoTreesAndNamesTheBrokenOne) {
    Snapshot snapshot = TwoThreads();
    snapshot.sections[9].bytes.Vector().push_back(0);  // the second tree's S section
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Call tree 2 (snapshot sections 6 to 10): Section 0x1103 at byte 2: announces 2 "
              "records of 7 bytes but holds 15 bytes of records");

    snapshot = TwoThreads();
    snapshot.sections.erase(snapshot.sections.begin() + 8);
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Snapshot section 6 (0x1100) belongs to no whole call tree: snapshot section 8 is "
              "0x1103 where 0x1102 belongs");
    // In a snapshot that ended early the tree caught half written is left out.
    snapshot.complete = false;
    const PerformanceSnapshot partial = ReadPerformanceSnapshot(snapshot);
    EXPECT_EQ(partial.trees.size(), 2u);
    EXPECT_EQ(partial.unfinishedSections, 4u);

    snapshot.sections.erase(snapshot.sections.begin());
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Performance snapshot has no header section 0x1000");
    snapshot.magic = MemorySnapshotMagic;
    EXPECT_EQ(ErrorText([&] { ReadPerformanceSnapshot(snapshot); }),
              "Snapshot magic 0x454D5651 is not a performance snapshot's");
}

// The text with {Run}, {Go} and {Get} replaced by the functions' names.
std::string Named(std::string text) {
    for (const auto& [key, name] : {std::pair<std::string, std::string>{"{Run}", RunName},
                                    {"{Go}", GoName},
                                    {"{Get}", GetName}}) {
        for (size_t at; (at = text.find(key)) != std::string::npos;) {
            text.replace(at, key.size(), name);
        }
    }
    return text;
}

TEST(QvprofReport, HottestFunctionsAndCallTreeAtTheDepthAndThresholdAsked) {
    ScratchDirectory scratch;
    const std::string file = Write(scratch, TwoThreads());
    const std::string all = "all threads (2 threads, 3 call trees): 170.000 ms measured\n";
    const std::string head = "       %     total ms       own ms    calls  function\n";
    const std::string top3 =
        "   88.2%      150.000       10.000        2  {Run}\n"
        "   47.1%       80.000       80.000        6    {Get}\n"
        "   35.3%       60.000       20.000        2    {Go}\n";
    struct Case {
        std::string view;
        size_t depth;
        double threshold;
        bool perThread;
        std::string expected;
    };
    const Case cases[] = {
        {"hot", 12, 1.0, false,
         "\nHottest functions, " + all +
             "By own time:\n"
             "  own ms      %  total ms  calls  function\n"
             "  80.000  47.1%    80.000      6  {Get}\n"
             "  75.000  44.1%    80.000      6  {Go} (recursive)\n"
             "  10.000   5.9%   150.000      2  {Run}\n"
             "   5.000   2.9%     5.000      1  [garbage collection]\n"
             "By total time:\n"
             "  total ms      %  own ms  calls  function\n"
             "   150.000  88.2%  10.000      2  {Run}\n"
             "    80.000  47.1%  75.000      6  {Go} (recursive)\n"
             "    80.000  47.1%  80.000      6  {Get}\n"
             "     5.000   2.9%   5.000      1  [garbage collection]\n"},
        {"tree", 12, 1.0, false,
         "\nCall tree, " + all + head + top3 +
             "   23.5%       40.000       40.000        3      {Go}\n"
             "   11.8%       20.000       15.000        1  {Go}\n"
             "    2.9%        5.000        5.000        1    [garbage collection]\n"},
        {"tree", 12, 25.0, false,
         "\nCall tree, " + all + head + top3 +
             "  (3 calls under 25% or deeper than 12 levels left out)\n"},
        {"tree", 1, 0.0, true,
         "\nCall tree, thread 1 \"main\" (2 call trees): 150.000 ms measured\n" + head +
             "  100.0%      150.000       10.000        2  {Run}\n"
             "  (3 calls under 0% or deeper than 1 levels left out)\n"
             "\nCall tree, thread 2 \"worker\" (1 call tree): 20.000 ms measured\n" +
             head +
             "  100.0%       20.000       15.000        1  {Go}\n"
             "  (1 call under 0% or deeper than 1 levels left out)\n"},
    };
    for (const Case& c : cases) {
        Qvprof::ReportOptions options;
        options.views = {c.view};
        options.depth = c.depth;
        options.threshold = c.threshold;
        options.perThread = c.perThread;
        EXPECT_EQ(Named(c.expected), Qvprof::ReportCommand::Report(file, options))
            << c.view << " " << c.depth << " " << c.threshold;
    }

    Qvprof::ReportOptions options;
    options.views = {"overview", "modules"};
    const std::string text = Qvprof::ReportCommand::Report(file, options);
    for (const char* part : {"0x1100        0      3", "call tree nodes",
                             "  index  types  methods  functions  path\n      1",
                             "        3  crafted.dll [no path recorded]"}) {
        EXPECT_NE(std::string::npos, text.find(part)) << part << " in\n" << text;
    }
}

TEST(QvprofExport, CollapsedStacksHaveOneLinePerPathWithOwnMicroseconds) {
    ScratchDirectory scratch;
    std::istringstream lines(Qvprof::ExportCommand::Export(Contents(scratch), "collapsed"));
    Stacks stacks;
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.rfind(' ');
        ASSERT_NE(space, std::string::npos) << line;
        EXPECT_TRUE(
            stacks.emplace(line.substr(0, space), std::stoull(line.substr(space + 1))).second)
            << line;
    }
    EXPECT_EQ(stacks, ExpectedMicroseconds);
}

namespace {

// A protocol buffers message as its fields: varints as numbers, length-delimited as bytes.
struct Field {
    uint64_t number = 0;
    std::string bytes;
};
using Message = std::multimap<uint32_t, Field>;

uint64_t Varint(const std::string& bytes, size_t& at) {
    uint64_t value = 0;
    for (int shift = 0; at < bytes.size(); shift += 7) {
        const auto byte = static_cast<uint8_t>(bytes[at++]);
        value |= uint64_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    ADD_FAILURE() << "varint runs past the end";
    return value;
}

Message Decode(const std::string& message) {
    Message fields;
    for (size_t at = 0; at < message.size();) {
        const uint64_t key = Varint(message, at);
        Field field;
        if ((key & 7) == 0) {
            field.number = Varint(message, at);
        } else {
            EXPECT_EQ(key & 7, 2u) << "wire type";
            const uint64_t size = Varint(message, at);
            EXPECT_LE(at + size, message.size());
            field.bytes = message.substr(at, size);
            at += size;
        }
        fields.emplace(static_cast<uint32_t>(key >> 3), field);
    }
    return fields;
}

std::vector<uint64_t> Packed(const std::string& bytes) {
    std::vector<uint64_t> values;
    for (size_t at = 0; at < bytes.size();) {
        values.push_back(Varint(bytes, at));
    }
    return values;
}

// The gunzipped pprof profile, and its string table.
Message Pprof(const std::string& gzipped, std::vector<std::string>& strings) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzipped.data()));
    stream.avail_in = static_cast<uInt>(gzipped.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    const Message profile = Decode(out);
    for (auto [it, end] = profile.equal_range(6); it != end; ++it) {
        strings.push_back(it->second.bytes);
    }
    return profile;
}

}  // namespace

TEST(QvprofExport, PprofDecodesToSamplesOfCallsAndNanosecondsByStack) {
    ScratchDirectory scratch;
    std::vector<std::string> strings;
    const Message profile =
        Pprof(Qvprof::ExportCommand::Export(Contents(scratch), "pprof"), strings);
    ASSERT_FALSE(strings.empty());
    EXPECT_EQ(strings[0], "");
    std::vector<std::string> types;
    for (auto [it, end] = profile.equal_range(1); it != end; ++it) {
        const Message valueType = Decode(it->second.bytes);
        types.push_back(strings.at(valueType.find(1)->second.number) + "/" +
                        strings.at(valueType.find(2)->second.number));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"calls/count", "time/nanoseconds"}));
    EXPECT_EQ(strings.at(profile.find(14)->second.number), "time");

    std::map<uint64_t, std::string> functionNames;  // by function id
    for (auto [it, end] = profile.equal_range(5); it != end; ++it) {
        const Message function = Decode(it->second.bytes);
        functionNames[function.find(1)->second.number] =
            strings.at(function.find(2)->second.number);
    }
    std::map<uint64_t, std::string> locationNames;  // by location id, through its line
    for (auto [it, end] = profile.equal_range(4); it != end; ++it) {
        const Message location = Decode(it->second.bytes);
        const Message line = Decode(location.find(4)->second.bytes);
        locationNames[location.find(1)->second.number] =
            functionNames.at(line.find(1)->second.number);
    }
    Stacks nanoseconds, calls;
    for (auto [it, end] = profile.equal_range(2); it != end; ++it) {
        const Message sample = Decode(it->second.bytes);
        const Message label = Decode(sample.find(3)->second.bytes);
        ASSERT_EQ(strings.at(label.find(1)->second.number), "thread");
        std::string stack = strings.at(label.find(2)->second.number);
        const std::vector<uint64_t> ids = Packed(sample.find(1)->second.bytes);
        for (auto id = ids.rbegin(); id != ids.rend(); ++id) {  // innermost first in the file
            stack += ";" + locationNames.at(*id);
        }
        const std::vector<uint64_t> values = Packed(sample.find(2)->second.bytes);
        ASSERT_EQ(values.size(), 2u);
        calls[stack] = values[0];
        nanoseconds[stack] = values[1];
    }
    Stacks expected;
    for (const auto& [stack, micros] : ExpectedMicroseconds) {
        expected[stack] = micros * 1000;
    }
    EXPECT_EQ(nanoseconds, expected);
    EXPECT_EQ(calls[Main + ";" + RunName + ";" + GetName], 6u);
    EXPECT_EQ(calls[Main + ";" + RunName + ";" + GoName + ";" + GoName], 3u);
}

TEST(QvprofExport, SpeedscopeHasTheRequiredMembersAndOneSampledProfilePerThread) {
    ScratchDirectory scratch;
    const json file = json::parse(Qvprof::ExportCommand::Export(Contents(scratch), "speedscope"));
    // What the published file-format schema requires of a file and a sampled profile.
    auto expectMembers = [](const json& object,
                            const std::map<std::string, json::value_t>& members) {
        for (const auto& [name, type] : members) {
            ASSERT_TRUE(object.contains(name)) << name;
            EXPECT_TRUE(type == json::value_t::number_float ? object[name].is_number()
                                                            : object[name].type() == type)
                << name;
        }
    };
    using T = json::value_t;
    expectMembers(file, {{"$schema", T::string},
                         {"profiles", T::array},
                         {"shared", T::object},
                         {"name", T::string},
                         {"activeProfileIndex", T::number_float},
                         {"exporter", T::string}});
    EXPECT_EQ(file["$schema"], "https://www.speedscope.app/file-format-schema.json");
    EXPECT_EQ(file["name"], "p.qvsnap");
    const json& frames = file["shared"]["frames"];
    for (const json& frame : frames) {
        EXPECT_TRUE(frame["name"].is_string());
    }
    ASSERT_EQ(file["profiles"].size(), 2u);
    Stacks stacks;
    for (const json& profile : file["profiles"]) {
        expectMembers(profile, {{"type", T::string},
                                {"name", T::string},
                                {"unit", T::string},
                                {"startValue", T::number_float},
                                {"endValue", T::number_float},
                                {"samples", T::array},
                                {"weights", T::array}});
        EXPECT_EQ(profile["type"], "sampled");
        EXPECT_EQ(profile["unit"], "nanoseconds");
        EXPECT_EQ(profile["startValue"], 0);
        ASSERT_EQ(profile["samples"].size(), profile["weights"].size());
        uint64_t sum = 0;
        for (size_t i = 0; i < profile["samples"].size(); ++i) {
            std::string stack = profile["name"];
            for (const json& frame : profile["samples"][i]) {
                stack += ";" + frames.at(frame.get<size_t>())["name"].get<std::string>();
            }
            stacks[stack] = profile["weights"][i].get<uint64_t>() / 1000;
            sum += profile["weights"][i].get<uint64_t>();
        }
        EXPECT_EQ(profile["endValue"], sum);
    }
    EXPECT_EQ(stacks, ExpectedMicroseconds);
}

TEST(QvprofExport, ChromeTraceLaysEachCallPathOutInsideItsCaller) {
    ScratchDirectory scratch;
    const json file = json::parse(Qvprof::ExportCommand::Export(Contents(scratch), "chrome"));
    // (tid, name, ts, dur) of the complete events, in microseconds; children largest first.
    std::vector<std::tuple<int, std::string, double, double>> events;
    std::map<int, std::string> threadNames;
    for (const json& event : file["traceEvents"]) {
        if (event["ph"] == "M") {
            threadNames[event["tid"]] = event["args"]["name"];
        } else {
            ASSERT_EQ(event["ph"], "X");
            events.emplace_back(event["tid"], event["name"], event["ts"], event["dur"]);
        }
    }
    EXPECT_EQ(threadNames, (std::map<int, std::string>{{1, Main}, {2, Worker}}));
    const std::vector<std::tuple<int, std::string, double, double>> expected = {
        {1, RunName, 0, 150000},   {1, GetName, 0, 80000}, {1, GoName, 80000, 60000},
        {1, GoName, 80000, 40000}, {2, GoName, 0, 20000},  {2, GC, 0, 5000}};
    EXPECT_EQ(events, expected);
}

TEST(QvprofExport, FlameGraphPageCarriesEveryThreadsFramesInline) {
    ScratchDirectory scratch;
    const std::string page = Qvprof::ExportCommand::Export(Contents(scratch), "html");
    const std::string open = "<script type=\"application/json\" id=\"profile-data\">";
    const size_t start = page.find(open);
    ASSERT_NE(start, std::string::npos);
    const size_t end = page.find("</script>", start);
    const json data = json::parse(page.substr(start + open.size(), end - start - open.size()));
    EXPECT_EQ(data["title"], "p.qvsnap");
    std::vector<std::string> threads;
    for (const json& thread : data["threads"]) {
        threads.push_back(thread["name"]);
    }
    EXPECT_EQ(threads, (std::vector<std::string>{"all threads", Main, Worker}));
    // Thread 1: the root, Run, Go, Go, Get; every node after its parent, figures in ms.
    std::multiset<std::string> frames;
    const json& nodes = data["threads"][1]["nodes"];
    for (const json& node : nodes) {
        ASSERT_LT(node[1].get<int>(), static_cast<int>(nodes.size()));
        frames.insert(node[0] == -1 ? "-"
                                    : data["names"][node[0].get<size_t>()].get<std::string>());
        if (node[0] != -1 && data["names"][node[0].get<size_t>()] == GetName) {
            EXPECT_EQ(node[2], 80.0);
            EXPECT_EQ(node[4], 6);
        }
    }
    EXPECT_EQ(frames, (std::multiset<std::string>{"-", RunName, GoName, GoName, GetName}));
    // Nothing fetched from elsewhere.
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_EQ(page.find(" src="), std::string::npos);
}

TEST(QvprofExport, FilesWithoutAProfileGiveClearErrors) {
    ScratchDirectory scratch;
    const std::string good = Write(scratch, TwoThreads());
    const std::string truncated = (scratch.Path() / "cut.qvsnap").string();
    std::filesystem::copy_file(good, truncated);
    std::filesystem::resize_file(truncated, std::filesystem::file_size(good) / 2);
    const std::string text = (scratch.Path() / "text.qvsnap").string();
    std::ofstream(text) << "not a snapshot\n";
    const std::string memory = Write(scratch, TwoThreads(false, MemorySnapshotMagic), "m.qvsnap");
    const struct {
        std::string file, format, message;
    } cases[] = {{(scratch.Path() / "none.qvsnap").string(), "pprof", "There is no file"},
                 {truncated, "pprof", "cut.qvsnap"},
                 {text, "speedscope", "text.qvsnap"},
                 {good, "svg", "There is no export format 'svg'"},
                 {memory, "speedscope", "is a memory snapshot; it exports as pprof or collapsed"}};
    for (const auto& c : cases) {
        const std::string error = ErrorText([&] {
            Qvprof::ExportCommand::Export(Qvprof::SnapshotContents::Load(c.file), c.format);
        });
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

// A memory snapshot's heap dump by class and its sampled allocation stack, in the two formats a
// heap dump exports to, and the diff of two memory snapshots.
TEST(QvprofExport, HeapDumpsExportByClassAndAllocationsByStack) {
    const Qvprof::SnapshotContents contents(HandMadeHeapSnapshot(sizeof(void*)), "heap.qvsnap", 0);
    const std::string node = "[no metadata 1] 0x02000002";
    EXPECT_EQ(Qvprof::ExportCommand::Export(contents, "collapsed"),
              "heap dump 1;" + node + " 64\nsampled allocations;[no metadata 1] 0x06000001 1\n");

    std::vector<std::string> strings;
    const Message profile = Pprof(Qvprof::ExportCommand::Export(contents, "pprof"), strings);
    std::vector<std::string> names;
    for (auto [it, end] = profile.equal_range(5); it != end; ++it) {
        names.push_back(strings.at(Decode(it->second.bytes).find(2)->second.number));
    }
    EXPECT_EQ(names, (std::vector<std::string>{node, "[no metadata 1] 0x06000001"}));
    std::vector<std::vector<uint64_t>> samples;
    for (auto [it, end] = profile.equal_range(2); it != end; ++it) {
        const Message sample = Decode(it->second.bytes);
        std::vector<uint64_t> row = Packed(sample.find(1)->second.bytes);
        const std::vector<uint64_t> values = Packed(sample.find(2)->second.bytes);
        row.insert(row.end(), values.begin(), values.end());
        samples.push_back(row);
    }
    // Location, then objects, bytes and sampled allocations.
    EXPECT_EQ(samples, (std::vector<std::vector<uint64_t>>{{1, 2, 64, 0}, {2, 0, 0, 1}}));
    EXPECT_EQ(strings.at(profile.find(14)->second.number), "space");

    // The diff of two memory snapshots compares the classes of their last dumps.
    Snapshot withoutDump = HandMadeHeapSnapshot(sizeof(void*));
    withoutDump.sections.resize(3);
    const Qvprof::SnapshotContents empty(withoutDump, "empty.qvsnap", 0);
    const std::string diff = Qvprof::DiffCommand::Diff(contents, contents, {});
    EXPECT_NE(diff.find("Classes by change of live bytes"), std::string::npos) << diff;
    EXPECT_EQ(diff.find(node), std::string::npos) << "unchanged classes are left out\n" << diff;
    EXPECT_EQ(ErrorText([&] { Qvprof::DiffCommand::Diff(contents, empty, {}); }),
              "'empty.qvsnap' holds no heap dump");
    ScratchDirectory scratch;
    const Qvprof::SnapshotContents performance = Contents(scratch);
    EXPECT_EQ(ErrorText([&] { Qvprof::DiffCommand::Diff(performance, empty, {}); }),
              "'" + performance.Path() +
                  "' is a performance snapshot and 'empty.qvsnap' a memory snapshot: diff "
                  "compares two snapshots of one kind");
}

TEST(QvprofDiff, FunctionsOrderedByTheChangeOfOwnOrTotalTime) {
    ScratchDirectory scratch;
    const Qvprof::SnapshotContents before = Contents(scratch);
    const Qvprof::SnapshotContents after = Contents(scratch, true);
    // A: Run own 10 total 150, Go own 75 total 80, Get own 80, GC own 5; B: the first tree only.
    struct Case {
        std::string by;
        std::vector<std::string> order;
    };
    for (const Case& c : {Case{"own", {GetName, GoName, GC, RunName}},
                          Case{"total", {GetName, RunName, GoName, GC}}}) {
        Qvprof::DiffOptions options;
        options.by = c.by;
        const std::string text = Qvprof::DiffCommand::Diff(before, after, options);
        std::vector<size_t> positions;
        for (const std::string& name : c.order) {
            positions.push_back(text.find("  " + name + "\n"));
            ASSERT_NE(positions.back(), std::string::npos) << name << " in\n" << text;
        }
        EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << text;
    }
    // A table's row, whatever its column widths.
    std::string text = Qvprof::DiffCommand::Diff(before, after, Qvprof::DiffOptions());
    text.erase(
        std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
        text.end());
    EXPECT_NE(text.find("-50.000 -62.5% 80.000 30.000 80.000 30.000 6 1 " + GetName),
              std::string::npos)
        << text;
}
