// The sampled allocations of a memory snapshot grouped by allocating stack, most first, each
// stack shown innermost frame first.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class AllocationsView final : public IReportView {
public:
    std::string Name() const override { return "allocations"; }
    std::string Description() const override { return "sampled allocations by allocating stack"; }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return contents.Heap().has_value() && (!contents.Heap()->Allocations().empty() ||
                                               contents.Heap()->Heap().allocationsWithoutStack > 0);
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
