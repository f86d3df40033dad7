#include "PprofExport.h"

#include <algorithm>
#include <unordered_map>

#include "Gzip.h"
#include "ProfileStacks.h"
#include "ProtobufWriter.h"

namespace Qvprof {

namespace {

// Field numbers of the Profile message and the messages in it.
namespace ProfileField {
constexpr uint32_t SampleType = 1, Sample = 2, Location = 4, Function = 5, StringTable = 6,
                   DurationNanos = 10, PeriodType = 11, Period = 12, DefaultSampleType = 14;
}
namespace ValueTypeField {
constexpr uint32_t Type = 1, Unit = 2;
}
namespace SampleField {
constexpr uint32_t LocationId = 1, Value = 2, Label = 3;
}
namespace LabelField {
constexpr uint32_t Key = 1, Str = 2;
}
namespace LocationField {
constexpr uint32_t Id = 1, Line = 4;
}
namespace LineField {
constexpr uint32_t FunctionId = 1;
}
namespace FunctionField {
constexpr uint32_t Id = 1, Name = 2, SystemName = 3;
}

ProtobufWriter ValueType(PprofStrings& strings, const std::string& type, const std::string& unit) {
    ProtobufWriter message;
    message.Varint(ValueTypeField::Type, strings.Index(type));
    message.Varint(ValueTypeField::Unit, strings.Index(unit));
    return message;
}

}  // namespace

std::string PprofExport::Encode(const Controller::Profile& profile) {
    PprofStrings strings;
    ProtobufWriter out;
    out.Message(ProfileField::SampleType, ValueType(strings, "calls", "count"));
    out.Message(ProfileField::SampleType, ValueType(strings, "time", "nanoseconds"));

    uint64_t duration = 0;
    const uint64_t threadKey = strings.Index("thread");
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        const uint64_t threadName = strings.Index(ProfileStacks::ThreadLabel(thread));
        const auto& nodes = thread.tree.Nodes();
        for (uint32_t i = 0; i < nodes.size(); ++i) {
            const uint64_t own = ProfileStacks::Nanoseconds(profile, nodes[i].ownTicks);
            std::vector<uint32_t> path = ProfileStacks::Path(thread.tree, i);
            if (path.empty() || (own == 0 && nodes[i].calls == 0)) {
                continue;
            }
            std::vector<uint64_t> locations;
            for (auto it = path.rbegin(); it != path.rend(); ++it) {
                locations.push_back(uint64_t{*it} + 1);
            }
            ProtobufWriter sample;
            sample.PackedVarints(SampleField::LocationId, locations);
            sample.PackedVarints(SampleField::Value, {nodes[i].calls, own});
            ProtobufWriter label;
            label.Varint(LabelField::Key, threadKey);
            label.Varint(LabelField::Str, threadName);
            sample.Message(SampleField::Label, label);
            out.Message(ProfileField::Sample, sample);
            duration += own;
        }
    }

    const std::vector<Controller::ProfileFunction>& functions = profile.Functions();
    for (uint64_t id = 1; id <= functions.size(); ++id) {
        ProtobufWriter line;
        line.Varint(LineField::FunctionId, id);
        ProtobufWriter location;
        location.Varint(LocationField::Id, id);
        location.Message(LocationField::Line, line);
        out.Message(ProfileField::Location, location);
    }
    for (uint64_t id = 1; id <= functions.size(); ++id) {
        const uint64_t name = strings.Index(functions[id - 1].name);
        ProtobufWriter function;
        function.Varint(FunctionField::Id, id);
        function.Varint(FunctionField::Name, name);
        function.Varint(FunctionField::SystemName, name);
        out.Message(ProfileField::Function, function);
    }

    out.Varint(ProfileField::DurationNanos, duration);
    out.Message(ProfileField::PeriodType, ValueType(strings, "time", "nanoseconds"));
    out.Varint(ProfileField::Period, 1);
    out.Varint(ProfileField::DefaultSampleType, strings.Index("time"));
    // The table last: every index above is in it by now.
    for (const std::string& text : strings.Texts()) {
        out.Text(ProfileField::StringTable, text);
    }
    return out.Bytes();
}

std::string PprofExport::Write(const Controller::Profile& profile) {
    return Gzip::Compress(Encode(profile));
}

std::string PprofExport::EncodeHeap(const Controller::HeapModel& heap) {
    PprofStrings strings;
    ProtobufWriter out;
    out.Message(ProfileField::SampleType, ValueType(strings, "objects", "count"));
    out.Message(ProfileField::SampleType, ValueType(strings, "space", "bytes"));
    out.Message(ProfileField::SampleType, ValueType(strings, "sampled_allocations", "count"));

    // One function (and location) per distinct name: classes and allocating functions.
    std::unordered_map<std::string, uint64_t> functionIds;
    std::vector<std::string> functionNames;
    const auto functionId = [&](const std::string& name) {
        const auto [it, added] = functionIds.emplace(name, functionNames.size() + 1);
        if (added) {
            functionNames.push_back(name);
        }
        return it->second;
    };
    const auto addSample = [&](const std::vector<uint64_t>& locations,
                               const std::vector<uint64_t>& values, const std::string& key,
                               const std::string& value) {
        ProtobufWriter sample;
        sample.PackedVarints(SampleField::LocationId, locations);
        sample.PackedVarints(SampleField::Value, values);
        ProtobufWriter label;
        label.Varint(LabelField::Key, strings.Index(key));
        label.Varint(LabelField::Str, strings.Index(value));
        sample.Message(SampleField::Label, label);
        out.Message(ProfileField::Sample, sample);
    };
    // The live objects of each dump by class, the class as the only frame.
    for (size_t d = 0; d < heap.Dumps().size(); ++d) {
        for (const auto& row : heap.Dumps()[d].classes) {
            addSample({functionId(row.name)}, {row.count, row.bytes, 0}, "dump",
                      std::to_string(d + 1));
        }
    }
    // The sampled allocations by allocating stack, innermost frame first.
    for (const auto& stack : heap.Allocations()) {
        std::vector<uint64_t> locations;
        for (auto it = stack.frames.rbegin(); it != stack.frames.rend(); ++it) {
            locations.push_back(functionId(*it));
        }
        if (locations.empty()) {
            locations.push_back(functionId("[no managed frame]"));
        }
        addSample(locations, {0, 0, stack.count}, "kind", "allocation");
    }
    for (uint64_t id = 1; id <= functionNames.size(); ++id) {
        ProtobufWriter line;
        line.Varint(LineField::FunctionId, id);
        ProtobufWriter location;
        location.Varint(LocationField::Id, id);
        location.Message(LocationField::Line, line);
        out.Message(ProfileField::Location, location);
    }
    for (uint64_t id = 1; id <= functionNames.size(); ++id) {
        const uint64_t name = strings.Index(functionNames[id - 1]);
        ProtobufWriter function;
        function.Varint(FunctionField::Id, id);
        function.Varint(FunctionField::Name, name);
        function.Varint(FunctionField::SystemName, name);
        out.Message(ProfileField::Function, function);
    }
    out.Message(ProfileField::PeriodType, ValueType(strings, "space", "bytes"));
    out.Varint(ProfileField::Period, 1);
    out.Varint(ProfileField::DefaultSampleType, strings.Index("space"));
    for (const std::string& text : strings.Texts()) {
        out.Text(ProfileField::StringTable, text);
    }
    return out.Bytes();
}

std::string PprofExport::WriteHeap(const Controller::HeapModel& heap) {
    return Gzip::Compress(EncodeHeap(heap));
}

}  // namespace Qvprof
