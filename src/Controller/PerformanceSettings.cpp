#include "Controller/PerformanceSettings.h"

#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"

namespace Controller {

namespace {

void WriteFilterList(IWriteBridgeStream& stream, const std::vector<InjectFilterInfo>& filters) {
    if (filters.size() > MaxCounterValue) {
        throw std::runtime_error("Too many filter records");
    }
    WriteCounter(stream, static_cast<uint32_t>(filters.size()));
    for (const InjectFilterInfo& filter : filters) {
        WriteString(stream, filter.module);
        WriteString(stream, filter.type);
        WriteString(stream, filter.method);
    }
}

}  // namespace

void PerformanceSettings::Write(IWriteBridgeStream& stream) const {
    WriteBool(stream, startAtInitialization);
    WriteBool(stream, allowInlining);
    WriteU8(stream, measureKind);
    WriteBool(stream, mergeThreadsByName);
    WriteBool(stream, precision);
    WriteU32(stream, filterFlags);
    WriteString(stream, filterText);
    WriteFilterList(stream, includeFilters);
    WriteFilterList(stream, excludeFilters);
}

}  // namespace Controller
