// The call tree, merged by call path: each call with its share of the thread's time, its total
// and own milliseconds and its call count, children by total time; calls deeper than --depth or
// under --threshold percent are left out and counted.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class CallTreeView final : public IReportView {
public:
    std::string Name() const override { return "tree"; }
    std::string Description() const override {
        return "call tree with percentages and calls (--depth, --threshold)";
    }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return contents.Profile().has_value();
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
