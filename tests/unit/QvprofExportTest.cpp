// qvprof export and diff over performance snapshots laid out by hand: each format's structure read
// back (collapsed lines, the pprof message decoded field by field, the speedscope file's required
// members, the trace events' layout, the flame graph page's data), the diff's order, and the
// errors for files that hold no profile.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "Controller/ProtocolConstants.h"
#include "Controller/SectionTypes.h"
#include "Controller/SnapshotFile.h"
#include "DiffCommand.h"
#include "ExportCommand.h"
#include "PprofExport.h"
#include "SnapshotContents.h"
#include "support/CallTreeBytes.h"
#include "support/HeapSnapshotBytes.h"
#include "support/MetaDataBlobs.h"
#include "support/ScratchDirectory.h"

using namespace Controller;
using nlohmann::json;

namespace {

constexpr uint32_t Run = 0x06000002, Go = 0x06000003, Get = 0x06000004;
const std::string RunName = "N.S.Outer`2::Run", GoName = "N.S.Outer`2+Inner::Go",
                  GetName = "Top\\+Level::Get", Main = "thread 1 \"main\"",
                  Worker = "thread 2 \"worker\"";

void AddTree(Snapshot& snapshot, const CallTreeBytes& bytes) {
    const uint16_t types[] = {CallTreeSectionType, CallTreeAggregateSectionType,
                              CallTreeFunctionSectionType, CallTreeSingleSectionType,
                              CallTreePositionSectionType};
    const Bytes* parts[] = {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles,
                            &bytes.positions};
    for (int i = 0; i < 5; ++i) {
        snapshot.sections.push_back(
            {types[i], static_cast<uint16_t>(i == 1 ? 1 : 0), true, *parts[i]});
    }
}

// Thread 1 "main": Run -> {Go -> Go, Get}, and (unless `small`) a flushed Run -> Get and thread 2
// "worker": Go -> a garbage collection. A tick is a millisecond. Merged, thread 1 is Run 150 ms
// (own 10, 2 calls) -> {Go 60 (own 20, 2 calls) -> Go 40 (own 40, 3 calls), Get 80 (own 80, 6)}.
Qvprof::SnapshotContents Contents(const ScratchDirectory& scratch, bool small = false,
                                  uint32_t magic = PerformanceSnapshotMagic) {
    Snapshot snapshot;
    snapshot.magic = magic;
    snapshot.complete = true;
    snapshot.sections.push_back({PerformanceHeaderSectionType, 0, true, Le64(1000)});
    AddTree(snapshot,
            BuildCallTreeBytes(
                {0,
                 0,
                 100,
                 0,
                 0,
                 {{1,
                   Run,
                   100,
                   1,
                   0,
                   {{1, Go, 60, 2, 0, {{1, Go, 40, 3, 0, {}}}}, {1, Get, 30, 1, 0, {}}}}}}));
    if (!small) {
        AddTree(snapshot, BuildCallTreeBytes(
                              {0, 0, 20, 0, 0, {{1, Go, 20, 1, 0, {{0, 0xFF000002, 5, 1, 2, {}}}}}},
                              {}, "worker", 2));
        AddTree(snapshot, BuildCallTreeBytes(
                              {0, 0, 50, 0, 0, {{1, Run, 50, 1, 0, {{1, Get, 50, 5, 0, {}}}}}}));
    }
    const Bytes blob = MetaDataBlobs::CraftedMetaData(false);
    snapshot.sections.push_back(
        {MetaDataSectionType, 0, true,
         Concat({Le32(1), Le32(1), Le32(static_cast<uint32_t>(blob.size())), blob})});
    const std::string path = (scratch.Path() / (small ? "small.qvsnap" : "p.qvsnap")).string();
    SnapshotFile::Write(path, snapshot);
    return Qvprof::SnapshotContents::Load(path);
}

// The own time of each call path, as "thread;frame;frame".
using Stacks = std::map<std::string, uint64_t>;

// Runs of spaces as one, so that a table's rows compare whatever the column widths.
std::string Squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' || out.empty() || out.back() != ' ') {
            out += c;
        }
    }
    return out;
}
const Stacks ExpectedMicroseconds = {{Main + ";" + RunName, 10000},
                                     {Main + ";" + RunName + ";" + GoName, 20000},
                                     {Main + ";" + RunName + ";" + GoName + ";" + GoName, 40000},
                                     {Main + ";" + RunName + ";" + GetName, 80000},
                                     {Worker + ";" + GoName, 15000},
                                     {Worker + ";" + GoName + ";[garbage collection]", 5000}};

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

// A protocol buffers message as its fields: varints as numbers, length-delimited as bytes.
struct Field {
    uint64_t number = 0;
    std::string bytes;
};
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
std::multimap<uint32_t, Field> Decode(const std::string& message) {
    std::multimap<uint32_t, Field> fields;
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
std::string Gunzip(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

TEST(QvprofExport, PprofDecodesToSamplesOfCallsAndNanosecondsByStack) {
    ScratchDirectory scratch;
    const auto profile = Decode(Gunzip(Qvprof::ExportCommand::Export(Contents(scratch), "pprof")));
    std::vector<std::string> strings;
    for (auto [it, end] = profile.equal_range(6); it != end; ++it) {
        strings.push_back(it->second.bytes);
    }
    ASSERT_FALSE(strings.empty());
    EXPECT_EQ(strings[0], "");
    std::vector<std::string> types;
    for (auto [it, end] = profile.equal_range(1); it != end; ++it) {
        const auto valueType = Decode(it->second.bytes);
        types.push_back(strings.at(valueType.find(1)->second.number) + "/" +
                        strings.at(valueType.find(2)->second.number));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"calls/count", "time/nanoseconds"}));
    EXPECT_EQ(strings.at(profile.find(14)->second.number), "time");

    std::map<uint64_t, std::string> functionNames;  // by function id
    for (auto [it, end] = profile.equal_range(5); it != end; ++it) {
        const auto function = Decode(it->second.bytes);
        functionNames[function.find(1)->second.number] =
            strings.at(function.find(2)->second.number);
    }
    std::map<uint64_t, std::string> locationNames;  // by location id, through its line
    for (auto [it, end] = profile.equal_range(4); it != end; ++it) {
        const auto location = Decode(it->second.bytes);
        const auto line = Decode(location.find(4)->second.bytes);
        locationNames[location.find(1)->second.number] =
            functionNames.at(line.find(1)->second.number);
    }
    Stacks nanoseconds;
    std::map<std::string, uint64_t> calls;
    for (auto [it, end] = profile.equal_range(2); it != end; ++it) {
        const auto sample = Decode(it->second.bytes);
        const auto label = Decode(sample.find(3)->second.bytes);
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

// What the published file-format schema requires of a file, a frame and a sampled profile, by
// member and JSON type.
void ExpectMembers(const json& object, const std::map<std::string, json::value_t>& required) {
    for (const auto& [name, type] : required) {
        ASSERT_TRUE(object.contains(name)) << name << " in " << object.dump().substr(0, 200);
        const bool number = type == json::value_t::number_float;
        EXPECT_TRUE(number ? object[name].is_number() : object[name].type() == type) << name;
    }
}

TEST(QvprofExport, SpeedscopeHasTheRequiredMembersAndOneSampledProfilePerThread) {
    ScratchDirectory scratch;
    const json file = json::parse(Qvprof::ExportCommand::Export(Contents(scratch), "speedscope"));
    using T = json::value_t;
    ExpectMembers(file, {{"$schema", T::string},
                         {"profiles", T::array},
                         {"shared", T::object},
                         {"name", T::string},
                         {"activeProfileIndex", T::number_float},
                         {"exporter", T::string}});
    EXPECT_EQ(file["$schema"], "https://www.speedscope.app/file-format-schema.json");
    EXPECT_EQ(file["name"], "p.qvsnap");
    ExpectMembers(file["shared"], {{"frames", T::array}});
    const json& frames = file["shared"]["frames"];
    for (const json& frame : frames) {
        ExpectMembers(frame, {{"name", T::string}});
    }
    ASSERT_EQ(file["profiles"].size(), 2u);
    Stacks stacks;
    for (const json& profile : file["profiles"]) {
        ExpectMembers(profile, {{"type", T::string},
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
        {1, GoName, 80000, 40000}, {2, GoName, 0, 20000},  {2, "[garbage collection]", 0, 5000}};
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
    for (const json& node : data["threads"][1]["nodes"]) {
        ASSERT_LT(node[1].get<int>(), static_cast<int>(data["threads"][1]["nodes"].size()));
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
    const std::string good = Contents(scratch).Path();
    const std::string truncated = (scratch.Path() / "cut.qvsnap").string();
    std::filesystem::copy_file(good, truncated);
    std::filesystem::resize_file(truncated, std::filesystem::file_size(good) / 2);
    const std::string text = (scratch.Path() / "text.qvsnap").string();
    std::ofstream(text) << "not a snapshot\n";
    ScratchDirectory memoryScratch;
    const std::string memory = Contents(memoryScratch, false, MemorySnapshotMagic).Path();
    struct Case {
        std::string file, format, message;
    };
    const std::vector<Case> cases = {
        {(scratch.Path() / "none.qvsnap").string(), "pprof", "There is no file"},
        {truncated, "pprof", "cut.qvsnap"},
        {text, "speedscope", "text.qvsnap"},
        {good, "svg", "There is no export format 'svg'"},
        {memory, "speedscope", "is a memory snapshot; it exports as pprof or collapsed"}};
    for (const Case& c : cases) {
        try {
            Qvprof::ExportCommand::Export(Qvprof::SnapshotContents::Load(c.file), c.format);
            ADD_FAILURE() << c.file << " exported";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

// A memory snapshot's heap dump by class and its sampled allocation stack, in the two formats a
// heap dump exports to.
TEST(QvprofExport, HeapDumpsExportByClassAndAllocationsByStack) {
    const Qvprof::SnapshotContents contents(HandMadeHeapSnapshot(sizeof(void*)), "heap.qvsnap", 0);
    const std::string node = "[no metadata 1] 0x02000002";
    EXPECT_EQ(Qvprof::ExportCommand::Export(contents, "collapsed"),
              "heap dump 1;" + node + " 64\nsampled allocations;[no metadata 1] 0x06000001 1\n");

    const auto profile = Decode(Gunzip(Qvprof::ExportCommand::Export(contents, "pprof")));
    std::vector<std::string> strings;
    for (auto [it, end] = profile.equal_range(6); it != end; ++it) {
        strings.push_back(it->second.bytes);
    }
    std::vector<std::string> names;
    for (auto [it, end] = profile.equal_range(5); it != end; ++it) {
        names.push_back(strings.at(Decode(it->second.bytes).find(2)->second.number));
    }
    EXPECT_EQ(names, (std::vector<std::string>{node, "[no metadata 1] 0x06000001"}));
    std::vector<std::vector<uint64_t>> samples;
    for (auto [it, end] = profile.equal_range(2); it != end; ++it) {
        const auto sample = Decode(it->second.bytes);
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
    try {
        Qvprof::DiffCommand::Diff(contents, empty, {});
        ADD_FAILURE() << "a snapshot without a dump compared";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "'empty.qvsnap' holds no heap dump");
    }
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
    for (const Case& c : {Case{"own", {GetName, GoName, "[garbage collection]", RunName}},
                          Case{"total", {GetName, RunName, GoName, "[garbage collection]"}}}) {
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
    Qvprof::DiffOptions options;
    const std::string text = Qvprof::DiffCommand::Diff(before, after, options);
    EXPECT_NE(Squeezed(text).find("-50.000 -62.5% 80.000 30.000 80.000 30.000 6 1 " + GetName),
              std::string::npos)
        << text;
}

}  // namespace
