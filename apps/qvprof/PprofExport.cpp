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

// The string table: index 0 is the empty string.
class Strings {
public:
    Strings() { Index(""); }
    uint64_t Index(const std::string& text) {
        const auto [it, added] = m_Indexes.emplace(text, m_Texts.size());
        if (added) {
            m_Texts.push_back(text);
        }
        return it->second;
    }
    const std::vector<std::string>& Texts() const { return m_Texts; }

private:
    std::unordered_map<std::string, uint64_t> m_Indexes;
    std::vector<std::string> m_Texts;
};

ProtobufWriter ValueType(Strings& strings, const std::string& type, const std::string& unit) {
    ProtobufWriter message;
    message.Varint(ValueTypeField::Type, strings.Index(type));
    message.Varint(ValueTypeField::Unit, strings.Index(unit));
    return message;
}

}  // namespace

std::string PprofExport::Encode(const Controller::Profile& profile) {
    Strings strings;
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

}  // namespace Qvprof
